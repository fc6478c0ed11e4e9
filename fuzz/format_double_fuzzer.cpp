// Double formatter: for any double, the text must read back as the same
// double, use the fewest significant digits that do, pick the nearest such
// digits, and lay them out in the decimal or exponential form by magnitude.
//
// The expected text is derived independently of the formatter, from glibc's
// printf (exact for every precision) and strtod (correctly rounded): for
// n = 1, 2, ... the n-digit decimals next to x are the correctly rounded one
// and its two neighbours in the last digit; the first n for which one of
// them reads back as x is the shortest length.

#include "check.hpp"

#include "text.hpp"

#include "provider.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// 0.digits x 10^exp, digits without leading or trailing zeros.
struct Decimal {
    std::string digits;
    int exp = 0;
};

void strip_trailing_zeros(Decimal& d) {
    while (d.digits.size() > 1 && d.digits.back() == '0') {
        d.digits.pop_back();
    }
}

// x (finite, positive) correctly rounded to n significant digits.
Decimal rounded(double x, int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", n - 1, x);
    Decimal d;
    const char* p = buf;
    for (; *p != 'e'; ++p) {
        if (*p != '.') {
            d.digits.push_back(*p);
        }
    }
    d.exp = std::atoi(p + 1) + 1;
    return d;
}

// The neighbour of d one unit away in its last digit (delta +1 or -1);
// nothing when that is zero.
std::optional<Decimal> neighbour(Decimal d, int delta) {
    std::string& s = d.digits;
    if (delta > 0) {
        std::size_t i = s.size();
        while (i > 0 && s[i - 1] == '9') {
            s[--i] = '0';
        }
        if (i == 0) {
            s.insert(s.begin(), '1');
            ++d.exp;
        } else {
            ++s[i - 1];
        }
    } else {
        std::size_t i = s.size();
        while (i > 0 && s[i - 1] == '0') {
            s[--i] = '9';
        }
        --s[i - 1]; // digits start with a non-zero digit, so i > 0
        if (s[0] == '0') {
            s.erase(s.begin());
            --d.exp;
            if (s.empty() || s.find_first_not_of('0') == std::string::npos) {
                return std::nullopt;
            }
        }
    }
    strip_trailing_zeros(d);
    return d;
}

double value_of(const Decimal& d) {
    const std::string s = "0." + d.digits + "e" + std::to_string(d.exp);
    return std::strtod(s.c_str(), nullptr);
}

bool reads_back(const Decimal& d, double x) {
    return std::bit_cast<std::uint64_t>(value_of(d)) == std::bit_cast<std::uint64_t>(x);
}

// True when x lies exactly halfway between two n-digit decimals.
bool is_midpoint(double x, int n) {
    char buf[1100];
    std::snprintf(buf, sizeof buf, "%.*e", 800, x); // exact: a double has < 770 significant digits
    std::string digits;
    for (const char* p = buf; *p != 'e'; ++p) {
        if (*p != '.') {
            digits.push_back(*p);
        }
    }
    if (digits.size() <= static_cast<std::size_t>(n) || digits[n] != '5') {
        return false;
    }
    return digits.find_first_not_of('0', n + 1) == std::string::npos;
}

std::string layout(const Decimal& d, bool negative, double magnitude) {
    std::string out = negative ? "-" : "";
    const int n = static_cast<int>(d.digits.size());
    const int e = d.exp;
    if (magnitude >= 0.0001 && magnitude < 1e16) {
        if (e <= 0) {
            out += "0." + std::string(static_cast<std::size_t>(-e), '0') + d.digits;
        } else if (e < n) {
            out += d.digits.substr(0, e) + "." + d.digits.substr(e);
        } else {
            out += d.digits + std::string(static_cast<std::size_t>(e - n), '0') + ".0";
        }
    } else {
        out += d.digits.substr(0, 1);
        if (n > 1) {
            out += "." + d.digits.substr(1);
        }
        out += "e" + std::to_string(e - 1);
    }
    return out;
}

std::string hex(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(x)));
    return buf;
}

void check_one(double x) {
    const std::string got = protocols::text::format_double(x);
    std::string appended = "prefix";
    protocols::text::append_double(appended, x);
    fuzzing::check(appended == "prefix" + got,
                   "append_double differs from format_double for " + hex(x));

    if (std::isnan(x)) {
        fuzzing::check(got == "NaN", "NaN " + hex(x) + " gave " + got);
        return;
    }
    // Independent of the reference below: the text reads back as x.
    const double back = std::strtod(got.c_str(), nullptr);
    fuzzing::check(std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(x),
                   hex(x) + " gave " + got + ", which reads back as " + hex(back));

    const bool negative = std::signbit(x);
    const double m = std::fabs(x);
    if (std::isinf(m)) {
        fuzzing::check(got == (negative ? "-inf" : "inf"), hex(x) + " gave " + got);
        return;
    }
    if (m == 0.0) {
        fuzzing::check(got == (negative ? "-0.0" : "0.0"), hex(x) + " gave " + got);
        return;
    }

    for (int n = 1; n <= 17; ++n) {
        const Decimal r = rounded(m, n);
        std::optional<Decimal> best;
        std::optional<Decimal> tie;
        if (reads_back(r, m)) {
            best = r;
            if (is_midpoint(m, n)) {
                // Both neighbours are equally near; either is correct.
                for (int delta : {-1, 1}) {
                    if (auto nb = neighbour(r, delta);
                        nb && reads_back(*nb, m) && nb->digits.size() == r.digits.size()) {
                        tie = nb;
                    }
                }
            }
        } else {
            for (int delta : {-1, 1}) {
                if (auto nb = neighbour(r, delta); nb && reads_back(*nb, m)) {
                    best = nb;
                }
            }
        }
        if (!best) {
            continue;
        }
        Decimal want = *best;
        strip_trailing_zeros(want);
        const std::string expected = layout(want, negative, m);
        if (got == expected) {
            return;
        }
        if (tie) {
            Decimal other = *tie;
            strip_trailing_zeros(other);
            if (got == layout(other, negative, m)) {
                return;
            }
        }
        fuzzing::fail(hex(x) + " gave " + got + ", expected " + expected);
    }
    fuzzing::fail(hex(x) + ": no decimal of 17 digits reads back (reference broken)");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        if (in.ConsumeBool()) {
            // Decimal text, so that short values such as 0.3 or 1e16 occur
            // much more often than among random bit patterns.
            const std::string text = in.ConsumeRandomLengthString(40);
            check_one(std::strtod(text.c_str(), nullptr));
        } else {
            check_one(std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()));
        }
    }
    return 0;
}
