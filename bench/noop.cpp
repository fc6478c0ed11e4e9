// The floor for a call into native code: an extension type whose methods do
// nothing. It is built like pyvexa (same interpreter, same compiler flags, a
// heap type made with PyType_FromSpec), so the difference between a
// pyvexa call and the matching call here is what pyvexa itself adds.
//
//   import noop
//   n = noop.Noop()
//   n.call(0.5)      # METH_FASTCALL, arguments ignored, returns None
//   n.call()         # the same with no arguments
//   n.call_kw(0.5)   # METH_FASTCALL | METH_KEYWORDS, as pyvexa's methods
//   n.call_atomic(0.5)  # call, plus what every pyvexa method does to its
//                       # object: an exact type check and an atomic take and
//                       # release of a word (pyvexa's borrow word)
//   n.call_atomic_float()     # the same, returning a new float (as
//                             # get_sampling_rate does)
//   n.call_atomic_index(0.5)  # the same, returning a new int that counts
//                             # the calls (as the add_*_signal methods do)

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace {

struct NoopObject {
    PyObject ob_base;
    std::atomic<std::uintptr_t> word;
    unsigned long long calls;
};

PyTypeObject* noop_type = nullptr;

PyObject* noop_call(PyObject*, PyObject* const*, Py_ssize_t) noexcept {
    Py_RETURN_NONE;
}

// Takes the word exclusively (0 -> all ones) and gives it back, as an
// exclusive borrow does; a word already taken raises, as pyvexa would.
bool take_and_release(PyObject* self) noexcept {
    if (Py_TYPE(self) != noop_type) [[unlikely]] {
        PyErr_SetString(PyExc_TypeError, "not a Noop");
        return false;
    }
    auto& word = reinterpret_cast<NoopObject*>(self)->word;
    std::uintptr_t expected = 0;
    if (!word.compare_exchange_strong(expected, ~std::uintptr_t{0}, std::memory_order_acquire,
                                      std::memory_order_relaxed)) [[unlikely]] {
        PyErr_SetString(PyExc_RuntimeError, "already borrowed");
        return false;
    }
    word.store(0, std::memory_order_release);
    return true;
}

PyObject* noop_call_atomic(PyObject* self, PyObject* const*, Py_ssize_t) noexcept {
    if (!take_and_release(self)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* noop_call_atomic_float(PyObject* self, PyObject* const*, Py_ssize_t) noexcept {
    if (!take_and_release(self)) return nullptr;
    return PyFloat_FromDouble(5000.0);
}

PyObject* noop_call_atomic_index(PyObject* self, PyObject* const*, Py_ssize_t) noexcept {
    if (!take_and_release(self)) return nullptr;
    return PyLong_FromUnsignedLongLong(reinterpret_cast<NoopObject*>(self)->calls++);
}

PyObject* noop_call_kw(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    Py_RETURN_NONE;
}

PyMethodDef noop_methods[] = {
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop_call)), METH_FASTCALL,
     "call($self, /, *args)\n--\n\nDoes nothing; returns None."},
    // The calling convention of pyvexa's methods, which accept keywords:
    // shows what the interpreter itself charges for it.
    {"call_kw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop_call_kw)),
     METH_FASTCALL | METH_KEYWORDS,
     "call_kw($self, /, *args, **kwargs)\n--\n\nDoes nothing; returns None."},
    {"call_atomic", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop_call_atomic)),
     METH_FASTCALL,
     "call_atomic($self, /, *args)\n--\n\nTakes and releases an atomic word; returns None."},
    {"call_atomic_float",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop_call_atomic_float)),
     METH_FASTCALL, "call_atomic_float($self, /, *args)\n--\n\nAs call_atomic; returns 5000.0."},
    {"call_atomic_index",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop_call_atomic_index)),
     METH_FASTCALL,
     "call_atomic_index($self, /, *args)\n--\n\nAs call_atomic; returns the number of calls "
     "before this one."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot noop_slots[] = {
    {Py_tp_methods, noop_methods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec noop_spec = {
    "noop.Noop", sizeof(NoopObject), 0, Py_TPFLAGS_DEFAULT, noop_slots,
};

PyModuleDef noop_module = {
    PyModuleDef_HEAD_INIT,
    "noop",
    "A do-nothing extension: the call floor for the benchmarks.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_noop() {
    PyObject* module = PyModule_Create(&noop_module);
    if (!module) return nullptr;
    PyObject* type = PyType_FromSpec(&noop_spec);
    noop_type = reinterpret_cast<PyTypeObject*>(type);
    Py_XINCREF(type); // kept for the type check of call_atomic
    if (!type || PyModule_AddObject(module, "Noop", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
