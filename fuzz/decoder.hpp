#pragma once

// A reader of protocol files, for the tests only: the library writes files
// and has no reader. It is written from the file format alone and shares no
// code with the encoder, so the two can only agree by both being right. It is
// strict where the format is: a varint must be the shortest form, a boolean 0
// or 1, a variant index 0 to 4, a zigzag sample below 0x10000, and the input
// must end exactly after the last trace flag.

#include "settings.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace fuzzing {

struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Decoder {
  public:
    explicit Decoder(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    protocols::settings::Settings settings() {
        protocols::settings::Settings s;
        s.running_on_target_machine = boolean();
        s.machine_config = machine();
        s.intensity = f64();
        s.session_duration = f64();
        const std::uint64_t n = length(1);
        for (std::uint64_t i = 0; i < n; ++i) {
            s.signals.push_back(signal());
        }
        s.channel_a_settings = channel();
        s.channel_b_settings = channel();
        for (bool& b : s.monitor_trace_visible) {
            b = boolean();
        }
        if (pos_ != bytes_.size()) {
            fail("bytes left after the last trace flag");
        }
        return s;
    }

    std::size_t position() const { return pos_; }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw DecodeError(what + " at offset " + std::to_string(pos_));
    }

    std::uint8_t byte() {
        if (pos_ >= bytes_.size()) {
            fail("unexpected end of input");
        }
        return bytes_[pos_++];
    }

    bool boolean() {
        const std::uint8_t b = byte();
        if (b > 1) {
            fail("boolean byte " + std::to_string(b));
        }
        return b == 1;
    }

    std::uint64_t varint() {
        std::uint64_t v = 0;
        for (unsigned i = 0;; ++i) {
            const std::uint8_t b = byte();
            if (i == 9 && b > 1) {
                fail("varint longer than 64 bits");
            }
            v |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
            if ((b & 0x80) == 0) {
                if (b == 0 && i > 0) {
                    fail("varint not in its shortest form");
                }
                return v;
            }
        }
    }

    // An element count, checked against what is left so that a corrupt
    // count cannot make the reader allocate without bound.
    std::uint64_t length(std::size_t min_element_size) {
        const std::uint64_t n = varint();
        if (n > (bytes_.size() - pos_) / min_element_size) {
            fail("count " + std::to_string(n) + " exceeds the input");
        }
        return n;
    }

    double f64() {
        std::uint64_t bits = 0;
        for (unsigned i = 0; i < 8; ++i) {
            bits |= static_cast<std::uint64_t>(byte()) << (8 * i);
        }
        return std::bit_cast<double>(bits);
    }

    std::int16_t zigzag16() {
        const std::uint64_t z = varint();
        if (z > 0xFFFF) {
            fail("zigzag sample above 16 bits");
        }
        const auto u = static_cast<std::uint16_t>(z);
        // 0, 1, 2, 3, ... -> 0, -1, 1, -2, ...
        const int v = (u & 1) ? -static_cast<int>(u >> 1) - 1 : static_cast<int>(u >> 1);
        return static_cast<std::int16_t>(v);
    }

    std::string text() {
        const std::uint64_t n = length(1);
        std::string s(reinterpret_cast<const char*>(bytes_.data() + pos_), n);
        pos_ += n;
        return s;
    }

    protocols::lcsettings::LCSetting row() {
        protocols::lcsettings::LCSetting r;
        r.capacitance = f64();
        r.carrier_frequency = f64();
        r.clk_ticks_per_sample = varint();
        r.capacitor_bank_setting = varint();
        return r;
    }

    protocols::lcsettings::Coil coil() {
        protocols::lcsettings::Coil c;
        c.name = text();
        c.inductance = f64();
        c.max_current = f64();
        c.max_carrier_frequency = f64();
        const std::uint64_t n = length(18);
        for (std::uint64_t i = 0; i < n; ++i) {
            c.settings.push_back(row());
        }
        return c;
    }

    std::vector<double> doubles() {
        std::vector<double> v(length(8));
        for (double& d : v) {
            d = f64();
        }
        return v;
    }

    protocols::machine_config::MachineConfig machine() {
        protocols::machine_config::MachineConfig m;
        m.supply_voltage = f64();
        m.num_coils = varint();
        const std::uint64_t n = length(26);
        for (std::uint64_t i = 0; i < n; ++i) {
            m.coils.push_back(coil());
        }
        m.capacitors = doubles();
        m.possible_capacitances = doubles();
        m.num_external_signal_sources = varint();
        m.smbus_psu_connected = boolean();
        m.num_temperature_sensors = varint();
        m.num_flow_rate_sensors = varint();
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
        const std::uint64_t index = varint();
        switch (index) {
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
            p.a_idx = varint();
            p.b_idx = varint();
            return p;
        }
        case 4: {
            sig::ArbitrarySignalParams p;
            p.samples.resize(length(1));
            for (std::int16_t& s : p.samples) {
                s = zigzag16();
            }
            return p;
        }
        default:
            fail("signal variant index " + std::to_string(index));
        }
    }

    protocols::settings::SignalSourceSelection source() {
        protocols::settings::SignalSourceSelection s;
        s.internal = varint();
        s.external = varint();
        s.external_selected = boolean();
        return s;
    }

    protocols::settings::ChannelSettings channel() {
        protocols::settings::ChannelSettings c;
        c.enabled = boolean();
        c.amplitude1_source = source();
        c.amplitude2_source = source();
        c.modulation_source = source();
        c.coil_idx = varint();
        c.coil_setting_idx = varint();
        return c;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

} // namespace fuzzing
