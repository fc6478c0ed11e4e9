#pragma once

// What the text form says about each value: scalars, lists, the signal
// variant and every described record (by its description, field by field).

#include "describe.hpp"
#include "error.hpp"
#include "text_writer.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace protocols::text {

template <Mode M, class S>
void put(Writer<M, S>& w, bool v) {
    w.out.bytes(v ? std::string_view("true") : std::string_view("false"));
}

template <Mode M, class S>
void put(Writer<M, S>& w, std::uint64_t v) {
    w.out.number(v);
}

template <Mode M, class S>
void put(Writer<M, S>& w, double v) {
    w.out.real(v);
}

template <Mode M, class S>
void put(Writer<M, S>& w, const std::string& v) {
    w.out.quoted(v);
}

template <Mode M, class S>
void put(Writer<M, S>& w, error::VEXAError e) {
    const std::string_view name = error::name(e);
    if (!name.empty()) {
        w.out.bytes(name);
        return;
    }
    // Not a declared variant (an arbitrary byte cast to the enumeration).
    w.out.bytes("VEXAError(");
    w.out.number(static_cast<std::uint8_t>(e));
    w.out.byte(')');
}

template <Mode M, class S, class It>
void put_elements(Writer<M, S>& w, It first, It last) {
    if (first == last) {
        w.out.bytes("[]");
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

template <Mode M, class S, class T>
void put(Writer<M, S>& w, const std::vector<T>& v) {
    put_elements(w, v.begin(), v.end());
}

template <Mode M, class S, class T, std::size_t N>
void put(Writer<M, S>& w, const std::array<T, N>& v) {
    put_elements(w, v.begin(), v.end());
}

// The samples of an arbitrary signal, element lines by their own kernel:
// the same layout as any list, at a fraction of the cost.
template <Mode M, class S>
void put(Writer<M, S>& w, const std::vector<std::int16_t>& v) {
    if (v.empty()) {
        w.out.bytes("[]");
        return;
    }
    w.open_seq();
    if constexpr (M == Mode::Pretty) {
        w.out.sample_lines(v, w.indent());
    } else {
        w.out.sample_list(v);
    }
    w.close_seq();
}

// The signal list in the multi-line form: long lists of small signals by
// their recorded elements (text_signal_list.hpp), others as any list.
template <class S>
void put(Writer<Mode::Pretty, S>& w, const std::vector<signals::Signal>& v);

template <Mode M, class S, describe::Described R>
void put(Writer<M, S>& w, const R& r) {
    w.open_record(describe::name_of<R>);
    describe::fields(r, [&w](std::string_view name, const auto& f) {
        w.field(name);
        put(w, f);
        w.end_item();
    });
    w.close_record();
}

template <Mode M, class S>
void put(Writer<M, S>& w, const signals::Signal& v) {
    const std::size_t i = v.index();
    if (i >= signals::SIGNAL_NAMES.size()) {
        // Valueless after a failed assignment; no operation of the model
        // leaves a signal so, but render something rather than throw.
        w.out.bytes("<valueless>");
        return;
    }
    w.open_variant(signals::SIGNAL_NAMES[i]);
    std::visit([&w](const auto& params) { put(w, params); }, v);
    w.close_variant();
}

// The text of v in mode M at nesting depth 0: measured, then written.
template <Mode M, class T>
std::string render(const T& v) {
    Counter counter;
    Writer<M, Counter> measure(counter, 0);
    put(measure, v);
    std::string out;
    out.resize_and_overwrite(counter.size, [&v](char* p, std::size_t n) noexcept {
        Cursor cursor{p, p + n};
        Writer<M, Cursor> write(cursor, 0);
        put(write, v);
        return n;
    });
    return out;
}

} // namespace protocols::text

#include "text_signal_list.hpp"
