// Text form of the protocol model: a multi-line (pretty) form and a
// single-line form of every record and enumeration.
//
// All text is produced in one pass into one growable std::string. The pretty
// form tracks its nesting depth and writes each line's indentation as the line
// is begun, so nothing already rendered is ever re-indented or copied into
// another buffer; the cost is linear in the size of the output.
//
// ProtocolText is the one exception, for texts that go into memory the
// caller provides: it renders everything but the sample lines first, counts
// those, and writes both into the caller's buffer, so the bulk of a large
// text is written once, straight to where it stays.

#include "text.hpp"

#include "huge_pages.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace protocols::text {

namespace {

// ---------------------------------------------------------------------------
// Small appenders.

constexpr std::size_t INDENT_WIDTH = 4;

// Indentation is copied from here; deeper levels take it in several pieces.
constexpr std::size_t SPACES_LEN = 256;
constexpr std::array<char, SPACES_LEN> SPACES = [] {
    std::array<char, SPACES_LEN> a{};
    for (char& c : a) {
        c = ' ';
    }
    return a;
}();

void append_spaces(std::string& out, std::size_t n) {
    constexpr std::size_t SHORT = 64;
    if (n <= SHORT) {
        // Every line begins with one of these: a fixed-size copy (plain
        // stores, no call), of which only n bytes are kept.
        const std::size_t old_size = out.size();
        out.resize_and_overwrite(old_size + SHORT, [&](char* p, std::size_t) noexcept {
            std::memcpy(p + old_size, SPACES.data(), SHORT);
            return old_size + n;
        });
        return;
    }
    while (n > SPACES_LEN) {
        out.append(SPACES.data(), SPACES_LEN);
        n -= SPACES_LEN;
    }
    out.append(SPACES.data(), n);
}

// Copies n spaces to p and returns the end.
char* put_spaces(char* p, std::size_t n) noexcept {
    while (n > SPACES_LEN) {
        std::memcpy(p, SPACES.data(), SPACES_LEN);
        p += SPACES_LEN;
        n -= SPACES_LEN;
    }
    std::memcpy(p, SPACES.data(), n);
    return p + n;
}

// Makes room for at least n bytes in all. A very large buffer (an
// arbitrary signal renders about 30 bytes per sample) is advised to use
// huge pages.
void reserve_total(std::string& out, std::size_t n) {
    if (n <= out.capacity()) {
        return;
    }
    out.reserve(n);
    advise_huge_pages(out.data(), out.capacity());
}

template <class Int>
void append_int(std::string& out, Int v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_bool(std::string& out, bool b) {
    if (b) {
        out.append("true", 4);
    } else {
        out.append("false", 5);
    }
}

// ---------------------------------------------------------------------------
// Text escapes.

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

void append_unicode_escape(std::string& out, char32_t cp) {
    char buf[16] = {'\\', 'u', '{'};
    const auto r = std::to_chars(buf + 3, buf + sizeof buf - 1, static_cast<std::uint32_t>(cp), 16);
    char* p = r.ptr;
    *p++ = '}';
    out.append(buf, p);
}

// Decodes one UTF-8 sequence starting at s[i] (a byte >= 0x80). On success
// returns its length and sets cp. On failure returns 0 and sets `bad` to the
// length of the maximal ill-formed subpart (at least 1), which is replaced
// by one U+FFFD (Unicode's recommended practice).
std::size_t decode_utf8(const unsigned char* s, std::size_t n, char32_t& cp, std::size_t& bad) {
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

// ---------------------------------------------------------------------------
// Double form.

// Writes the text of x to p (at least 32 bytes) and returns the end.
char* put_double(char* p, double x) noexcept {
    if (std::isnan(x)) {
        std::memcpy(p, "NaN", 3);
        return p + 3;
    }
    if (std::signbit(x)) {
        *p++ = '-';
        x = -x;
    }
    if (std::isinf(x)) {
        std::memcpy(p, "inf", 3);
        return p + 3;
    }
    if (x == 0.0) {
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }

    // Shortest round-trip digits, nearest to the exact value among the
    // shortest: "d[.ddd]e[+-]XX".
    char sci[40];
    const auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    const char* q = sci;
    char digits[20];
    int n = 0;
    digits[n++] = *q++;
    if (*q == '.') {
        ++q;
        while (*q != 'e') {
            digits[n++] = *q++;
        }
    }
    ++q; // 'e'
    const bool neg_exp = *q == '-';
    ++q; // sign, always present
    int e10 = 0;
    for (; q < r.ptr; ++q) {
        e10 = e10 * 10 + (*q - '0');
    }
    if (neg_exp) {
        e10 = -e10;
    }

    if (x >= 0.0001 && x < 1e16) {
        // 0.d1d2...dn x 10^E with E = e10 + 1.
        const int e = e10 + 1;
        if (e <= 0) {
            *p++ = '0';
            *p++ = '.';
            for (int k = 0; k < -e; ++k) {
                *p++ = '0';
            }
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
        } else if (e < n) {
            std::memcpy(p, digits, static_cast<std::size_t>(e));
            p += e;
            *p++ = '.';
            std::memcpy(p, digits + e, static_cast<std::size_t>(n - e));
            p += n - e;
        } else {
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
            for (int k = 0; k < e - n; ++k) {
                *p++ = '0';
            }
            *p++ = '.';
            *p++ = '0';
        }
        return p;
    }

    *p++ = digits[0];
    if (n > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, static_cast<std::size_t>(n - 1));
        p += n - 1;
    }
    *p++ = 'e';
    if (e10 < 0) {
        *p++ = '-';
        e10 = -e10;
    }
    return std::to_chars(p, p + 8, e10).ptr;
}

// ---------------------------------------------------------------------------
// Sample lines: indentation, the number, ",\n". These make nearly all of a
// large text, so they have a writer of their own.

// The longest a fast line store reaches past its start: indentation rounded
// up to whole 8-byte stores or the sign and an 8-byte store of the digits.
constexpr std::size_t sample_line_reach(std::size_t indent) noexcept {
    return indent + 1 + 8 + 8;
}

// The end of a sample line for each magnitude 0..32768, as stored: the
// digits from the lowest byte up, then ",\n", and in the top byte the
// length of all that. 256 KiB, made on first use.
struct LineTails {
    std::array<std::uint64_t, 32769> tail;
    LineTails() noexcept {
        for (std::uint32_t a = 0; a < tail.size(); ++a) {
            char buf[8] = {};
            char* q = std::to_chars(buf, buf + 5, a).ptr;
            *q++ = ',';
            *q++ = '\n';
            std::uint64_t w = 0;
            for (int k = 6; k >= 0; --k)
                w = (w << 8) | static_cast<unsigned char>(buf[k]);
            tail[a] = w | (static_cast<std::uint64_t>(q - buf) << 56);
        }
    }
};

const LineTails& line_tails() noexcept {
    static const LineTails tails;
    return tails;
}

// Writes one line with whole 8-byte stores, which may reach past the line's
// end (never further than sample_line_reach(indent) from p); the next line,
// or whatever the caller writes next, overwrites those bytes.
inline char* put_sample_line_fast(char* p, const LineTails& tails, std::size_t indent,
                                  std::int16_t s) noexcept {
    constexpr std::uint64_t SPACES8 = 0x2020202020202020u;
    for (std::size_t k = 0; k < indent; k += 8) {
        std::memcpy(p + k, &SPACES8, 8);
    }
    p += indent;
    *p = '-';
    p += s < 0;
    const std::int32_t v = s;
    std::uint64_t w = tails.tail[static_cast<std::size_t>(v < 0 ? -v : v)];
    const std::size_t len = w >> 56;
    if constexpr (std::endian::native != std::endian::little) {
        w = std::byteswap(w);
    }
    std::memcpy(p, &w, 8);
    return p + len;
}

// Writes one line exactly, nothing past its end.
char* put_sample_line_exact(char* p, std::size_t indent, std::int16_t s) noexcept {
    p = put_spaces(p, indent);
    p = std::to_chars(p, p + 6, s).ptr;
    p[0] = ',';
    p[1] = '\n';
    return p + 2;
}

// Writes the lines of `samples` from p on and returns their end. Nothing is
// stored at or past `limit`.
char* put_sample_lines(char* p, char* limit, const std::vector<std::int16_t>& samples,
                       std::size_t indent) noexcept {
    const std::size_t reach = sample_line_reach(indent);
    const std::int16_t* s = samples.data();
    const std::int16_t* const end = s + samples.size();
    if (samples.size() > 64 && limit - p >= static_cast<std::ptrdiff_t>(reach)) {
        const LineTails& tails = line_tails();
        const char* const last_fast = limit - reach;
        if (indent == 24) {
            // The depth of the samples in a whole protocol: a constant
            // lets the indentation become three plain stores.
            for (; s != end && p <= last_fast; ++s)
                p = put_sample_line_fast(p, tails, 24, *s);
        } else {
            for (; s != end && p <= last_fast; ++s)
                p = put_sample_line_fast(p, tails, indent, *s);
        }
    }
    for (; s != end; ++s)
        p = put_sample_line_exact(p, indent, *s);
    return p;
}

// The number of characters of s in decimal, sign included.
inline std::size_t decimal_width(std::int16_t s) noexcept {
    const std::int32_t v = s;
    const std::int32_t a = v < 0 ? -v : v;
    return 1u + (v < 0) + (a >= 10) + (a >= 100) + (a >= 1000) + (a >= 10000);
}

// The exact size of those lines.
std::size_t sample_lines_size(const std::vector<std::int16_t>& samples,
                              std::size_t indent) noexcept {
    std::size_t total = samples.size() * (indent + 2);
    const std::int16_t* s = samples.data();
    std::size_t left = samples.size();
#if defined(__SSE2__)
    // Eight at a time in 16-bit lanes: each lane counts the digits beyond
    // the first and the sign, at most 5 a sample, so a block of 4096 steps
    // cannot overflow it. The compares are unsigned (bias by 0x8000), so
    // -32768, whose magnitude only fits unsigned, counts right.
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i t10 = _mm_set1_epi16(static_cast<short>(9 ^ 0x8000));
    const __m128i t100 = _mm_set1_epi16(static_cast<short>(99 ^ 0x8000));
    const __m128i t1000 = _mm_set1_epi16(static_cast<short>(999 ^ 0x8000));
    const __m128i t10000 = _mm_set1_epi16(static_cast<short>(9999 ^ 0x8000));
    while (left >= 8) {
        const std::size_t steps = left / 8 < 4096 ? left / 8 : 4096;
        __m128i count = _mm_setzero_si128();
        for (std::size_t k = 0; k < steps; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8 * k));
            const __m128i neg = _mm_srai_epi16(v, 15);                   // all ones if < 0
            const __m128i a = _mm_sub_epi16(_mm_xor_si128(v, neg), neg); // |v|, mod 2^16
            const __m128i b = _mm_xor_si128(a, bias);
            count = _mm_sub_epi16(count, neg);
            count = _mm_sub_epi16(count, _mm_cmpgt_epi16(b, t10));
            count = _mm_sub_epi16(count, _mm_cmpgt_epi16(b, t100));
            count = _mm_sub_epi16(count, _mm_cmpgt_epi16(b, t1000));
            count = _mm_sub_epi16(count, _mm_cmpgt_epi16(b, t10000));
        }
        // Lanes as unsigned 16-bit values, summed in 32 bits.
        const __m128i lo = _mm_unpacklo_epi16(count, _mm_setzero_si128());
        const __m128i hi = _mm_unpackhi_epi16(count, _mm_setzero_si128());
        alignas(16) std::uint32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi32(lo, hi));
        total += steps * 8 + std::size_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
        s += steps * 8;
        left -= steps * 8;
    }
