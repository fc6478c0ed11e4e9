#pragma once

#include "boundary/python.hpp"

#include <string_view>

namespace pyvexa {

// Replaces the error that stopped a class's construction by RuntimeError
// "An error occurred while initializing class <name>", with the original as
// its cause.
[[gnu::noinline]] void raise_class_init_error(std::string_view name) noexcept;

} // namespace pyvexa
