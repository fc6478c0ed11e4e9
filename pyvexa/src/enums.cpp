#include "enums.hpp"

#include "boundary/failure.hpp"
#include "boundary/messages.hpp"
#include "boundary/once.hpp"
#include "boundary/owned.hpp"
#include "type_init.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <new>

namespace pyvexa {

namespace {

using boundary::Owned;
using boundary::Result;
using boundary::SharedBorrow;

// One enumeration: its Python names and its members' text forms, by
// variant number.
struct EnumInfo {
    std::string_view class_name;
    const char* type_name;
    std::array<const char*, 4> members;
    std::array<std::string_view, 4> reprs;
    std::size_t count;
};

constexpr EnumInfo COIL_INFO{"Coil",
                             "builtins.Coil",
                             {"A1", "A2", "B1", "B2"},
                             {"Coil.A1", "Coil.A2", "Coil.B1", "Coil.B2"},
                             4};
constexpr EnumInfo CHANNEL_INFO{
    "Channel", "builtins.Channel", {"A", "B", nullptr, nullptr}, {"Channel.A", "Channel.B"}, 2};

EnumObject* as_enum(PyObject* obj) noexcept {
    return reinterpret_cast<EnumObject*>(obj);
}

PyTypeObject* enum_type_of(const EnumInfo& info) noexcept;

// PyPy's slot wrappers hand any object to the slot (`Coil.__repr__(b"")`),
// so each slot checks its own `self` before it reads a member's fields.
bool is_member(PyObject* self, const EnumInfo& info) noexcept {
    PyTypeObject* type = enum_type_of(info);
    if (!type) return false;
    if (Py_TYPE(self) == type) [[likely]]
        return true;
    boundary::raise_cannot_cast(self, info.class_name);
    return false;
}

PyObject* enum_text(PyObject* self, const EnumInfo& info) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        if (!is_member(self, info)) return nullptr;
        auto borrow = SharedBorrow::take(as_enum(self)->borrow);
        if (!borrow) return nullptr;
        const std::string_view text = info.reprs[as_enum(self)->variant];
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* enum_int(PyObject* self, const EnumInfo& info) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        if (!is_member(self, info)) return nullptr;
        auto borrow = SharedBorrow::take(as_enum(self)->borrow);
        if (!borrow) return nullptr;
        return PyLong_FromLong(as_enum(self)->variant);
    });
}

PyObject* coil_repr(PyObject* self) noexcept {
    return enum_text(self, COIL_INFO);
}
PyObject* channel_repr(PyObject* self) noexcept {
    return enum_text(self, CHANNEL_INFO);
}
PyObject* coil_int(PyObject* self) noexcept {
    return enum_int(self, COIL_INFO);
}
PyObject* channel_int(PyObject* self) noexcept {
    return enum_int(self, CHANNEL_INFO);
}

// Members are only freed if their type is (a type that lost the race to be
// published); the word is trivially destructible.
void enum_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

#if defined(PYPY_VERSION)
int coil_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return refuse_attribute(self, name, value, COIL_INFO.type_name);
}
int channel_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return refuse_attribute(self, name, value, CHANNEL_INFO.type_name);
}
#endif

#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
// Interpreters without the flag (PyPy 3.9) get the refusal that newer
// ones give for it.
PyObject* coil_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot create 'builtins.Coil' instances");
    return nullptr;
}
PyObject* channel_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot create 'builtins.Channel' instances");
    return nullptr;
}
constexpr unsigned long ENUM_FLAGS = Py_TPFLAGS_DEFAULT;
#else
constexpr unsigned long ENUM_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif

PyType_Slot coil_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&coil_repr)},
    {Py_nb_int, reinterpret_cast<void*>(&coil_int)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&enum_dealloc)},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, reinterpret_cast<void*>(&coil_new)},
#endif
#if defined(PYPY_VERSION)
    {Py_tp_setattro, reinterpret_cast<void*>(&coil_setattro)},
#endif
    {0, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&channel_repr)},
    {Py_nb_int, reinterpret_cast<void*>(&channel_int)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&enum_dealloc)},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, reinterpret_cast<void*>(&channel_new)},
