#include "protocol.hpp"

#include "boundary/binding.hpp"
#include "boundary/failure.hpp"
#include "boundary/messages.hpp"
#include "boundary/once.hpp"
#include "boundary/owned.hpp"
#include "enums.hpp"
#include "type_init.hpp"

#include <atomic>
#include <new>
#include <utility>

namespace pyvexa {

namespace settings = protocols::settings;
using boundary::ExclusiveBorrow;
using boundary::Owned;
using boundary::Result;
using boundary::SharedBorrow;

namespace {

ProtocolObject* as_protocol(PyObject* obj) noexcept {
    return reinterpret_cast<ProtocolObject*>(obj);
}

bool is_protocol(PyObject* obj) noexcept {
    PyTypeObject* type = protocol_type();
    if (!type) return false;
    if (Py_TYPE(obj) == type) [[likely]]
        return true;
    boundary::raise_cannot_cast(obj, "Protocol");
    return false;
}

// --- What PyPy's C layer lets through and CPython refuses -------------------
//
// `Protocol.__new__(X)` reaches the constructor with any X (CPython checks
// the subtype in its wrapper), `object.__new__(Protocol)` allocates a
// protocol that no constructor filled, copying and pickling rebuild a
// default protocol, and attribute assignment goes to a dictionary the
// object does not have. Each is refused here as CPython refuses it.

// The messages are CPython's, which names types by their tp_name.
[[gnu::noinline]] void raise_not_protocol_type(PyObject* type) noexcept {
    if (!PyType_Check(type)) {
        boundary::raise_joined(PyExc_TypeError,
                               {"builtins.Protocol.__new__(X): X is not a type object (",
                                Py_TYPE(type)->tp_name, ")"});
        return;
    }
    const char* name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    boundary::raise_joined(PyExc_TypeError, {"builtins.Protocol.__new__(", name, "): ", name,
                                             " is not a subtype of builtins.Protocol"});
}

// The type's allocator: only the constructor may make a Protocol, for
// only it fills one in (it allocates with PyType_GenericAlloc directly).
PyObject* protocol_alloc(PyTypeObject*, Py_ssize_t) noexcept {
    PyErr_SetString(PyExc_TypeError,
                    "object.__new__(Protocol) is not safe, use Protocol.__new__()");
    return nullptr;
}

#if defined(PYPY_VERSION)
int protocol_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return refuse_attribute(self, name, value, "builtins.Protocol");
}

PyObject* refuse_reduce_ex(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot pickle 'builtins.Protocol' object");
    return nullptr;
}

PyObject* refuse_reduce(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot pickle 'Protocol' object");
    return nullptr;
}

PyMethodDef pickling_defs[] = {
    {"__reduce_ex__", refuse_reduce_ex, METH_O, nullptr},
    {"__reduce__", refuse_reduce, METH_NOARGS, nullptr},
};

// copy and pickle go through __reduce_ex__, which PyPy's object answers
// with "call Protocol() again"; CPython's refuses a C object's contents.
bool refuse_pickling_on(PyTypeObject* type) noexcept {
    for (PyMethodDef& def : pickling_defs) {
        Owned method = Owned::steal(PyDescr_NewMethod(type, &def));
        if (!method) return false;
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), def.ml_name, method.get()) <
            0)
            return false;
    }
    return true;
}
#endif

// Memory for a new protocol, not yet filled in. CPython: the constructor
// writes every field, so the memory is not cleared first as
// PyType_GenericAlloc would (a tenth of Protocol()'s cost); the object
// starts as PyType_GenericAlloc's would (type reference taken, its
// reference count 1), and tp_free still releases it. PyPy: its own
// allocator, which the other objects of its C layer come from.
PyObject* allocate_unfilled(PyTypeObject* type) noexcept {
#if defined(PYPY_VERSION)
    return PyType_GenericAlloc(type, 0);
#else
    void* memory = PyObject_Malloc(sizeof(ProtocolObject));
    if (!memory) return PyErr_NoMemory();
    return PyObject_Init(static_cast<PyObject*>(memory), type);
#endif
}

PyObject* protocol_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        PyTypeObject* own = protocol_type();
        if (!own) return nullptr;
        if (type != own) [[unlikely]] {
            raise_not_protocol_type(reinterpret_cast<PyObject*>(type));
            return nullptr;
        }
        static constexpr boundary::Signature<0> sig{"Protocol.__new__()", {}};
        if (!boundary::bind(sig, args, kwargs)) return nullptr;
        PyObject* self = allocate_unfilled(type);
        if (!self) return nullptr;
        try {
            // A new protocol starts without signals: the first one a script
            // adds is signal 0. Built straight into the object.
            new (&as_protocol(self)->settings)
                settings::Settings(settings::default_settings_without_signals());
        } catch (...) {
            // Not constructed: only the memory and the type reference go.
            type->tp_free(self);
            Py_DECREF(type);
            throw;
        }
        new (&as_protocol(self)->borrow) boundary::BorrowWord(boundary::BORROW_FREE);
        return self;
    });
}

// Releases only what the object owns: PyPy aborts on other API calls here.
void protocol_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (detail::is_built(as_protocol(self))) as_protocol(self)->settings.~Settings();
    type->tp_free(self);
    Py_DECREF(type);
}

char protocol_doc[] = "Protocol()\n--\n\n";

PyType_Slot protocol_slots[] = {
    {Py_tp_doc, protocol_doc},
    {Py_tp_new, reinterpret_cast<void*>(&protocol_new)},
    {Py_tp_alloc, reinterpret_cast<void*>(&protocol_alloc)},
#if defined(PYPY_VERSION)
    {Py_tp_setattro, reinterpret_cast<void*>(&protocol_setattro)},
#endif
    {Py_tp_dealloc, reinterpret_cast<void*>(&protocol_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(&protocol_str)},
    {Py_tp_methods, protocol_methods},
    {0, nullptr},
};

PyType_Spec protocol_spec{"builtins.Protocol", sizeof(ProtocolObject), 0, Py_TPFLAGS_DEFAULT,
                          protocol_slots};

} // namespace

std::atomic<PyTypeObject*> detail::protocol_slot{nullptr};

void detail::raise_not_built() noexcept {
    PyErr_SetString(PyExc_TypeError,
                    "this Protocol was made by object.__new__(), not by Protocol(): it holds no "
                    "protocol");
}

PyTypeObject* protocol_type() noexcept {
    if (PyTypeObject* type = detail::protocol_slot.load(std::memory_order_acquire)) [[likely]] {
        return type;
    }
    PyObject* made = PyType_FromSpec(&protocol_spec);
#if defined(PYPY_VERSION)
    if (made && !refuse_pickling_on(reinterpret_cast<PyTypeObject*>(made))) Py_CLEAR(made);
#endif
    if (!made) {
        raise_class_init_error("Protocol");
        return nullptr;
    }
    return boundary::publish_first(detail::protocol_slot, reinterpret_cast<PyTypeObject*>(made));
}

Result<ExclusiveProtocol> detail::borrow_exclusive_checked(PyObject* self) noexcept {
    if (!is_protocol(self)) return boundary::raised();
    return take<ExclusiveProtocol>(self);
}

Result<SharedProtocol> detail::borrow_shared_checked(PyObject* self) noexcept {
    if (!is_protocol(self)) return boundary::raised();
    return take<SharedProtocol>(self);
}

} // namespace pyvexa
