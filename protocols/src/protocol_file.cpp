#include "protocol_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace protocols::protocol_file {

namespace {

constexpr std::string_view NUL_MESSAGE = "file name contained an unexpected NUL byte";
constexpr std::string_view WRITE_ZERO_MESSAGE = "failed to write whole buffer";

// How many symbolic links are followed before giving up (as the kernel).
constexpr int MAX_SYMLINK_HOPS = 40;
// How many temporary names are tried before giving up on EEXIST.
constexpr int MAX_TEMP_ATTEMPTS = 100;

[[gnu::noinline]] IoError os_error(int code) {
    return IoError{code, error_kind(code), {}};
}

[[gnu::noinline]] std::string strerror_text(int code) {
    char buf[256];
    // GNU strerror_r: returns the text, which may or may not live in `buf`.
    const char* text = ::strerror_r(code, buf, sizeof buf);
    return text != nullptr ? std::string(text)
                           : std::string("Unknown error ") + std::to_string(code);
}

// The text as a quoted string literal's body: backslash and quote escaped,
// control characters as escapes.
void append_escaped(std::string& out, std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\u{";
                if (c >= 0x10) out += HEX[c >> 4];
                out += HEX[c & 0xF];
                out += '}';
            } else {
                out += ch;
            }
        }
    }
}

