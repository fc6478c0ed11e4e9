#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
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

} // namespace detail

// Advises a large buffer that is about to be filled to use huge pages: with
// 4 KiB pages, touching a fresh buffer of a few tens of MB or more costs
// more than filling it, in some virtual machines several times more. Given
// only where the kernel will not compact memory on the first touch to
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
            (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
        }
    }
#else
    (void)data;
    (void)n;
#endif
}

} // namespace protocols
