#pragma once

// Getting a large fresh buffer ready to be filled whole. A first touch of
// each 4 KiB page traps into the kernel; on some virtual machines a trap
// costs several microseconds, so a buffer of a few hundred MB spends more
// time in page faults than in being filled.

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

// Linux 5.14; older C libraries lack the name, and an older kernel refuses
// the advice with EINVAL, which is handled below.
#if !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif
#endif

namespace protocols {

namespace detail {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// Whether advising huge pages can never stall the first touch. With the
// kernel's huge-page defrag setting at "madvise", "defer+madvise" or
// "always", a fault in an advised range compacts memory synchronously when
// no free huge page is at hand: in a process whose memory has been used
// before (any real script), the first touch of a 276 MB text then took
// 440-2300 ms where plain pages take 250 ms. Only "defer" and "never"
// fault without compacting. Read once: the setting is the machine's.
inline bool huge_pages_cannot_stall() noexcept {
    static const bool cannot_stall = [] {
        std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/defrag", "r");
        if (!f) return false;
        char line[128] = {};
        const bool read = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        // The selected value is the one in brackets.
        return read && (std::strstr(line, "[defer]") || std::strstr(line, "[never]"));
    }();
    return cannot_stall;
}
#endif

#if defined(__linux__)
// Whether [first, last) (whole pages) looks fresh: one of its first, middle
// and last pages is not in memory yet. The advice walks pages that are
// already there too, at about a tenth of what it saves on a fresh one
// (measured on a warm 276 MB buffer: 14 ms), so memory that the allocator
// hands out again (a heap block of a few MB, say) is better left alone.
// Where residency cannot be told, the range is taken as not fresh.
inline bool looks_fresh(std::uintptr_t first, std::uintptr_t last, std::uintptr_t page) noexcept {
    const std::uintptr_t middle = first + (((last - first) / 2) & ~(page - 1));
    for (const std::uintptr_t at : {first, middle, last - page}) {
        unsigned char resident = 0;
        if (::mincore(reinterpret_cast<void*>(at), page, &resident) != 0) return false;
        if ((resident & 1) == 0) return true;
    }
    return false;
}

// Cleared for good once the kernel shows it will never take the advice:
// too old to know it (EINVAL), or a filter forbids or hides the call
// (EPERM, ENOSYS). Any other refusal (no memory now, say) may pass.
inline std::atomic<bool> populate_offered{true};
#endif

} // namespace detail

// Advises a large buffer that is about to be filled to use huge pages.
// Given only where the kernel will not compact memory on the first touch to
// honour it (see above). Only the whole huge pages inside [data, data + n)
// are advised. A hint: where it is not given or not taken nothing changes.
inline void advise_huge_pages(void* data, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t LARGE = std::size_t{16} << 20;
    constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
    if (n >= LARGE && detail::huge_pages_cannot_stall()) {
        const auto begin = reinterpret_cast<std::uintptr_t>(data);
        const std::uintptr_t first = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        const std::uintptr_t last = (begin + n) & ~(HUGE_PAGE - 1);
        if (first < last) {
            const int saved = errno;
            (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
            errno = saved;
        }
    }
#else
    (void)data;
    (void)n;
#endif
}

// Faults in the whole pages inside [data, data + n) with one call
// (MADV_POPULATE_WRITE), where the kernel offers it and the range looks
// fresh, instead of one trap per page while the buffer is filled. Pages
// already there are left as they are; the contents are not changed.
// Returns whether the kernel took it; where it does not, the fill faults
// the pages in as it goes, as without this call. Not worth a system call
// below POPULATE_FROM bytes.
inline constexpr std::size_t POPULATE_FROM = std::size_t{256} << 10;

inline bool populate_for_writing(void* data, std::size_t n) noexcept {
#if defined(__linux__)
    if (n < POPULATE_FROM || !detail::populate_offered.load(std::memory_order_relaxed))
        return false;
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + n) & ~(page - 1);
    if (first >= last) return false;
    const int saved = errno;
    if (!detail::looks_fresh(first, last, page)) {
        errno = saved;
        return false;
    }
    const bool taken =
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) == 0;
    if (!taken && (errno == EINVAL || errno == EPERM || errno == ENOSYS))
        detail::populate_offered.store(false, std::memory_order_relaxed);
    errno = saved;
    return taken;
#else
    (void)data;
    (void)n;
    return false;
#endif
}

// Both, for a fresh buffer about to be filled whole.
inline void prepare_for_filling(void* data, std::size_t n) noexcept {
    advise_huge_pages(data, n);
    (void)populate_for_writing(data, n);
}

} // namespace protocols
