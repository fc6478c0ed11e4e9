#pragma once

#include <cxxabi.h>
#include <utility>

#include <unistd.h>

// CPython before 3.14 ends a thread that takes the interpreter lock while the
// interpreter finalises (a daemon thread, when the main thread has finished)
// with pthread_exit, which unwinds the thread's stack as an exception would.
// The unwind meets this module's noexcept entry points, and an unwind that
// leaves a noexcept frame is std::terminate: the process aborts. So every
// call from inside an operation that takes the lock back, or runs Python code
// of the caller's or of this module's (which lets the lock go and takes it
// back: an argument's __float__, a metaclass, a signal handler, the
// helpers), goes through quiet_exit: the unwind stops there, and the thread
// waits, touching nothing, until the process ends a moment later, as
// CPython 3.14 itself makes such threads wait. No object of ours lives
// between the call and the catch, so no destructor runs without the lock. A
// save stopped this way leaves the old file (its unnamed file vanishes with
// the process) or, if it had finished, the new one. (A finaliser that a
// reference dropped inside an operation runs is not covered: any release of
// a reference may run one.)
namespace pyvexa::boundary {

[[noreturn]] inline void wait_for_the_process_to_end() noexcept {
    for (;;)
        ::pause();
}

// (The forced unwind is no C++ object: the handler's reference is bound to
// null and never read, which UndefinedBehaviorSanitizer would report.)
template <class Call>
[[gnu::noinline, gnu::no_sanitize("null")]] decltype(auto) quiet_exit(Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (abi::__forced_unwind&) {
        wait_for_the_process_to_end();
    }
}

} // namespace pyvexa::boundary
