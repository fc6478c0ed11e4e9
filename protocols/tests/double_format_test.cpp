// The double form: the reference table, and a property test
// over a few million bit patterns (read-back, shortness, nearest digits and
// layout).

#include "text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using protocols::text::append_double;
using protocols::text::format_double;

double from_bits(std::uint64_t b) {
    return std::bit_cast<double>(b);
}
std::uint64_t to_bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

// ---------------------------------------------------------------------------
// Table.

struct DoubleCase {
    double x;
    const char* text;
};

void PrintTo(const DoubleCase& c, std::ostream* os) {
    *os << "0x" << std::hex << to_bits(c.x) << std::dec << " -> " << c.text;
}

class DoubleFormatTable : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(DoubleFormatTable, FormatsAsTheDesignSays) {
    const DoubleCase& c = GetParam();
    EXPECT_EQ(format_double(c.x), c.text);
    std::string out = "x=";
    append_double(out, c.x);
    EXPECT_EQ(out, std::string("x=") + c.text);
}

// The table of reference values.
INSTANTIATE_TEST_SUITE_P(
    DoubleDesign, DoubleFormatTable,
    ::testing::Values(DoubleCase{60.0, "60.0"}, DoubleCase{0.1, "0.1"}, DoubleCase{0.3, "0.3"},
                      DoubleCase{100.0, "100.0"},
                      DoubleCase{22.624434389140273, "22.624434389140273"},
                      DoubleCase{0.0001, "0.0001"}, DoubleCase{0.00012, "0.00012"},
                      DoubleCase{0.000015, "1.5e-5"}, DoubleCase{0.0000001, "1e-7"},
                      DoubleCase{1e15, "1000000000000000.0"}, DoubleCase{1e16, "1e16"},
                      DoubleCase{2.5e20, "2.5e20"}, DoubleCase{-0.0, "-0.0"},
                      DoubleCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      DoubleCase{std::numeric_limits<double>::quiet_NaN(), "NaN"}));

