#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

// One appender per kind of value of the compact binary encoding. All append
// to one growable byte buffer.
namespace protocols::encoding {

using Bytes = std::vector<std::uint8_t>;

void append_bool(Bytes& out, bool v);
void append_varint(Bytes& out, std::uint64_t v); // unsigned LEB128, 1..10 bytes
void append_double(Bytes& out, double v);        // binary64, little-endian
void append_string(Bytes& out, std::string_view utf8);
void append_length(Bytes& out, std::uint64_t count); // element count of a sequence

// The same encodings written to p, which has room for 10 (varint) or 8
// (double) bytes; they return the end. For assembling several values in a
// scratch area that is then appended with one copy.
inline std::uint8_t* put_varint(std::uint8_t* p, std::uint64_t v) noexcept {
    while (v >= 0x80) {
        *p++ = static_cast<std::uint8_t>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<std::uint8_t>(v);
    return p;
}

inline std::uint8_t* put_double(std::uint8_t* p, double v) noexcept {
    // The bit pattern as it is: -0.0, infinities and NaN payloads unchanged.
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &bits, 8);
    } else {
        for (std::size_t i = 0; i < 8; ++i) {
            p[i] = static_cast<std::uint8_t>(bits >> (8 * i));
        }
    }
    return p + 8;
}

} // namespace protocols::encoding
