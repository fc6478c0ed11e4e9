#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/failure.hpp"
#include "boundary/python_code.hpp"
#include "boundary/quiet_exit.hpp"
#include "protocol.hpp"

#include <protocol_file.hpp>

#include <atomic>
#include <string>

namespace pyvexa {

namespace b = boundary;

namespace {

std::atomic<PyObject*> tick_slot{nullptr};

// Runs the Python signal handlers that are due, as the interpreter does
// between bytecodes; false with the handler's exception (KeyboardInterrupt)
// set if one raised. PyPy's PyErr_CheckSignals runs nothing inside a C call,
// but PyPy does run them when C code calls Python code: hence the empty
// Python function.
bool run_signal_handlers() noexcept {
    if (b::quiet_exit([] { return PyErr_CheckSignals(); }) != 0) return false;
    PyObject* tick = b::python_function(tick_slot, "def tick():\n    pass\n", "tick");
    if (tick == nullptr) return false;
    PyObject* r = b::quiet_exit([tick] { return PyObject_CallNoArgs(tick); });
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

// The interpreter lock, let go while the model saves, so that other
// threads run while the disk works or a FIFO waits for its reader. The
// protocol is held by the exclusive borrow meanwhile, and the model
// touches no Python object. Taken back on every way out, exceptions
// included, before anything Python is touched again.
class WithoutLock {
  public:
    WithoutLock() noexcept : state_(PyEval_SaveThread()) {}
    WithoutLock(const WithoutLock&) = delete;
    WithoutLock& operator=(const WithoutLock&) = delete;
    ~WithoutLock() {
        if (state_ != nullptr) take_back(state_);
    }

    // Asked by the model whenever it waits or a call was interrupted. True
    // (a handler raised) makes the save give up: the lock is then kept,
    // with the handler's exception set, as the model asks nothing more.
    bool pending_signal() noexcept {
        if (state_ == nullptr) return true; // asked again after giving up
        take_back(state_);
        if (!run_signal_handlers()) {
            state_ = nullptr;
            return true;
        }
        state_ = PyEval_SaveThread();
        return false;
    }

  private:
    static void take_back(PyThreadState* state) noexcept {
        b::quiet_exit([state] { PyEval_RestoreThread(state); });
    }

    PyThreadState* state_;
};

} // namespace

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<1> sig{"Protocol.save()", {"filepath"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto converted = b::to_utf8((*arg)[0], "filepath");
        if (!converted) return nullptr;
        const std::string filepath(*converted);

        std::expected<void, protocols::protocol_file::SaveFailure> saved;
        {
            WithoutLock unlocked;
            auto check = [&unlocked] { return unlocked.pending_signal(); };
            saved = protocols::protocol_file::save(p->settings, filepath,
                                                   protocols::protocol_file::Interrupt(check));
        }
        if (saved) Py_RETURN_NONE;
        // A handler raised (also in a child forked during the save): its exception stands.
        if (saved.error().interrupted || PyErr_Occurred()) return nullptr;
        return b::fail(saved.error().failure);
    });
}

} // namespace pyvexa
