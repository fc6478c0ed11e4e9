#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// One appender per kind of value of the compact binary encoding. All append
// to one growable byte buffer.
namespace protocols::encoding {

using Bytes = std::vector<std::uint8_t>;

void append_bool(Bytes& out, bool v);
void append_varint(Bytes& out, std::uint64_t v);  // unsigned LEB128, 1..10 bytes
void append_zigzag16(Bytes& out, std::int16_t v); // zigzag, then varint, 1..3 bytes
void append_double(Bytes& out, double v);         // binary64, little-endian
void append_string(Bytes& out, std::string_view utf8);
void append_length(Bytes& out, std::uint64_t count); // element count of a sequence

} // namespace protocols::encoding
