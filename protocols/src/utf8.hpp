#pragma once

#include <cstddef>
#include <string_view>

// Reading UTF-8 text: the one decoder of the model (the text escaper and the
// target-machine check both use it) and the ASCII check.
namespace protocols::utf8 {

// Decodes one sequence starting at s[0] (a byte >= 0x80, n >= 1 bytes
// available). Strict: no overlong forms, no surrogates, nothing above
// U+10FFFF. On success returns its length and sets cp. On failure returns 0
// and sets `bad` to the length of the maximal ill-formed subpart (at least
// 1), which a lenient reader replaces by one U+FFFD (Unicode's recommended
// practice).
std::size_t decode(const unsigned char* s, std::size_t n, char32_t& cp, std::size_t& bad) noexcept;

// True when every sequence of s decodes.
bool is_valid(std::string_view s) noexcept;

// True when every byte of s is below 0x80.
bool is_ascii(std::string_view s) noexcept;

} // namespace protocols::utf8