#endif
    for (; left > 0; --left) {
        total += decimal_width(*s++);
    }
    return total;
}

// ---------------------------------------------------------------------------
// Names.

constexpr std::string_view SIGNAL_NAMES[] = {"Constant", "Sine", "Ramp", "MixedSignal",
                                             "Arbitrary"};

constexpr std::string_view ERROR_NAMES[] = {
    "OverCoilCurrent", "OverSupplyPower", "OverTemperature", "Underflow",
    "SPIError",        "GPIOError",       "I2cError",        "TCPError",
    "ConfigError",     "ProtocolError",   "Unintialized",
};

void append_error(std::string& out, error::VEXAError e) {
    const auto i = static_cast<std::size_t>(e);
    if (i < std::size(ERROR_NAMES)) {
        out.append(ERROR_NAMES[i]);
    } else {
        // Not a declared variant (an arbitrary byte cast to the enumeration).
        out.append("VEXAError(");
        append_int(out, static_cast<unsigned>(i));
        out.push_back(')');
    }
}

// ---------------------------------------------------------------------------
// The writer: the layout of records, variants and sequences in either form.

enum class Mode { Pretty, Line };

template <Mode M>
class Writer {
  public:
    Writer(std::string& out, std::size_t depth) : out_(out), depth_(depth) {}

