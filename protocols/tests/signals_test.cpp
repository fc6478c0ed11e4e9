#include "signals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using protocols::signals::sample_from_level;
using protocols::signals::samples_from_levels;

std::int16_t reference(double x) {
    return static_cast<std::int16_t>(std::round(x * 32767.0));
}

TEST(SampleLevel, RoundsHalfAwayFromZero) {
    EXPECT_EQ(sample_from_level(0.0), 0);
    EXPECT_EQ(sample_from_level(-0.0), 0);
    EXPECT_EQ(sample_from_level(1.0), 32767);
    EXPECT_EQ(sample_from_level(0.5), 16384); // 16383.5
    EXPECT_EQ(sample_from_level(0.25), 8192); // 8191.75
}

TEST(SampleLevel, JustBelowAHalfRoundsDown) {
    // The largest x whose product lies below 0.5: adding 0.5 in double would
    // round the sum up to 1.0, so a naive (int)(y + 0.5) gives 1 here.
    double x = 0.5 / 32767.0;
    while (x * 32767.0 >= 0.5)
        x = std::nextafter(x, 0.0);
    ASSERT_LT(x * 32767.0, 0.5);
    EXPECT_EQ(sample_from_level(x), 0);
    EXPECT_EQ(sample_from_level(std::nextafter(x, 1.0)), reference(std::nextafter(x, 1.0)));
}

TEST(SampleLevel, MatchesLibmRoundOnManyValues) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 1'000'000; ++i) {
        double x = unit(rng);
        ASSERT_EQ(sample_from_level(x), reference(x)) << x;
    }
    // Every exact half point k + 0.5 and its neighbours.
    for (int k = 0; k < 32767; ++k) {
        for (double y : {k + 0.5, std::nextafter(k + 0.5, 0.0), std::nextafter(k + 0.5, 1e9)}) {
            double x = y / 32767.0;
            if (x > 1.0) continue;
            ASSERT_EQ(sample_from_level(x), reference(x)) << x;
        }
    }
}

std::vector<double> levels(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<double>(i % 1000) / 999.0;
    return v;
}

TEST(SampleConversion, AnyStrideInLogicalOrder) {
    const auto v = levels(1000);
    const char* base = reinterpret_cast<const char*>(v.data());
    const std::ptrdiff_t d = sizeof(double);

    auto forward = samples_from_levels(base, d, v.size());
    ASSERT_TRUE(forward.has_value());
    for (std::size_t i = 0; i < v.size(); ++i)
        ASSERT_EQ((*forward)[i], reference(v[i]));

    auto reversed = samples_from_levels(base + (v.size() - 1) * d, -d, v.size());
    ASSERT_TRUE(reversed.has_value());
    for (std::size_t i = 0; i < v.size(); ++i)
        ASSERT_EQ((*reversed)[i], reference(v[v.size() - 1 - i]));

    auto step2 = samples_from_levels(base + d, 2 * d, v.size() / 2);
    ASSERT_TRUE(step2.has_value());
    for (std::size_t i = 0; i < v.size() / 2; ++i)
        ASSERT_EQ((*step2)[i], reference(v[2 * i + 1]));

    const double one = 0.25;
    auto broadcast = samples_from_levels(reinterpret_cast<const char*>(&one), 0, 700);
    ASSERT_TRUE(broadcast.has_value());
    EXPECT_EQ(broadcast->size(), 700u);
    for (auto s : *broadcast)
        ASSERT_EQ(s, 8192);
}

TEST(SampleConversion, UnalignedData) {
    std::vector<char> raw(8 * 300 + 1);
    for (std::size_t i = 0; i < 300; ++i) {
        double x = 0.5;
        std::memcpy(raw.data() + 1 + 8 * i, &x, 8);
    }
    auto r = samples_from_levels(raw.data() + 1, 8, 300);
    ASSERT_TRUE(r.has_value());
    for (auto s : *r)
        ASSERT_EQ(s, 16384);
}

struct BadCase {
    const char* label;
    std::vector<std::pair<std::size_t, double>> bad; // position, value
    const char* message;
};

class SampleConversionFails : public testing::TestWithParam<BadCase> {};

TEST_P(SampleConversionFails, FirstBadElementDecides) {
    auto v = levels(1500); // spans several blocks
    for (auto [i, x] : GetParam().bad)
        v[i] = x;
    auto r = samples_from_levels(reinterpret_cast<const char*>(v.data()), sizeof(double), v.size());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, GetParam().message);
}

constexpr const char* LOW = "assertion failed: *sample >= 0.0";
constexpr const char* HIGH = "assertion failed: *sample <= 1.0";
const double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleConversionFails,
    testing::Values(BadCase{"last_slightly_above", {{1499, 1.0000001}}, HIGH},
                    BadCase{"low_before_high", {{3, -0.1}, {7, 2.0}}, LOW},
                    BadCase{"high_before_low", {{3, 2.0}, {7, -0.1}}, HIGH},
                    BadCase{"nan", {{600, nan}}, LOW},
                    BadCase{"later_block_decides_not", {{1400, -1.0}, {200, 1.5}}, HIGH},
                    BadCase{"infinity", {{0, std::numeric_limits<double>::infinity()}}, HIGH}),
    [](const auto& info) { return std::string(info.param.label); });

