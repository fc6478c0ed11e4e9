#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

// Writing a protocol file to disk.
namespace protocols::protocol_file {

// An I/O failure. Its debug form is what failure messages carry:
//   Os { code: 2, kind: NotFound, message: "No such file or directory" }
//   Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }
struct IoError {
    int code = 0;             // errno; 0 for the non-OS errors
    std::string_view kind;    // NotFound, PermissionDenied, InvalidInput, WriteZero, ...
    std::string_view message; // for non-OS errors only; OS errors use strerror(code)
    std::string debug_form() const;
};

// The class name of an errno value ("NotFound", "PermissionDenied", ...).
std::string_view error_kind(int code) noexcept;

// Replaces the file at `path` with `bytes` so that a reader sees either the
// old content or the new, never a mix: a temporary file in the same
// directory is written, flushed to disk and renamed over the target. A
// target that exists and is not a regular file (a device, a FIFO) is
// written in place. `path` may hold any bytes; a NUL is refused.
std::expected<void, IoError> write_file(std::string_view path, std::span<const std::uint8_t> bytes);

} // namespace protocols::protocol_file
