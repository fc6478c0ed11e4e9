#include "text_escape.hpp"

#include "utf8.hpp"

#include <cstddef>
#include <cstdint>

namespace protocols::text {

// Code points (beyond the ASCII ones handled inline) that are written as
// \u{hex}: C1 controls, invisible format and separator characters, private
// use and noncharacters. Unassigned code points are not tracked (that would
// need the Unicode tables) and are written as they are.
bool is_nonprintable(char32_t cp) noexcept {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
        return true; // C0, DEL, C1
    }
    if (cp < 0xAD) {
        return false;
    }
    if (cp == 0xAD || cp == 0x61C || cp == 0x180E) {
        return true; // soft hyphen, Arabic letter mark, Mongolian vowel separator
    }
    if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
        (cp >= 0x2060 && cp <= 0x206F)) {
        return true; // zero-width chars, marks, line/paragraph separators, embeddings
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) {
        return true; // surrogates (never decoded from valid UTF-8)
    }
    if (cp >= 0xE000 && cp <= 0xF8FF) {
        return true; // private use
    }
    if (cp >= 0xFDD0 && cp <= 0xFDEF) {
        return true; // noncharacters
    }
    if (cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFB)) {
        return true; // byte order mark, specials, interlinear annotation
    }
    if ((cp & 0xFFFE) == 0xFFFE) {
        return true; // U+xFFFE and U+xFFFF in every plane
    }
    if (cp >= 0xF0000) {
        return true; // supplementary private use planes 15 and 16
    }
    return false;
}

void append_escaped(std::string& out, std::string_view text) {
    StringOut o{out};
    escape(o, text);
}

void append_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    append_escaped(out, text);
    out.push_back('"');
}

} // namespace protocols::text
