#pragma once

// Builds an arbitrary Settings value from fuzz input. Every field takes any
// value its type allows (NaN payloads, negative zero, the largest u64, coil
// names that are not UTF-8, negative samples), not only what the Python
// operations produce: the encoder and the renderer must cope with all of it.

#include "settings.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzing {

// Upper bounds that keep one input fast while still reaching every code path
// (several coils, table rows, all five signal kinds, long sample runs).
inline constexpr std::size_t MAX_COILS = 4;
inline constexpr std::size_t MAX_ROWS = 4;
inline constexpr std::size_t MAX_CAPACITANCES = 8;
inline constexpr std::size_t MAX_SIGNALS = 12;
inline constexpr std::size_t MAX_SAMPLES = 3000;
inline constexpr std::size_t MAX_NAME = 40;

class SettingsSource {
  public:
    explicit SettingsSource(FuzzedDataProvider& in) : in_(in) {}

    bool boolean() { return in_.ConsumeBool(); }

    // Small values are the common case in real protocols and the varint
    // boundaries sit at multiples of 7 bits: pick a bit width first.
    std::uint64_t u64() {
        const unsigned bits = in_.ConsumeIntegralInRange<unsigned>(0, 64);
        if (bits == 0) {
            return 0;
        }
        const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
        return in_.ConsumeIntegral<std::uint64_t>() & mask;
    }

    // Any bit pattern, so NaN payloads and subnormals occur as often as
    // ordinary numbers.
    double f64() { return std::bit_cast<double>(in_.ConsumeIntegral<std::uint64_t>()); }

    std::size_t count(std::size_t max) { return in_.ConsumeIntegralInRange<std::size_t>(0, max); }

    std::string text(std::size_t max) { return in_.ConsumeRandomLengthString(max); }

    protocols::lcsettings::LCSetting row() {
        protocols::lcsettings::LCSetting r;
        r.capacitance = f64();
        r.carrier_frequency = f64();
        r.clk_ticks_per_sample = u64();
        r.capacitor_bank_setting = u64();
        return r;
    }

    protocols::lcsettings::Coil coil() {
        protocols::lcsettings::Coil c;
        c.name = text(MAX_NAME);
        c.inductance = f64();
        c.max_current = f64();
        c.max_carrier_frequency = f64();
        const std::size_t n = count(MAX_ROWS);
        for (std::size_t i = 0; i < n; ++i) {
            c.settings.push_back(row());
        }
        return c;
    }

    std::vector<double> doubles(std::size_t max) {
        std::vector<double> v(count(max));
        for (double& d : v) {
            d = f64();
        }
        return v;
    }

    protocols::machine_config::MachineConfig machine() {
        protocols::machine_config::MachineConfig m;
        m.supply_voltage = f64();
        m.num_coils = u64();
        const std::size_t n = count(MAX_COILS);
        for (std::size_t i = 0; i < n; ++i) {
            m.coils.push_back(coil());
        }
        m.capacitors = doubles(MAX_CAPACITANCES);
        m.possible_capacitances = doubles(MAX_CAPACITANCES);
        m.num_external_signal_sources = u64();
        m.smbus_psu_connected = boolean();
        m.num_temperature_sensors = u64();
        m.num_flow_rate_sensors = u64();
        m.safety_checks_enabled = boolean();
        m.max_intensity_setpoint = f64();
        m.max_current = f64();
        m.max_carrier_frequency = f64();
        m.max_temperature = f64();
        m.min_flowrate = f64();
        m.max_power = f64();
        return m;
    }

    protocols::signals::Signal signal() {
        namespace sig = protocols::signals;
        switch (in_.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            return sig::ConstantSignalParams{f64()};
        case 1: {
            sig::SineSignalParams p;
            p.amplitude = f64();
            p.frequency = f64();
            p.phase = f64();
            p.depth = f64();
            return p;
        }
        case 2: {
            sig::RampSignalParams p;
            p.peak = f64();
            p.up_duration = f64();
            p.down_duration = f64();
            return p;
        }
        case 3: {
            sig::MixedSignalParams p;
            p.a_idx = u64();
            p.b_idx = u64();
            return p;
        }
        default: {
            sig::ArbitrarySignalParams p;
            p.samples.resize(count(MAX_SAMPLES));
            for (std::int16_t& s : p.samples) {
                s = in_.ConsumeIntegral<std::int16_t>();
            }
            return p;
        }
        }
    }

    protocols::settings::SignalSourceSelection source() {
        protocols::settings::SignalSourceSelection s;
        s.internal = u64();
        s.external = u64();
        s.external_selected = boolean();
        return s;
    }

    protocols::settings::ChannelSettings channel() {
        protocols::settings::ChannelSettings c;
        c.enabled = boolean();
        c.amplitude1_source = source();
        c.amplitude2_source = source();
        c.modulation_source = source();
        c.coil_idx = u64();
        c.coil_setting_idx = u64();
        return c;
    }

    protocols::settings::Settings settings() {
        protocols::settings::Settings s;
        s.running_on_target_machine = boolean();
        s.machine_config = machine();
        s.intensity = f64();
        s.session_duration = f64();
        const std::size_t n = count(MAX_SIGNALS);
        for (std::size_t i = 0; i < n; ++i) {
            s.signals.push_back(signal());
        }
        s.channel_a_settings = channel();
        s.channel_b_settings = channel();
        for (bool& b : s.monitor_trace_visible) {
            b = boolean();
        }
        return s;
    }

  private:
    FuzzedDataProvider& in_;
};

} // namespace fuzzing
