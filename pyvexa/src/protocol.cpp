#include "protocol.hpp"

#include "boundary/binding.hpp"
#include "boundary/failure.hpp"
#include "boundary/messages.hpp"
#include "boundary/once.hpp"
#include "boundary/owned.hpp"
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

PyObject* protocol_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        static constexpr boundary::Signature<0> sig{"Protocol.__new__()", {}};
        if (!boundary::bind(sig, args, kwargs)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
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
    as_protocol(self)->settings.~Settings();
    type->tp_free(self);
    Py_DECREF(type);
}

char protocol_doc[] = "Protocol()\n--\n\n";

PyType_Slot protocol_slots[] = {
    {Py_tp_doc, protocol_doc},
    {Py_tp_new, reinterpret_cast<void*>(&protocol_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&protocol_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(&protocol_str)},
    {Py_tp_methods, protocol_methods},
    {0, nullptr},
};

PyType_Spec protocol_spec{"builtins.Protocol", sizeof(ProtocolObject), 0, Py_TPFLAGS_DEFAULT,
                          protocol_slots};

} // namespace

std::atomic<PyTypeObject*> detail::protocol_slot{nullptr};

PyTypeObject* protocol_type() noexcept {
    if (PyTypeObject* type = detail::protocol_slot.load(std::memory_order_acquire)) [[likely]] {
        return type;
    }
    PyObject* made = PyType_FromSpec(&protocol_spec);
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
