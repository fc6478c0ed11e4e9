#pragma once

// The one way into the interpreter's headers: Python.h must come before any
// standard header, and every size argument is a Py_ssize_t.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>

namespace pyvexa::boundary {

// The error half of every boundary result: a Python exception is set and
// the caller only has to return NULL.
struct Raised {};

template <class T>
using Result = std::expected<T, Raised>;

inline std::unexpected<Raised> raised() noexcept {
    return std::unexpected(Raised{});
}

} // namespace pyvexa::boundary
