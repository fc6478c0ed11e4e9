#pragma once

#include "boundary/python.hpp"

#include <error.hpp>

#include <source_location>
#include <string_view>
#include <utility>

namespace pyvexa::boundary {

// The failure exception type, "pyo3_runtime.PanicException" (a direct
// subclass of BaseException, so `except Exception` lets it pass). Made on
// first use; NULL with an error set if it cannot be made.
PyObject* failure_type() noexcept;

// Ends an operation that failed a check: writes a report line to stderr and
// raises the failure exception with `message` as its only argument.
[[gnu::noinline]] void
raise_failure(std::string_view message,
              std::source_location where = std::source_location::current()) noexcept;

// For returning a model failure straight out of an operation.
inline PyObject* fail(const protocols::error::Failure& failure,
                      std::source_location where = std::source_location::current()) noexcept {
    raise_failure(failure.message, where);
    return nullptr;
}

// Turns the C++ exception in flight into a Python error: memory exhaustion
// becomes MemoryError, anything else the failure exception. Always NULL.
[[gnu::noinline]] PyObject* translate_exception(std::source_location where) noexcept;

// Runs an entry point's body so that no C++ exception leaves it.
template <class Body>
PyObject* guarded(Body&& body,
                  std::source_location where = std::source_location::current()) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return translate_exception(where);
    }
}

} // namespace pyvexa::boundary
