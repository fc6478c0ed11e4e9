// Renderer structure: for an arbitrary Settings, the multi-line text of the
// protocol must be well formed whatever the values are: brackets balanced
// (outside quoted text), every line indented by four spaces per open
// bracket, one line per sequence element, items ending in a comma, quoted
// text on one line with only valid escapes, and no newline at the end. The
// protocol form must be the Settings form nested one level, and the
// single-line form must really be one line.

#include "check.hpp"
#include "random_settings.hpp"

#include "describe.hpp"
#include "text.hpp"
#include "text_forms.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

bool is_opener(char c) {
    return c == '{' || c == '(' || c == '[';
}
bool is_closer(char c) {
    return c == '}' || c == ')' || c == ']';
}
char closer_of(char c) {
    return c == '{' ? '}' : c == '(' ? ')' : ']';
}

// Skips the quoted text starting at s[i] == '"'; returns the index after
// the closing quote.
std::size_t skip_quoted(std::string_view s, std::size_t i, std::size_t line_no) {
    const std::string where = " in quoted text on line " + std::to_string(line_no);
    ++i;
    while (true) {
        fuzzing::check(i < s.size(), "unterminated quoted text on line " + std::to_string(line_no));
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"') {
            return i + 1;
        }
        fuzzing::check(c >= 0x20 && c != 0x7F, "raw control character" + where);
        if (c != '\\') {
            ++i;
            continue;
        }
        fuzzing::check(i + 1 < s.size(), "dangling backslash" + where);
        const char e = s[i + 1];
        if (e == '"' || e == '\\' || e == 'n' || e == 'r' || e == 't' || e == '0') {
            i += 2;
            continue;
        }
        fuzzing::check(e == 'u' && i + 2 < s.size() && s[i + 2] == '{', "unknown escape" + where);
        std::size_t j = i + 3;
        while (j < s.size() &&
               std::string_view("0123456789abcdef").find(s[j]) != std::string_view::npos) {
            ++j;
        }
        fuzzing::check(j > i + 3 && j - (i + 3) <= 6 && j < s.size() && s[j] == '}' &&
                           s[i + 3] != '0',
                       "malformed \\u{...} escape" + where);
        i = j + 1;
    }
}

// The element count of every sequence, in the order the sequences open in
// the text (a list opens before the lists inside its elements).
template <class T>
void collect_lengths(std::vector<std::size_t>&, const T&) {} // scalars and text

void collect_lengths(std::vector<std::size_t>& out, const protocols::signals::Signal& v);
template <protocols::describe::Described R>
void collect_lengths(std::vector<std::size_t>& out, const R& r);

template <class T>
void collect_lengths(std::vector<std::size_t>& out, const std::vector<T>& v) {
    out.push_back(v.size());
    for (const T& e : v) {
        collect_lengths(out, e);
    }
}

template <class T, std::size_t N>
void collect_lengths(std::vector<std::size_t>& out, const std::array<T, N>& v) {
    out.push_back(N);
    for (const T& e : v) {
        collect_lengths(out, e);
    }
}

template <protocols::describe::Described R>
void collect_lengths(std::vector<std::size_t>& out, const R& r) {
    protocols::describe::fields(
        r, [&out](std::string_view, const auto& f) { collect_lengths(out, f); });
}

void collect_lengths(std::vector<std::size_t>& out, const protocols::signals::Signal& v) {
    std::visit([&out](const auto& params) { collect_lengths(out, params); }, v);
}

std::vector<std::size_t> expected_sequence_lengths(const protocols::settings::Settings& s) {
    std::vector<std::size_t> out;
    collect_lengths(out, s);
    return out;
}

void check_structure(const std::string& text, const protocols::settings::Settings& s) {
    using fuzzing::check;
    check(!text.empty() && text.back() != '\n', "text ends with a newline");
    check(text.starts_with("Protocol {\n    settings: Settings {\n"), "wrong first lines");
    check(text.ends_with("\n    },\n}"), "wrong last lines");

    struct Sequence {
        std::size_t child_depth;
        std::size_t slot; // index into `lengths`
    };
    std::vector<char> open;          // brackets open before the current character
    std::vector<Sequence> sequences; // the open multi-line sequences
    std::vector<std::size_t> lengths;

    std::size_t line_no = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line(text.data() + start, end - start);
        ++line_no;
        const std::string where = " on line " + std::to_string(line_no);

        const std::size_t spaces = line.find_first_not_of(' ');
        check(spaces != std::string_view::npos, "blank line" + where);
        const std::string_view body = line.substr(spaces);
        const bool closes_first = is_closer(body[0]);
        check(!(closes_first && open.empty()), "closing bracket with nothing open" + where);
        const std::size_t depth = open.size() - (closes_first ? 1 : 0);
        check(spaces == 4 * depth, "indentation " + std::to_string(spaces) + " at depth " +
                                       std::to_string(depth) + where);

        if (!closes_first && !sequences.empty() && sequences.back().child_depth == depth) {
            ++lengths[sequences.back().slot];
        }

        const std::size_t depth_before = open.size();
        for (std::size_t i = 0; i < body.size();) {
            const char c = body[i];
            if (c == '"') {
                i = skip_quoted(body, i, line_no);
                continue;
            }
            if (is_opener(c)) {
                open.push_back(c);
                if (c == '[') {
                    const bool inline_empty = i + 1 < body.size() && body[i + 1] == ']';
                    lengths.push_back(0);
                    if (!inline_empty) {
                        check(i + 1 == body.size(), "'[' followed by more text" + where);
                        sequences.push_back({open.size(), lengths.size() - 1});
                    }
                }
            } else if (is_closer(c)) {
                check(!open.empty() && closer_of(open.back()) == c,
                      "unbalanced '" + std::string(1, c) + "'" + where);
                if (c == ']' && !sequences.empty() && sequences.back().child_depth == open.size()) {
                    sequences.pop_back();
                }
                open.pop_back();
            }
            ++i;
        }
        const char last = body.back();
        if (end == text.size()) {
            check(body == "}" && open.empty(), "unbalanced at the end of the text");
        } else if (line_no == 1) {
            check(body == "Protocol {", "first line");
        } else if (is_opener(last)) {
            check(open.size() == depth_before + 1 && !closes_first,
                  "opening line opens more than one level" + where);
        } else {
            check(last == ',', "item line without a trailing comma" + where);
            check(open.size() == depth_before - (closes_first ? 1 : 0),
                  "brackets left open within one item line" + where);
        }
        start = end + 1;
    }

    check(lengths == expected_sequence_lengths(s), "a sequence does not have one line per element");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const protocols::settings::Settings s = fuzzing::SettingsSource(in).settings();

    const std::string text = protocols::text::pretty_protocol(s);
    check_structure(text, s);

    // The protocol's text is the Settings text as the value of its one field.
    const std::string inner = protocols::text::pretty(s);
    std::string nested = "Protocol {\n    settings: ";
    for (const char c : inner) {
        nested.push_back(c);
        if (c == '\n') {
            nested.append("    ");
        }
    }
    nested.append(",\n}");
    fuzzing::check(nested == text, "pretty_protocol is not pretty(Settings) nested one level");

    const std::string one_line = protocols::text::line(s);
    fuzzing::check(one_line.find('\n') == std::string::npos, "single-line form holds a newline");
    return 0;
}