    std::string& out() { return out_; }
    std::size_t depth() const { return depth_; }

    // Record: "Name {\n" ... "}" or "Name { " ... " }".
    void open_record(std::string_view type) {
        out_.append(type);
        if constexpr (M == Mode::Pretty) {
            out_.append(" {\n", 3);
            ++depth_;
        } else {
            out_.append(" { ", 3);
            first_ = true;
        }
    }
    void field(std::string_view name) {
        begin_item();
        out_.append(name);
        out_.append(": ", 2);
    }
    void close_record() {
        if constexpr (M == Mode::Pretty) {
            --depth_;
            append_spaces(out_, depth_ * INDENT_WIDTH);
            out_.push_back('}');
        } else {
            out_.append(" }", 2);
            first_ = false;
        }
    }

    // Enumeration value with a payload: "Name(\n" payload ",\n" ")" or "Name(" payload ")".
    void open_variant(std::string_view name) {
        out_.append(name);
        out_.push_back('(');
        if constexpr (M == Mode::Pretty) {
            out_.push_back('\n');
            ++depth_;
            append_spaces(out_, depth_ * INDENT_WIDTH);
        }
    }
    void close_variant() {
        if constexpr (M == Mode::Pretty) {
            out_.append(",\n", 2);
            --depth_;
            append_spaces(out_, depth_ * INDENT_WIDTH);
        }
        out_.push_back(')');
        first_ = false;
    }

