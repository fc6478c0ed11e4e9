#pragma once

#include "error.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>
#include <variant>
#include <vector>

namespace protocols::signals {

struct ConstantSignalParams {
    double value = 0.0;
};

struct SineSignalParams {
    double amplitude = 0.0;
    double frequency = 0.0;
    double phase = 0.0;
    double depth = 0.0;
};

struct RampSignalParams {
    double peak = 0.0;
    double up_duration = 0.0;
    double down_duration = 0.0;
};

struct MixedSignalParams {
    std::uint64_t a_idx = 0;
    std::uint64_t b_idx = 0;
};

struct ArbitrarySignalParams {
    std::vector<std::int16_t> samples; // 0..32767 stands for 0.0..1.0
};

// The variant index is what the protocol file stores: keep this order.
using Signal = std::variant<ConstantSignalParams, SineSignalParams, RampSignalParams,
                            MixedSignalParams, ArbitrarySignalParams>;

// The variants' names by index, as the text form spells them.
inline constexpr std::array<std::string_view, std::variant_size_v<Signal>> SIGNAL_NAMES = {
    "Constant", "Sine", "Ramp", "MixedSignal", "Arbitrary"};

// Factor between a sample level of 1.0 and its stored value.
inline constexpr double SAMPLE_SCALE = 32767.0;

// round(x * 32767.0), halves away from zero, for 0.0 <= x <= 1.0.
std::int16_t sample_from_level(double x) noexcept;

// Converts `count` doubles starting at `data`, `stride` bytes apart (any
// sign, zero allowed), into samples. Reads each element once, in index
// order; the first element outside 0.0..1.0 (or NaN) decides the failure:
// "assertion failed: *sample >= 0.0" or "assertion failed: *sample <= 1.0".
//
// The conversion uses the widest vector instructions the processor has;
// `Kernels::Baseline` keeps it to those every processor of the target
// architecture has, so that tests cover both on any machine.
enum class Kernels { Widest, Baseline };
std::expected<std::vector<std::int16_t>, error::Failure>
samples_from_levels(const char* data, std::ptrdiff_t stride, std::size_t count,
                    Kernels kernels = Kernels::Widest);

} // namespace protocols::signals
