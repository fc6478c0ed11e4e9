#include "type_init.hpp"

#include "boundary/messages.hpp"
#include "boundary/owned.hpp"

namespace pyvexa {

using boundary::Owned;

void raise_class_init_error(std::string_view name) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    Owned cause_type = Owned::steal(type);
    Owned cause = Owned::steal(value);
    Owned cause_trace = Owned::steal(trace);
    if (cause && cause_trace) PyException_SetTraceback(cause.get(), cause_trace.get());

    boundary::raise_joined(PyExc_RuntimeError,
                           {"An error occurred while initializing class ", name});
    if (!cause) return;
    PyObject* new_type = nullptr;
    PyObject* new_value = nullptr;
    PyObject* new_trace = nullptr;
    PyErr_Fetch(&new_type, &new_value, &new_trace);
    PyErr_NormalizeException(&new_type, &new_value, &new_trace);
    if (new_value) PyException_SetCause(new_value, cause.release());
    PyErr_Restore(new_type, new_value, new_trace);
}

} // namespace pyvexa
