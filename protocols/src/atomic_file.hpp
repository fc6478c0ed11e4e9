#pragma once

#include "io_error.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <type_traits>

// Replacing a file as a whole.
namespace protocols::protocol_file {

// Asked whenever the write waits (a FIFO without a reader, a full pipe) or a
// system call was interrupted by a signal, and between large pieces of the
// write: true gives the write up. The caller keeps the checked callable
// alive for the call.
class Interrupt {
  public:
    Interrupt() = default;
    template <class F>
    requires std::is_invocable_r_v<bool, F&>
    explicit Interrupt(F& check)
        : ctx_(&check), fn_([](void* c) -> bool { return (*static_cast<F*>(c))(); }) {}
    bool operator()() const { return fn_ != nullptr && fn_(ctx_); }

  private:
    void* ctx_ = nullptr;
    bool (*fn_)(void*) = nullptr;
};

// Takes one piece of a file's bytes; false asks for no more.
class PieceSink {
  public:
    template <class F>
    requires std::is_invocable_r_v<bool, F&, std::span<const std::uint8_t>>
    explicit PieceSink(F& take)
        : ctx_(&take), fn_([](void* c, std::span<const std::uint8_t> piece) -> bool {
              return (*static_cast<F*>(c))(piece);
          }) {}
    bool operator()(std::span<const std::uint8_t> piece) const { return fn_(ctx_, piece); }

  private:
    void* ctx_;
    bool (*fn_)(void*, std::span<const std::uint8_t>);
};

// The bytes of a file, handed over in pieces, so that a large file is
// produced as it is written and never held whole. A write may ask for them
// more than once (it starts over when its first way of naming the file is
// closed to it), so every call hands over the same bytes.
class ByteSource {
  public:
    // Calls `take` with each piece (never empty) in order, until the end or
    // until `take` returns false.
    virtual void pieces(PieceSink take) const = 0;

  protected:
    ~ByteSource() = default;
};

// Bytes already in memory: one piece.
class SpanSource final : public ByteSource {
  public:
    explicit SpanSource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
    void pieces(PieceSink take) const override {
        if (!bytes_.empty()) (void)take(bytes_);
    }

  private:
    std::span<const std::uint8_t> bytes_;
};

// The error of a write given up because its Interrupt asked for it. A
// signal never otherwise ends a write (an interrupted call is retried), so
// this form means exactly that.
bool is_abandoned(const IoError& e) noexcept;

// Replaces the file at `path` with `bytes` so that a reader sees either the
// old content or the new, never a mix, and a failed or killed write leaves
// the old file as it was and nothing beside it: the new content is written
// to a file without a name in the target's directory, flushed to disk, and
// only then given the target's name; the directory is flushed after. The
// bytes are written piece by piece as the source hands them over, so a
// large file need not be in memory whole. An existing file keeps its
// permission bits, and its owner and group where the process may set them.
// Symbolic links are followed, so a link stays and its target is replaced.
// A target that exists and is not a regular file (a device, a FIFO) is
// written in place; a FIFO without a reader is waited for. `path` may hold
// any bytes; a NUL is refused.
std::expected<void, IoError> write_file(std::string_view path, const ByteSource& bytes,
                                        Interrupt interrupted = {});
std::expected<void, IoError> write_file(std::string_view path, std::span<const std::uint8_t> bytes,
                                        Interrupt interrupted = {});

namespace detail {
// write_file as it works on a file system without unnamed files (some
// network and FAT file systems): through a named temporary beside the
// target, removed on failure.
std::expected<void, IoError> write_file_named(std::string_view path, const ByteSource& bytes,
                                              Interrupt interrupted = {});
std::expected<void, IoError> write_file_named(std::string_view path,
                                              std::span<const std::uint8_t> bytes,
                                              Interrupt interrupted = {});
} // namespace detail

} // namespace protocols::protocol_file
