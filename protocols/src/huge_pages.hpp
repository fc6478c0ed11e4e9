#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace protocols {

// Advises a large buffer that is about to be filled to use huge pages: with
// 4 KiB pages, touching a fresh buffer of a few tens of MB or more costs
// more than filling it, in some virtual machines several times more. Only
// the whole huge pages inside [data, data + n) are advised. A hint: where
// it is not taken nothing changes.
inline void advise_huge_pages(void* data, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t LARGE = std::size_t{16} << 20;
    constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
    if (n >= LARGE) {
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
