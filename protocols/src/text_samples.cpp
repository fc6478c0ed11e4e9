#include "text_samples.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace protocols::text {

namespace {

constexpr std::size_t SPACES_LEN = 256;
constexpr std::array<char, SPACES_LEN> SPACES = [] {
    std::array<char, SPACES_LEN> a{};
    for (char& c : a) {
        c = ' ';
    }
    return a;
}();

// Copies n spaces to p and returns the end.
char* put_spaces(char* p, std::size_t n) noexcept {
    while (n > SPACES_LEN) {
        std::memcpy(p, SPACES.data(), SPACES_LEN);
        p += SPACES_LEN;
        n -= SPACES_LEN;
    }
    std::memcpy(p, SPACES.data(), n);
    return p + n;
}

// ---------------------------------------------------------------------------
// Sample lines: indentation, the number, ",\n". These make nearly all of a
// large text, so they have a writer of their own.

// The longest a fast line store reaches past its start: indentation rounded
// up to whole 8-byte stores or the sign and an 8-byte store of the digits.
constexpr std::size_t sample_line_reach(std::size_t indent) noexcept {
    return indent + 1 + 8 + 8;
}

// The end of a sample line for each magnitude 0..32768, as stored: the
// digits from the lowest byte up, then ",\n", and in the top byte the
// length of all that. 256 KiB, made on first use.
struct LineTails {
    std::array<std::uint64_t, 32769> tail;
    LineTails() noexcept {
        for (std::uint32_t a = 0; a < tail.size(); ++a) {
            char buf[8] = {};
            char* q = std::to_chars(buf, buf + 5, a).ptr;
            *q++ = ',';
            *q++ = '\n';
            std::uint64_t w = 0;
            for (int k = 6; k >= 0; --k)
                w = (w << 8) | static_cast<unsigned char>(buf[k]);
            tail[a] = w | (static_cast<std::uint64_t>(q - buf) << 56);
        }
    }
};

const LineTails& line_tails() noexcept {
    static const LineTails tails;
    return tails;
}

// Writes one line with whole 8-byte stores, which may reach past the line's
// end (never further than sample_line_reach(indent) from p); the next line,
// or whatever the caller writes next, overwrites those bytes.
inline char* put_sample_line_fast(char* p, const LineTails& tails, std::size_t indent,
                                  std::int16_t s) noexcept {
    constexpr std::uint64_t SPACES8 = 0x2020202020202020u;
    for (std::size_t k = 0; k < indent; k += 8) {
        std::memcpy(p + k, &SPACES8, 8);
    }
    p += indent;
    *p = '-';
    p += s < 0;
    const std::int32_t v = s;
    std::uint64_t w = tails.tail[static_cast<std::size_t>(v < 0 ? -v : v)];
    const std::size_t len = w >> 56;
    if constexpr (std::endian::native != std::endian::little) {
        w = std::byteswap(w);
    }
    std::memcpy(p, &w, 8);
    return p + len;
}

// Writes one line exactly, nothing past its end.
char* put_sample_line_exact(char* p, std::size_t indent, std::int16_t s) noexcept {
    p = put_spaces(p, indent);
    p = std::to_chars(p, p + 6, s).ptr;
    p[0] = ',';
    p[1] = '\n';
    return p + 2;
}

} // namespace

char* put_sample_lines(char* p, char* limit, const std::vector<std::int16_t>& samples,
                       std::size_t indent) noexcept {
    const std::size_t reach = sample_line_reach(indent);
    const std::int16_t* s = samples.data();
    const std::int16_t* const end = s + samples.size();
    if (samples.size() > 64 && limit - p >= static_cast<std::ptrdiff_t>(reach)) {
        const LineTails& tails = line_tails();
        const char* const last_fast = limit - reach;
        if (indent == 24) {
            // The depth of the samples in a whole protocol: a constant
            // lets the indentation become three plain stores.
            for (; s != end && p <= last_fast; ++s)
                p = put_sample_line_fast(p, tails, 24, *s);
        } else {
            for (; s != end && p <= last_fast; ++s)
                p = put_sample_line_fast(p, tails, indent, *s);
        }
    }
    for (; s != end; ++s)
        p = put_sample_line_exact(p, indent, *s);
    return p;
}

namespace {

// The number of characters of s in decimal, sign included.
inline std::size_t decimal_width(std::int16_t s) noexcept {
    const std::int32_t v = s;
    const std::int32_t a = v < 0 ? -v : v;
    return 1u + (v < 0) + (a >= 10) + (a >= 100) + (a >= 1000) + (a >= 10000);
}

} // namespace

std::size_t sample_lines_size(const std::vector<std::int16_t>& samples,
                              std::size_t indent) noexcept {
    std::size_t total = samples.size() * (indent + 2);
    const std::int16_t* s = samples.data();
    std::size_t left = samples.size();
#if defined(__SSE2__)
    // Eight at a time in 16-bit lanes: each lane counts the digits beyond
    // the first and the sign, at most 5 a sample, so a block of 4096 steps
    // cannot overflow it. The compares are unsigned (bias by 0x8000), so
    // -32768, whose magnitude only fits unsigned, counts right.
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i t10 = _mm_set1_epi16(static_cast<short>(9 ^ 0x8000));
    const __m128i t100 = _mm_set1_epi16(static_cast<short>(99 ^ 0x8000));
    const __m128i t1000 = _mm_set1_epi16(static_cast<short>(999 ^ 0x8000));
    const __m128i t10000 = _mm_set1_epi16(static_cast<short>(9999 ^ 0x8000));
    while (left >= 8) {
        const std::size_t steps = left / 8 < 4096 ? left / 8 : 4096;
        __m128i count = _mm_setzero_si128();
        for (std::size_t k = 0; k < steps; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8 * k));
            const __m128i neg = _mm_srai_epi16(v, 15);                   // all ones if < 0
            const __m128i a = _mm_sub_epi16(_mm_xor_si128(v, neg), neg); // |v|, mod 2^16
            const __m128i b = _mm_xor_si128(a, bias);
            count = _mm_sub_epi16(count, neg);
            count = _mm_sub_epi16(count, _mm_cmpgt_epi16(b, t10));
            count = _mm_sub_epi16(count, _mm_cmpgt_epi16(b, t100));
            count = _mm_sub_epi16(count, _mm_cmpgt_epi16(b, t1000));
            count = _mm_sub_epi16(count, _mm_cmpgt_epi16(b, t10000));
        }
        // Lanes as unsigned 16-bit values, summed in 32 bits.
        const __m128i lo = _mm_unpacklo_epi16(count, _mm_setzero_si128());
        const __m128i hi = _mm_unpackhi_epi16(count, _mm_setzero_si128());
        alignas(16) std::uint32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi32(lo, hi));
        total += steps * 8 + std::size_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
        s += steps * 8;
        left -= steps * 8;
    }
#endif
    for (; left > 0; --left) {
        total += decimal_width(*s++);
    }
    return total;
}

char* put_sample_list(char* p, const std::vector<std::int16_t>& samples) noexcept {
    bool first = true;
    for (const std::int16_t s : samples) {
        if (!first) {
            p[0] = ',';
            p[1] = ' ';
            p += 2;
        }
        first = false;
        p = std::to_chars(p, p + 6, s).ptr;
    }
    return p;
}

std::size_t sample_list_size(const std::vector<std::int16_t>& samples) noexcept {
    if (samples.empty()) return 0;
    // The multi-line size at no indentation counts ",\n" after each.
    return sample_lines_size(samples, 0) - 2;
}

} // namespace protocols::text
