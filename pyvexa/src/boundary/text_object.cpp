#include "boundary/text_object.hpp"

#include <text.hpp>

#include <cstddef>
#include <string>

namespace pyvexa::boundary {

// Both interpreters let an ASCII str be filled in place after
// PyUnicode_New, so the text is written once, straight into the str's own
// memory. On CPython that memory is the str: one text's worth in all. PyPy
// copies it into its own str when the object first reaches Python code,
// which is the least a str made in C can cost there: two texts' worth at
// the peak, against three when the text is built in a buffer of ours and
// decoded (measured on a 276 MB text: about 2.4x an ASCII decode of the
// same size instead of 7.8x).
namespace {

// A str of a valid length fails to be made only for want of memory. PyPy's
// C layer reports that as a SystemError wrapping its own memory error, which
// `except MemoryError` would miss; it is raised as the MemoryError it is.
[[gnu::noinline]] PyObject* no_memory_for_str() noexcept {
#if defined(PYPY_VERSION)
    if (PyErr_ExceptionMatches(PyExc_SystemError)) {
        PyErr_Clear();
        return PyErr_NoMemory();
    }
#endif
    return nullptr;
}

} // namespace

PyObject* protocol_text_object(const protocols::settings::Settings& s) {
    const protocols::text::ProtocolText text(s);
    if (text.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (text.is_ascii()) {
        PyObject* str = PyUnicode_New(size, 127);
        if (!str) return no_memory_for_str();
        text.write(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str)));
        return str;
    }
    // Names outside ASCII: the interpreter must see the UTF-8 to choose how
    // to store the str. Rare, and only ever a short text.
    std::string whole;
    whole.resize_and_overwrite(text.size(), [&text](char* out, std::size_t n) noexcept {
        text.write(out);
        return n;
    });
    return PyUnicode_DecodeUTF8(whole.data(), size, "strict");
}

} // namespace pyvexa::boundary
