#include "log.hpp"

#include <atomic>

namespace protocols::log {

namespace {
// 0 means off: nothing passes the filter until install() raises it.
std::atomic<int> max_level{0};
std::atomic<Logger> installed{nullptr};
} // namespace

void install(Logger logger, Level level) noexcept {
    installed.store(logger, std::memory_order_release);
    max_level.store(logger ? static_cast<int>(level) : 0, std::memory_order_release);
}

bool enabled(Level level) noexcept {
    return static_cast<int>(level) <= max_level.load(std::memory_order_acquire) &&
           installed.load(std::memory_order_acquire) != nullptr;
}

void write(Level level, std::string_view target, std::string_view message) {
    if (!enabled(level)) return;
    if (Logger logger = installed.load(std::memory_order_acquire)) logger(level, target, message);
}

} // namespace protocols::log
