// A library the tests preload (LD_PRELOAD) into a child interpreter: the
// kernel's refusal of madvise(MADV_POPULATE_WRITE) made real. That advice
// fails with the errno given in PYVEXA_REFUSE_ERRNO (a number; EINVAL, as a
// kernel before 5.14 answers, when unset); every other advice goes on to
// the C library. The refusals are counted, so a test can tell that the
// module really asked: refused_populate_calls(), through ctypes.
#include <dlfcn.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

namespace {

constexpr int POPULATE_WRITE = 23; // MADV_POPULATE_WRITE, Linux 5.14

std::atomic<long> refusals{0};

int refusal_errno() {
    const char* given = std::getenv("PYVEXA_REFUSE_ERRNO");
    return given != nullptr && *given != '\0' ? std::atoi(given) : EINVAL;
}

} // namespace

extern "C" {

[[gnu::visibility("default")]] long refused_populate_calls() {
    return refusals.load();
}

[[gnu::visibility("default")]] int madvise(void* addr, std::size_t length, int advice) noexcept {
    if (advice == POPULATE_WRITE) {
        refusals.fetch_add(1);
        errno = refusal_errno();
        return -1;
    }
    using Madvise = int (*)(void*, std::size_t, int);
    static const auto next = reinterpret_cast<Madvise>(dlsym(RTLD_NEXT, "madvise"));
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return next(addr, length, advice);
}

} // extern "C"