    // Non-empty sequence: "[\n" elements "]" or "[" elements "]".
    void open_seq() {
        out_.push_back('[');
        if constexpr (M == Mode::Pretty) {
            out_.push_back('\n');
            ++depth_;
        } else {
            first_ = true;
        }
    }
    void close_seq() {
        if constexpr (M == Mode::Pretty) {
            --depth_;
            append_spaces(out_, depth_ * INDENT_WIDTH);
        }
        out_.push_back(']');
        first_ = false;
    }

    // Start of a field or element: indentation, or the separator.
    void begin_item() {
        if constexpr (M == Mode::Pretty) {
            append_spaces(out_, depth_ * INDENT_WIDTH);
        } else {
            if (!first_) {
                out_.append(", ", 2);
            }
            first_ = false;
        }
    }
    // End of a field or element.
    void end_item() {
        if constexpr (M == Mode::Pretty) {
            out_.append(",\n", 2);
        }
    }

    // When set, the element lines of sample lists are left out and their
    // place recorded here instead (ProtocolText writes them later).
    std::vector<ProtocolText::SampleRun>* sample_runs = nullptr;

  private:
    std::string& out_;
    std::size_t depth_;
    // Line form: no item written yet at the innermost open level. Set on
    // opening a level; cleared by the level's first item and on closing it
    // (the enclosing level's current item has then been begun).
    bool first_ = true;
};

