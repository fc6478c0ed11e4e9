#include "encoding/layout.hpp"

#include <cstddef>
#include <type_traits>
#include <variant>

namespace protocols::encoding {

namespace {

constexpr std::size_t MAX_VARINT = 10;
constexpr std::size_t MAX_SAMPLE = 3;
constexpr std::size_t DOUBLE = 8;
constexpr std::size_t SOURCE_BOUND = 2 * MAX_VARINT + 1;
constexpr std::size_t CHANNEL_BOUND = 1 + 3 * SOURCE_BOUND + 2 * MAX_VARINT;

// The samples of an Arbitrary signal: count, then one zigzag varint each.
// Written straight into a region of the buffer sized for 3 bytes per sample,
// which is then shrunk to what was used (resizing down never reallocates).
void append_samples(Bytes& out, const std::vector<std::int16_t>& samples) {
    append_length(out, samples.size());
    const std::size_t start = out.size();
    out.resize(start + samples.size() * MAX_SAMPLE);
    std::uint8_t* const base = out.data() + start;
    std::uint8_t* p = base;
    for (const std::int16_t s : samples) {
        const auto u = static_cast<std::uint32_t>(static_cast<std::uint16_t>(s));
        // zigzag: 0, -1, 1, -2, ... -> 0, 1, 2, 3, ...; below 0x10000.
        const std::uint32_t z = ((u << 1) ^ (s < 0 ? 0xFFFFu : 0u)) & 0xFFFFu;
        const std::uint32_t more1 = z >= 0x80 ? 1u : 0u;
        const std::uint32_t more2 = z >= 0x4000 ? 1u : 0u;
        // All three bytes are stored; only 1 + more1 + more2 of them count.
        // The region holds 3 bytes per sample, so the extra stores stay
        // inside it and are overwritten by the next sample or cut off below.
        p[0] = static_cast<std::uint8_t>((z & 0x7F) | (more1 << 7));
        p[1] = static_cast<std::uint8_t>(((z >> 7) & 0x7F) | (more2 << 7));
        p[2] = static_cast<std::uint8_t>(z >> 14);
        p += 1 + more1 + more2;
    }
    out.resize(start + static_cast<std::size_t>(p - base));
}

std::size_t coil_bound(const lcsettings::Coil& c) {
    return MAX_VARINT + c.name.size() + 3 * DOUBLE + MAX_VARINT +
           c.settings.size() * (2 * DOUBLE + 2 * MAX_VARINT);
}

std::size_t machine_config_bound(const machine_config::MachineConfig& m) {
    std::size_t n = DOUBLE + MAX_VARINT + MAX_VARINT;
    for (const auto& c : m.coils) {
        n += coil_bound(c);
    }
    n += MAX_VARINT + m.capacitors.size() * DOUBLE;
    n += MAX_VARINT + m.possible_capacitances.size() * DOUBLE;
    n += MAX_VARINT + 1 + MAX_VARINT + MAX_VARINT + 1 + 6 * DOUBLE;
    return n;
}

std::size_t signal_bound(const signals::Signal& s) {
    return 1 + std::visit(
                   [](const auto& p) -> std::size_t {
                       using T = std::decay_t<decltype(p)>;
                       if constexpr (std::is_same_v<T, signals::ConstantSignalParams>) {
                           return DOUBLE;
                       } else if constexpr (std::is_same_v<T, signals::SineSignalParams>) {
                           return 4 * DOUBLE;
                       } else if constexpr (std::is_same_v<T, signals::RampSignalParams>) {
                           return 3 * DOUBLE;
                       } else if constexpr (std::is_same_v<T, signals::MixedSignalParams>) {
                           return 2 * MAX_VARINT;
                       } else {
                           return MAX_VARINT + p.samples.size() * MAX_SAMPLE;
                       }
                   },
                   s);
}

// An upper bound of the encoded size, from one pass over the lists (never
// over the samples).
std::size_t settings_bound(const settings::Settings& s) {
    std::size_t n = 1 + machine_config_bound(s.machine_config) + 2 * DOUBLE + MAX_VARINT;
    for (const auto& sig : s.signals) {
        n += signal_bound(sig);
    }
    n += 2 * CHANNEL_BOUND + s.monitor_trace_visible.size();
    return n;
}

} // namespace

void append(Bytes& out, const lcsettings::LCSetting& v) {
    append_double(out, v.capacitance);
    append_double(out, v.carrier_frequency);
    append_varint(out, v.clk_ticks_per_sample);
    append_varint(out, v.capacitor_bank_setting);
}

void append(Bytes& out, const lcsettings::Coil& v) {
    append_string(out, v.name);
    append_double(out, v.inductance);
    append_double(out, v.max_current);
    append_double(out, v.max_carrier_frequency);
    append_length(out, v.settings.size());
    for (const auto& row : v.settings) {
        append(out, row);
    }
}

void append(Bytes& out, const machine_config::MachineConfig& v) {
    append_double(out, v.supply_voltage);
    append_varint(out, v.num_coils);
    append_length(out, v.coils.size());
    for (const auto& coil : v.coils) {
        append(out, coil);
    }
    append_length(out, v.capacitors.size());
    for (const double c : v.capacitors) {
        append_double(out, c);
    }
    append_length(out, v.possible_capacitances.size());
    for (const double c : v.possible_capacitances) {
        append_double(out, c);
    }
    append_varint(out, v.num_external_signal_sources);
    append_bool(out, v.smbus_psu_connected);
    append_varint(out, v.num_temperature_sensors);
    append_varint(out, v.num_flow_rate_sensors);
    append_bool(out, v.safety_checks_enabled);
    append_double(out, v.max_intensity_setpoint);
    append_double(out, v.max_current);
    append_double(out, v.max_carrier_frequency);
    append_double(out, v.max_temperature);
    append_double(out, v.min_flowrate);
    append_double(out, v.max_power);
}

void append(Bytes& out, const signals::Signal& v) {
    append_varint(out, v.index());
    std::visit(
        [&out](const auto& p) {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, signals::ConstantSignalParams>) {
                append_double(out, p.value);
            } else if constexpr (std::is_same_v<T, signals::SineSignalParams>) {
                append_double(out, p.amplitude);
                append_double(out, p.frequency);
                append_double(out, p.phase);
                append_double(out, p.depth);
            } else if constexpr (std::is_same_v<T, signals::RampSignalParams>) {
                append_double(out, p.peak);
                append_double(out, p.up_duration);
                append_double(out, p.down_duration);
            } else if constexpr (std::is_same_v<T, signals::MixedSignalParams>) {
                append_varint(out, p.a_idx);
                append_varint(out, p.b_idx);
            } else {
                static_assert(std::is_same_v<T, signals::ArbitrarySignalParams>);
                append_samples(out, p.samples);
            }
        },
        v);
}

void append(Bytes& out, const settings::SignalSourceSelection& v) {
    append_varint(out, v.internal);
    append_varint(out, v.external);
    append_bool(out, v.external_selected);
}

void append(Bytes& out, const settings::ChannelSettings& v) {
    append_bool(out, v.enabled);
    append(out, v.amplitude1_source);
    append(out, v.amplitude2_source);
    append(out, v.modulation_source);
    append_varint(out, v.coil_idx);
    append_varint(out, v.coil_setting_idx);
}

void append(Bytes& out, const settings::Settings& v) {
    append_bool(out, v.running_on_target_machine);
    append(out, v.machine_config);
    append_double(out, v.intensity);
    append_double(out, v.session_duration);
    append_length(out, v.signals.size());
    for (const auto& sig : v.signals) {
        append(out, sig);
    }
    append(out, v.channel_a_settings);
    append(out, v.channel_b_settings);
    for (const bool visible : v.monitor_trace_visible) {
        append_bool(out, visible);
    }
}

Bytes encode_settings(const settings::Settings& s) {
    Bytes out;
    out.reserve(settings_bound(s)); // the one allocation: no append grows past it
    append(out, s);
    return out;
}

} // namespace protocols::encoding