// Further values: boundaries of the decimal range, extremes, NaN signs.
INSTANTIATE_TEST_SUITE_P(
    DoubleExtra, DoubleFormatTable,
    ::testing::Values(
        DoubleCase{0.0, "0.0"}, DoubleCase{1.0, "1.0"}, DoubleCase{-1.5, "-1.5"},
        DoubleCase{0.5, "0.5"}, DoubleCase{2e-5, "2e-5"}, DoubleCase{0.25, "0.25"},
        DoubleCase{0.001, "0.001"}, DoubleCase{1e-5, "1e-5"}, DoubleCase{-1e-5, "-1e-5"},
        DoubleCase{100000.0, "100000.0"}, DoubleCase{123456.789, "123456.789"},
        DoubleCase{520.0, "520.0"}, DoubleCase{16384.0, "16384.0"},
        DoubleCase{std::nextafter(0.0001, 0.0), "9.999999999999999e-5"},
        DoubleCase{std::nextafter(0.0001, 1.0), "0.00010000000000000002"},
        DoubleCase{9999999999999998.0, "9999999999999998.0"},
        DoubleCase{9007199254740992.0, "9007199254740992.0"},
        DoubleCase{1e16 + 2.0, "1.0000000000000002e16"},
        DoubleCase{12345678901234567890.0, "1.2345678901234567e19"}, DoubleCase{1e21, "1e21"},
        DoubleCase{1e100, "1e100"}, DoubleCase{-1e-100, "-1e-100"},
        DoubleCase{std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        DoubleCase{std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        DoubleCase{std::numeric_limits<double>::denorm_min(), "5e-324"},
        DoubleCase{-std::numeric_limits<double>::denorm_min(), "-5e-324"},
        DoubleCase{std::numeric_limits<double>::infinity(), "inf"},
        DoubleCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        DoubleCase{from_bits(0x7FF0000000000001ULL), "NaN"},
        DoubleCase{from_bits(0xFFF8000000000123ULL), "NaN"},
        DoubleCase{0.1 + 0.2, "0.30000000000000004"}, DoubleCase{1.0 / 3.0, "0.3333333333333333"},
        DoubleCase{5e-324 * 3.0, "1.5e-323"}));

// ---------------------------------------------------------------------------
// Property test.

// Significant digits of a rendering: sign, point and exponent removed,
// leading and trailing zeros stripped.
std::string significant_digits(const std::string& s) {
    std::string d;
    for (char c : s) {
        if (c == 'e') {
            break;
        }
        if (c >= '0' && c <= '9') {
            d.push_back(c);
        }
    }
    const auto first = d.find_first_not_of('0');
    if (first == std::string::npos) {
        return {};
    }
    const auto last = d.find_last_not_of('0');
    return d.substr(first, last - first + 1);
}

// Shortest round-trip digits from to_chars (scientific, no precision).
std::string shortest_digits(double x) {
    char buf[64];
    const auto r =
        std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
    std::string d;
    for (const char* p = buf; p < r.ptr && *p != 'e'; ++p) {
        if (*p != '.') {
            d.push_back(*p);
        }
    }
    return d;
}

bool reads_back(const char* text, double x) {
    char* end = nullptr;
    const double y = std::strtod(text, &end);
    return *end == '\0' && to_bits(y) == to_bits(x);
}

// Checks every rule for the text of one finite non-zero x
// or special value; returns an empty string or a description of the fault.
std::string check(double x, bool deep) {
    const std::string s = format_double(x);
    if (std::isnan(x)) {
        return s == "NaN" ? "" : "NaN rendered as " + s;
    }
    const bool neg = std::signbit(x);
    if (neg != (!s.empty() && s[0] == '-')) {
        return "sign wrong: " + s;
    }
    const std::string body = neg ? s.substr(1) : s;
    if (std::isinf(x)) {
        return body == "inf" ? "" : "infinity rendered as " + s;
    }
    if (x == 0.0) {
        return body == "0.0" ? "" : "zero rendered as " + s;
    }
    if (body.find('+') != std::string::npos) {
        return "has '+': " + s;
    }

    // Read back with from_chars and with strtod.
    double y = 0.0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), y);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || to_bits(y) != to_bits(x)) {
        return "from_chars does not read back: " + s;
    }
    if (!reads_back(s.c_str(), x)) {
        return "strtod does not read back: " + s;
    }

    // Shortest digits: the same as to_chars' shortest.
    const std::string digits = significant_digits(s);
    const std::string want = shortest_digits(x);
    if (digits != want) {
        return "digits " + digits + " != shortest " + want + ": " + s;
    }

    // Layout.
    const double a = std::fabs(x);
    const bool decimal = a >= 0.0001 && a < 1e16;
    const auto e = body.find('e');
    if (decimal) {
        const auto point = body.find('.');
        if (e != std::string::npos || point == std::string::npos || point == 0 ||
            point + 1 == body.size()) {
            return "not a decimal number: " + s;
        }
        if (body[0] == '0' && point != 1) {
            return "leading zero: " + s;
        }
        if (body.find_first_not_of("0123456789.") != std::string::npos) {
            return "stray character: " + s;
        }
    } else {
        if (e == std::string::npos || e + 1 == body.size()) {
            return "not exponential: " + s;
        }
        const std::string mant = body.substr(0, e);
        std::string exp = body.substr(e + 1);
        if (mant.empty() || mant[0] < '1' || mant[0] > '9') {
            return "bad first digit: " + s;
        }
        if (mant.size() > 1 && (mant[1] != '.' || mant.size() == 2 || mant.back() == '0')) {
            return "bad mantissa: " + s;
        }
        if (!exp.empty() && exp[0] == '-') {
            exp.erase(0, 1);
        }
        if (exp.empty() || exp[0] == '0' ||
            exp.find_first_not_of("0123456789") != std::string::npos) {
            return "bad exponent: " + s;
        }
    }

    if (deep) {
        // Independently of to_chars (glibc printf rounds correctly): no
        // string of n - 1 digits reads back, and when the n-digit value
        // nearest to x reads back, it is the one chosen.
        const int n = static_cast<int>(digits.size());
        char buf[64];
        if (n > 1) {
            std::snprintf(buf, sizeof buf, "%.*e", n - 2, a);
            // buf: d[.ddd]e[+-]XX; try it and its two neighbours at n-1 digits.
            char* ep = nullptr;
            const long long exp10 = std::strtoll(std::strchr(buf, 'e') + 1, &ep, 10);
            std::string m;
            for (const char* p = buf; *p != 'e'; ++p) {
                if (*p != '.') {
                    m.push_back(*p);
                }
            }
            const long long mi = std::stoll(m);
            for (long long cand = mi - 1; cand <= mi + 1; ++cand) {
                if (cand <= 0) {
                    continue;
                }
                char c[64];
                std::snprintf(c, sizeof c, "%llde%lld", cand, exp10 - (n - 2));
                if (reads_back(c, a)) {
                    return "shorter string reads back: " + std::string(c) + " for " + s;
                }
            }
        }
        std::snprintf(buf, sizeof buf, "%.*e", n - 1, a);
        if (reads_back(buf, a)) {
            std::string nearest;
            for (const char* p = buf; *p != 'e'; ++p) {
                if (*p != '.') {
                    nearest.push_back(*p);
                }
            }
            if (nearest != digits) {
                return "not the nearest shortest digits: " + s + " vs " + buf;
            }
        }
    }
    return "";
}

struct Generator {
    const char* name;
    std::size_t count;
    std::function<double(std::mt19937_64&, std::size_t)> next;
};

void PrintTo(const Generator& g, std::ostream* os) {
    *os << g.name;
}

std::uint64_t random_mantissa(std::mt19937_64& rng) {
    return rng() & 0x000FFFFFFFFFFFFFULL;
}
std::uint64_t random_sign(std::mt19937_64& rng) {
    return rng() & 0x8000000000000000ULL;
}

double log_uniform(std::mt19937_64& rng, double lo_exp10, double hi_exp10) {
    std::uniform_real_distribution<double> d(lo_exp10, hi_exp10);
    const double v = std::pow(10.0, d(rng));
    return (rng() & 1) ? -v : v;
}