// ---------------------------------------------------------------------------
// Values. All overloads are declared first so that the templates below see
// every one of them.

template <Mode M>
void put(Writer<M>& w, bool v);
template <Mode M>
void put(Writer<M>& w, std::uint64_t v);
template <Mode M>
void put(Writer<M>& w, double v);
template <Mode M>
void put(Writer<M>& w, const std::string& v);
template <Mode M>
void put(Writer<M>& w, const std::vector<std::int16_t>& v);
template <Mode M, class T>
void put(Writer<M>& w, const std::vector<T>& v);
template <Mode M, class T, std::size_t N>
void put(Writer<M>& w, const std::array<T, N>& v);
template <Mode M>
void put(Writer<M>& w, const lcsettings::LCSetting& v);
template <Mode M>
void put(Writer<M>& w, const lcsettings::Coil& v);
template <Mode M>
void put(Writer<M>& w, const machine_config::MachineConfig& v);
template <Mode M>
void put(Writer<M>& w, const settings::SignalSourceSelection& v);
template <Mode M>
void put(Writer<M>& w, const settings::ChannelSettings& v);
template <Mode M>
void put(Writer<M>& w, const signals::ConstantSignalParams& v);
template <Mode M>
void put(Writer<M>& w, const signals::SineSignalParams& v);
template <Mode M>
void put(Writer<M>& w, const signals::RampSignalParams& v);
template <Mode M>
void put(Writer<M>& w, const signals::MixedSignalParams& v);
template <Mode M>
void put(Writer<M>& w, const signals::ArbitrarySignalParams& v);
template <Mode M>
void put(Writer<M>& w, const signals::Signal& v);
template <Mode M>
void put(Writer<M>& w, const settings::Settings& v);

template <Mode M, class T>
void fld(Writer<M>& w, std::string_view name, const T& v) {
    w.field(name);
    put(w, v);
    w.end_item();
}

template <Mode M>
void put(Writer<M>& w, bool v) {
    append_bool(w.out(), v);
}

template <Mode M>
void put(Writer<M>& w, std::uint64_t v) {
    append_int(w.out(), v);
}

template <Mode M>
void put(Writer<M>& w, double v) {
    append_double(w.out(), v);
}

template <Mode M>
void put(Writer<M>& w, const std::string& v) {
    append_quoted(w.out(), v);
}

template <Mode M, class It>
void put_elements(Writer<M>& w, It first, It last) {
    if (first == last) {
        w.out().append("[]", 2);
        return;
    }
    w.open_seq();
    for (; first != last; ++first) {
        w.begin_item();
        put(w, *first);
        w.end_item();
    }
    w.close_seq();
}

template <Mode M, class T>
void put(Writer<M>& w, const std::vector<T>& v) {
    put_elements(w, v.begin(), v.end());
}

template <Mode M, class T, std::size_t N>
void put(Writer<M>& w, const std::array<T, N>& v) {
    put_elements(w, v.begin(), v.end());
}

