#pragma once

// Constants of the protocol model.
namespace protocols::config {

// Longest session a protocol may describe, in seconds.
inline constexpr double MAX_SESSION_DURATION = 1800.0;

// Samples per second of session time; fixes the sample count of a session.
inline constexpr double SAMPLING_RATE = 5000.0;

} // namespace protocols::config
