#include "boundary/numpy.hpp"

#include "boundary/failure.hpp"
#include "boundary/messages.hpp"
#include "boundary/owned.hpp"
#include "boundary/python_code.hpp"
#include "boundary/quiet_exit.hpp"

#include <numpy/ndarraytypes.h>

#include <atomic>
#include <bit>
#include <new>
#include <string>
#include <string_view>

namespace pyvexa::boundary {

namespace {

// Positions in NumPy's interface table (numpy/__multiarray_api.h); they
// are part of NumPy's ABI and the same in NumPy 1 and 2.
constexpr std::size_t ARRAY_TYPE_SLOT = 2;
constexpr std::size_t DESCR_FROM_TYPE_SLOT = 45;
constexpr std::size_t EQUIV_TYPES_SLOT = 182;

using DescrFromType = PyArray_Descr* (*)(int);
using EquivTypes = unsigned char (*)(PyArray_Descr*, PyArray_Descr*);

std::atomic<void**> table_slot{nullptr};

// 0 until known; then which core package this NumPy has. Found once per
// process: a NumPy does not change its major version while it runs.
enum CoreName : int { CORE_UNKNOWN = 0, CORE_OLD = 1, CORE_NEW = 2 };
std::atomic<int> core_name{CORE_UNKNOWN};

// Steps 1 to 4 run as Python code, which catches its own exceptions and
// hands back their text (see python_code.hpp): a failed import of NumPy
// has a traceback of a dozen frames, and fetched in C on PyPy every failed
// call kept some 60 KB of NumPy's half-imported modules alive
// (test_leaks.py). Without NumPy that failure is every call's lot there.
//
// locate(core) is (core, capsule, None) or (core, None, error text); core
// is 1 for "numpy.core", 2 for "numpy._core", 0 while not known. Imports
// go through __import__ and sys.modules as PyImport_ImportModule's do.
// Only a NumPy that is missing or broken becomes an error text: Ctrl-C,
// SystemExit and running out of memory or stack during the imports are
// not NumPy's fault and leave locate() unchanged.
constexpr const char* LOCATE_SOURCE = R"(
import operator
import sys

def _module(name):
    __import__(name, None, None, ["__doc__"], 0)
    return sys.modules[name]

def _render(error):
    try:
        name = type(error).__qualname__
    except Exception:
        name = "<unknown error>"
    try:
        text = str(error)
    except (MemoryError, RecursionError):
        raise
    except Exception:
        return name
    return name + ": " + text if text else name

def locate(core):
    try:
        if core == 0:
            version = _module("numpy").__version__
            major = operator.index(_module("numpy.lib").NumpyVersion(version).major)
            if not 0 <= major <= 255:
                raise OverflowError("out of range integral type conversion attempted")
            core = 2 if major >= 2 else 1
        multiarray = _module("numpy._core.multiarray" if core == 2 else "numpy.core.multiarray")
        return core, multiarray._ARRAY_API, None
    except (MemoryError, RecursionError):
        raise
    except Exception as error:
        return core, None, _render(error)
)";

std::atomic<PyObject*> locate_slot{nullptr};

// The table behind the capsule, which must be a capsule and nothing that
// merely looks like one.
void** table_of(PyObject* capsule) noexcept {
    if (!PyCapsule_CheckExact(capsule)) {
        raise_cannot_cast(capsule, "PyCapsule");
        return nullptr;
    }
    const char* capsule_name = PyCapsule_GetName(capsule);
    if (!capsule_name && PyErr_Occurred()) return nullptr;
    void* table = PyCapsule_GetPointer(capsule, capsule_name);
    if (!table) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "NumPy array API capsule holds no table");
        }
        return nullptr;
    }
    return static_cast<void**>(table);
}

