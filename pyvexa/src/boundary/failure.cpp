#include "boundary/failure.hpp"

#include "boundary/once.hpp"

#include <atomic>
#include <cerrno>
#include <exception>
#include <new>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

namespace pyvexa::boundary {

namespace {

constexpr const char* FAILURE_DOC =
    "The exception raised when the native code of this module fails with an internal\n"
    "error (when it panics).\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException so that it will typically\n"
    "propagate all the way through the stack and cause the Python interpreter to exit.";

std::atomic<PyObject*> failure_type_slot{nullptr};

// Source paths arrive as the build passed them ("../pyvexa/src/x.cpp");
// the report shows them from the repository root.
std::string_view source_path(const char* file) noexcept {
    std::string_view path(file);
    if (auto at = path.find("pyvexa/src/"); at != std::string_view::npos) return path.substr(at);
    if (auto slash = path.rfind('/'); slash != std::string_view::npos)
        return path.substr(slash + 1);
    return path;
}

// The report goes to file descriptor 2 in one write where the system
// allows, so that lines of concurrent failures do not interleave.
void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // nowhere left to report to
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void report(std::string_view message, std::source_location where) {
    // Python thread names live in Python objects that a failing call should
    // not touch; the OS thread id names the thread unambiguously instead.
    const long tid = ::syscall(SYS_gettid);
    std::string line = "pyvexa: thread ";
    if (tid == static_cast<long>(::getpid())) {
        line += "'main'";
    } else {
        line += "'<unnamed>' (";
        line += std::to_string(tid);
        line += ")";
    }
    line += " failed at ";
    line += source_path(where.file_name());
    line += ':';
    line += std::to_string(where.line());
    line += ": ";
    line += message;
    line += '\n';
    write_stderr(line);
}

} // namespace

PyObject* failure_type() noexcept {
    if (PyObject* made = failure_type_slot.load(std::memory_order_acquire)) return made;
    PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", FAILURE_DOC,
                                               PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    return publish_first(failure_type_slot, made);
}

void raise_failure(std::string_view message, std::source_location where) noexcept {
    try {
        report(message, where);
    } catch (const std::bad_alloc&) {
        // Without memory for the report line the exception still says it all.
    }
    PyObject* type = failure_type();
    if (!type) return;
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

PyObject* translate_exception(std::source_location where) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_failure(e.what(), where);
    } catch (...) {
        raise_failure("unknown C++ exception", where);
    }
    return nullptr;
}

} // namespace pyvexa::boundary
