#include "settings.hpp"
#include "failure_texts.hpp"

#include "config.hpp"
#include "utf8.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace protocols::settings {

namespace {

SignalSourceSelection& amplitude_source(Settings& s, CoilPosition coil) noexcept {
    switch (coil) {
    case CoilPosition::A1:
        return s.channel_a_settings.amplitude1_source;
    case CoilPosition::A2:
        return s.channel_a_settings.amplitude2_source;
    case CoilPosition::B1:
        return s.channel_b_settings.amplitude1_source;
    case CoilPosition::B2:
        break;
    }
    return s.channel_b_settings.amplitude2_source;
}

ChannelSettings& channel_settings(Settings& s, Channel channel) noexcept {
    return channel == Channel::A ? s.channel_a_settings : s.channel_b_settings;
}

// One of the two indices carries the value, the other is reset to 0.
SignalSourceSelection selection(bool external, std::uint64_t index) noexcept {
    return external ? SignalSourceSelection{0, index, true}
                    : SignalSourceSelection{index, 0, false};
}

} // namespace

bool running_on_target_machine() {
    const char* value = std::getenv(TARGET_MACHINE_VARIABLE);
    return value != nullptr && utf8::is_valid(value);
}

Settings default_settings_without_signals() {
    // Always the same value, and computing it (the coil's resonance table)
    // costs more than copying it: it is made once.
    static const machine_config::MachineConfig default_config =
        machine_config::default_machine_config();
    // Built in one go (a new protocol's cost is mostly this): every field
    // is initialised once, the configuration copied straight into place.
    ChannelSettings channel_a{};
    channel_a.enabled = true;
    return Settings{
        .running_on_target_machine = running_on_target_machine(),
        .machine_config = default_config,
        .intensity = 0.0,
        .session_duration = 60.0,
        .signals = {},
        .channel_a_settings = channel_a,
        .channel_b_settings = ChannelSettings{}, // disabled
        .monitor_trace_visible = {},
    };
}

Settings default_settings() {
    Settings s = default_settings_without_signals();
    s.signals.push_back(signals::ConstantSignalParams{0.0});
    return s;
}

std::expected<std::uint64_t, error::Failure> num_samples(const Settings& s) {
    const double d = s.session_duration;
    if (!(d > 0.0))
        return std::unexpected(error::Failure{std::string(error::texts::SESSION_NOT_SET)});
    const double x = std::ceil(d * config::SAMPLING_RATE);
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

std::expected<void, error::Failure> set_session_duration(Settings& s, double duration) {
    // The upper bound is tested first, so NaN reports against it.
    if (!(duration <= config::MAX_SESSION_DURATION))
        return std::unexpected(error::Failure{std::string(error::texts::DURATION_TOO_LONG)});
    if (!(duration >= 0.01))
        return std::unexpected(error::Failure{std::string(error::texts::DURATION_TOO_SHORT)});
    s.session_duration = duration;
    return {};
}

std::unexpected<error::Failure> intensity_failure() {
    return std::unexpected(error::Failure{std::string(error::texts::INTENSITY_OUT_OF_RANGE)});
}

void enable_channel(Settings& s, Channel channel) noexcept {
    channel_settings(s, channel).enabled = true;
}

void set_amplitude_source(Settings& s, CoilPosition coil, bool external,
                          std::uint64_t index) noexcept {
    amplitude_source(s, coil) = selection(external, index);
}

void set_modulation_source(Settings& s, Channel channel, bool external,
                           std::uint64_t index) noexcept {
    channel_settings(s, channel).modulation_source = selection(external, index);
}

std::uint64_t add_signal(Settings& s, signals::Signal signal) {
    const auto position = static_cast<std::uint64_t>(s.signals.size());
    s.signals.push_back(std::move(signal)); // strong guarantee: unchanged on bad_alloc
    return position;
}

void fill_empty_signals(Settings& s) {
    if (s.signals.empty()) s.signals.push_back(signals::ConstantSignalParams{0.0});
}

} // namespace protocols::settings
