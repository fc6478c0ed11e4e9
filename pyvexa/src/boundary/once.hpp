#pragma once

#include "boundary/python.hpp"

#include <atomic>

namespace pyvexa::boundary {

// Publishes a process-wide object made once. Making it may run Python code
// (an import, a finaliser during allocation), and with it other threads, so
// two threads can both make one: the first to publish wins, the loser drops
// its own and uses the winner's. Nobody waits for anybody, so the
// interpreter lock can never be held while waiting.
template <class T>
T* publish_first(std::atomic<T*>& slot, T* made) noexcept {
    T* expected = nullptr;
    if (slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(reinterpret_cast<PyObject*>(made));
    return expected;
}

} // namespace pyvexa::boundary
