#pragma once

#include "boundary/python.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace pyvexa::boundary {

// What binding needs to know of a function: its name as messages show it
// ("Protocol.add_sine_signal()") and its parameter names in order. Every
// parameter is required and may come by position or by keyword.
template <std::size_t N>
struct Signature {
    std::string_view function;
    std::array<std::string_view, N> params;
};

// Fills `out` (one slot per parameter) from a fast call's arguments; the
// objects are borrowed from the caller. False with TypeError set when the
// arguments do not fit.
bool bind_fast(std::string_view function, std::span<const std::string_view> params,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out) noexcept;

// The same for a call that passes a tuple and a dict (the constructor).
bool bind_tuple(std::string_view function, std::span<const std::string_view> params, PyObject* args,
                PyObject* kwargs, std::span<PyObject*> out) noexcept;

template <std::size_t N>
[[gnu::always_inline]] inline Result<std::array<PyObject*, N>>
bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, N> out{};
    const Py_ssize_t positional = PyVectorcall_NARGS(static_cast<size_t>(nargs));
    // The usual call, every argument by position, needs no checks beyond
    // the count; anything else (keywords, errors) takes the general path.
    if (kwnames == nullptr && positional == static_cast<Py_ssize_t>(N)) [[likely]] {
        for (std::size_t i = 0; i < N; ++i)
            out[i] = args[i];
        return out;
    }
    if (!bind_fast(sig.function, sig.params, args, positional, kwnames, out)) {
        return raised();
    }
    return out;
}

template <std::size_t N>
Result<std::array<PyObject*, N>> bind(const Signature<N>& sig, PyObject* args,
                                      PyObject* kwargs) noexcept {
    std::array<PyObject*, N> out{};
    if (!bind_tuple(sig.function, sig.params, args, kwargs, out)) return raised();
    return out;
}

} // namespace pyvexa::boundary
