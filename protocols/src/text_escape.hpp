#pragma once

#include "utf8.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Escaping of text values: how a field of type text shows in the text form,
// and how a message quotes text inside its own quotes.
namespace protocols::text {

// The body of a quoted text: '"', '\\', newline, carriage return, tab and
// NUL as \" \\ \n \r \t \0; other control characters and invisible or
// private-use code points as \u{hex}; bytes that are not UTF-8 as U+FFFD.
// Everything else as it is.
void append_escaped(std::string& out, std::string_view text);

// The same between double quotes: a field of type text.
void append_quoted(std::string& out, std::string_view text);

// Code points other than ASCII ones that are written as \u{hex}.
bool is_nonprintable(char32_t cp) noexcept;

// The escaper itself, for any output with append(const char*, size_t), so
// that the text writer's sinks use it without a
// temporary string.
template <class Out>
void escape(Out& out, std::string_view text) {
    const auto unicode_escape = [&out](char32_t cp) {
        char buf[16] = {'\\', 'u', '{'};
        char* p =
            std::to_chars(buf + 3, buf + sizeof buf - 1, static_cast<std::uint32_t>(cp), 16).ptr;
        *p++ = '}';
        out.append(buf, static_cast<std::size_t>(p - buf));
    };
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t run = 0; // start of the pending run of bytes written as they are
    std::size_t i = 0;
    const auto flush = [&] { out.append(text.data() + run, i - run); };
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            if (c >= 0x20 && c != 0x7F && c != '"' && c != '\\') {
                ++i;
                continue;
            }
            flush();
            switch (c) {
            case '"':
                out.append("\\\"", 2);
                break;
            case '\\':
                out.append("\\\\", 2);
                break;
            case '\n':
                out.append("\\n", 2);
                break;
            case '\r':
                out.append("\\r", 2);
                break;
            case '\t':
                out.append("\\t", 2);
                break;
            case '\0':
                out.append("\\0", 2);
                break;
            default:
                unicode_escape(c);
                break;
            }
            run = ++i;
            continue;
        }
        char32_t cp = 0;
        std::size_t bad = 0;
        const std::size_t len = utf8::decode(s + i, n - i, cp, bad);
        if (len == 0) {
            // Not valid UTF-8 (the model's texts always are): U+FFFD keeps
            // the result valid UTF-8.
            flush();
            out.append("\xEF\xBF\xBD", 3);
            i += bad;
            run = i;
        } else if (is_nonprintable(cp)) {
            flush();
            unicode_escape(cp);
            i += len;
            run = i;
        } else {
            i += len;
        }
    }
    flush();
}

// std::string as such an output.
struct StringOut {
    std::string& s;
    void append(const char* p, std::size_t n) { s.append(p, n); }
};

} // namespace protocols::text
