#include "encoding/layout.hpp"

#include "huge_pages.hpp"

#include <cstddef>
#include <type_traits>
#include <variant>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace protocols::encoding {

namespace {

constexpr std::size_t MAX_VARINT = 10;
constexpr std::size_t MAX_SAMPLE = 3;
constexpr std::size_t DOUBLE = 8;
constexpr std::size_t SOURCE_BOUND = 2 * MAX_VARINT + 1;
constexpr std::size_t CHANNEL_BOUND = 1 + 3 * SOURCE_BOUND + 2 * MAX_VARINT;

// The vector loop below stores 16 bytes for four samples that take at
// most 12.
constexpr std::size_t STORE_SLACK = 16;

// One sample at p, 1..3 bytes; returns the end.
inline std::uint8_t* put_sample(std::uint8_t* p, std::int16_t s) noexcept {
    const auto u = static_cast<std::uint32_t>(static_cast<std::uint16_t>(s));
    // zigzag: 0, -1, 1, -2, ... -> 0, 1, 2, 3, ...; below 0x10000.
    const std::uint32_t z = ((u << 1) ^ (s < 0 ? 0xFFFFu : 0u)) & 0xFFFFu;
    const std::uint32_t more1 = z >= 0x80 ? 1u : 0u;
    const std::uint32_t more2 = z >= 0x4000 ? 1u : 0u;
    // All three bytes are stored; only 1 + more1 + more2 of them count.
    // The region holds 3 bytes per sample, so the extra stores stay
    // inside it and are overwritten by the next sample or cut off later.
    p[0] = static_cast<std::uint8_t>((z & 0x7F) | (more1 << 7));
    p[1] = static_cast<std::uint8_t>(((z >> 7) & 0x7F) | (more2 << 7));
    p[2] = static_cast<std::uint8_t>(z >> 14);
    return p + 1 + more1 + more2;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define PROTOCOLS_HAVE_SSSE3_SAMPLES 1

// Four samples' varints, each in the low bytes of a 32-bit lane, are packed
// together by one byte shuffle chosen by which lanes need a second byte
// (bits 0..3 of the index) and a third (bits 4..7).
struct SampleShuffles {
    alignas(16) std::uint8_t mask[256][16];
    std::uint8_t size[256];
};

constexpr SampleShuffles make_sample_shuffles() {
    SampleShuffles t{};
    for (unsigned code = 0; code < 256; ++code) {
        unsigned n = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const unsigned len = 1 + ((code >> lane) & 1) + ((code >> (lane + 4)) & 1);
            for (unsigned k = 0; k < len; ++k)
                t.mask[code][n++] = static_cast<std::uint8_t>(4 * lane + k);
        }
        for (unsigned k = n; k < 16; ++k)
            t.mask[code][k] = 0x80; // zero
        t.size[code] = static_cast<std::uint8_t>(n);
    }
    return t;
}

constexpr SampleShuffles SAMPLE_SHUFFLES = make_sample_shuffles();

// Four zigzag values (32-bit lanes, below 0x10000) as varints at p; returns
// the end. Stores 16 bytes.
[[gnu::target("ssse3"), gnu::always_inline]] inline std::uint8_t* put4(std::uint8_t* p,
                                                                       __m128i z) noexcept {
    const __m128i more1 = _mm_cmpgt_epi32(z, _mm_set1_epi32(0x7F));
    const __m128i more2 = _mm_cmpgt_epi32(z, _mm_set1_epi32(0x3FFF));
    // Bits 0..6, 7..13 and 14..15 of z to bytes 0, 1 and 2, then the
    // continuation bits.
    __m128i e =
        _mm_or_si128(_mm_and_si128(z, _mm_set1_epi32(0x7F)),
                     _mm_or_si128(_mm_and_si128(_mm_slli_epi32(z, 1), _mm_set1_epi32(0x7F00)),
                                  _mm_and_si128(_mm_slli_epi32(z, 2), _mm_set1_epi32(0x30000))));
    e = _mm_or_si128(e, _mm_or_si128(_mm_and_si128(more1, _mm_set1_epi32(0x80)),
                                     _mm_and_si128(more2, _mm_set1_epi32(0x8000))));
    const unsigned code = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(more1))) |
                          (static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(more2))) << 4);
    const __m128i mask =
        _mm_load_si128(reinterpret_cast<const __m128i*>(SAMPLE_SHUFFLES.mask[code]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(e, mask));
    return p + SAMPLE_SHUFFLES.size[code];
}

