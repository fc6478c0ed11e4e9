#pragma once

#include "error.hpp"

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace protocols::lcsettings {

// One row of a coil's resonance table.
struct LCSetting {
    double capacitance = 0.0;       // nF, as given
    double carrier_frequency = 0.0; // kHz, quantised to the sample clock
    std::uint64_t clk_ticks_per_sample = 0;
    std::uint64_t capacitor_bank_setting = 0; // 1-based position in the input list
};

// A physical coil and its resonance table.
struct Coil {
    std::string name;
    double inductance = 0.0; // uH
    double max_current = 0.0;
    double max_carrier_frequency = 0.0; // kHz
    std::vector<LCSetting> settings;    // by clk_ticks_per_sample, descending
};

// Builds a coil, computing its resonance table from the candidate
// capacitances. Fails with ConfigError when no capacitance gives a usable
// carrier frequency.
std::expected<Coil, error::VEXAError> new_coil(std::string name,
                                               std::span<const double> capacitances,
                                               double inductance, double max_current,
                                               double max_carrier_frequency);

// The machine's default coil: "Default", 150 uH, 0.1, 40 kHz, 330 nF.
Coil default_coil();

} // namespace protocols::lcsettings
