#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace protocols::utf8 {

std::size_t decode(const unsigned char* s, std::size_t n, char32_t& cp, std::size_t& bad) noexcept {
    const unsigned char b0 = s[0];
    std::size_t len;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) {
            lo = 0xA0;
        } else if (b0 == 0xED) {
            hi = 0x9F;
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F;
        }
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if (k >= n || s[k] < lo || s[k] > hi) {
            bad = k;
            return 0;
        }
        cp = (cp << 6) | (s[k] & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return len;
}

bool is_valid(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        char32_t cp = 0;
        std::size_t bad = 0;
        const std::size_t len = decode(p + i, n - i, cp, bad);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

bool is_ascii(std::string_view s) noexcept {
    // Eight bytes at a time: one test of the high bits of all of them.
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        any |= word;
    }
    for (; i < s.size(); ++i)
        any |= static_cast<unsigned char>(s[i]);
    return (any & 0x8080808080808080u) == 0;
}

} // namespace protocols::utf8
