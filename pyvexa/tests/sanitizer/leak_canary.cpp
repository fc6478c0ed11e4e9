// A module that leaks on purpose, built only in the sanitizer build. The
// leak check is worth something only if it would see a leak of pyvexa's;
// this module's one function leaks a heap string from an extension
// module's frame, as a forgotten delete in pyvexa would, and
// test_sanitizer.py requires LeakSanitizer to report it under exactly the
// options and suppressions that the whole suite runs with.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace {

// Volatile, so that the allocation cannot be optimised away; cleared at
// once, so that nothing points to the string any more.
std::string* volatile last_lost = nullptr;

PyObject* leak_on_purpose(PyObject*, PyObject*) noexcept {
    last_lost = new std::string(100, 'x');
    last_lost = nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"leak_on_purpose", leak_on_purpose, METH_NOARGS, "Leaks one heap string."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "leak_canary",
    "Leaks on purpose.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_leak_canary() noexcept {
    return PyModule_Create(&module_def);
}
