#pragma once

#include "lcsettings.hpp"

#include <cstdint>
#include <vector>

namespace protocols::machine_config {

// The device a protocol is written for. Field order is the order of the text
// form and of the protocol file.
struct MachineConfig {
    double supply_voltage = 0.0;
    std::uint64_t num_coils = 0;
    std::vector<lcsettings::Coil> coils;
    std::vector<double> capacitors;
    std::vector<double> possible_capacitances;
    std::uint64_t num_external_signal_sources = 0;
    bool smbus_psu_connected = false;
    std::uint64_t num_temperature_sensors = 0;
    std::uint64_t num_flow_rate_sensors = 0;
    bool safety_checks_enabled = false;
    double max_intensity_setpoint = 0.0;
    double max_current = 0.0;
    double max_carrier_frequency = 0.0;
    double max_temperature = 0.0;
    double min_flowrate = 0.0;
    double max_power = 0.0;
};

MachineConfig default_machine_config();

} // namespace protocols::machine_config
