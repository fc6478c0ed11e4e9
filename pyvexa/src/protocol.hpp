#pragma once

#include "boundary/borrow.hpp"
#include "boundary/python.hpp"

#include <settings.hpp>

#include <atomic>
#include <utility>

namespace pyvexa {

// A protocol under construction: the header, the settings it owns by value,
// then its borrow word. Nothing else: no dict, no weak references.
struct ProtocolObject {
    PyObject_HEAD protocols::settings::Settings settings;
    boundary::BorrowWord borrow;
};

// The type object, made on first request and kept for the life of the
// process; NULL with RuntimeError (cause attached) if it cannot be made.
PyTypeObject* protocol_type() noexcept;

// The settings of `self` under the borrow that the operation takes; the
// borrow ends with this value.
struct ExclusiveProtocol {
    boundary::ExclusiveBorrow borrow;
    protocols::settings::Settings& settings;
};
struct SharedProtocol {
    boundary::SharedBorrow borrow;
    const protocols::settings::Settings& settings;
};

namespace detail {

// The type once made; null before.
extern std::atomic<PyTypeObject*> protocol_slot;

// Whether the constructor filled this object in. PyPy's object.__new__
// hands out a Protocol of zeroed memory that no constructor saw; every
// built machine description counts its coils, so zero tells it apart.
inline bool is_built(const ProtocolObject* obj) noexcept {
    return obj->settings.machine_config.num_coils != 0;
}

// TypeError for an object that is_built() refuses.
[[gnu::noinline]] void raise_not_built() noexcept;

// Takes the borrow of a known Protocol and pairs it with its settings.
template <typename View>
boundary::Result<View> take(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<ProtocolObject*>(self);
#if defined(PYPY_VERSION)
    if (!is_built(obj)) [[unlikely]] {
        raise_not_built();
        return boundary::raised();
    }
#endif
    auto borrow = decltype(View::borrow)::take(obj->borrow);
    if (!borrow) return boundary::raised();
    return View{std::move(*borrow), obj->settings};
}

// The general path of the two below: makes the type if need be and raises
// the interpreter-style TypeError for an object of another type.
boundary::Result<ExclusiveProtocol> borrow_exclusive_checked(PyObject* self) noexcept;
boundary::Result<SharedProtocol> borrow_shared_checked(PyObject* self) noexcept;

} // namespace detail

// Inline, as every method starts with one of these: the usual case is an
// exact Protocol, told by one comparison.
inline boundary::Result<ExclusiveProtocol> borrow_exclusive(PyObject* self) noexcept {
    if (Py_TYPE(self) == detail::protocol_slot.load(std::memory_order_acquire)) [[likely]] {
        return detail::take<ExclusiveProtocol>(self);
    }
    return detail::borrow_exclusive_checked(self);
}

inline boundary::Result<SharedProtocol> borrow_shared(PyObject* self) noexcept {
    if (Py_TYPE(self) == detail::protocol_slot.load(std::memory_order_acquire)) [[likely]] {
        return detail::take<SharedProtocol>(self);
    }
    return detail::borrow_shared_checked(self);
}

// The operations, in the order the method table lists them. Fast-call
// entry points (session_ops.cpp, signal_ops.cpp, save_op.cpp).
PyObject* set_stimulation_intensity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept;
PyObject* set_session_duration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;
PyObject* enable_channel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* set_amplitude_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;
PyObject* set_modulation_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* add_constant_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
PyObject* add_sine_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;
PyObject* add_ramp_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;
PyObject* add_mixed_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;
PyObject* add_arbitrary_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;
PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

} // namespace pyvexa
