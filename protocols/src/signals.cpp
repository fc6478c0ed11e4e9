#include "signals.hpp"
#include "failure_texts.hpp"
#include "fresh_memory.hpp"

#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace protocols::signals {

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
    if (!(x >= 0.0)) return {std::string(error::texts::SAMPLE_BELOW_ZERO)};
    return {std::string(error::texts::SAMPLE_ABOVE_ONE)};
}

inline double load(const char* p) noexcept {
    double x;
    std::memcpy(&x, p, sizeof x); // strided array data need not be aligned
    return x;
}

// Conversion goes block by block: a block is converted without a branch
// per element and checked once at its end; a bad block is rescanned to
// report its first bad element in index order.
constexpr std::size_t BLOCK = 256;

#if defined(__SSE2__)

// Two levels to two samples, in the low two 32-bit lanes: the arithmetic of
// sample_from_level, two at a time. A lane outside 0..1 (NaN included)
// clears its bits in `ok`; what it converts to is never kept, and the
// conversion instruction gives a defined value for any input.
inline __m128i convert2(__m128d x, __m128d& ok) noexcept {
    ok = _mm_and_pd(
        ok, _mm_and_pd(_mm_cmpge_pd(x, _mm_setzero_pd()), _mm_cmple_pd(x, _mm_set1_pd(1.0))));
    const __m128d y = _mm_mul_pd(x, _mm_set1_pd(SAMPLE_SCALE));
    const __m128i t = _mm_cvttpd_epi32(y);
    // y - t is exact (0 <= y < 2^15); all ones where it is at least 0.5.
    const __m128d up = _mm_cmpge_pd(_mm_sub_pd(y, _mm_cvtepi32_pd(t)), _mm_set1_pd(0.5));
    return _mm_sub_epi32(t, _mm_shuffle_epi32(_mm_castpd_si128(up), _MM_SHUFFLE(3, 3, 2, 0)));
}

// Levels i and i + 1 from p, the address of level i.
template <bool Contiguous>
inline __m128d load2(const char* p, std::ptrdiff_t stride) noexcept {
    if constexpr (Contiguous) {
        return _mm_loadu_pd(reinterpret_cast<const double*>(p));
    } else {
        return _mm_set_pd(load(p + stride), load(p));
    }
}

// One block; false if any of its levels is out of range.
template <bool Contiguous>
bool convert_block(const char* p, std::ptrdiff_t stride, std::int16_t* dst) noexcept {
    __m128d ok = _mm_castsi128_pd(_mm_set1_epi32(-1));
    for (std::size_t j = 0; j < BLOCK; j += 8) {
        const __m128d x0 = load2<Contiguous>(p, stride);
        const __m128d x1 = load2<Contiguous>(p + 2 * stride, stride);
        const __m128d x2 = load2<Contiguous>(p + 4 * stride, stride);
        const __m128d x3 = load2<Contiguous>(p + 6 * stride, stride);
        const __m128i lo = _mm_unpacklo_epi64(convert2(x0, ok), convert2(x1, ok));
        const __m128i hi = _mm_unpacklo_epi64(convert2(x2, ok), convert2(x3, ok));
        // Every sample is in 0..32767, so the saturating pack is exact.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j), _mm_packs_epi32(lo, hi));
        p += 8 * stride;
    }
    return _mm_movemask_pd(ok) == 0x3;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define PROTOCOLS_HAVE_AVX2_BLOCKS 1

// The same four at a time, for processors that have AVX2 (chosen at run
// time; the library itself is built for the x86-64 baseline).
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i convert4(__m256d x,
                                                                    __m256d& ok) noexcept {
    ok = _mm256_and_pd(ok, _mm256_and_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_GE_OQ),
                                         _mm256_cmp_pd(x, _mm256_set1_pd(1.0), _CMP_LE_OQ)));
    const __m256d y = _mm256_mul_pd(x, _mm256_set1_pd(SAMPLE_SCALE));
    const __m128i t = _mm256_cvttpd_epi32(y);
    const __m256d up =
        _mm256_cmp_pd(_mm256_sub_pd(y, _mm256_cvtepi32_pd(t)), _mm256_set1_pd(0.5), _CMP_GE_OQ);
    // The low halves of the four 64-bit masks, as four 32-bit masks.
    const __m128 up32 =
        _mm_shuffle_ps(_mm_castpd_ps(_mm256_castpd256_pd128(up)),
                       _mm_castpd_ps(_mm256_extractf128_pd(up, 1)), _MM_SHUFFLE(2, 0, 2, 0));
    return _mm_sub_epi32(t, _mm_castps_si128(up32));
}

