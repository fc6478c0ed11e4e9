#pragma once

#include <string_view>

// Every text a failed check of the model reports, word for word: scripts
// and users match on them, so they live here together and nowhere else.
namespace protocols::error::texts {

inline constexpr std::string_view SESSION_NOT_SET =
    "assertion failed: self.settings.session_duration > 0.0";
inline constexpr std::string_view DURATION_TOO_LONG =
    "assertion failed: duration <= config::MAX_SESSION_DURATION";
inline constexpr std::string_view DURATION_TOO_SHORT = "assertion failed: duration >= 0.01";
inline constexpr std::string_view INTENSITY_OUT_OF_RANGE =
    "assertion failed: intensity >= 0.0 && intensity <= 1.0";
inline constexpr std::string_view SAMPLE_BELOW_ZERO = "assertion failed: *sample >= 0.0";
inline constexpr std::string_view SAMPLE_ABOVE_ONE = "assertion failed: *sample <= 1.0";
inline constexpr std::string_view SAMPLE_COUNT =
    "assertion failed: samples.len() == self.get_num_samples()";
inline constexpr std::string_view NOT_A_VEXA_FILE =
    "assertion failed: filepath.ends_with(\".vexa\")";
// Followed by the error's debug form, e.g. Os { code: 2, kind: NotFound, ... }.
inline constexpr std::string_view UNWRAP_PREFIX = "called `Result::unwrap()` on an `Err` value: ";

} // namespace protocols::error::texts
