#include "boundary/borrow.hpp"

namespace pyvexa::boundary {

void raise_already_borrowed() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
}

void raise_already_mutably_borrowed() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

} // namespace pyvexa::boundary