// The samples of an arbitrary signal: one line each in the pretty form, so
// this is where large outputs come from. The elements are written straight
// into the buffer, sized once for the longest possible element.
template <Mode M>
void put(Writer<M>& w, const std::vector<std::int16_t>& v) {
    std::string& out = w.out();
    if (v.empty()) {
        out.append("[]", 2);
        return;
    }
    w.open_seq();
    // Pretty: indentation, up to 6 characters ("-32768"), ",\n".
    // Line: ", " (none before the first), up to 6 characters.
    const std::size_t indent = M == Mode::Pretty ? w.depth() * INDENT_WIDTH : 0;
    if constexpr (M == Mode::Pretty) {
        if (w.sample_runs) {
            w.sample_runs->push_back({out.size(), indent, &v});
            w.close_seq();
            return;
        }
    }
    const std::size_t per_element = indent + 8;
    const std::size_t old_size = out.size();
    if (v.size() > (out.max_size() - old_size) / per_element) {
        throw std::bad_alloc();
    }
    const std::size_t bound = old_size + v.size() * per_element;
    reserve_total(out, bound);
    out.resize_and_overwrite(bound, [&](char* base, std::size_t) noexcept {
        char* p = base + old_size;
        if constexpr (M == Mode::Pretty) {
            p = put_sample_lines(p, base + bound, v, indent);
        } else {
            bool first = true;
            for (const std::int16_t s : v) {
                if (!first) {
                    p[0] = ',';
                    p[1] = ' ';
                    p += 2;
                }
                first = false;
                p = std::to_chars(p, p + 6, s).ptr;
            }
        }
        return static_cast<std::size_t>(p - base);
    });
    w.close_seq();
}

template <Mode M>
void put(Writer<M>& w, const lcsettings::LCSetting& v) {
    w.open_record("LCSetting");
    fld(w, "capacitance", v.capacitance);
    fld(w, "carrier_frequency", v.carrier_frequency);
    fld(w, "clk_ticks_per_sample", v.clk_ticks_per_sample);
    fld(w, "capacitor_bank_setting", v.capacitor_bank_setting);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const lcsettings::Coil& v) {
    w.open_record("Coil");
    fld(w, "name", v.name);
    fld(w, "inductance", v.inductance);
    fld(w, "max_current", v.max_current);
    fld(w, "max_carrier_frequency", v.max_carrier_frequency);
    fld(w, "settings", v.settings);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const machine_config::MachineConfig& v) {
    w.open_record("MachineConfig");
    fld(w, "supply_voltage", v.supply_voltage);
    fld(w, "num_coils", v.num_coils);
    fld(w, "coils", v.coils);
    fld(w, "capacitors", v.capacitors);
    fld(w, "possible_capacitances", v.possible_capacitances);
    fld(w, "num_external_signal_sources", v.num_external_signal_sources);
    fld(w, "smbus_psu_connected", v.smbus_psu_connected);
    fld(w, "num_temperature_sensors", v.num_temperature_sensors);
    fld(w, "num_flow_rate_sensors", v.num_flow_rate_sensors);
    fld(w, "safety_checks_enabled", v.safety_checks_enabled);
    fld(w, "max_intensity_setpoint", v.max_intensity_setpoint);
    fld(w, "max_current", v.max_current);
    fld(w, "max_carrier_frequency", v.max_carrier_frequency);
    fld(w, "max_temperature", v.max_temperature);
    fld(w, "min_flowrate", v.min_flowrate);
    fld(w, "max_power", v.max_power);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const settings::SignalSourceSelection& v) {
    w.open_record("SignalSourceSelection");
    fld(w, "internal", v.internal);
    fld(w, "external", v.external);
    fld(w, "external_selected", v.external_selected);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const settings::ChannelSettings& v) {
    w.open_record("ChannelSettings");
    fld(w, "enabled", v.enabled);
    fld(w, "amplitude1_source", v.amplitude1_source);
    fld(w, "amplitude2_source", v.amplitude2_source);
    fld(w, "modulation_source", v.modulation_source);
    fld(w, "coil_idx", v.coil_idx);
    fld(w, "coil_setting_idx", v.coil_setting_idx);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const signals::ConstantSignalParams& v) {
    w.open_record("ConstantSignalParams");
    fld(w, "value", v.value);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const signals::SineSignalParams& v) {
    w.open_record("SineSignalParams");
    fld(w, "amplitude", v.amplitude);
    fld(w, "frequency", v.frequency);
    fld(w, "phase", v.phase);
    fld(w, "depth", v.depth);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const signals::RampSignalParams& v) {
    w.open_record("RampSignalParams");
    fld(w, "peak", v.peak);
    fld(w, "up_duration", v.up_duration);
    fld(w, "down_duration", v.down_duration);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const signals::MixedSignalParams& v) {
    w.open_record("MixedSignalParams");
    fld(w, "a_idx", v.a_idx);
    fld(w, "b_idx", v.b_idx);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const signals::ArbitrarySignalParams& v) {
    w.open_record("ArbitrarySignalParams");
    fld(w, "samples", v.samples);
    w.close_record();
}

