#include "lcsettings.hpp"
#include "log.hpp"
#include "machine_config.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using protocols::error::VEXAError;
using protocols::lcsettings::Coil;
using protocols::lcsettings::LCSetting;
using protocols::lcsettings::new_coil;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Row {
    double capacitance;
    double carrier_frequency;
    std::uint64_t ticks;
    std::uint64_t bank;
};

void expect_table(const Coil& coil, const std::vector<Row>& rows) {
    ASSERT_EQ(coil.settings.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const LCSetting& s = coil.settings[i];
        EXPECT_EQ(s.capacitance, rows[i].capacitance);
        EXPECT_EQ(s.carrier_frequency, rows[i].carrier_frequency);
        EXPECT_EQ(s.clk_ticks_per_sample, rows[i].ticks);
        EXPECT_EQ(s.capacitor_bank_setting, rows[i].bank);
    }
}

TEST(CoilTable, DefaultCoilHasOneSetting) {
    const Coil c = protocols::lcsettings::default_coil();
    EXPECT_EQ(c.name, "Default");
    EXPECT_EQ(c.inductance, 150.0);
    EXPECT_EQ(c.max_current, 0.1);
    EXPECT_EQ(c.max_carrier_frequency, 40.0);
    expect_table(c, {{330.0, 22.624434389140273, 221, 1}});
}

TEST(CoilTable, FiveCapacitancesSortedByTicksDescending) {
    const double caps[] = {100.0, 220.0, 330.0, 680.0, 1000.0};
    auto c = new_coil("Five", caps, 150.0, 0.1, 40.0);
    ASSERT_TRUE(c.has_value());
    // 100 nF gives 40.98 kHz, above the limit, and is dropped.
    expect_table(*c, {{1000.0, 12.987012987012989, 385, 5},
                      {680.0, 15.772870662460567, 317, 4},
                      {330.0, 22.624434389140273, 221, 3},
                      {220.0, 27.77777777777778, 180, 2}});
}

TEST(CoilTable, EqualTicksEndInDecreasingBankOrder) {
    const double caps[] = {330.0, 330.0};
    auto c = new_coil("Twin", caps, 150.0, 0.1, 40.0);
    ASSERT_TRUE(c.has_value());
    expect_table(*c, {{330.0, 22.624434389140273, 221, 2}, {330.0, 22.624434389140273, 221, 1}});
}

TEST(CoilTable, EqualTicksAmongOthersKeepStableReversedOrder) {
    const double caps[] = {330.0, 680.0, 330.0, 330.0};
    auto c = new_coil("Mixed", caps, 150.0, 0.1, 40.0);
    ASSERT_TRUE(c.has_value());
    ASSERT_EQ(c->settings.size(), 4u);
    EXPECT_EQ(c->settings[0].capacitor_bank_setting, 2u);
    EXPECT_EQ(c->settings[1].capacitor_bank_setting, 4u);
    EXPECT_EQ(c->settings[2].capacitor_bank_setting, 3u);
    EXPECT_EQ(c->settings[3].capacitor_bank_setting, 1u);
}

TEST(CoilTable, FrequencyExactlyAtLimitIsAccepted) {
    const double caps[] = {330.0};
    auto c = new_coil("Edge", caps, 150.0, 0.1, 22.624434389140273);
    ASSERT_TRUE(c.has_value());
    expect_table(*c, {{330.0, 22.624434389140273, 221, 1}});

    auto below = new_coil("Edge", caps, 150.0, 0.1, std::nextafter(22.624434389140273, 0.0));
    ASSERT_FALSE(below.has_value());
    EXPECT_EQ(below.error(), VEXAError::ConfigError);
}

struct FailingCase {
    const char* label;
    std::vector<double> caps;
    double inductance;
    double limit;
};

class CoilTableFails : public testing::TestWithParam<FailingCase> {};

TEST_P(CoilTableFails, WithConfigError) {
    const FailingCase& p = GetParam();
    auto c = new_coil("Bad", p.caps, p.inductance, 0.1, p.limit);
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error(), VEXAError::ConfigError);
}

