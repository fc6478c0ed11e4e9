#pragma once

#include "boundary/borrow.hpp"
#include "boundary/python.hpp"

#include <cstdint>
#include <string_view>

namespace pyvexa {

// A member of Coil or Channel: its variant number and its borrow word.
struct EnumObject {
    PyObject_HEAD std::uint8_t variant;
    boundary::BorrowWord borrow;
};

// The type objects, made on first request together with their members and
// kept for the life of the process. NULL with RuntimeError "An error
// occurred while initializing class X" (its cause the real error) if the
// type cannot be made.
PyTypeObject* coil_type() noexcept;
PyTypeObject* channel_type() noexcept;

// A Coil or Channel argument: its variant number, read under a shared
// borrow of the member that lasts as long as this value.
struct EnumArgument {
    boundary::SharedBorrow borrow;
    std::uint8_t variant;
};

// The class rule: only an instance of the class itself, else TypeError
// "argument '<name>': '<type>' object cannot be cast as 'Coil'".
boundary::Result<EnumArgument> to_coil(PyObject* obj, std::string_view name) noexcept;
boundary::Result<EnumArgument> to_channel(PyObject* obj, std::string_view name) noexcept;

#if defined(PYPY_VERSION)
// tp_setattro of the module's classes under PyPy, which gives objects of C
// types an attribute dictionary: an assignment to an attribute the class
// does not define is refused with CPython's AttributeError ("'<type_name>'
// object has no attribute 'x'", or "... attribute 'x' is read-only").
int refuse_attribute(PyObject* self, PyObject* name, PyObject* value,
                     const char* type_name) noexcept;
#endif

} // namespace pyvexa
