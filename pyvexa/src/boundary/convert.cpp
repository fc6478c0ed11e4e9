#include "boundary/convert.hpp"

#include "boundary/messages.hpp"
#include "boundary/once.hpp"
#include "boundary/owned.hpp"
#include "boundary/python_code.hpp"
#include "boundary/quiet_exit.hpp"

#include <atomic>
#include <cstring>

namespace pyvexa::boundary {

namespace {

// Arguments of a class written in Python convert through their own
// __float__ or __index__, and a TypeError from there carries Python frames.
// So for them the conversion runs inside this Python function, which gives
// a TypeError its parameter's name itself, exactly as name_argument does
// (see python_code.hpp for why C must not fetch it). `convert` is the
// interpreter's own conversion (PyFloat_AsDouble or PyNumber_Index) as a
// builtin function.
constexpr const char* CONVERT_SOURCE = R"(
def convert(convert, name, value):
    try:
        return convert(value)
    except TypeError as error:
        if type(error) is not TypeError:
            raise
        message = "argument '" + name + "': " + str(error)
        cause = error.__cause__
    replacement = TypeError(message)
    if cause is not None:
        replacement.__cause__ = cause
    raise replacement
)";

std::atomic<PyObject*> convert_slot{nullptr};

// These run the argument's own Python methods: see quiet_exit.
PyObject* float_of(PyObject*, PyObject* obj) noexcept {
    const double value = quiet_exit([obj] { return PyFloat_AsDouble(obj); });
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(value);
}

PyObject* index_of(PyObject*, PyObject* obj) noexcept {
    return quiet_exit([obj] { return PyNumber_Index(obj); });
}

PyMethodDef float_of_def{"float_of", float_of, METH_O, nullptr};
PyMethodDef index_of_def{"index_of", index_of, METH_O, nullptr};
std::atomic<PyObject*> float_of_slot{nullptr};
std::atomic<PyObject*> index_of_slot{nullptr};

PyObject* builtin(std::atomic<PyObject*>& slot, PyMethodDef& def) noexcept {
    if (PyObject* made = slot.load(std::memory_order_acquire)) [[likely]]
        return made;
    PyObject* made = PyCFunction_New(&def, nullptr);
    if (!made) return nullptr;
    return publish_first(slot, made);
}

// Whether converting `obj` may run Python code: its class was written in
// Python (or is another heap type). Built-in and NumPy types convert in C,
// and their errors carry no Python frames.
bool runs_python(PyObject* obj) noexcept {
    return PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_HEAPTYPE);
}

// conversion(obj) through CONVERT_SOURCE; a new reference, or NULL with the
// error (already named) set.
Owned convert_in_python(std::atomic<PyObject*>& slot, PyMethodDef& def, PyObject* obj,
                        std::string_view name) noexcept {
    PyObject* convert = python_function(convert_slot, CONVERT_SOURCE, "convert");
    if (!convert) return {};
    PyObject* conversion = builtin(slot, def);
    if (!conversion) return {};
    Owned text = Owned::steal(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!text) return {};
    return Owned::steal(quiet_exit([&] {
        return PyObject_CallFunctionObjArgs(convert, conversion, text.get(), obj, nullptr);
    }));
}

// Whether type.<attribute> is the text `expected`. Only a missing or
// unreadable attribute means "no"; any other error (an interrupt from a
// metaclass, memory) is raised as it is.
Result<bool> attribute_equals(PyObject* obj, const char* attribute,
                              std::string_view expected) noexcept {
    // A metaclass written in Python runs its own code here.
    Owned value = Owned::steal(quiet_exit([=] { return PyObject_GetAttrString(obj, attribute); }));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
        PyErr_Clear(); // a type without the attribute is simply not NumPy's
        return false;
    }
    if (!PyUnicode_Check(value.get())) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (!data) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return raised();
        PyErr_Clear(); // lone surrogates: no NumPy name
        return false;
    }
    return static_cast<std::size_t>(size) == expected.size() &&
           std::memcmp(data, expected.data(), expected.size()) == 0;
}

// NumPy's boolean scalar type is "numpy.bool_" before NumPy 2 and
// "numpy.bool" from then on; both are recognised by name, so the module
// never has to import NumPy for it.
Result<bool> is_numpy_bool(PyTypeObject* type) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(type);
    for (std::string_view name : {"bool_", "bool"}) {
        auto named = attribute_equals(t, "__name__", name);
        if (!named || *named) {
            if (!named) return named;
            return attribute_equals(t, "__module__", "numpy");
        }
    }
    return false;
}

// Whether the type has a truth value of its own. PyPy does not show a
// __bool__ written in Python as the type's nb_bool slot, so there the
// method is looked up as well.
bool has_truth_value(PyTypeObject* type) noexcept {
    if (type->tp_as_number && type->tp_as_number->nb_bool) return true;
#if defined(PYPY_VERSION)
    static PyObject* bool_name = PyUnicode_InternFromString("__bool__");
    if (bool_name && _PyType_Lookup(type, bool_name)) return true;
    if (!bool_name) PyErr_Clear();
#endif
    return false;
}

[[gnu::noinline]] void raise_no_bool_conversion(PyObject* obj) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Owned type = Owned::steal(quiet_exit([t] { return PyObject_Str(t); }));
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
    // A float subclass is read as the float it is, whatever its __float__
    // says: CPython's conversion does so, and PyPy's would call __float__,
    // so the same script would store different values on the two.
    if (PyFloat_Check(obj)) return PyFloat_AS_DOUBLE(obj);
    if (runs_python(obj)) {
        Owned value = convert_in_python(float_of_slot, float_of_def, obj, name);
        if (!value) return raised();
        return PyFloat_AS_DOUBLE(value.get());
    }
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
    } else if (runs_python(obj)) {
        // A TypeError comes back named already.
        Owned index = convert_in_python(index_of_slot, index_of_def, obj, name);
        if (!index) return raised();
        value = exact_u64(index.get());
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
    auto numpy_bool = is_numpy_bool(type);
    if (!numpy_bool) {
        name_argument(name);
        return raised();
    }
    if (*numpy_bool) {
        if (!has_truth_value(type)) {
            raise_no_bool_conversion(obj);
            name_argument(name);
            return raised();
        }
        const int value = quiet_exit([obj] { return PyObject_IsTrue(obj); });
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
