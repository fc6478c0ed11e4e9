#pragma once

// Field-by-field equality of two model values, walked by the records'
// descriptions. Doubles compare by bit pattern, so a NaN payload or the sign
// of a zero that the encoder changed is a difference.

#include "describe.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace fuzzing {

inline bool same(bool a, bool b) {
    return a == b;
}
inline bool same(std::uint64_t a, std::uint64_t b) {
    return a == b;
}
inline bool same(std::int16_t a, std::int16_t b) {
    return a == b;
}
inline bool same(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
inline bool same(const std::string& a, const std::string& b) {
    return a == b;
}
inline bool same(const protocols::signals::Signal& a, const protocols::signals::Signal& b);
template <protocols::describe::Described R>
bool same(const R& a, const R& b);

template <class T>
bool same(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

template <class T, std::size_t N>
bool same(const std::array<T, N>& a, const std::array<T, N>& b) {
    for (std::size_t i = 0; i < N; ++i) {
        if (!same(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

template <protocols::describe::Described R>
bool same(const R& a, const R& b) {
    bool equal = true;
    protocols::describe::fields(a, b, [&equal](std::string_view, const auto& x, const auto& y) {
        equal = equal && same(x, y);
    });
    return equal;
}

inline bool same(const protocols::signals::Signal& a, const protocols::signals::Signal& b) {
    if (a.index() != b.index()) {
        return false;
    }
    return std::visit(
        [&b](const auto& p) { return same(p, std::get<std::decay_t<decltype(p)>>(b)); }, a);
}

} // namespace fuzzing
