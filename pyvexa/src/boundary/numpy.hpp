#pragma once

#include "boundary/python.hpp"

#include <cstddef>
#include <string_view>

// NumPy's C array interface, found at run time through NumPy's own module
// (never at import of this module, and without import_array, so that a
// process without NumPy can use everything else).
namespace pyvexa::boundary {

// NumPy's table of C interface functions.
struct ArrayApi {
    void** table;
};

// The table, located on first use and kept for the life of the process; a
// failed attempt is not kept. On failure the failure exception is set:
// "Failed to access NumPy array API capsule: <the Python error>".
Result<ArrayApi> array_api() noexcept;

// A one-dimensional float64 array as the model reads it: `length` elements,
// the first at `data`, each `stride` bytes after the one before.
struct DoubleVector {
    const char* data;
    std::size_t length;
    std::ptrdiff_t stride;
};

// Accepts an ndarray (or subclass) of one dimension whose element type is
// equivalent to float64; anything else raises TypeError "argument '<name>':
// '<type>' object cannot be cast as 'ndarray'". The view lives as long as
// `obj` and nothing replaces its buffer.
Result<DoubleVector> as_double_vector(const ArrayApi& api, PyObject* obj,
                                      std::string_view name) noexcept;

} // namespace pyvexa::boundary
