#pragma once

// A failed property in a fuzz harness: print what differed and abort, which
// libFuzzer records as a crash and saves the input that caused it.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzing {

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "\nproperty violated: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool ok, const std::string& what) {
    if (!ok) {
        fail(what);
    }
}

} // namespace fuzzing
