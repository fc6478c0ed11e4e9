#include "encoding/samples.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace protocols::encoding {

namespace {

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
        // A long run is read once from memory, and the loads stalled on it
        // (half the kernel's time): ask for it well ahead. A prefetch past
        // the end never faults.
        _mm_prefetch(reinterpret_cast<const char*>(s + i) + 2048, _MM_HINT_T0);
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

} // namespace

std::uint8_t* put_samples(std::uint8_t* p, const std::int16_t* s, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(PROTOCOLS_HAVE_SSSE3_SAMPLES)
    if (have_ssse3()) {
        p = put_samples_ssse3(p, s, n);
        i = n / 8 * 8;
    }
#endif
    for (; i < n; ++i) {
        p = put_sample(p, s[i]);
    }
    return p;
}

} // namespace protocols::encoding
