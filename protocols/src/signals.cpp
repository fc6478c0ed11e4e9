#include "signals.hpp"

#include <array>
#include <cstring>

namespace protocols::signals {

std::string_view variant_name(const Signal& s) noexcept {
    static constexpr std::array<std::string_view, 5> names = {"Constant", "Sine", "Ramp",
                                                              "MixedSignal", "Arbitrary"};
    return names[s.index()];
}

std::int16_t sample_from_level(double x) noexcept {
    // Truncate, then step up when the exact fraction is at least one half.
    // y - t is exact here (0 <= y < 2^15), so this is round-half-away for
    // every y, unlike (int)(y + 0.5), which rounds 0.49999999999999994 up.
    const double y = x * SAMPLE_SCALE;
    const auto t = static_cast<std::int32_t>(y);
    return static_cast<std::int16_t>(t + ((y - static_cast<double>(t)) >= 0.5 ? 1 : 0));
}

namespace {

[[gnu::noinline, gnu::cold]] error::Failure level_failure(double x) {
    if (!(x >= 0.0)) return {"assertion failed: *sample >= 0.0"};
    return {"assertion failed: *sample <= 1.0"};
}

inline double load(const char* p) noexcept {
    double x;
    std::memcpy(&x, p, sizeof x); // strided array data need not be aligned
    return x;
}

} // namespace

std::expected<std::vector<std::int16_t>, error::Failure>
samples_from_levels(const char* data, std::ptrdiff_t stride, std::size_t count) {
    std::vector<std::int16_t> out(count);
    std::int16_t* dst = out.data();

    // Blocks keep the range test branch-free inside, so the loop vectorises;
    // a bad block is rescanned to report its first bad element in order.
    constexpr std::size_t BLOCK = 256;
    for (std::size_t start = 0; start < count; start += BLOCK) {
        const std::size_t end = start + BLOCK < count ? start + BLOCK : count;
        bool bad = false;
        for (std::size_t i = start; i < end; ++i) {
            const double x = load(data + static_cast<std::ptrdiff_t>(i) * stride);
            bad |= !(x >= 0.0 && x <= 1.0);
            dst[i] = sample_from_level(x >= 0.0 && x <= 1.0 ? x : 0.0);
        }
        if (bad) [[unlikely]] {
            for (std::size_t i = start; i < end; ++i) {
                const double x = load(data + static_cast<std::ptrdiff_t>(i) * stride);
                if (!(x >= 0.0 && x <= 1.0)) return std::unexpected(level_failure(x));
            }
        }
    }
    return out;
}

} // namespace protocols::signals
