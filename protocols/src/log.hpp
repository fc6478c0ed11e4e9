#pragma once

#include <string_view>

// A minimal logging facility: levels, a per-module target and a global level
// filter. Nothing is emitted until a logger is installed, and none is by
// default, so library reports are silent unless an embedding program asks.
namespace protocols::log {

enum class Level { Error = 1, Warn, Info, Debug, Trace };

using Logger = void (*)(Level level, std::string_view target, std::string_view message);

// Installs `logger` (nullptr removes it) and admits records up to `max_level`.
void install(Logger logger, Level max_level) noexcept;

// True when a record of `level` would reach an installed logger.
bool enabled(Level level) noexcept;

// Delivers the record if enabled(level); otherwise does nothing.
void write(Level level, std::string_view target, std::string_view message);

} // namespace protocols::log
