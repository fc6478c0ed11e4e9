#pragma once

// Long lists of small signals (constants, sines, ramps, mixes) in the
// multi-line form: a protocol may hold millions of them, and their text is
// most of its text. At a given depth, the text of one such element is
// fixed text with its values in between; each variant's fixed text is
// recorded once per rendering, by the same Writer and the same `put` that
// render any value, and every element is then written as a few block copies
// with its values formatted into the gaps. Values seen before are not
// formatted again: a protocol's values repeat (0.0, 0.5, 1.0, 10.0, ...),
// and the measuring pass has formatted every one of them just before the
// writing pass needs it.
//
// Included at the end of text_render.hpp, which declares the `put` of
// std::vector<signals::Signal> that uses it.

#include "describe.hpp"
#include "signals.hpp"
#include "text_double.hpp"
#include "text_writer.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace protocols::text {

// Records what a Writer writes, a gap in place of every number.
struct Recorder {
    std::string text;
    std::vector<std::size_t> gaps; // where each number goes in `text`
    bool only_numbers = true;      // nothing but fixed text and numbers

    void bytes(std::string_view s) { text.append(s); }
    void byte(char c) { text.push_back(c); }
    void spaces(std::size_t n) { text.append(n, ' '); }
    void number(std::uint64_t) { gaps.push_back(text.size()); }
    void real(double) { gaps.push_back(text.size()); }
    void quoted(std::string_view) { only_numbers = false; }
    void append(const char*, std::size_t) { only_numbers = false; }
    void sample_lines(const std::vector<std::int16_t>&, std::size_t) { only_numbers = false; }
    void sample_list(const std::vector<std::int16_t>&) { only_numbers = false; }
};

// The texts of the doubles formatted so far, by their bits: a small
// direct-mapped table (a value that meets another in its slot replaces it).
class DoubleTexts {
  public:
    struct Entry {
        std::uint64_t bits;
        char text[MAX_DOUBLE_CHARS];
        std::uint8_t size; // 0: empty (a double's text never is)
    };

    const Entry& get(double x) noexcept {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        Entry& e = entries_[(bits * 0x9E3779B97F4A7C15u) >> (64 - SLOT_BITS)];
        if (e.size == 0 || e.bits != bits) [[unlikely]] {
            e.bits = bits;
            e.size = static_cast<std::uint8_t>(put_double(e.text, x) - e.text);
        }
        return e;
    }

  private:
    static constexpr unsigned SLOT_BITS = 8;
    std::array<Entry, std::size_t{1} << SLOT_BITS> entries_{};
};

// What the measuring and the writing pass of one text share: the recorded
// elements (for one depth) and the doubles' texts.
class SignalListTexts {
  public:
    // A list shorter than this goes the general way: recording costs about
    // as much as a few dozen elements.
    static constexpr std::size_t LONG_LIST = 64;

    // The fixed text of one element of variant `index` at `depth` (the
    // depth of the list's elements): pieces between the values, in the
    // order of the record's description. Empty `text` when the variant is
    // not one of plain numbers.
    struct Element {
        std::string text; // the pieces, one after another, then SLACK bytes
        std::vector<std::size_t> gaps;
        std::size_t size = 0; // of the pieces alone
    };

    // Room past a piece's end that its copy may overwrite (a multiple of
    // the copy's block): the pieces are copied in whole blocks.
    static constexpr std::size_t BLOCK = 32;

    const Element* element(std::size_t index, std::size_t depth) {
        if (depth != depth_) [[unlikely]]
            record(depth);
        return &elements_[index];
    }
    // Whether the elements for `depth` are recorded: the measuring pass
    // records them, so the writing pass (which must not allocate) finds
    // them there.
    bool recorded_at(std::size_t depth) const noexcept { return depth == depth_; }
    DoubleTexts& doubles() noexcept { return doubles_; }

  private:
    void record(std::size_t depth);

    static constexpr std::size_t SMALL_VARIANTS = std::variant_size_v<signals::Signal> - 1;
    std::size_t depth_ = SIZE_MAX;
    std::array<Element, SMALL_VARIANTS> elements_;
    DoubleTexts doubles_;
};

// Copies a piece of fixed text in whole blocks when the memory after it can
// take the overrun (what is written next covers it), exactly otherwise.
inline char* copy_piece(char* p, const char* limit, const char* src, std::size_t n) noexcept {
    constexpr std::size_t B = SignalListTexts::BLOCK;
    if (static_cast<std::size_t>(limit - p) >= n + B) {
        for (std::size_t k = 0; k < n; k += B)
            std::memcpy(p + k, src + k, B);
    } else {
        std::memcpy(p, src, n);
    }
    return p + n;
}

