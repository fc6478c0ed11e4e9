#pragma once

#include "boundary/owned.hpp"
#include "boundary/python.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

namespace pyvexa::boundary {

// One piece of an error message: UTF-8 text, or a Python str taken as it is
// (a keyword or class name may hold lone surrogates that UTF-8 cannot carry).
struct Piece {
    Piece(std::string_view text) noexcept : text(text) {}
    Piece(const char* text) noexcept : text(text) {}
    Piece(PyObject* str) noexcept : str(str) {}
    std::string_view text;
    PyObject* str = nullptr;
};

// The error that is set, taken from the interpreter and normalised (all
// three empty when none is set); restore() sets it again.
struct FetchedError {
    Owned type;
    Owned value;
    Owned trace;
    static FetchedError fetch() noexcept;
    void restore() noexcept { PyErr_Restore(type.release(), value.release(), trace.release()); }
};

// Raises `type` with the pieces joined. On a failure while building, that
// failure is raised instead.
[[gnu::noinline]] void raise_joined(PyObject* type, std::initializer_list<Piece> pieces) noexcept;

// The type's __qualname__ as a str; empty with an error set on failure.
Owned qualified_name(PyTypeObject* type) noexcept;

// Raises TypeError "'<qualname of obj's type>' object cannot be cast as '<target>'".
[[gnu::noinline]] void raise_cannot_cast(PyObject* obj, std::string_view target) noexcept;

// Gives a conversion error its parameter: an error of exactly TypeError is
// replaced by TypeError "argument '<name>': <its message>", keeping its
// cause; any other error stays as it is.
[[gnu::noinline]] void name_argument(std::string_view name) noexcept;

// "<qualname of the error's type>: <str(error)>" of the error that is set,
// which is cleared. Used where a Python error becomes part of a message.
[[gnu::noinline]] std::string render_current_error();

} // namespace pyvexa::boundary
