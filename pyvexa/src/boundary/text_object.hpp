#pragma once

#include "boundary/python.hpp"

#include <settings.hpp>

namespace pyvexa::boundary {

// A new str holding the text form of a whole protocol (str(protocol)), or
// NULL with an exception set. May throw std::bad_alloc.
PyObject* protocol_text_object(const protocols::settings::Settings& s);

} // namespace pyvexa::boundary
