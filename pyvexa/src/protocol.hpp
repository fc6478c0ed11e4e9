#pragma once

#include "boundary/borrow.hpp"
#include "boundary/python.hpp"

#include <settings.hpp>

#include <atomic>
#include <string_view>
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

// How a method takes `self` (boundary/method.hpp): the class it belongs
// to, the borrow and what the operation works on.
struct Exclusive {
    static constexpr std::string_view class_name = "Protocol";
    static boundary::Result<ExclusiveProtocol> take(PyObject* self) noexcept {
        return borrow_exclusive(self);
    }
    static protocols::settings::Settings& target(ExclusiveProtocol& p) noexcept {
        return p.settings;
    }
};
struct Shared {
    static constexpr std::string_view class_name = "Protocol";
    static boundary::Result<SharedProtocol> take(PyObject* self) noexcept {
        return borrow_shared(self);
    }
    static const protocols::settings::Settings& target(SharedProtocol& p) noexcept {
        return p.settings;
    }
};

// The method table (methods.cpp) and the two entry points written out by
// hand: the text form (str_op.cpp) and save (save_op.cpp).
extern PyMethodDef protocol_methods[];
PyObject* protocol_str(PyObject* self) noexcept;
PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

} // namespace pyvexa
