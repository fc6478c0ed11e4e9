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
//   noop.native_str(n)        # the cheapest str of n ASCII characters native
//                             # code can return: PyUnicode_New + memset
//   noop.native_str(n, True)  # the same, its pages faulted in with one
//                             # madvise(MADV_POPULATE_WRITE) before the fill
//   noop.populate_offered()   # whether this kernel takes that advice

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23 // Linux 5.14; older C libraries lack the name
#endif

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

// The floor of str(): a str of n ASCII characters, made as pyvexa makes its
// text (PyUnicode_New, filled in place), its content one memset. Under PyPy
// that includes the copy its C-API layer makes of every str made in C. With
// `populate` true, the whole pages inside the buffer are first faulted in
// with one madvise call (where the kernel refuses, the fill faults them).
PyObject* noop_native_str(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 2) {
        PyErr_SetString(PyExc_TypeError, "native_str(n, populate=False)");
        return nullptr;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(args[0]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "negative length");
        return nullptr;
    }
    int populate = 0;
    if (nargs == 2 && (populate = PyObject_IsTrue(args[1])) < 0) return nullptr;
    PyObject* str = PyUnicode_New(n, 127);
    if (!str) return nullptr;
    char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str));
    if (populate) {
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const auto begin = reinterpret_cast<std::uintptr_t>(data);
        const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
        const std::uintptr_t last = (begin + static_cast<std::uintptr_t>(n)) & ~(page - 1);
        if (first < last)
            (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
    }
    std::memset(data, ' ', static_cast<std::size_t>(n));
    return str;
}

// Whether the kernel takes MADV_POPULATE_WRITE (Linux 5.14 and later, and
// no filter refusing it), tried on one fresh page.
PyObject* noop_populate_offered(PyObject*, PyObject* const*, Py_ssize_t) noexcept {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return PyErr_SetFromErrno(PyExc_OSError);
    const bool offered = madvise(p, page, MADV_POPULATE_WRITE) == 0;
    munmap(p, page);
    return PyBool_FromLong(offered);
}

PyMethodDef module_functions[] = {
    {"native_str", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop_native_str)),
     METH_FASTCALL,
     "native_str(n, populate=False, /)\n--\n\nA new str of n spaces made with PyUnicode_New "
     "and memset."},
    {"populate_offered",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop_populate_offered)),
     METH_FASTCALL,
     "populate_offered()\n--\n\nWhether madvise(MADV_POPULATE_WRITE) is taken here."},
    {nullptr, nullptr, 0, nullptr},
};

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
    module_functions,
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
