#include "machine_config.hpp"

namespace protocols::machine_config {

MachineConfig default_machine_config() {
    MachineConfig m;
    m.supply_voltage = 80.0;
    m.num_coils = 2; // not tied to coils.size(): the device has two, one is described
    m.coils.push_back(lcsettings::default_coil());
    m.capacitors = {330.0};
    m.possible_capacitances = {330.0};
    m.num_external_signal_sources = 6;
    m.smbus_psu_connected = false;
    m.num_temperature_sensors = 0;
    m.num_flow_rate_sensors = 0;
    m.safety_checks_enabled = true;
    m.max_intensity_setpoint = 0.3;
    m.max_current = 0.5;
    m.max_carrier_frequency = 40.0;
    m.max_temperature = 40.0;
    m.min_flowrate = 70.0;
    m.max_power = 520.0;
    return m;
}

} // namespace protocols::machine_config
