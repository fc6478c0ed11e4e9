#include "settings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

namespace {

using namespace protocols::settings;
using protocols::signals::ConstantSignalParams;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Sets or unsets VEXA_TARGET_MACHINE for one test and restores it after.
class TargetMachineVariable {
  public:
    explicit TargetMachineVariable(std::optional<std::string> value) {
        if (const char* old = std::getenv(TARGET_MACHINE_VARIABLE)) saved_ = old;
        if (value)
            ::setenv(TARGET_MACHINE_VARIABLE, value->c_str(), 1);
        else
            ::unsetenv(TARGET_MACHINE_VARIABLE);
    }
    ~TargetMachineVariable() {
        if (saved_)
            ::setenv(TARGET_MACHINE_VARIABLE, saved_->c_str(), 1);
        else
            ::unsetenv(TARGET_MACHINE_VARIABLE);
    }

  private:
    std::optional<std::string> saved_;
};

struct EnvCase {
    const char* label;
    std::optional<std::string> value;
    bool expected;
};

class TargetMachine : public testing::TestWithParam<EnvCase> {};

TEST_P(TargetMachine, IsReadAfreshOnEveryDefault) {
    TargetMachineVariable var(GetParam().value);
    EXPECT_EQ(default_settings().running_on_target_machine, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TargetMachine,
    testing::Values(
        EnvCase{"unset", std::nullopt, false}, EnvCase{"empty", "", true},
        EnvCase{"zero", "0", true}, EnvCase{"word_false", "false", true},
        EnvCase{"utf8", "g\xc3\xa9r\xc3\xa4t \xf0\x9f\x98\x80", true},
        EnvCase{"lone_continuation", "\x80", false}, EnvCase{"truncated_sequence", "ab\xc3", false},
        EnvCase{"overlong_slash", "\xc0\xaf", false}, EnvCase{"surrogate", "\xed\xa0\x80", false},
        EnvCase{"above_max", "\xf4\x90\x80\x80", false}, EnvCase{"latin1", "caf\xe9", false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(TargetMachine, ChangeAffectsOnlyLaterDefaults) {
    std::optional<Settings> before;
    {
        TargetMachineVariable unset(std::nullopt);
        before = default_settings();
        TargetMachineVariable set("1");
        EXPECT_TRUE(default_settings().running_on_target_machine);
    }
    EXPECT_FALSE(before->running_on_target_machine);
}

TEST(SettingsDefault, HasTheDocumentedValues) {
    TargetMachineVariable unset(std::nullopt);
    const Settings s = default_settings();
    ASSERT_EQ(s.signals.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<ConstantSignalParams>(s.signals[0]));
    EXPECT_EQ(std::get<ConstantSignalParams>(s.signals[0]).value, 0.0);
    EXPECT_FALSE(std::signbit(std::get<ConstantSignalParams>(s.signals[0]).value));
    EXPECT_EQ(s.intensity, 0.0);
    EXPECT_EQ(s.session_duration, 60.0);
    EXPECT_TRUE(s.channel_a_settings.enabled);
    EXPECT_FALSE(s.channel_b_settings.enabled);
    for (const ChannelSettings* c : {&s.channel_a_settings, &s.channel_b_settings}) {
        for (const SignalSourceSelection* sel :
             {&c->amplitude1_source, &c->amplitude2_source, &c->modulation_source}) {
            EXPECT_EQ(sel->internal, 0u);
            EXPECT_EQ(sel->external, 0u);
            EXPECT_FALSE(sel->external_selected);
        }
        EXPECT_EQ(c->coil_idx, 0u);
        EXPECT_EQ(c->coil_setting_idx, 0u);
    }
    for (bool v : s.monitor_trace_visible)
        EXPECT_FALSE(v);
    EXPECT_EQ(s.machine_config.coils.size(), 1u);
}

struct SampleCase {
    double duration;
    std::uint64_t samples;
};

class SampleCount : public testing::TestWithParam<SampleCase> {};

TEST_P(SampleCount, IsCeilOfDurationTimesRate) {
    Settings s;
    s.session_duration = GetParam().duration;
    auto n = num_samples(s);
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(*n, GetParam().samples);
}

INSTANTIATE_TEST_SUITE_P(
    Durations, SampleCount,
    testing::Values(SampleCase{60.0, 300000}, SampleCase{0.07, 351}, SampleCase{0.035, 176},
                    SampleCase{0.101, 506}, SampleCase{0.01, 50}, SampleCase{0.3, 1500},
                    SampleCase{0.1, 500}, SampleCase{1800.0, 9000000}, SampleCase{1e-300, 1},
                    SampleCase{1e300, std::numeric_limits<std::uint64_t>::max()},
                    SampleCase{inf, std::numeric_limits<std::uint64_t>::max()}));

TEST(SampleCount, NonPositiveDurationFails) {
    for (double d : {0.0, -0.0, -1.0, nan, -inf}) {
        Settings s;
        s.session_duration = d;
        auto n = num_samples(s);
        ASSERT_FALSE(n.has_value()) << d;
        EXPECT_EQ(n.error().message, "assertion failed: self.settings.session_duration > 0.0");
    }
}

struct DurationCase {
    double value;
    const char* failure; // nullptr: accepted
};

class SessionDuration : public testing::TestWithParam<DurationCase> {};

constexpr const char* ABOVE_MAX = "assertion failed: duration <= config::MAX_SESSION_DURATION";
constexpr const char* BELOW_MIN = "assertion failed: duration >= 0.01";

TEST_P(SessionDuration, IsBoundedAndUnchangedOnFailure) {
    Settings s = default_settings();
    ASSERT_TRUE(set_session_duration(s, 30.0).has_value());
    auto r = set_session_duration(s, GetParam().value);
    if (GetParam().failure == nullptr) {
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(s.session_duration, GetParam().value);
    } else {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message, GetParam().failure);
        EXPECT_EQ(s.session_duration, 30.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Bounds, SessionDuration,
                         testing::Values(DurationCase{0.01, nullptr}, DurationCase{1800.0, nullptr},
                                         DurationCase{0.1, nullptr},
                                         DurationCase{std::nextafter(1800.0, inf), ABOVE_MAX},
                                         DurationCase{2000.0, ABOVE_MAX},
                                         DurationCase{nan, ABOVE_MAX}, DurationCase{inf, ABOVE_MAX},
                                         DurationCase{std::nextafter(0.01, 0.0), BELOW_MIN},
                                         DurationCase{0.0, BELOW_MIN},
                                         DurationCase{-5.0, BELOW_MIN},
                                         DurationCase{-inf, BELOW_MIN}));

TEST(StimulationIntensity, InclusiveRangeOneMessage) {
    Settings s = default_settings();
    for (double ok : {0.0, 1.0, 0.5, -0.0}) {
        ASSERT_TRUE(set_stimulation_intensity(s, ok).has_value()) << ok;
        EXPECT_EQ(std::signbit(s.intensity), std::signbit(ok));
        EXPECT_EQ(s.intensity, ok);
    }
    ASSERT_TRUE(set_stimulation_intensity(s, 0.25).has_value());
    for (double bad : {1.5, -0.25, nan, inf, std::nextafter(1.0, 2.0)}) {
        auto r = set_stimulation_intensity(s, bad);
        ASSERT_FALSE(r.has_value()) << bad;
        EXPECT_EQ(r.error().message, "assertion failed: intensity >= 0.0 && intensity <= 1.0");
        EXPECT_EQ(s.intensity, 0.25);
    }
}

TEST(Routing, EnableChannelOnlySets) {
    Settings s = default_settings();
    enable_channel(s, Channel::A);
    EXPECT_TRUE(s.channel_a_settings.enabled);
    EXPECT_FALSE(s.channel_b_settings.enabled);
    enable_channel(s, Channel::B);
    enable_channel(s, Channel::B);
    EXPECT_TRUE(s.channel_b_settings.enabled);
}

TEST(Routing, AmplitudeSourceOverwritesOneSelectionWhole) {
    const std::pair<CoilPosition, SignalSourceSelection ChannelSettings::*> places[] = {
        {CoilPosition::A1, &ChannelSettings::amplitude1_source},
        {CoilPosition::A2, &ChannelSettings::amplitude2_source},
        {CoilPosition::B1, &ChannelSettings::amplitude1_source},
        {CoilPosition::B2, &ChannelSettings::amplitude2_source},
    };
    for (auto [coil, field] : places) {
        Settings s = default_settings();
        const bool on_b = coil == CoilPosition::B1 || coil == CoilPosition::B2;
        ChannelSettings& mine = on_b ? s.channel_b_settings : s.channel_a_settings;
        ChannelSettings& other = on_b ? s.channel_a_settings : s.channel_b_settings;
        const ChannelSettings other_before = other;

        set_amplitude_source(s, coil, true, 7);
        EXPECT_EQ((mine.*field).internal, 0u);
        EXPECT_EQ((mine.*field).external, 7u);
        EXPECT_TRUE((mine.*field).external_selected);

        set_amplitude_source(s, coil, false, 3);
        EXPECT_EQ((mine.*field).internal, 3u);
        EXPECT_EQ((mine.*field).external, 0u);
        EXPECT_FALSE((mine.*field).external_selected);

        // Nothing else of either channel moves.
        SignalSourceSelection ChannelSettings::*sibling =
            field == &ChannelSettings::amplitude1_source ? &ChannelSettings::amplitude2_source
                                                         : &ChannelSettings::amplitude1_source;
        EXPECT_EQ((mine.*sibling).internal, 0u);
        EXPECT_FALSE((mine.*sibling).external_selected);
        EXPECT_EQ(mine.modulation_source.internal, 0u);
        EXPECT_EQ(other.amplitude1_source.external, other_before.amplitude1_source.external);
        EXPECT_EQ(other.amplitude2_source.internal, other_before.amplitude2_source.internal);
    }
}

TEST(Routing, ModulationSourceStoresAnyIndex) {
    Settings s = default_settings();
    s.signals.clear();
    set_modulation_source(s, Channel::A, false, 12);
    EXPECT_EQ(s.channel_a_settings.modulation_source.internal, 12u);
    const auto max = std::numeric_limits<std::uint64_t>::max();
    set_modulation_source(s, Channel::B, true, max);
    EXPECT_EQ(s.channel_b_settings.modulation_source.external, max);
    EXPECT_EQ(s.channel_b_settings.modulation_source.internal, 0u);
    EXPECT_TRUE(s.channel_b_settings.modulation_source.external_selected);
    EXPECT_EQ(s.channel_a_settings.modulation_source.internal, 12u);
}

TEST(Signals, PositionsAndFillIn) {
    Settings s = default_settings();
    s.signals.clear();
    fill_empty_signals(s);
    ASSERT_EQ(s.signals.size(), 1u);
    EXPECT_EQ(add_signal(s, protocols::signals::SineSignalParams{1, 2, 3, 4}), 1u);
    fill_empty_signals(s); // a non-empty list is left alone
    EXPECT_EQ(s.signals.size(), 2u);
    EXPECT_EQ(add_signal(s, protocols::signals::MixedSignalParams{5, 5}), 2u);
}

} // namespace
