#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/failure.hpp"
#include "protocol.hpp"

#include <protocol_file.hpp>

#include <string>

namespace pyvexa {

namespace b = boundary;

namespace {

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
        if (state_ != nullptr) PyEval_RestoreThread(state_);
        // A signal handler's exception (KeyboardInterrupt) caught by
        // `pending_signal` is raised again now that the lock is held.
        if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
    }

    // Asked by the model whenever it waits or a call was interrupted: runs
    // the Python signal handlers, as the interpreter does between
    // bytecodes. True (the handler raised) makes the save give up; its
    // exception is kept for the caller.
    bool pending_signal() noexcept {
        PyEval_RestoreThread(state_);
        const bool raised = PyErr_CheckSignals() != 0;
        if (raised) PyErr_Fetch(&type_, &value_, &traceback_);
        state_ = PyEval_SaveThread();
        return raised;
    }

  private:
    PyThreadState* state_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
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
        if (saved.error().interrupted) return nullptr; // the handler's exception is set
        return b::fail(saved.error().failure);
    });
}

} // namespace pyvexa
