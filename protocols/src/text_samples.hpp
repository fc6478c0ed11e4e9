#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The samples of arbitrary signals: nearly all of a large text, so they have
// kernels of their own. Multi-line form: one line per sample, its
// indentation, the number and ",\n". Single-line form: "1, -2, 3".
namespace protocols::text {

// Writes the lines of `samples` from p on and returns their end. Stores
// whole 8-byte words where `limit` leaves room, so bytes past the returned
// end (never at or past `limit`) may be overwritten: whatever is written
// next covers them.
char* put_sample_lines(char* p, char* limit, const std::vector<std::int16_t>& samples,
                       std::size_t indent) noexcept;

// The exact size of those lines.
std::size_t sample_lines_size(const std::vector<std::int16_t>& samples,
                              std::size_t indent) noexcept;

// The single-line list body (no brackets), exactly, and its size.
char* put_sample_list(char* p, const std::vector<std::int16_t>& samples) noexcept;
std::size_t sample_list_size(const std::vector<std::int16_t>& samples) noexcept;

} // namespace protocols::text