template <bool Contiguous>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d load4(const char* p,
                                                                 std::ptrdiff_t stride) noexcept {
    if constexpr (Contiguous) {
        return _mm256_loadu_pd(reinterpret_cast<const double*>(p));
    } else {
        return _mm256_set_pd(load(p + 3 * stride), load(p + 2 * stride), load(p + stride), load(p));
    }
}

template <bool Contiguous>
[[gnu::target("avx2")]] bool convert_block_avx2(const char* p, std::ptrdiff_t stride,
                                                std::int16_t* dst) noexcept {
    __m256d ok = _mm256_castsi256_pd(_mm256_set1_epi32(-1));
    for (std::size_t j = 0; j < BLOCK; j += 8) {
        const __m128i lo = convert4(load4<Contiguous>(p, stride), ok);
        const __m128i hi = convert4(load4<Contiguous>(p + 4 * stride, stride), ok);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j), _mm_packs_epi32(lo, hi));
        p += 8 * stride;
    }
    return _mm256_movemask_pd(ok) == 0xF;
}

bool have_avx2() noexcept {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

#endif

#else

template <bool Contiguous>
bool convert_block(const char* p, std::ptrdiff_t stride, std::int16_t* dst) noexcept {
    bool ok = true;
    for (std::size_t j = 0; j < BLOCK; ++j) {
        const double x = load(p + static_cast<std::ptrdiff_t>(j) * stride);
        ok &= x >= 0.0 && x <= 1.0;
        dst[j] = sample_from_level(x >= 0.0 && x <= 1.0 ? x : 0.0);
    }
    return ok;
}

#endif

// The first bad element of `count` levels, which are known to hold one.
[[gnu::noinline, gnu::cold]] error::Failure first_failure(const char* data, std::ptrdiff_t stride,
                                                          std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const double x = load(data + static_cast<std::ptrdiff_t>(i) * stride);
        if (!(x >= 0.0 && x <= 1.0)) return level_failure(x);
    }
    return level_failure(std::numeric_limits<double>::quiet_NaN()); // not reached
}

} // namespace

std::expected<std::vector<std::int16_t>, error::Failure>
samples_from_levels(const char* data, std::ptrdiff_t stride, std::size_t count, Kernels kernels) {
    // Reserved, not sized: sizing would first fill the whole buffer with
    // zeros, a pass over it as long as the conversion's own. Each block is
    // converted into a scratch that stays in the cache and appended from
    // there.
    std::vector<std::int16_t> out;
    out.reserve(count);
    // Filled whole unless a level is out of range.
    populate_for_writing(out.data(), count * sizeof(std::int16_t));
    alignas(32) std::int16_t block[BLOCK];
    const bool contiguous = stride == static_cast<std::ptrdiff_t>(sizeof(double));
#if defined(PROTOCOLS_HAVE_AVX2_BLOCKS)
    const bool avx2 = kernels == Kernels::Widest && have_avx2();
#else
    static_cast<void>(kernels);
#endif

    std::size_t start = 0;
    for (; count - start >= BLOCK; start += BLOCK) {
        const char* p = data + static_cast<std::ptrdiff_t>(start) * stride;
        // The contiguous case gets the stride as a constant: whole-vector loads.
        bool ok;
#if defined(PROTOCOLS_HAVE_AVX2_BLOCKS)
        if (avx2) {
            ok = contiguous ? convert_block_avx2<true>(p, sizeof(double), block)
                            : convert_block_avx2<false>(p, stride, block);
        } else
#endif
        {
            ok = contiguous ? convert_block<true>(p, sizeof(double), block)
                            : convert_block<false>(p, stride, block);
        }
        if (!ok) [[unlikely]]
            return std::unexpected(first_failure(p, stride, BLOCK));
        out.insert(out.end(), block, block + BLOCK); // within the reservation
    }
    for (std::size_t i = start; i < count; ++i) {
        const double x = load(data + static_cast<std::ptrdiff_t>(i) * stride);
        if (!(x >= 0.0 && x <= 1.0)) [[unlikely]]
            return std::unexpected(level_failure(x));
        out.push_back(sample_from_level(x));
    }
    return out;
}

} // namespace protocols::signals
