#include "boundary/convert.hpp"

#include "boundary/messages.hpp"
#include "boundary/owned.hpp"

#include <cstring>

namespace pyvexa::boundary {

namespace {

bool attribute_equals(PyObject* obj, const char* attribute, std::string_view expected) noexcept {
    Owned value = Owned::steal(PyObject_GetAttrString(obj, attribute));
    if (!value) {
        PyErr_Clear(); // a type without the attribute is simply not NumPy's
        return false;
    }
    if (!PyUnicode_Check(value.get())) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    return static_cast<std::size_t>(size) == expected.size() &&
           std::memcmp(data, expected.data(), expected.size()) == 0;
}

// NumPy's boolean scalar type is "numpy.bool_" before NumPy 2 and
// "numpy.bool" from then on; both are recognised by name, so the module
// never has to import NumPy for it.
bool is_numpy_bool(PyTypeObject* type) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(type);
    return (attribute_equals(t, "__name__", "bool_") || attribute_equals(t, "__name__", "bool")) &&
           attribute_equals(t, "__module__", "numpy");
}

[[gnu::noinline]] void raise_no_bool_conversion(PyObject* obj) noexcept {
    Owned type = Owned::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    if (!type) return;
    raise_joined(PyExc_TypeError,
                 {"object of type '", type.get(), "' does not define a '__bool__' conversion"});
}

Result<std::uint64_t> exact_u64(PyObject* integer) noexcept {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return raised();
    return static_cast<std::uint64_t>(value);
}

} // namespace

Result<double> to_double_slow(PyObject* obj, std::string_view name) noexcept {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        name_argument(name);
        return raised();
    }
    return value;
}

Result<std::uint64_t> to_u64(PyObject* obj, std::string_view name) noexcept {
    Result<std::uint64_t> value;
    if (PyLong_Check(obj)) {
        value = exact_u64(obj);
    } else {
        Owned index = Owned::steal(PyNumber_Index(obj));
        value = index ? exact_u64(index.get()) : raised();
    }
    if (!value) name_argument(name);
    return value;
}

Result<bool> to_bool(PyObject* obj, std::string_view name) noexcept {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    PyTypeObject* type = Py_TYPE(obj);
    if (is_numpy_bool(type)) {
        inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (!truth) {
            raise_no_bool_conversion(obj);
            name_argument(name);
            return raised();
        }
        const int value = truth(obj);
        if (value < 0) {
            name_argument(name);
            return raised();
        }
        return value != 0;
    }
    raise_cannot_cast(obj, "bool");
    name_argument(name);
    return raised();
}

Result<std::string_view> to_utf8(PyObject* obj, std::string_view name) noexcept {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_cast(obj, "str");
        name_argument(name);
        return raised();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) {
        name_argument(name);
        return raised();
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

} // namespace pyvexa::boundary
