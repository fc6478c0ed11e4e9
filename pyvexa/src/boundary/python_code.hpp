#pragma once

#include "boundary/python.hpp"

#include <atomic>

// Small functions written in Python, for the places where an exception
// that Python code raised must be handled: PyPy 7.3's C layer never frees
// an exception that C code fetches (PyErr_Fetch) when its traceback spans
// two or more frames, nor anything those frames hold, so such an exception
// is caught and looked at by Python code, never by C. (CPython has no such
// trouble; the same code runs there, so that both behave alike.)
namespace pyvexa::boundary {

// The function `name` defined by `source`, which is run once in a fresh
// namespace with the builtins; kept in `slot` for the life of the process,
// like the type objects. NULL with an error set if it cannot be made.
PyObject* python_function(std::atomic<PyObject*>& slot, const char* source,
                          const char* name) noexcept;

} // namespace pyvexa::boundary
