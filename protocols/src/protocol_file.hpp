#pragma once

#include "atomic_file.hpp"
#include "error.hpp"
#include "io_error.hpp"
#include "settings.hpp"

#include <expected>
#include <string_view>

// Saving a protocol to its file.
namespace protocols::protocol_file {

// Why a save did not happen.
struct SaveFailure {
    // The check's or the write's failure, in the words the caller reports.
    error::Failure failure;
    // The caller's Interrupt asked to stop; `failure` is then empty and the
    // caller reports the interruption its own way.
    bool interrupted = false;
};

// Saves `s` to the file `filepath`: the name must end in ".vexa" (checked
// bytewise before anything else happens); an empty signal list gets the
// default signal (and keeps it, whatever happens next); the whole protocol
// is encoded and replaces the file as write_file says.
std::expected<void, SaveFailure> save(settings::Settings& s, std::string_view filepath,
                                      Interrupt interrupted = {});

} // namespace protocols::protocol_file