// Eight samples at a time; returns the end. The rest is left to the caller.
[[gnu::target("ssse3")]] std::uint8_t* put_samples_ssse3(std::uint8_t* p, const std::int16_t* s,
                                                         std::size_t n) noexcept {
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i z = _mm_xor_si128(_mm_slli_epi16(v, 1), _mm_srai_epi16(v, 15));
        p = put4(p, _mm_unpacklo_epi16(z, _mm_setzero_si128()));
        p = put4(p, _mm_unpackhi_epi16(z, _mm_setzero_si128()));
    }
    return p;
}

bool have_ssse3() noexcept {
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}

#endif

// The samples of an Arbitrary signal: count, then one zigzag varint each.
// Written straight into a region of the buffer sized for 3 bytes per sample
// (and STORE_SLACK), which is then shrunk to what was used (resizing down
// never reallocates).
void append_samples(Bytes& out, const std::vector<std::int16_t>& samples) {
    append_length(out, samples.size());
    const std::size_t start = out.size();
    out.resize(start + samples.size() * MAX_SAMPLE + STORE_SLACK);
    std::uint8_t* const base = out.data() + start;
    std::uint8_t* p = base;
    std::size_t i = 0;
#if defined(PROTOCOLS_HAVE_SSSE3_SAMPLES)
    if (have_ssse3()) {
        p = put_samples_ssse3(p, samples.data(), samples.size());
        i = samples.size() / 8 * 8;
    }
#endif
    for (; i < samples.size(); ++i) {
        p = put_sample(p, samples[i]);
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
                           return MAX_VARINT + p.samples.size() * MAX_SAMPLE + STORE_SLACK;
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

namespace {

// The most a signal other than Arbitrary takes: the tag and four doubles
// (two varints, 20 bytes, are less).
constexpr std::size_t SMALL_SIGNAL_BOUND = 1 + 4 * DOUBLE;
static_assert(SMALL_SIGNAL_BOUND >= 1 + 2 * MAX_VARINT);

// A signal other than Arbitrary, tag and fields, at p; returns the end.
std::uint8_t* put_small_signal(std::uint8_t* p, const signals::Signal& v) noexcept {
    p = put_varint(p, v.index());
    std::visit(
        [&p](const auto& params) {
            using T = std::decay_t<decltype(params)>;
            if constexpr (std::is_same_v<T, signals::ConstantSignalParams>) {
                p = put_double(p, params.value);
            } else if constexpr (std::is_same_v<T, signals::SineSignalParams>) {
                p = put_double(p, params.amplitude);
                p = put_double(p, params.frequency);
                p = put_double(p, params.phase);
                p = put_double(p, params.depth);
            } else if constexpr (std::is_same_v<T, signals::RampSignalParams>) {
                p = put_double(p, params.peak);
                p = put_double(p, params.up_duration);
                p = put_double(p, params.down_duration);
            } else if constexpr (std::is_same_v<T, signals::MixedSignalParams>) {
                p = put_varint(p, params.a_idx);
                p = put_varint(p, params.b_idx);
            }
            // Arbitrary: never passed here.
        },
        v);
    return p;
}

} // namespace

void append(Bytes& out, const signals::Signal& v) {
    if (const auto* arbitrary = std::get_if<signals::ArbitrarySignalParams>(&v)) {
        append_varint(out, v.index());
        append_samples(out, arbitrary->samples);
        return;
    }
    // Assembled in a scratch area, tag and fields, and appended with one copy.
    std::uint8_t scratch[SMALL_SIGNAL_BOUND];
    out.insert(out.end(), scratch, put_small_signal(scratch, v));
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
    // A protocol may hold millions of small signals: runs of them are
    // assembled in a scratch area and appended with one copy a run.
    std::uint8_t run[4096];
    std::uint8_t* p = run;
    for (const auto& sig : v.signals) {
        if (std::holds_alternative<signals::ArbitrarySignalParams>(sig)) {
            out.insert(out.end(), run, p);
            p = run;
            append(out, sig);
            continue;
        }
        if (static_cast<std::size_t>(run + sizeof run - p) < SMALL_SIGNAL_BOUND) {
            out.insert(out.end(), run, p);
            p = run;
        }
        p = put_small_signal(p, sig);
    }
    out.insert(out.end(), run, p);
    append(out, v.channel_a_settings);
    append(out, v.channel_b_settings);
    for (const bool visible : v.monitor_trace_visible) {
        append_bool(out, visible);
    }
}

Bytes encode_settings(const settings::Settings& s) {
    Bytes out;
    out.reserve(settings_bound(s)); // the one allocation: no append grows past it
    advise_huge_pages(out.data(), out.capacity());
    append(out, s);
    return out;
}

} // namespace protocols::encoding
