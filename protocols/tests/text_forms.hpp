#pragma once

// The text form of single values, for tests: the module only ever shows a
// whole protocol, but tests look at one record or variant at a time.

#include "text_render.hpp"

#include <string>

namespace protocols::text {

// Multi-line form at nesting depth 0.
template <class T>
std::string pretty(const T& v) {
    return render<Mode::Pretty>(v);
}

// Single-line form.
template <class T>
std::string line(const T& v) {
    return render<Mode::Line>(v);
}

} // namespace protocols::text
