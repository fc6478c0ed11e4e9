#include "arbitrary_signal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>
#include <vector>

namespace {

using namespace protocols::settings;
using protocols::signals::ArbitrarySignalParams;

// 0.01 s: 50 samples. One signal already there, so a new one is number 1.
Settings short_session() {
    Settings s;
    s.session_duration = 0.01;
    s.signals.resize(1);
    return s;
}

StridedLevels view(const std::vector<double>& v) {
    return {reinterpret_cast<const char*>(v.data()), sizeof(double), v.size()};
}

struct Refused {
    double duration;
    std::vector<double> levels;
    std::string message;
};

class ArbitraryRefused : public testing::TestWithParam<Refused> {};

TEST_P(ArbitraryRefused, LeavesTheListAlone) {
    Settings s = short_session();
    s.session_duration = GetParam().duration;
    auto added = add_arbitrary_signal(s, view(GetParam().levels));
    ASSERT_FALSE(added.has_value());
    EXPECT_EQ(added.error().message, GetParam().message);
    EXPECT_EQ(s.signals.size(), 1u);
}

std::vector<double> fifty_with(std::size_t at, double value) {
    std::vector<double> v(50, 0.5);
    v[at] = value;
    return v;
}

const std::string count = "assertion failed: samples.len() == self.get_num_samples()";

// The count is checked before any level: out-of-range values in a list of
// the wrong length still fail on the count.
INSTANTIATE_TEST_SUITE_P(
    Cases, ArbitraryRefused,
    testing::Values(Refused{0.0, std::vector<double>(50, 0.5),
                            "assertion failed: self.settings.session_duration > 0.0"},
                    Refused{0.01, std::vector<double>(49, 0.5), count},
                    Refused{0.01, std::vector<double>(51, 2.0), count},
                    Refused{0.01, fifty_with(49, 1.0000001), "assertion failed: *sample <= 1.0"},
                    Refused{0.01, fifty_with(3, std::nan("")),
                            "assertion failed: *sample >= 0.0"}));

TEST(ArbitraryAdded, StoresScaledSamplesInViewOrder) {
    Settings s = short_session();
    std::vector<double> v(50, 1.0);
    v[0] = 0.25;
    v[49] = 0.5;
    // Read backwards: the last element in memory comes first.
    auto added = add_arbitrary_signal(s, {reinterpret_cast<const char*>(&v[49]),
                                          -static_cast<std::ptrdiff_t>(sizeof(double)), v.size()});
    ASSERT_TRUE(added.has_value());
    EXPECT_EQ(*added, 1u);
    const auto& stored = std::get<ArbitrarySignalParams>(s.signals.at(1)).samples;
    ASSERT_EQ(stored.size(), 50u);
    EXPECT_EQ(stored.front(), 16384);
    EXPECT_EQ(stored[1], 32767);
    EXPECT_EQ(stored.back(), 8192);
}

} // namespace