// Both sets of conversion kernels: the widest this processor runs, and the
// baseline that every processor of the architecture runs.
class SampleBlocks : public testing::TestWithParam<protocols::signals::Kernels> {
  protected:
    static protocols::signals::Kernels kernels() { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Kernels, SampleBlocks,
                         testing::Values(protocols::signals::Kernels::Widest,
                                         protocols::signals::Kernels::Baseline),
                         [](const auto& info) {
                             return info.param == protocols::signals::Kernels::Widest ? "Widest"
                                                                                      : "Baseline";
                         });

// Arrays long enough that most elements go through the block conversion,
// with a tail that does not fill a block.
constexpr std::size_t LONG = 256 * 40 + 37;

// Levels that sit on or next to every rounding boundary k + 0.5, the
// largest level whose product lies below one half, and the ends of the range.
std::vector<double> boundary_levels() {
    std::vector<double> v;
    for (int k = 0; k < 32767; ++k) {
        const double y = k + 0.5;
        for (double z : {y, std::nextafter(y, 0.0), std::nextafter(y, 1e9)}) {
            const double x = z / 32767.0;
            if (x <= 1.0) v.push_back(x);
        }
    }
    double below_half = 0.5 / 32767.0;
    while (below_half * 32767.0 >= 0.5)
        below_half = std::nextafter(below_half, 0.0);
    for (double x :
         {below_half, std::nextafter(below_half, 1.0), 0.0, -0.0, 1.0, std::nextafter(1.0, 0.0),
          std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min()})
        v.push_back(x);
    return v;
}

TEST_P(SampleBlocks, BlocksRoundLikeLibmAtEveryBoundary) {
    const auto v = boundary_levels();
    ASSERT_GT(v.size(), 256u * 300);
    const char* base = reinterpret_cast<const char*>(v.data());
    const std::ptrdiff_t d = sizeof(double);

    auto forward = samples_from_levels(base, d, v.size(), kernels());
    ASSERT_TRUE(forward.has_value());
    for (std::size_t i = 0; i < v.size(); ++i)
        ASSERT_EQ((*forward)[i], reference(v[i])) << "index " << i << " level " << v[i];

    auto reversed = samples_from_levels(base + (v.size() - 1) * d, -d, v.size(), kernels());
    ASSERT_TRUE(reversed.has_value());
    for (std::size_t i = 0; i < v.size(); ++i)
        ASSERT_EQ((*reversed)[i], reference(v[v.size() - 1 - i])) << i;

    auto odd = samples_from_levels(base + d, 2 * d, v.size() / 2, kernels());
    ASSERT_TRUE(odd.has_value());
    for (std::size_t i = 0; i < v.size() / 2; ++i)
        ASSERT_EQ((*odd)[i], reference(v[2 * i + 1])) << i;
}

TEST_P(SampleBlocks, BlocksMatchTheScalarRuleOnRandomLevels) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> v(LONG);
    for (double& x : v)
        x = unit(rng);
    // Misaligned by one byte, contiguous and strided.
    std::vector<char> raw(v.size() * 8 + 1);
    std::memcpy(raw.data() + 1, v.data(), v.size() * 8);
    auto r = samples_from_levels(raw.data() + 1, 8, v.size(), kernels());
    ASSERT_TRUE(r.has_value());
    for (std::size_t i = 0; i < v.size(); ++i)
        ASSERT_EQ((*r)[i], sample_from_level(v[i])) << i;
    auto s = samples_from_levels(raw.data() + 1, 16, v.size() / 2, kernels());
    ASSERT_TRUE(s.has_value());
    for (std::size_t i = 0; i < v.size() / 2; ++i)
        ASSERT_EQ((*s)[i], sample_from_level(v[2 * i])) << i;
}

TEST_P(SampleBlocks, BroadcastOverManyBlocks) {
    for (double x : {0.5, 1.0, -0.0, 0.25}) {
        auto r = samples_from_levels(reinterpret_cast<const char*>(&x), 0, LONG, kernels());
        ASSERT_TRUE(r.has_value());
        for (auto s : *r)
            ASSERT_EQ(s, reference(x)) << x;
    }
}

// A bad level is caught wherever it stands within a block and whichever
// lane of the block's arithmetic it falls in, also in the tail.
TEST_P(SampleBlocks, BadLevelCaughtAtEveryPosition) {
    const double bad_values[] = {nan,
                                 -nan,
                                 -std::numeric_limits<double>::denorm_min(),
                                 -1.0,
                                 -std::numeric_limits<double>::infinity(),
                                 std::nextafter(1.0, 2.0),
                                 std::numeric_limits<double>::infinity(),
                                 1e300};
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < 24; ++i)
        positions.push_back(i);
    for (std::size_t i = 248; i < 264; ++i)
        positions.push_back(i);
    for (std::size_t i = LONG - 45; i < LONG; ++i)
        positions.push_back(i);
    auto v = levels(LONG);
    for (double bad : bad_values) {
        const char* expected = bad >= 1.0 ? HIGH : LOW;
        for (std::size_t pos : positions) {
            const double keep = v[pos];
            v[pos] = bad;
            for (std::ptrdiff_t step : {1, -1}) {
                const char* base = reinterpret_cast<const char*>(v.data());
                if (step < 0) base += (v.size() - 1) * sizeof(double);
                auto r = samples_from_levels(base, step * 8, v.size(), kernels());
                ASSERT_FALSE(r.has_value()) << bad << " at " << pos;
                EXPECT_EQ(r.error().message, expected) << bad << " at " << pos;
            }
            v[pos] = keep;
        }
    }
}

TEST_P(SampleBlocks, FirstBadLevelInsideABlockDecides) {
    auto v = levels(LONG);
    // Same block, the later one in a lower lane of its group of eight.
    v[517] = 2.0;
    v[520] = -0.5;
    auto r = samples_from_levels(reinterpret_cast<const char*>(v.data()), 8, v.size(), kernels());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, HIGH);
    v[517] = nan;
    r = samples_from_levels(reinterpret_cast<const char*>(v.data()), 8, v.size(), kernels());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, LOW);
}

} // namespace
