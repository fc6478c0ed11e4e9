#include "boundary/messages.hpp"

namespace pyvexa::boundary {

namespace {

Owned str_from(std::string_view text) noexcept {
    return Owned::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// "" .join(pieces); empty with an error set on failure.
Owned join(std::initializer_list<Piece> pieces) noexcept {
    Owned parts = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!parts) return {};
    Py_ssize_t i = 0;
    for (const Piece& p : pieces) {
        Owned item = p.str ? Owned::share(p.str) : str_from(p.text);
        if (!item) return {};
        PyTuple_SET_ITEM(parts.get(), i++, item.release());
    }
    Owned empty = str_from("");
    if (!empty) return {};
    return Owned::steal(PyUnicode_Join(empty.get(), parts.get()));
}

std::string utf8_or_placeholder(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

} // namespace

FetchedError FetchedError::fetch() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    return {Owned::steal(type), Owned::steal(value), Owned::steal(trace)};
}

void raise_joined(PyObject* type, std::initializer_list<Piece> pieces) noexcept {
    Owned message = join(pieces);
    if (message) PyErr_SetObject(type, message.get());
}

Owned qualified_name(PyTypeObject* type) noexcept {
    return Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
}

void raise_cannot_cast(PyObject* obj, std::string_view target) noexcept {
    Owned name = qualified_name(Py_TYPE(obj));
    if (!name) return;
    raise_joined(PyExc_TypeError, {"'", name.get(), "' object cannot be cast as '", target, "'"});
}

void name_argument(std::string_view name) noexcept {
    // Anything but exactly TypeError stays as it is, and is not even
    // fetched (python_code.hpp says why a fetch is best avoided).
    if (PyErr_Occurred() != PyExc_TypeError) return;
    FetchedError old = FetchedError::fetch();
    if (!old.value ||
        Py_TYPE(old.value.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        old.restore();
        return;
    }

    Owned text = Owned::steal(PyObject_Str(old.value.get()));
    if (!text) return;
    Owned message = join({"argument '", name, "': ", text.get()});
    if (!message) return;
    Owned replacement = Owned::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(old.value.get())) {
        PyException_SetCause(replacement.get(), cause); // takes the reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

std::string render_current_error() {
    FetchedError error = FetchedError::fetch();
    if (!error.value) return "<no error>";

    std::string rendered;
    if (Owned name = qualified_name(Py_TYPE(error.value.get()))) {
        rendered = utf8_or_placeholder(name.get());
    } else {
        PyErr_Clear();
        rendered = "<unknown error>";
    }
    Owned text = Owned::steal(PyObject_Str(error.value.get()));
    if (!text) {
        PyErr_Clear();
        return rendered;
    }
    std::string message = utf8_or_placeholder(text.get());
    if (!message.empty()) rendered.append(": ").append(message);
    return rendered;
}

} // namespace pyvexa::boundary
