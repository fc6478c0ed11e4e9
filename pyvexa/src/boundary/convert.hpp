#pragma once

#include "boundary/python.hpp"

#include <cstdint>
#include <string_view>

// Conversions of call arguments to model values. Each names its parameter
// in a TypeError it raises (see name_argument); other errors pass as the
// interpreter raised them.
namespace pyvexa::boundary {

[[gnu::noinline]] Result<double> to_double_slow(PyObject* obj, std::string_view name) noexcept;

// The value of an exact float, read from the object. (PyPy's
// PyFloat_AS_DOUBLE is a call into its C-API layer, which fills in the same
// field of every float it hands to C.)
inline double exact_float_value(PyObject* obj) noexcept {
    return reinterpret_cast<PyFloatObject*>(obj)->ob_fval;
}

// An exact float is read in place; anything else goes through the
// interpreter's float conversion (int, __float__, __index__).
inline Result<double> to_double(PyObject* obj, std::string_view name) noexcept {
    if (PyFloat_CheckExact(obj)) [[likely]]
        return exact_float_value(obj);
    return to_double_slow(obj, name);
}

// An int (or subclass) directly, anything else through __index__ first;
// negative and too large values raise the interpreter's OverflowError.
Result<std::uint64_t> to_u64(PyObject* obj, std::string_view name) noexcept;

// True and False only, plus NumPy's boolean scalars through their truth
// slot; 1, 0 or None are refused, not interpreted.
Result<bool> to_bool(PyObject* obj, std::string_view name) noexcept;

// A str (or subclass) as UTF-8. The text lives as long as `obj`.
Result<std::string_view> to_utf8(PyObject* obj, std::string_view name) noexcept;

} // namespace pyvexa::boundary
