#pragma once

#include "boundary/python.hpp"

#include <utility>

namespace pyvexa::boundary {

// One strong reference, dropped when the handle goes. Move-only, so the
// reference has exactly one owner at any time; release() hands it on.
class Owned {
  public:
    Owned() noexcept = default;

    // Takes over a new reference (NULL allowed: the handle is then empty).
    static Owned steal(PyObject* obj) noexcept { return Owned(obj); }
    // Adds a reference to a borrowed one.
    static Owned share(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Owned(obj);
    }

    Owned(Owned&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    explicit Owned(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

} // namespace pyvexa::boundary
