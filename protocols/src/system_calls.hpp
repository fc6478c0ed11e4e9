#pragma once

#include "atomic_file.hpp"
#include "io_error.hpp"

#include <cerrno>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>

#include <sys/types.h>
#include <unistd.h>

// The system calls of a file write, each retried after a signal unless the
// caller's Interrupt says to stop.
namespace protocols::protocol_file::calls {

// An open file descriptor, closed (errors ignored) when dropped.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const noexcept { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0) (void)::close(std::exchange(fd_, -1));
    }

  private:
    int fd_ = -1;
};

IoError abandoned();

// Runs `call` until it returns something other than -1 with EINTR; asks
// `interrupted` before each retry. -1 with any other errno is that error.
template <class Call>
auto retrying(const Interrupt& interrupted, Call&& call)
    -> std::expected<decltype(call()), IoError> {
    for (;;) {
        const auto r = call();
        if (r != -1) return r;
        const int err = errno;
        if (err != EINTR) return std::unexpected(os_error(err));
        if (interrupted()) return std::unexpected(abandoned());
    }
}

// openat, as an owned descriptor.
std::expected<Fd, IoError> open_at(const Interrupt& interrupted, int dir, const char* path,
                                   int flags, mode_t mode = 0);

// Writes every byte: short writes continued, a full pipe waited for, 0 is
// WriteZero. `interrupted` is also asked between pieces of a large write.
std::expected<void, IoError> write_all(const Interrupt& interrupted, int fd,
                                       std::span<const std::uint8_t> bytes);

// Writes every piece of `source` as write_all above; `interrupted` is also
// asked between pieces.
std::expected<void, IoError> write_all(const Interrupt& interrupted, int fd,
                                       const ByteSource& source);

// Sleeps a little (a signal cuts it short); for polling what cannot be
// waited on.
void nap(int attempt);

// Splits `path` at its last slash: ("dir/", "name"); ("", "name") if none.
std::pair<std::string, std::string> split_dir(const std::string& path);

} // namespace protocols::protocol_file::calls
