#include "boundary/python_code.hpp"

#include "boundary/once.hpp"
#include "boundary/owned.hpp"
#include "boundary/quiet_exit.hpp"

namespace pyvexa::boundary {

PyObject* python_function(std::atomic<PyObject*>& slot, const char* source,
                          const char* name) noexcept {
    if (PyObject* made = slot.load(std::memory_order_acquire)) [[likely]]
        return made;
    // The interpreter's own builtins, as imported: those of the calling
    // frame may be an exec's restricted set, and the function outlives it.
    Owned builtins_name = Owned::steal(PyUnicode_FromString("builtins"));
    if (!builtins_name) return nullptr;
    Owned builtins = Owned::steal(PyImport_GetModule(builtins_name.get()));
    if (!builtins) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no builtins module");
        return nullptr;
    }
    Owned globals = Owned::steal(PyDict_New());
    if (!globals) return nullptr;
    if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) return nullptr;
    // Named so that a traceback through it says where it comes from.
    Owned code = Owned::steal(Py_CompileString(source, "<pyvexa boundary>", Py_file_input));
    if (!code) return nullptr;
    Owned done = Owned::steal(
        quiet_exit([&] { return PyEval_EvalCode(code.get(), globals.get(), globals.get()); }));
    if (!done) return nullptr;
    PyObject* function = PyDict_GetItemString(globals.get(), name); // borrowed
    if (!function) {
        PyErr_SetString(PyExc_RuntimeError, "pyvexa's Python code is incomplete");
        return nullptr;
    }
    Py_INCREF(function);
    return publish_first(slot, function);
}

} // namespace pyvexa::boundary
