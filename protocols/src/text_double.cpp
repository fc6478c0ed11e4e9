#include "text_double.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace protocols::text {

namespace {

constexpr double POW10[] = {1.0, 10.0, 100.0, 1000.0};
constexpr std::uint64_t IPOW10[] = {1, 10, 100, 1000};

// Below this, x * 10^k is within 2^-13 of its exact value, and the doubles
// around x are far closer together than 10^-k: at most one decimal with k
// digits after the point reads back as x, and when one does, rounding
// x * 10^k finds it.
constexpr double SHORT_LIMIT = 0x1p40;

// The values protocols hold are mostly short decimals (60.0, 0.5, 10.0,
// 0.25, 22.5): those whose shortest form has at most three digits after
// the point are found with a multiplication and a division each, and are
// written exactly as the general path below would write them. Writes to p
// and returns the end, or nullptr when x is not such a value. For
// 1e-4 <= x < 2^40.
char* put_short_decimal(char* p, double x) noexcept {
    for (int k = 0; k < 4; ++k) {
        // Rounded to an integer by the addition (round to nearest; exact
        // below 2^52), which needs no library call.
        const double m = (x * POW10[k] + 0x1p52) - 0x1p52;
        if (m >= SHORT_LIMIT) return nullptr;
        if (m / POW10[k] != x) continue; // the only candidate with k digits does not read back
        // The first k that reads back gives the shortest digits, and its
        // last digit is not 0 (else k - 1 would have read back).
        const auto n = static_cast<std::uint64_t>(m);
        p = std::to_chars(p, p + 16, n / IPOW10[k]).ptr;
        *p++ = '.';
        if (k == 0) {
            *p++ = '0';
            return p;
        }
        std::uint64_t frac = n % IPOW10[k];
        for (int d = k - 1; d >= 0; --d) {
            p[d] = static_cast<char>('0' + frac % 10);
            frac /= 10;
        }
        return p + k;
    }
    return nullptr;
}

} // namespace

char* put_double(char* p, double x) noexcept {
    if (std::isnan(x)) {
        std::memcpy(p, "NaN", 3);
        return p + 3;
    }
    if (std::signbit(x)) {
        *p++ = '-';
        x = -x;
    }
    if (std::isinf(x)) {
        std::memcpy(p, "inf", 3);
        return p + 3;
    }
    if (x == 0.0) {
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }
    if (x >= 0.0001 && x < SHORT_LIMIT) {
        if (char* end = put_short_decimal(p, x)) return end;
    }

    // Shortest round-trip digits, nearest to the exact value among the
    // shortest: "d[.ddd]e[+-]XX".
    char sci[40];
    const auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    const char* q = sci;
    char digits[20];
    int n = 0;
    digits[n++] = *q++;
    if (*q == '.') {
        ++q;
        while (*q != 'e') {
            digits[n++] = *q++;
        }
    }
    ++q; // 'e'
    const bool neg_exp = *q == '-';
    ++q; // sign, always present
    int e10 = 0;
    for (; q < r.ptr; ++q) {
        e10 = e10 * 10 + (*q - '0');
    }
    if (neg_exp) {
        e10 = -e10;
    }

    if (x >= 0.0001 && x < 1e16) {
        // 0.d1d2...dn x 10^E with E = e10 + 1.
        const int e = e10 + 1;
        if (e <= 0) {
            *p++ = '0';
            *p++ = '.';
            for (int k = 0; k < -e; ++k) {
                *p++ = '0';
            }
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
        } else if (e < n) {
            std::memcpy(p, digits, static_cast<std::size_t>(e));
            p += e;
            *p++ = '.';
            std::memcpy(p, digits + e, static_cast<std::size_t>(n - e));
            p += n - e;
        } else {
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
            for (int k = 0; k < e - n; ++k) {
                *p++ = '0';
            }
            *p++ = '.';
            *p++ = '0';
        }
        return p;
    }

    *p++ = digits[0];
    if (n > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, static_cast<std::size_t>(n - 1));
        p += n - 1;
    }
    *p++ = 'e';
    if (e10 < 0) {
        *p++ = '-';
        e10 = -e10;
    }
    return std::to_chars(p, p + 8, e10).ptr;
}

void append_double(std::string& out, double x) {
    char buf[MAX_DOUBLE_CHARS + 8];
    out.append(buf, put_double(buf, x));
}

std::string format_double(double x) {
    char buf[MAX_DOUBLE_CHARS + 8];
    return std::string(buf, put_double(buf, x));
}

} // namespace protocols::text