template <Mode M>
void put(Writer<M>& w, const signals::Signal& v) {
    const std::size_t i = v.index();
    if (i >= std::size(SIGNAL_NAMES)) {
        // Valueless after a failed assignment; no operation of the model
        // leaves a signal so, but render something rather than throw.
        w.out().append("<valueless>");
        return;
    }
    w.open_variant(SIGNAL_NAMES[i]);
    std::visit([&w](const auto& params) { put(w, params); }, v);
    w.close_variant();
}

template <Mode M>
void put(Writer<M>& w, const settings::Settings& v) {
    w.open_record("Settings");
    fld(w, "running_on_target_machine", v.running_on_target_machine);
    fld(w, "machine_config", v.machine_config);
    fld(w, "intensity", v.intensity);
    fld(w, "session_duration", v.session_duration);
    fld(w, "signals", v.signals);
    fld(w, "channel_a_settings", v.channel_a_settings);
    fld(w, "channel_b_settings", v.channel_b_settings);
    fld(w, "monitor_trace_visible", v.monitor_trace_visible);
    w.close_record();
}

// ---------------------------------------------------------------------------
// Buffer size estimates, so that a large protocol is rendered with (nearly)
// one allocation. Only the bulk matters: the samples of arbitrary signals.

// Bytes per sample at the depth where a signal's samples stand, plus slack
// for everything else.
std::size_t estimate(const settings::Settings& s, std::size_t per_sample) {
    std::size_t n = 4096;
    for (const auto& coil : s.machine_config.coils) {
        n += 512 + coil.name.size() + coil.settings.size() * 256;
    }
    n += (s.machine_config.capacitors.size() + s.machine_config.possible_capacitances.size()) * 64;
    for (const auto& sig : s.signals) {
        n += 256;
        if (const auto* a = std::get_if<signals::ArbitrarySignalParams>(&sig)) {
            n += a->samples.size() * per_sample;
        }
    }
    return n;
}

template <Mode M, class T>
std::string render(const T& v, std::size_t reserve = 256) {
    std::string out;
    reserve_total(out, reserve);
    Writer<M> w(out, 0);
    put(w, v);
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// Public interface.

void append_double(std::string& out, double x) {
    char buf[48];
    out.append(buf, put_double(buf, x));
}

std::string format_double(double x) {
    char buf[48];
    return std::string(buf, put_double(buf, x));
}

void append_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t run = 0; // start of the pending run of bytes written as they are
    std::size_t i = 0;
    auto flush = [&] { out.append(text.data() + run, i - run); };
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
                append_unicode_escape(out, c);
                break;
            }
            run = ++i;
            continue;
        }
        char32_t cp = 0;
        std::size_t bad = 0;
        const std::size_t len = decode_utf8(s + i, n - i, cp, bad);
        if (len == 0) {
            // Not valid UTF-8 (the model's texts always are): U+FFFD keeps
            // the result valid UTF-8.
            flush();
            out.append("\xEF\xBF\xBD", 3);
            i += bad;
            run = i;
        } else if (is_nonprintable(cp)) {
            flush();
            append_unicode_escape(out, cp);
            i += len;
            run = i;
        } else {
            i += len;
        }
    }
    flush();
    out.push_back('"');
}

