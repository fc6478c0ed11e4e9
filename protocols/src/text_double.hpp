#pragma once

#include <string>

// The text form of a double: shortest round-trip digits (the nearest to the
// exact value among the shortest), laid out in decimal from 1e-4 up to
// 1e16 and in exponential form outside: "60.0", "0.25", "1.5e-5", "1e16",
// "-0.0", "-inf", "NaN".
namespace protocols::text {

// The most characters a double takes ("-2.2250738585072014e-308").
inline constexpr std::size_t MAX_DOUBLE_CHARS = 24;

// Writes the text of x to p (room for MAX_DOUBLE_CHARS) and returns the end.
char* put_double(char* p, double x) noexcept;

void append_double(std::string& out, double x);
std::string format_double(double x);

} // namespace protocols::text