int open_retry(const char* path, int flags, mode_t mode) {
    for (;;) {
        const int fd = ::open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// Writes every byte: EINTR retried, short writes continued, 0 is WriteZero.
std::expected<void, IoError> write_all(int fd, std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        // Linux writes at most 0x7ffff000 bytes per call; ask for no more.
        const std::size_t chunk = left < 0x7ffff000u ? left : 0x7ffff000u;
        const ssize_t n = ::write(fd, p, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (n == 0) {
            return std::unexpected(IoError{0, "WriteZero", WRITE_ZERO_MESSAGE});
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return {};
}

void close_ignoring_errors(int fd) {
    (void)::close(fd);
}

// The plain way: open (create or truncate), write everything, close.
// Used for targets that are not regular files (devices, FIFOs), and as the
// fallback where no temporary file can be made beside a writable file.
std::expected<void, IoError> write_in_place(const std::string& path,
                                            std::span<const std::uint8_t> bytes) {
    const int fd = open_retry(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected(os_error(errno));
    auto written = write_all(fd, bytes);
    close_ignoring_errors(fd);
    return written;
}

// Splits `path` at its last slash: ("dir/", "name"); ("", "name") if none.
std::pair<std::string, std::string> split_dir(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

struct Target {
    std::string path;    // the file to replace: symbolic links resolved
    bool exists = false; // a regular file is there
    struct stat st {};   // its status, when it exists
};

// Follows symbolic links from `path` to the name that a plain open would
// write: the final link target, even if it does not exist yet (a dangling
// link creates the file it points to, as open(O_CREAT) does).
std::expected<Target, IoError> resolve(const std::string& path) {
    Target t;
    t.path = path;
    for (int hops = 0;; ++hops) {
        struct stat lst {};
        if (::lstat(t.path.c_str(), &lst) != 0) {
            if (errno == ENOENT) return t; // to be created
            return std::unexpected(os_error(errno));
        }
        if (!S_ISLNK(lst.st_mode)) {
            t.exists = true;
            t.st = lst;
            return t;
        }
        if (hops >= MAX_SYMLINK_HOPS) return std::unexpected(os_error(ELOOP));
        std::string link(static_cast<std::size_t>(lst.st_size > 0 ? lst.st_size : PATH_MAX), '\0');
        for (;;) {
            const ssize_t n = ::readlink(t.path.c_str(), link.data(), link.size());
            if (n < 0) return std::unexpected(os_error(errno));
            if (static_cast<std::size_t>(n) < link.size()) {
                link.resize(static_cast<std::size_t>(n));
                break;
            }
            link.resize(link.size() * 2); // the link grew meanwhile
        }
        if (link.empty()) return std::unexpected(os_error(ENOENT));
        if (link.front() == '/') {
            t.path = std::move(link);
        } else {
            t.path = split_dir(t.path).first + link;
        }
    }
}

std::string temp_name(const std::string& dir, const std::string& name, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    const unsigned n = counter.fetch_add(1, std::memory_order_relaxed);
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto noise = static_cast<unsigned>(ts.tv_nsec) ^ (attempt * 0x9E3779B9u);
    // Keep the temporary's own name within NAME_MAX (255 bytes).
    constexpr std::size_t MAX_STEM = 255 - 48;
    const std::string stem = name.size() > MAX_STEM ? name.substr(0, MAX_STEM) : name;
    char suffix[64];
    const int len = std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%u-%08x",
                                  static_cast<long>(::getpid()), n, noise);
    return dir + "." + stem + std::string(suffix, static_cast<std::size_t>(len));
}

void fsync_directory(const std::string& dir) {
    const int fd =
        open_retry(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return;
    (void)::fsync(fd);
    close_ignoring_errors(fd);
}

// Removes the temporary file and hands back the error that stopped us.
std::unexpected<IoError> abandon(int fd, const std::string& temp, IoError error) {
    if (fd >= 0) close_ignoring_errors(fd);
    (void)::unlink(temp.c_str());
    return std::unexpected(error);
}

} // namespace

std::string IoError::debug_form() const {
    std::string out;
    if (code != 0) {
        out += "Os { code: ";
        out += std::to_string(code);
        out += ", kind: ";
        out += kind;
        out += ", message: \"";
        append_escaped(out, strerror_text(code));
        out += "\" }";
    } else {
        out += "Error { kind: ";
        out += kind;
        out += ", message: \"";
        append_escaped(out, message);
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

std::expected<void, IoError> write_file(std::string_view path,
                                        std::span<const std::uint8_t> bytes) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(IoError{0, "InvalidInput", NUL_MESSAGE});
    }
    if (path.empty()) return std::unexpected(os_error(ENOENT)); // as open("") fails
    const std::string given(path);

    // What is there, symbolic links followed.
    struct stat st {};
    if (::stat(given.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return std::unexpected(os_error(EISDIR));
        // A device, FIFO or socket: no temporary file; write it as it is.
        if (!S_ISREG(st.st_mode)) return write_in_place(given, bytes);
    } else if (errno != ENOENT) {
        return std::unexpected(os_error(errno)); // as the plain open would fail
    }

    auto resolved = resolve(given);
    if (!resolved) return std::unexpected(resolved.error());
    const Target& target = *resolved;
    if (target.exists && !S_ISREG(target.st.st_mode)) {
        // Changed under us since the stat above.
        if (S_ISDIR(target.st.st_mode)) return std::unexpected(os_error(EISDIR));
        return write_in_place(target.path, bytes);
    }

    auto [dir, name] = split_dir(target.path);
    // "missing/" and the like: open(O_CREAT) refuses a name ending in a slash.
    if (name.empty()) return std::unexpected(os_error(EISDIR));

    if (target.exists) {
        // Refuse as the plain open would when we may not write the file
        // (read-only file, read-only file system, running executable...).
        // Opening without O_TRUNC changes nothing.
        const int probe = open_retry(target.path.c_str(), O_WRONLY | O_CLOEXEC, 0);
        if (probe < 0) return std::unexpected(os_error(errno));
        close_ignoring_errors(probe);
    }

    // The temporary: new files get 0666 less the umask from the kernel, as
    // the plain open would; a replacement gets the old file's bits below.
    const mode_t create_mode = target.exists ? 0600 : 0666;
    std::string temp;
    int fd = -1;
    for (unsigned attempt = 0; attempt < MAX_TEMP_ATTEMPTS; ++attempt) {
        temp = temp_name(dir, name, attempt);
        fd = open_retry(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create_mode);
        if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) {
        const int err = errno;
        if (target.exists && (err == EACCES || err == EPERM)) {
            // A writable file in a directory we may not add names to: the
            // plain open succeeds here, so write in place as it does.
            return write_in_place(target.path, bytes);
        }
        return std::unexpected(os_error(err));
    }

    if (target.exists) {
        // Owner first (best effort: only root or a group member may), then
        // the permission bits, since a change of owner clears set-id bits.
        struct stat tst {};
        if (::fstat(fd, &tst) == 0 &&
            (tst.st_uid != target.st.st_uid || tst.st_gid != target.st.st_gid)) {
            (void)::fchown(fd, target.st.st_uid, target.st.st_gid);
        }
        // A file system without Unix permissions (FAT) may refuse: the bits
        // mean nothing there, so that refusal is not a failure.
        if (::fchmod(fd, target.st.st_mode & 07777) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
            return abandon(fd, temp, os_error(errno));
        }
    }

    if (auto written = write_all(fd, bytes); !written) {
        return abandon(fd, temp, written.error());
    }
    if (::fsync(fd) != 0 && errno != EINVAL) {
        return abandon(fd, temp, os_error(errno));
    }
    close_ignoring_errors(fd);
    fd = -1;

    if (::rename(temp.c_str(), target.path.c_str()) != 0) {
        return abandon(fd, temp, os_error(errno));
    }
    fsync_directory(dir); // best effort: the rename itself has happened
    return {};
}

} // namespace protocols::protocol_file