std::string pretty_protocol(const settings::Settings& s) {
    std::string out;
    // Samples stand at depth 6: 24 spaces, up to 6 characters, ",\n".
    reserve_total(out, estimate(s, 6 * INDENT_WIDTH + 8));
    out.append("Protocol {\n    settings: ");
    Writer<Mode::Pretty> w(out, 1);
    put(w, s);
    out.append(",\n}", 3);
    return out;
}

ProtocolText::ProtocolText(const settings::Settings& s) {
    reserve_total(head_, estimate(s, 0));
    head_.append("Protocol {\n    settings: ");
    Writer<Mode::Pretty> w(head_, 1);
    w.sample_runs = &runs_;
    put(w, s);
    head_.append(",\n}", 3);
    size_ = head_.size();
    for (const SampleRun& run : runs_) {
        size_ += sample_lines_size(*run.samples, run.indent);
    }
}

bool ProtocolText::is_ascii() const noexcept {
    unsigned char any = 0;
    for (const char c : head_) {
        any |= static_cast<unsigned char>(c);
    }
    return any < 0x80;
}

void ProtocolText::write(char* out) const noexcept {
    // The memory is most likely fresh and about to be filled whole.
    advise_huge_pages(out, size_);
    char* const end = out + size_;
    char* p = out;
    std::size_t from = 0;
    // Each piece of the rest is copied after the lines before it, so it
    // overwrites what their fast stores left past their end.
    for (const SampleRun& run : runs_) {
        std::memcpy(p, head_.data() + from, run.at - from);
        p += run.at - from;
        from = run.at;
        p = put_sample_lines(p, end, *run.samples, run.indent);
    }
    std::memcpy(p, head_.data() + from, head_.size() - from);
}

std::string pretty(const settings::Settings& v) {
    return render<Mode::Pretty>(v, estimate(v, 5 * INDENT_WIDTH + 8));
}
std::string pretty(const machine_config::MachineConfig& v) {
    return render<Mode::Pretty>(v, 2048);
}
std::string pretty(const lcsettings::Coil& v) {
    return render<Mode::Pretty>(v, 512);
}
std::string pretty(const lcsettings::LCSetting& v) {
    return render<Mode::Pretty>(v);
}
std::string pretty(const settings::ChannelSettings& v) {
    return render<Mode::Pretty>(v, 1024);
}
std::string pretty(const settings::SignalSourceSelection& v) {
    return render<Mode::Pretty>(v);
}
std::string pretty(const signals::Signal& v) {
    return render<Mode::Pretty>(v);
}
std::string pretty(error::VEXAError v) {
    std::string out;
    append_error(out, v);
    return out;
}

std::string line(const settings::Settings& v) {
    return render<Mode::Line>(v, estimate(v, 8));
}
std::string line(const machine_config::MachineConfig& v) {
    return render<Mode::Line>(v, 1024);
}
std::string line(const lcsettings::Coil& v) {
    return render<Mode::Line>(v);
}
std::string line(const lcsettings::LCSetting& v) {
    return render<Mode::Line>(v);
}
std::string line(const settings::ChannelSettings& v) {
    return render<Mode::Line>(v, 512);
}
std::string line(const settings::SignalSourceSelection& v) {
    return render<Mode::Line>(v);
}
std::string line(const signals::Signal& v) {
    return render<Mode::Line>(v);
}
std::string line(const signals::ConstantSignalParams& v) {
    return render<Mode::Line>(v);
}
std::string line(const signals::SineSignalParams& v) {
    return render<Mode::Line>(v);
}
std::string line(const signals::RampSignalParams& v) {
    return render<Mode::Line>(v);
}
std::string line(const signals::MixedSignalParams& v) {
    return render<Mode::Line>(v);
}
std::string line(const signals::ArbitrarySignalParams& v) {
    return render<Mode::Line>(v, 64 + v.samples.size() * 8);
}
std::string line(error::VEXAError v) {
    return pretty(v);
}

} // namespace protocols::text
