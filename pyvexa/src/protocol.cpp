#include "protocol.hpp"

#include "boundary/binding.hpp"
#include "boundary/failure.hpp"
#include "boundary/messages.hpp"
#include "boundary/once.hpp"
#include "boundary/owned.hpp"
#include "boundary/text_object.hpp"
#include "type_init.hpp"

#include <config.hpp>

#include <atomic>
#include <cstdint>
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

PyObject* protocol_str(PyObject* self) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        auto p = borrow_shared(self);
        if (!p) return nullptr;
        return boundary::protocol_text_object(p->settings);
    });
}

PyObject* get_num_samples(PyObject* self, PyObject*) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto n = settings::num_samples(p->settings);
        if (!n) return boundary::fail(n.error());
        return PyLong_FromUnsignedLongLong(*n);
    });
}

PyObject* get_sampling_rate(PyObject* self, PyObject*) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        auto p = borrow_shared(self);
        if (!p) return nullptr;
        return PyFloat_FromDouble(protocols::config::SAMPLING_RATE);
    });
}

// The method table stores every entry point as a PyCFunction; the flags
// tell the interpreter the real signature.
template <class Function>
PyCFunction as_cfunction(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef protocol_methods[] = {
    {"set_stimulation_intensity", as_cfunction(&set_stimulation_intensity), FASTCALL,
     "set_stimulation_intensity($self, intensity)\n--\n\n"},
    {"set_session_duration", as_cfunction(&set_session_duration), FASTCALL,
     "set_session_duration($self, duration)\n--\n\n"},
    {"enable_channel", as_cfunction(&enable_channel), FASTCALL,
     "enable_channel($self, channel)\n--\n\n"},
    {"set_amplitude_source", as_cfunction(&set_amplitude_source), FASTCALL,
     "set_amplitude_source($self, coil, external, index)\n--\n\n"},
    {"set_modulation_source", as_cfunction(&set_modulation_source), FASTCALL,
     "set_modulation_source($self, channel, external, index)\n--\n\n"},
    {"add_constant_signal", as_cfunction(&add_constant_signal), FASTCALL,
     "add_constant_signal($self, value)\n--\n\n"},
    {"add_sine_signal", as_cfunction(&add_sine_signal), FASTCALL,
     "add_sine_signal($self, amplitude, frequency, phase, depth)\n--\n\n"},
    {"add_ramp_signal", as_cfunction(&add_ramp_signal), FASTCALL,
     "add_ramp_signal($self, peak, up_duration, down_duration)\n--\n\n"},
    {"add_mixed_signal", as_cfunction(&add_mixed_signal), FASTCALL,
     "add_mixed_signal($self, a_idx, b_idx)\n--\n\n"},
    {"add_arbitrary_signal", as_cfunction(&add_arbitrary_signal), FASTCALL,
     "add_arbitrary_signal($self, samples)\n--\n\n"},
    {"get_num_samples", as_cfunction(&get_num_samples), METH_NOARGS,
     "get_num_samples($self)\n--\n\n"},
    {"get_sampling_rate", as_cfunction(&get_sampling_rate), METH_NOARGS,
     "get_sampling_rate($self)\n--\n\n"},
    {"save", as_cfunction(&save), FASTCALL, "save($self, filepath)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

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