// Walks outwards from a value in units in the last place, both directions.
double ulp_walk(double centre, std::size_t i) {
    const std::uint64_t step = i / 2 + (i % 2);
    const std::uint64_t b = to_bits(centre);
    return from_bits(i % 2 ? b + step : b - step);
}

const std::vector<double>& powers_of_ten() {
    static const std::vector<double> p = [] {
        std::vector<double> v;
        for (int k = -323; k <= 308; ++k) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "1e%d", k);
            v.push_back(std::strtod(buf, nullptr));
        }
        return v;
    }();
    return p;
}

const Generator GENERATORS[] = {
    {"UniformBits", 2'000'000, [](std::mt19937_64& rng, std::size_t) { return from_bits(rng()); }},
    {"Subnormals", 300'000,
     [](std::mt19937_64& rng, std::size_t i) {
         // Small mantissas too (few significant bits), not only random ones.
         std::uint64_t m = random_mantissa(rng);
         if (i % 3 == 0) {
             m >>= (rng() % 52);
         }
         return from_bits(random_sign(rng) | m);
     }},
    {"Specials", 50'000,
     [](std::mt19937_64& rng, std::size_t i) {
         switch (i % 5) {
         case 0:
             return from_bits(random_sign(rng)); // +-0
         case 1:
             return from_bits(random_sign(rng) | 0x7FF0000000000000ULL); // +-inf
         default: {
             const std::uint64_t m = random_mantissa(rng) | (i % 5 == 2 ? 1 : 0);
             return from_bits(random_sign(rng) | 0x7FF0000000000000ULL | (m ? m : 1)); // NaN
         }
         }
     }},
    {"PowersOfTen", 632 * 81,
     [](std::mt19937_64&, std::size_t i) {
         // Every power of ten and 40 ulps on either side of it.
         return ulp_walk(powers_of_ten()[i / 81], i % 81);
     }},
    {"DecimalRangeEdges", 400'000,
     [](std::mt19937_64&, std::size_t i) {
         const double centres[] = {0.0001, 1e16, -0.0001, -1e16};
         return ulp_walk(centres[i % 4], i / 4);
     }},
    {"NearEdgesLogUniform", 400'000,
     [](std::mt19937_64& rng, std::size_t i) {
         return i % 2 ? log_uniform(rng, -5.0, -3.0) : log_uniform(rng, 15.0, 17.0);
     }},
    {"LogUniformAll", 300'000,
     [](std::mt19937_64& rng, std::size_t) { return log_uniform(rng, -323.0, 308.0); }},
    {"ShortDecimals", 200'000,
     [](std::mt19937_64& rng, std::size_t) {
         // Values typed by people: few digits, any scale.
         char buf[48];
         std::snprintf(buf, sizeof buf, "%llue%d", static_cast<unsigned long long>(rng() % 100000),
                       static_cast<int>(rng() % 60) - 30);
         return std::strtod(buf, nullptr);
     }},
    {"FewDecimalsNear2To40", 200'000,
     [](std::mt19937_64& rng, std::size_t i) {
         // Up to three decimals, up to the largest magnitude whose short
         // form is found without the general formatter, and the doubles
         // next to them (which need all their digits).
         char buf[48];
         std::snprintf(
             buf, sizeof buf, "%llue-%d",
             static_cast<unsigned long long>(rng() % (i % 3 ? 1100000000000000ULL : 5000)),
             static_cast<int>(rng() % 4));
         return ulp_walk(std::strtod(buf, nullptr), i % 5);
     }},
    {"Integers", 200'000,
     [](std::mt19937_64& rng, std::size_t i) {
         if (i % 2) {
             return static_cast<double>(rng() % 100000);
         }
         return static_cast<double>((1ULL << 53) - 500 + rng() % 1000) *
                static_cast<double>(1ULL << (rng() % 12));
     }},
};

class DoubleFormatProperty : public ::testing::TestWithParam<Generator> {};

TEST_P(DoubleFormatProperty, ReadsBackShortestAndLaidOut) {
    const Generator& g = GetParam();
    // A fixed seed per generator (FNV-1a of its name), so runs repeat.
    std::uint64_t seed = 0xcbf29ce484222325ULL;
    for (const char* p = g.name; *p != '\0'; ++p) {
        seed = (seed ^ static_cast<unsigned char>(*p)) * 0x100000001b3ULL;
    }
    std::mt19937_64 rng(seed);
    std::size_t failures = 0;
    for (std::size_t i = 0; i < g.count; ++i) {
        const double x = g.next(rng, i);
        // The printf-based cross-check is slower; run it on every 8th value.
        const std::string fault = check(x, i % 8 == 0);
        if (!fault.empty()) {
            ADD_FAILURE() << g.name << " #" << i << " bits 0x" << std::hex << to_bits(x) << std::dec
                          << ": " << fault;
            if (++failures >= 20) {
                FAIL() << "stopping after 20 failures";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(DoubleGenerators, DoubleFormatProperty, ::testing::ValuesIn(GENERATORS),
                         [](const ::testing::TestParamInfo<Generator>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
