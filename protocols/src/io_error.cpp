#include "io_error.hpp"

#include "text_escape.hpp"

#include <cerrno>
#include <cstring>
#include <string>

namespace protocols::protocol_file {

namespace {

[[gnu::noinline]] std::string strerror_text(int code) {
    char buf[256];
    // GNU strerror_r: returns the text, which may or may not live in `buf`.
    const char* text = ::strerror_r(code, buf, sizeof buf);
    return text != nullptr ? std::string(text)
                           : std::string("Unknown error ") + std::to_string(code);
}

} // namespace

IoError os_error(int code) {
    return IoError{code, error_kind(code), {}};
}

std::string IoError::debug_form() const {
    std::string out;
    if (code != 0) {
        out += "Os { code: ";
        out += std::to_string(code);
        out += ", kind: ";
        out += kind;
        out += ", message: \"";
        text::append_escaped(out, strerror_text(code));
        out += "\" }";
    } else {
        out += "Error { kind: ";
        out += kind;
        out += ", message: \"";
        text::append_escaped(out, message);
        out += "\" }";
    }
    return out;
}

std::string_view error_kind(int code) noexcept {
    switch (code) {
    case ENOENT:
        return "NotFound";
    case EACCES:
    case EPERM:
        return "PermissionDenied";
    case EEXIST:
        return "AlreadyExists";
    case EISDIR:
        return "IsADirectory";
    case ENOTDIR:
        return "NotADirectory";
    case ENOSPC:
        return "StorageFull";
    case EFBIG:
        return "FileTooLarge";
    case EROFS:
        return "ReadOnlyFilesystem";
    case EINTR:
        return "Interrupted";
    case EINVAL:
        return "InvalidInput";
    case ENAMETOOLONG:
        return "InvalidFilename";
    case ELOOP:
        return "FilesystemLoop";
    case EMLINK:
        return "TooManyLinks";
    case EXDEV:
        return "CrossesDevices";
    case ETXTBSY:
        return "ExecutableFileBusy";
    case EBUSY:
        return "ResourceBusy";
    case EDQUOT:
        return "FilesystemQuotaExceeded";
    case ESPIPE:
        return "NotSeekable";
    case ENOMEM:
        return "OutOfMemory";
    case EAGAIN:
        return "WouldBlock";
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
        return "WouldBlock";
#endif
    case ETIMEDOUT:
        return "TimedOut";
    case ECONNREFUSED:
        return "ConnectionRefused";
    case ECONNRESET:
        return "ConnectionReset";
    case EPIPE:
        return "BrokenPipe";
    case EADDRINUSE:
        return "AddrInUse";
    case ENOTEMPTY:
        return "DirectoryNotEmpty";
    case ENOSYS:
        return "Unsupported";
    case EDEADLK:
        return "Deadlock";
    case ENETUNREACH:
        return "NetworkUnreachable";
    case EHOSTUNREACH:
        return "HostUnreachable";
    case ECONNABORTED:
        return "ConnectionAborted";
    case ENOTCONN:
        return "NotConnected";
    case EADDRNOTAVAIL:
        return "AddrNotAvailable";
    case ENETDOWN:
        return "NetworkDown";
    case E2BIG:
        return "ArgumentListTooLong";
    case ESTALE:
        return "StaleNetworkFileHandle";
    case EINPROGRESS:
        return "InProgress";
    default:
        return "Uncategorized";
    }
}

} // namespace protocols::protocol_file
