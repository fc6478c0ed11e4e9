#include "lcsettings.hpp"

#include "log.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace protocols::lcsettings {

namespace {

constexpr double SAMPLE_CLOCK = 160000000.0;
constexpr double SAMPLES_PER_PERIOD = 32.0;
constexpr std::uint64_t SAMPLES_PER_PERIOD_INT = 32;
constexpr double TWO_PI = 6.283185307179586;
constexpr double INDUCTANCE_SCALE = 0.000001;
constexpr double CAPACITANCE_SCALE = 0.000000001;
constexpr double FREQUENCY_SCALE = 0.001;

// Saturating float -> u64: NaN and negatives give 0, 2^64 and above the max.
std::uint64_t saturate_u64(double t) noexcept {
    if (!(t > 0.0)) return 0;
    if (t >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(t);
}

} // namespace

std::expected<Coil, error::VEXAError> new_coil(std::string name,
                                               std::span<const double> capacitances,
                                               double inductance, double max_current,
                                               double max_carrier_frequency) {
    std::vector<LCSetting> table;
    table.reserve(capacitances.size());
    for (std::size_t i = 0; i < capacitances.size(); ++i) {
        const double c = capacitances[i];
        const double p = ((inductance * INDUCTANCE_SCALE) * c) * CAPACITANCE_SCALE;
        const double resonance = 1.0 / (std::sqrt(p) * TWO_PI);
        const std::uint64_t ticks =
            saturate_u64(std::round(SAMPLE_CLOCK / (resonance * SAMPLES_PER_PERIOD)));
        // The device counts ticks per carrier period in 64 bits: it wraps.
        const std::uint64_t period_ticks = ticks * SAMPLES_PER_PERIOD_INT;
        const double f = (SAMPLE_CLOCK / static_cast<double>(period_ticks)) * FREQUENCY_SCALE;
        if (max_carrier_frequency >= f) table.push_back({c, f, ticks, i + 1});
    }

    if (table.empty()) {
        if (log::enabled(log::Level::Error)) {
            log::write(log::Level::Error, "protocols::lcsettings",
                       "No valid carrier frequency can be calculated for coil " + name);
        }
        return std::unexpected(error::VEXAError::ConfigError);
    }

    // Stable ascending sort, then a reversal: equal tick counts end up in
    // decreasing order of their bank setting, which the device relies on.
    std::stable_sort(table.begin(), table.end(), [](const LCSetting& a, const LCSetting& b) {
        return a.clk_ticks_per_sample < b.clk_ticks_per_sample;
    });
    std::reverse(table.begin(), table.end());

    return Coil{std::move(name), inductance, max_current, max_carrier_frequency, std::move(table)};
}

Coil default_coil() {
    const double capacitances[] = {330.0};
    auto coil = new_coil("Default", capacitances, 150.0, 0.1, 40.0);
    if (!coil) throw error::Panic(error::unwrap_failure(error::name(coil.error())));
    return std::move(*coil);
}

} // namespace protocols::lcsettings
