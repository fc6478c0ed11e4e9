#pragma once

#include <string>
#include <string_view>

// How a failed file operation is worded.
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

// The error of a failed system call with error number `code`.
[[gnu::noinline]] IoError os_error(int code);

} // namespace protocols::protocol_file
