#include "boundary/numpy.hpp"

#include "boundary/failure.hpp"
#include "boundary/messages.hpp"
#include "boundary/owned.hpp"

#include <numpy/ndarraytypes.h>

#include <atomic>
#include <bit>
#include <new>
#include <string>

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

Owned attribute(PyObject* obj, const char* name) noexcept {
    return Owned::steal(PyObject_GetAttrString(obj, name));
}

// Steps 1 to 3: "numpy._core" for NumPy 2 and later, "numpy.core" before.
bool find_core_name() noexcept {
    if (core_name.load(std::memory_order_acquire) != CORE_UNKNOWN) return true;
    Owned numpy = Owned::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Owned version = attribute(numpy.get(), "__version__");
    if (!version) return false;
    Owned lib = Owned::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return false;
    Owned numpy_version = attribute(lib.get(), "NumpyVersion");
    if (!numpy_version) return false;
    Owned parsed = Owned::steal(PyObject_CallOneArg(numpy_version.get(), version.get()));
    if (!parsed) return false;
    Owned major = attribute(parsed.get(), "major");
    if (!major) return false;
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    core_name.store(value >= 2 ? CORE_NEW : CORE_OLD, std::memory_order_release);
    return true;
}

// Step 4: the table behind <core>.multiarray._ARRAY_API, which must be a
// capsule and nothing that merely looks like one.
void** find_table() noexcept {
    const char* module = core_name.load(std::memory_order_acquire) == CORE_NEW
                             ? "numpy._core.multiarray"
                             : "numpy.core.multiarray";
    Owned multiarray = Owned::steal(PyImport_ImportModule(module));
    if (!multiarray) return nullptr;
    Owned capsule = attribute(multiarray.get(), "_ARRAY_API");
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise_cannot_cast(capsule.get(), "PyCapsule");
        return nullptr;
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (!capsule_name && PyErr_Occurred()) return nullptr;
    void* table = PyCapsule_GetPointer(capsule.get(), capsule_name);
    if (!table) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "NumPy array API capsule holds no table");
        }
        return nullptr;
    }
    return static_cast<void**>(table);
}

[[gnu::noinline]] void raise_no_api() noexcept {
    try {
        std::string message = "Failed to access NumPy array API capsule: ";
        message += render_current_error();
        raise_failure(message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

} // namespace

Result<ArrayApi> array_api() noexcept {
    if (void** table = table_slot.load(std::memory_order_acquire)) [[likely]] {
        return ArrayApi{table};
    }
    // The imports run Python code, and other threads may get here too
    // meanwhile; they all find the same table, the first store stays.
    void** table = find_core_name() ? find_table() : nullptr;
    if (!table) {
        raise_no_api();
        return raised();
    }
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