INSTANTIATE_TEST_SUITE_P(NoSettingAccepted, CoilTableFails,
                         testing::Values(FailingCase{"empty", {}, 150.0, 40.0},
                                         FailingCase{"all_above_limit", {100.0, 10.0}, 150.0, 40.0},
                                         FailingCase{
                                             "zero_capacitance_finite_limit", {0.0}, 150.0, 1e300},
                                         FailingCase{"negative_capacitance", {-330.0}, 150.0, 40.0},
                                         FailingCase{"nan_capacitance", {nan}, 150.0, 40.0},
                                         FailingCase{"nan_limit", {330.0}, 150.0, nan},
                                         FailingCase{"zero_inductance", {330.0}, 0.0, 40.0}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(CoilTable, DegenerateProductsUnderInfiniteLimitGiveZeroTicks) {
    // Zero, negative and NaN products all give 0 ticks and an infinite
    // carrier frequency, which only an infinite limit admits.
    const double caps[] = {0.0, -330.0, nan};
    auto c = new_coil("Open", caps, 150.0, 0.1, inf);
    ASSERT_TRUE(c.has_value());
    ASSERT_EQ(c->settings.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(c->settings[i].clk_ticks_per_sample, 0u);
        EXPECT_EQ(c->settings[i].carrier_frequency, inf);
        EXPECT_EQ(c->settings[i].capacitor_bank_setting, 3 - i);
    }
}

TEST(CoilTable, HugeTickCountsSaturateAndWrap) {
    // A capacitance so large that the tick count saturates at 2^64-1; times
    // 32 that wraps to 2^64-32, whose carrier frequency is tiny but finite.
    const double caps[] = {1e300};
    auto c = new_coil("Huge", caps, 1e300, 0.1, 40.0);
    ASSERT_TRUE(c.has_value());
    ASSERT_EQ(c->settings.size(), 1u);
    EXPECT_EQ(c->settings[0].clk_ticks_per_sample, std::numeric_limits<std::uint64_t>::max());
    const double wrapped = static_cast<double>(std::numeric_limits<std::uint64_t>::max() * 32u);
    EXPECT_EQ(c->settings[0].carrier_frequency, (160000000.0 / wrapped) * 0.001);
}

TEST(CoilTable, InputsAreStoredUnchecked) {
    const double caps[] = {330.0};
    auto c = new_coil("Odd \"name\"", caps, 150.0, -1.0, 40.0);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->name, "Odd \"name\"");
    EXPECT_EQ(c->max_current, -1.0);
}

std::vector<std::string> logged;
void capture(protocols::log::Level, std::string_view target, std::string_view message) {
    logged.push_back(std::string(target) + "|" + std::string(message));
}

TEST(CoilTable, FailureIsReportedOnlyToAnInstalledLogger) {
    logged.clear();
    const double none[] = {10.0};
    EXPECT_FALSE(new_coil("Quiet", none, 150.0, 0.1, 40.0).has_value());
    EXPECT_TRUE(logged.empty());

    protocols::log::install(capture, protocols::log::Level::Error);
    EXPECT_FALSE(new_coil("Loud", none, 150.0, 0.1, 40.0).has_value());
    protocols::log::install(nullptr, protocols::log::Level::Trace);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0],
              "protocols::lcsettings|No valid carrier frequency can be calculated for coil Loud");
}

TEST(MachineConfigDefault, MatchesTheDeviceDescription) {
    const auto m = protocols::machine_config::default_machine_config();
    EXPECT_EQ(m.supply_voltage, 80.0);
    EXPECT_EQ(m.num_coils, 2u);
    ASSERT_EQ(m.coils.size(), 1u); // num_coils is not tied to the list
    EXPECT_EQ(m.coils[0].settings.size(), 1u);
    EXPECT_EQ(m.capacitors, std::vector<double>{330.0});
    EXPECT_EQ(m.possible_capacitances, std::vector<double>{330.0});
    EXPECT_EQ(m.num_external_signal_sources, 6u);
    EXPECT_FALSE(m.smbus_psu_connected);
    EXPECT_EQ(m.num_temperature_sensors, 0u);
    EXPECT_EQ(m.num_flow_rate_sensors, 0u);
    EXPECT_TRUE(m.safety_checks_enabled);
    EXPECT_EQ(m.max_intensity_setpoint, 0.3);
    EXPECT_EQ(m.max_current, 0.5);
    EXPECT_EQ(m.max_carrier_frequency, 40.0);
    EXPECT_EQ(m.max_temperature, 40.0);
    EXPECT_EQ(m.min_flowrate, 70.0);
    EXPECT_EQ(m.max_power, 520.0);
}

} // namespace
