#include "arbitrary_signal.hpp"
#include "failure_texts.hpp"

#include "signals.hpp"

#include <utility>

namespace protocols::settings {

namespace {

[[gnu::cold]] std::unexpected<error::Failure> count_failure() {
    return std::unexpected(error::Failure{std::string(error::texts::SAMPLE_COUNT)});
}

} // namespace

std::expected<std::uint64_t, error::Failure> add_arbitrary_signal(Settings& s,
                                                                  StridedLevels levels) {
    auto n = num_samples(s);
    if (!n) return std::unexpected(std::move(n.error()));
    if (levels.length != *n) return count_failure();
    auto samples = signals::samples_from_levels(levels.data, levels.stride, levels.length);
    if (!samples) return std::unexpected(std::move(samples.error()));
    return add_signal(s, signals::ArbitrarySignalParams{std::move(*samples)});
}

} // namespace protocols::settings
