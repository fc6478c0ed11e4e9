#pragma once

// The layout of the text form, apart from what is laid out: records,
// variants and sequences in the multi-line (pretty) or single-line form,
// written to a sink.
//
// Text is made in two passes over the same walk: a Counter sink measures
// it, then a Cursor sink writes it into memory of exactly that size (a new
// Python str, say). Neither pass allocates per line or checks capacity per
// piece; only the double formatter runs twice, and a double costs less to
// format again than its text costs to keep.

#include "text_double.hpp"
#include "text_escape.hpp"
#include "text_samples.hpp"
#include "utf8.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace protocols::text {

inline constexpr std::size_t INDENT_WIDTH = 4;

class SignalListTexts; // text_signal_list.hpp

// Measures: the size of everything written, and whether it is all ASCII
// (only quoted text can be otherwise).
struct Counter {
    std::size_t size = 0;
    bool ascii = true;
    // Where given, long lists of small signals are measured by their
    // recorded elements (shared with the Cursor that writes the text).
    SignalListTexts* signal_lists = nullptr;

    void bytes(std::string_view s) noexcept { size += s.size(); }
    void byte(char) noexcept { ++size; }
    void spaces(std::size_t n) noexcept { size += n; }
    void number(std::uint64_t v) noexcept {
        std::size_t n = 1;
        for (; v >= 10; v /= 10)
            ++n;
        size += n;
    }
    void real(double x) noexcept {
        char buf[MAX_DOUBLE_CHARS + 8];
        size += static_cast<std::size_t>(put_double(buf, x) - buf);
    }
    void quoted(std::string_view s) noexcept {
        size += 2;
        escape(*this, s);
    }
    // The escaper's output.
    void append(const char* p, std::size_t n) noexcept {
        size += n;
        ascii = ascii && utf8::is_ascii({p, n});
    }
    void sample_lines(const std::vector<std::int16_t>& v, std::size_t indent) noexcept {
        size += sample_lines_size(v, indent);
    }
    void sample_list(const std::vector<std::int16_t>& v) noexcept { size += sample_list_size(v); }
};

// Writes into memory that has room for what a Counter measured; `limit`
// is its end.
struct Cursor {
    char* p;
    char* limit;
    SignalListTexts* signal_lists = nullptr; // as for Counter

    void bytes(std::string_view s) noexcept {
        std::memcpy(p, s.data(), s.size());
        p += s.size();
    }
    void byte(char c) noexcept { *p++ = c; }
    // Indentation, nearly every line's first bytes: whole 8-byte stores
    // (no call) where the buffer leaves room for what they reach past the
    // end; what is written next covers those bytes.
    void spaces(std::size_t n) noexcept {
        if (static_cast<std::size_t>(limit - p) >= n + 8) {
            constexpr std::uint64_t SPACES8 = 0x2020202020202020u;
            for (std::size_t k = 0; k < n; k += 8)
                std::memcpy(p + k, &SPACES8, 8);
        } else {
            std::memset(p, ' ', n);
        }
        p += n;
    }
    void number(std::uint64_t v) noexcept { p = std::to_chars(p, p + 20, v).ptr; }
    void real(double x) noexcept { p = put_double(p, x); }
    void quoted(std::string_view s) noexcept {
        *p++ = '"';
        escape(*this, s);
        *p++ = '"';
    }
    // The escaper's output.
    void append(const char* s, std::size_t n) noexcept { bytes({s, n}); }
    void sample_lines(const std::vector<std::int16_t>& v, std::size_t indent) noexcept {
        p = put_sample_lines(p, limit, v, indent);
    }
    void sample_list(const std::vector<std::int16_t>& v) noexcept { p = put_sample_list(p, v); }
};

enum class Mode { Pretty, Line };

template <Mode M, class Sink>
class Writer {
  public:
    Writer(Sink& out, std::size_t depth) : out(out), depth_(depth) {}

    Sink& out;

    std::size_t indent() const noexcept { return M == Mode::Pretty ? depth_ * INDENT_WIDTH : 0; }

    // Record: "Name {\n" ... "}" or "Name { " ... " }".
    void open_record(std::string_view type) {
        out.bytes(type);
        if constexpr (M == Mode::Pretty) {
            out.bytes(" {\n");
            ++depth_;
        } else {
            out.bytes(" { ");
            first_ = true;
        }
    }
    void field(std::string_view name) {
        begin_item();
        out.bytes(name);
        out.bytes(": ");
    }
    void close_record() {
        if constexpr (M == Mode::Pretty) {
            --depth_;
            out.spaces(indent());
            out.byte('}');
        } else {
            out.bytes(" }");
            first_ = false;
        }
    }

    // Enumeration value with a payload: "Name(\n" payload ",\n" ")" or "Name(" payload ")".
    void open_variant(std::string_view name) {
        out.bytes(name);
        out.byte('(');
        if constexpr (M == Mode::Pretty) {
            out.byte('\n');
            ++depth_;
            out.spaces(indent());
        }
    }
    void close_variant() {
        if constexpr (M == Mode::Pretty) {
            out.bytes(",\n");
            --depth_;
            out.spaces(indent());
        }
        out.byte(')');
        first_ = false;
    }

    // Non-empty sequence: "[\n" elements "]" or "[" elements "]".
    void open_seq() {
        out.byte('[');
        if constexpr (M == Mode::Pretty) {
            out.byte('\n');
            ++depth_;
        } else {
            first_ = true;
        }
    }
    void close_seq() {
        if constexpr (M == Mode::Pretty) {
            --depth_;
            out.spaces(indent());
        }
        out.byte(']');
        first_ = false;
    }

    // Start of a field or element: indentation, or the separator.
    void begin_item() {
        if constexpr (M == Mode::Pretty) {
            out.spaces(indent());
        } else {
            if (!first_) {
                out.bytes(", ");
            }
            first_ = false;
        }
    }
    // End of a field or element.
    void end_item() {
        if constexpr (M == Mode::Pretty) {
            out.bytes(",\n");
        }
    }

  private:
    std::size_t depth_;
    // Line form: no item written yet at the innermost open level. Set on
    // opening a level; cleared by the level's first item and on closing it
    // (the enclosing level's current item has then been begun).
    bool first_ = true;
};

} // namespace protocols::text
