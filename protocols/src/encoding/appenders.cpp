#include "encoding/appenders.hpp"

namespace protocols::encoding {

void append_bool(Bytes& out, bool v) {
    out.push_back(v ? std::uint8_t{0x01} : std::uint8_t{0x00});
}

void append_varint(Bytes& out, std::uint64_t v) {
    if (v < 0x80) {
        out.push_back(static_cast<std::uint8_t>(v)); // lengths, indices, flags: nearly all
        return;
    }
    // Assembled in a scratch of at most 10 bytes, then appended with one copy.
    std::uint8_t scratch[10];
    out.insert(out.end(), scratch, put_varint(scratch, v));
}

void append_double(Bytes& out, double v) {
    std::uint8_t scratch[8];
    out.insert(out.end(), scratch, put_double(scratch, v));
}

void append_string(Bytes& out, std::string_view utf8) {
    append_length(out, utf8.size());
    const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
    out.insert(out.end(), p, p + utf8.size());
}

void append_length(Bytes& out, std::uint64_t count) {
    append_varint(out, count);
}

} // namespace protocols::encoding
