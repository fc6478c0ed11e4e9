#pragma once

#include "error.hpp"
#include "settings.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>

namespace protocols::settings {

// Sample levels as the caller holds them: `length` doubles, the first at
// `data`, each `stride` bytes after the one before (any sign, zero allowed).
struct StridedLevels {
    const char* data;
    std::ptrdiff_t stride;
    std::size_t length;
};

// Adds an arbitrary curve: the levels must number exactly num_samples(s)
// and lie in 0.0..1.0; they are stored as 16-bit samples and the new
// signal's position is returned. The count is checked before any level is
// read, and on any failure the signal list is left as it was.
std::expected<std::uint64_t, error::Failure> add_arbitrary_signal(Settings& s,
                                                                  StridedLevels levels);

} // namespace protocols::settings