inline char* put_value(char* p, const char* limit, DoubleTexts& doubles, double x) noexcept {
    const auto& e = doubles.get(x);
    if (static_cast<std::size_t>(limit - p) >= MAX_DOUBLE_CHARS) {
        std::memcpy(p, e.text, MAX_DOUBLE_CHARS);
    } else {
        std::memcpy(p, e.text, e.size);
    }
    return p + e.size;
}
inline char* put_value(char* p, const char*, DoubleTexts&, std::uint64_t v) noexcept {
    return std::to_chars(p, p + 20, v).ptr;
}

inline std::size_t value_size(DoubleTexts& doubles, double x) noexcept {
    return doubles.get(x).size;
}
inline std::size_t value_size(DoubleTexts&, std::uint64_t v) noexcept {
    std::size_t n = 1;
    for (; v >= 10; v /= 10)
        ++n;
    return n;
}

// One element of a recorded variant: measured...
template <class Params>
std::size_t element_size(const SignalListTexts::Element& e, DoubleTexts& doubles,
                         const Params& params) noexcept {
    std::size_t n = e.size;
    describe::fields(params, [&](std::string_view, const auto& f) { n += value_size(doubles, f); });
    return n;
}

// ...and written.
template <class Params>
char* write_element(char* p, const char* limit, const SignalListTexts::Element& e,
                    DoubleTexts& doubles, const Params& params) noexcept {
    const char* text = e.text.data();
    std::size_t at = 0;
    std::size_t gap = 0;
    describe::fields(params, [&](std::string_view, const auto& f) {
        const std::size_t end = e.gaps[gap++];
        p = copy_piece(p, limit, text + at, end - at);
        at = end;
        p = put_value(p, limit, doubles, f);
    });
    return copy_piece(p, limit, text + at, e.size - at);
}

// The recorded form of a list element, or nullptr where the variant has
// other than numbers (Arbitrary) or a signal is valueless.
inline const SignalListTexts::Element* recorded(SignalListTexts& texts, const signals::Signal& s,
                                                std::size_t depth) {
    const std::size_t i = s.index();
    if (i >= std::tuple_size_v<decltype(signals::SIGNAL_NAMES)> - 1) return nullptr;
    const SignalListTexts::Element* e = texts.element(i, depth);
    return e->text.empty() ? nullptr : e;
}

template <class S>
void put(Writer<Mode::Pretty, S>& w, const std::vector<signals::Signal>& v) {
    constexpr bool measuring = std::is_same_v<S, Counter>;
    constexpr bool writing = std::is_same_v<S, Cursor>;
    if constexpr (measuring || writing) {
        // The list's elements are one level deeper than the writer.
        const std::size_t depth = w.indent() / INDENT_WIDTH + 1;
        if (w.out.signal_lists != nullptr && v.size() >= SignalListTexts::LONG_LIST &&
            (measuring || w.out.signal_lists->recorded_at(depth))) {
            SignalListTexts& texts = *w.out.signal_lists;
            w.open_seq();
            for (const signals::Signal& s : v) {
                const SignalListTexts::Element* e = recorded(texts, s, depth);
                if (e == nullptr) {
                    w.begin_item();
                    put(w, s);
                    w.end_item();
                    continue;
                }
                std::visit(
                    [&](const auto& params) {
                        using T = std::remove_cvref_t<decltype(params)>;
                        if constexpr (std::is_same_v<T, signals::ArbitrarySignalParams>) {
                            // never recorded: written above
                        } else if constexpr (measuring) {
                            w.out.size += element_size(*e, texts.doubles(), params);
                        } else {
                            w.out.p =
                                write_element(w.out.p, w.out.limit, *e, texts.doubles(), params);
                        }
                    },
                    s);
            }
            w.close_seq();
            return;
        }
    }
    put_elements(w, v.begin(), v.end());
}

// The default value of variant `index`.
template <std::size_t... I>
signals::Signal default_signal(std::size_t index, std::index_sequence<I...>) {
    signals::Signal s;
    ((I == index ? (void)s.emplace<I>() : (void)0), ...);
    return s;
}

[[gnu::noinline]] inline void SignalListTexts::record(std::size_t depth) {
    for (std::size_t i = 0; i < SMALL_VARIANTS; ++i) {
        Recorder r;
        Writer<Mode::Pretty, Recorder> w(r, depth);
        w.begin_item();
        put(w, default_signal(i, std::make_index_sequence<SMALL_VARIANTS>{}));
        w.end_item();
        Element& e = elements_[i];
        e.size = r.only_numbers ? r.text.size() : 0;
        e.gaps = std::move(r.gaps);
        e.text = r.only_numbers ? std::move(r.text) : std::string();
        if (!e.text.empty()) e.text.append(BLOCK, ' ');
    }
    depth_ = depth;
}

} // namespace protocols::text
