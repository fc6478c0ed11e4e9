// The module entry. Single-phase initialisation: the module is made once
// per process and every later import gets that same object back.
#include "boundary/failure.hpp"
#include "boundary/owned.hpp"
#include "boundary/python.hpp"
#include "enums.hpp"
#include "protocol.hpp"

namespace pyvexa {

namespace {

using boundary::Owned;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pyvexa", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

// __all__ as found on the module, or a new list put there if it has none.
Owned all_list(PyObject* module) noexcept {
    Owned all = Owned::steal(PyObject_GetAttrString(module, "__all__"));
    if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all = Owned::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
    return all;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) noexcept {
    if (!type) return false;
    Owned all = all_list(module);
    if (!all) return false;
    Owned text = Owned::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() noexcept {
#if !defined(PYPY_VERSION)
    // The module, its types, the failure exception and the small Python
    // helpers are made once per process, by and for the main interpreter. A
    // subinterpreter would share (and, when it ends, clear) the main one's
    // module and lend its own objects to later calls: it is refused, as
    // CPython 3.12 refuses such modules itself. (PyPy has none.)
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "module pyvexa does not support loading in subinterpreters");
        return nullptr;
    }
#endif
    if (cached_module) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    Owned module = Owned::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    // PyPy drops an empty doc string from the definition and the module
    // would show its type's doc instead; stated once more, it is "".
    Owned doc = Owned::steal(PyUnicode_FromStringAndSize("", 0));
    if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
    if (!add_class(module.get(), "Protocol", protocol_type()) ||
        !add_class(module.get(), "Channel", channel_type()) ||
        !add_class(module.get(), "Coil", coil_type())) {
        return nullptr;
    }
    // The cache keeps one reference for the life of the process.
    Py_INCREF(module.get());
    cached_module = module.get();
    return module.release();
}

} // namespace

} // namespace pyvexa

PyMODINIT_FUNC PyInit_pyvexa() noexcept {
    return pyvexa::boundary::guarded([] { return pyvexa::init_module(); });
}
