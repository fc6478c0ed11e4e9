#include "system_calls.hpp"

#include <fcntl.h>
#include <poll.h>
#include <time.h>

namespace protocols::protocol_file::calls {

namespace {

constexpr std::string_view WRITE_ZERO_MESSAGE = "failed to write whole buffer";
// Between two looks at the Interrupt during a long write: a few
// milliseconds of disk time, and few calls for any protocol.
constexpr std::size_t PIECE = std::size_t{8} << 20;
// How long a wait for a full pipe lasts before the Interrupt is asked.
constexpr int POLL_MS = 50;

} // namespace

IoError abandoned() {
    return os_error(EINTR);
}

std::expected<Fd, IoError> open_at(const Interrupt& interrupted, int dir, const char* path,
                                   int flags, mode_t mode) {
    auto fd = retrying(interrupted, [&] { return ::openat(dir, path, flags, mode); });
    if (!fd) return std::unexpected(fd.error());
    return Fd(*fd);
}

std::expected<void, IoError> write_all(const Interrupt& interrupted, int fd,
                                       std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t piece = left < PIECE ? left : PIECE;
        const ssize_t n = ::write(fd, p, piece);
        if (n < 0) {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                // A pipe that its reader does not empty (the file was opened
                // without blocking so that this wait can be given up).
                struct pollfd pfd {
                    fd, POLLOUT, 0
                };
                (void)::poll(&pfd, 1, POLL_MS);
            } else if (err != EINTR) {
                return std::unexpected(os_error(err));
            }
            if (interrupted()) return std::unexpected(abandoned());
            continue;
        }
        if (n == 0) return std::unexpected(IoError{0, "WriteZero", WRITE_ZERO_MESSAGE});
        p += n;
        left -= static_cast<std::size_t>(n);
        if (left > 0 && interrupted()) return std::unexpected(abandoned());
    }
    return {};
}

std::expected<void, IoError> write_all(const Interrupt& interrupted, int fd,
                                       const ByteSource& source) {
    std::expected<void, IoError> result;
    bool first = true;
    auto take = [&](std::span<const std::uint8_t> piece) {
        if (!first && interrupted()) {
            result = std::unexpected(abandoned());
            return false;
        }
        first = false;
        result = write_all(interrupted, fd, piece);
        return result.has_value();
    };
    source.pieces(PieceSink(take));
    return result;
}

void nap(int attempt) {
    // 1 ms at first, then up to 50 ms: quick for a reader that comes at
    // once, cheap for one that never does.
    const long ms = attempt < 6 ? (1L << attempt) : 50L;
    const struct timespec ts { 0, ms * 1000000L };
    (void)::nanosleep(&ts, nullptr);
}

std::pair<std::string, std::string> split_dir(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

} // namespace protocols::protocol_file::calls