#endif
#if defined(PYPY_VERSION)
    {Py_tp_setattro, reinterpret_cast<void*>(&channel_setattro)},
#endif
    {0, nullptr},
};

PyType_Spec coil_spec{COIL_INFO.type_name, sizeof(EnumObject), 0, ENUM_FLAGS, coil_slots};
PyType_Spec channel_spec{CHANNEL_INFO.type_name, sizeof(EnumObject), 0, ENUM_FLAGS, channel_slots};

std::atomic<PyTypeObject*> coil_slot{nullptr};
std::atomic<PyTypeObject*> channel_slot{nullptr};

// The type, then its members in variant order, each a class attribute.
Owned make_enum(PyType_Spec& type_spec, const EnumInfo& info) noexcept {
    Owned type = Owned::steal(PyType_FromSpec(&type_spec));
    if (!type) return {};
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    for (std::size_t i = 0; i < info.count; ++i) {
        Owned member = Owned::steal(PyType_GenericAlloc(tp, 0));
        if (!member) return {};
        as_enum(member.get())->variant = static_cast<std::uint8_t>(i);
        new (&as_enum(member.get())->borrow) boundary::BorrowWord(boundary::BORROW_FREE);
        if (PyObject_SetAttrString(type.get(), info.members[i], member.get()) < 0) return {};
    }
    return type;
}

PyTypeObject* enum_type(std::atomic<PyTypeObject*>& slot, PyType_Spec& type_spec,
                        const EnumInfo& info) noexcept {
    if (PyTypeObject* type = slot.load(std::memory_order_acquire)) [[likely]]
        return type;
    Owned made = make_enum(type_spec, info);
    if (!made) {
        raise_class_init_error(info.class_name);
        return nullptr;
    }
    return boundary::publish_first(slot, reinterpret_cast<PyTypeObject*>(made.release()));
}

PyTypeObject* enum_type_of(const EnumInfo& info) noexcept {
    return &info == &COIL_INFO ? coil_type() : channel_type();
}

Result<EnumArgument> to_enum(PyObject* obj, PyTypeObject* type, std::string_view class_name,
                             std::string_view name) noexcept {
    if (!type) return boundary::raised();
    if (Py_TYPE(obj) != type && !PyType_IsSubtype(Py_TYPE(obj), type)) {
        boundary::raise_cannot_cast(obj, class_name);
        boundary::name_argument(name);
        return boundary::raised();
    }
    auto borrow = SharedBorrow::take(as_enum(obj)->borrow);
    if (!borrow) return boundary::raised();
    return EnumArgument{std::move(*borrow), as_enum(obj)->variant};
}

} // namespace

#if defined(PYPY_VERSION)
int refuse_attribute(PyObject* self, PyObject* name, PyObject* value,
                     const char* type_name) noexcept {
    if (!PyUnicode_Check(name)) return PyObject_GenericSetAttr(self, name, value);
    PyObject* found = _PyType_Lookup(Py_TYPE(self), name); // borrowed
    // A data descriptor (__class__) decides for itself, as in CPython.
    if (found && Py_TYPE(found)->tp_descr_set) return PyObject_GenericSetAttr(self, name, value);
    boundary::raise_joined(PyExc_AttributeError, {"'", type_name, "' object ",
                                                  found ? "attribute '" : "has no attribute '",
                                                  name, found ? "' is read-only" : "'"});
    return -1;
}
#endif

PyTypeObject* coil_type() noexcept {
    return enum_type(coil_slot, coil_spec, COIL_INFO);
}
PyTypeObject* channel_type() noexcept {
    return enum_type(channel_slot, channel_spec, CHANNEL_INFO);
}

Result<EnumArgument> to_coil(PyObject* obj, std::string_view name) noexcept {
    return to_enum(obj, coil_type(), COIL_INFO.class_name, name);
}

Result<EnumArgument> to_channel(PyObject* obj, std::string_view name) noexcept {
    return to_enum(obj, channel_type(), CHANNEL_INFO.class_name, name);
}

} // namespace pyvexa
