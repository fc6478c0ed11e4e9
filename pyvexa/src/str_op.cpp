// str(): the text form of the whole protocol, under a shared borrow.
#include "boundary/failure.hpp"
#include "protocol.hpp"

#include <text.hpp>

#include <cstddef>
#include <string>

namespace pyvexa {

PyObject* protocol_str(PyObject* self) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        auto p = borrow_shared(self);
        if (!p) return nullptr;
#if !defined(PYPY_VERSION)
        // CPython lets an ASCII str be filled in place after PyUnicode_New:
        // the text is written once, into the str itself, so a large
        // protocol costs one text's worth of memory, not two.
        const protocols::text::ProtocolText text(p->settings);
        if (text.is_ascii()) {
            if (text.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
            PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
            if (!str) return nullptr;
            text.write(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str)));
            return str;
        }
        // Non-ASCII names: CPython must see the UTF-8 to pick the str kind.
        std::string whole;
        whole.resize_and_overwrite(text.size(), [&text](char* out, std::size_t n) noexcept {
            text.write(out);
            return n;
        });
        return PyUnicode_DecodeUTF8(whole.data(), static_cast<Py_ssize_t>(whole.size()), "strict");
#else
        // PyPy keeps its own copy of every str made from C: the text is
        // built in one buffer and handed over whole. Its ASCII decoder is
        // markedly faster than its UTF-8 one and nearly every text is
        // ASCII, so it is tried first; it is also the ASCII check, which
        // saves a pass of our own over the text.
        const std::string whole = protocols::text::pretty_protocol(p->settings);
        const auto size = static_cast<Py_ssize_t>(whole.size());
        PyObject* str = PyUnicode_DecodeASCII(whole.data(), size, "strict");
        if (str || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return str;
        PyErr_Clear();
        return PyUnicode_DecodeUTF8(whole.data(), size, "strict");
#endif
    });
}

} // namespace pyvexa