[[gnu::noinline]] void raise_no_api(std::string_view cause) noexcept {
    try {
        std::string message = "Failed to access NumPy array API capsule: ";
        message += cause;
        raise_failure(message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

// For an error raised in C (no Python frames in its traceback).
[[gnu::noinline]] void raise_no_api() noexcept {
    try {
        raise_no_api(render_current_error());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

// Runs locate() and takes its answer apart; the table, or NULL with the
// failure exception set for a NumPy that is missing or broken, or with the
// error as raised (an interrupt, memory) that stopped the lookup itself.
void** find_table() noexcept {
    PyObject* locate = python_function(locate_slot, LOCATE_SOURCE, "locate");
    if (!locate) return nullptr;
    Owned answer = Owned::steal(quiet_exit([locate] {
        return PyObject_CallFunction(locate, "i", core_name.load(std::memory_order_acquire));
    }));
    if (!answer) return nullptr;
    if (!PyTuple_Check(answer.get()) || PyTuple_GET_SIZE(answer.get()) != 3) {
        PyErr_SetString(PyExc_RuntimeError, "locate() gave no 3-tuple");
        raise_no_api();
        return nullptr;
    }
    const long core = PyLong_AsLong(PyTuple_GET_ITEM(answer.get(), 0));
    if (core == CORE_OLD || core == CORE_NEW) {
        int unknown = CORE_UNKNOWN; // a NumPy does not change its major version while it runs
        core_name.compare_exchange_strong(unknown, static_cast<int>(core),
                                          std::memory_order_acq_rel);
    }
    if (core == -1 && PyErr_Occurred()) PyErr_Clear(); // cannot happen: locate() gives ints
    PyObject* error = PyTuple_GET_ITEM(answer.get(), 2);
    if (error != Py_None) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(error) ? PyUnicode_AsUTF8AndSize(error, &size) : nullptr;
        if (!text) PyErr_Clear();
        raise_no_api(text ? std::string_view(text, static_cast<std::size_t>(size))
                          : std::string_view("<unprintable>"));
        return nullptr;
    }
    void** table = table_of(PyTuple_GET_ITEM(answer.get(), 1));
    if (!table) raise_no_api();
    return table;
}

} // namespace

Result<ArrayApi> array_api() noexcept {
    if (void** table = table_slot.load(std::memory_order_acquire)) [[likely]] {
        return ArrayApi{table};
    }
    // The imports run Python code, and other threads may get here too
    // meanwhile; they all find the same table, the first store stays.
    void** table = find_table();
    if (!table) return raised();
    void** expected = nullptr;
    if (!table_slot.compare_exchange_strong(expected, table, std::memory_order_acq_rel)) {
        table = expected;
    }
    return ArrayApi{table};
}

Result<DoubleVector> as_double_vector(const ArrayApi& api, PyObject* obj,
                                      std::string_view name) noexcept {
    auto* array_type = static_cast<PyTypeObject*>(api.table[ARRAY_TYPE_SLOT]);
    auto descr_from_type = std::bit_cast<DescrFromType>(api.table[DESCR_FROM_TYPE_SLOT]);
    auto equiv_types = std::bit_cast<EquivTypes>(api.table[EQUIV_TYPES_SLOT]);

    bool accepted = Py_TYPE(obj) == array_type || PyType_IsSubtype(Py_TYPE(obj), array_type);
    const auto* fields = reinterpret_cast<const PyArrayObject_fields*>(obj);
    accepted = accepted && fields->nd == 1;
    if (accepted) {
        Owned float64 = Owned::steal(reinterpret_cast<PyObject*>(descr_from_type(NPY_DOUBLE)));
        if (!float64) return raised();
        accepted = equiv_types(fields->descr, reinterpret_cast<PyArray_Descr*>(float64.get()));
    }
    if (!accepted) {
        raise_cannot_cast(obj, "ndarray");
        name_argument(name);
        return raised();
    }
    return DoubleVector{fields->data, static_cast<std::size_t>(fields->dimensions[0]),
                        static_cast<std::ptrdiff_t>(fields->strides[0])};
}

} // namespace pyvexa::boundary
