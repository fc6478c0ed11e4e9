// The record layout of the protocol file: every record's fields in the
// order of its description, back to back. Lists carry their length first;
// fixed-size arrays do not. Signals are their variant index, then the
// variant's fields.

#include "encoding/layout.hpp"

#include "describe.hpp"
#include "encoding/samples.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace protocols::encoding {

namespace {

constexpr std::size_t DOUBLE = 8;

// ---------------------------------------------------------------------------
// Where the walk writes: a buffer of `piece` bytes and HEADROOM more, handed
// on whenever what it holds has reached `piece` or the next value would not
// fit. The same few kilobytes to a megabyte are written over and over, so
// they stay in the cache and no fresh page is touched for a large file.

constexpr std::size_t MAX_VARINT = 10;
constexpr std::size_t HEADROOM = 256;

class Writer {
  public:
    Writer(std::uint8_t* buf, std::size_t piece, TakePiece take, void* ctx) noexcept
        : buf_(buf), p_(buf), end_(buf + piece + HEADROOM), piece_(piece), take_(take), ctx_(ctx) {}

    // At least n (at most HEADROOM) bytes of room at the returned place;
    // `done` then says where the written bytes end.
    std::uint8_t* room(std::size_t n) {
        if (static_cast<std::size_t>(p_ - buf_) >= piece_ ||
            static_cast<std::size_t>(end_ - p_) < n) {
            flush();
        }
        return p_;
    }
    void done(std::uint8_t* end) noexcept { p_ = end; }
    std::size_t available() const noexcept { return static_cast<std::size_t>(end_ - p_); }

    void copy(const std::uint8_t* b, std::size_t n) {
        while (n > 0) {
            room(1);
            const std::size_t k = std::min(n, available());
            std::memcpy(p_, b, k);
            p_ += k;
            b += k;
            n -= k;
        }
    }

    // The receiver wants no more: the walk may stop where it is convenient.
    bool stopped() const noexcept { return stopped_; }

    void flush() {
        if (p_ != buf_ && !stopped_)
            stopped_ = !take_(ctx_, buf_, static_cast<std::size_t>(p_ - buf_));
        p_ = buf_;
    }

  private:
    std::uint8_t* buf_;
    std::uint8_t* p_;
    std::uint8_t* end_;
    std::size_t piece_;
    TakePiece take_;
    void* ctx_;
    bool stopped_ = false;
};

// ---------------------------------------------------------------------------
// Values. All overloads are declared before the templates that use them.

void put_length(Writer& w, std::uint64_t v) {
    w.done(put_varint(w.room(MAX_VARINT), v));
}

void put(Writer& w, bool v) {
    std::uint8_t* p = w.room(1);
    *p = v ? std::uint8_t{0x01} : std::uint8_t{0x00};
    w.done(p + 1);
}
void put(Writer& w, std::uint64_t v) {
    put_length(w, v);
}
void put(Writer& w, double v) {
    w.done(put_double(w.room(DOUBLE), v));
}
void put(Writer& w, const std::string& v) {
    put_length(w, v.size());
    w.copy(reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
}

// The samples go in parts, each as many as fit the room left (a multiple of
// eight, for the kernel), so a run of any length passes through the buffer.
void put(Writer& w, const std::vector<std::int16_t>& v) {
    put_length(w, v.size());
    constexpr std::size_t SMALLEST_PART = 8 * MAX_SAMPLE + STORE_SLACK;
    static_assert(SMALLEST_PART <= HEADROOM);
    for (std::size_t i = 0; i < v.size() && !w.stopped();) {
        std::uint8_t* p = w.room(SMALLEST_PART);
        const std::size_t fit = (w.available() - STORE_SLACK) / MAX_SAMPLE / 8 * 8;
        const std::size_t n = std::min(v.size() - i, fit);
        w.done(put_samples(p, v.data() + i, n));
        i += n;
    }
}
void put(Writer& w, const signals::Signal& v);
void put(Writer& w, const std::vector<signals::Signal>& v);
template <describe::Described R>
void put(Writer& w, const R& r);

template <class T>
void put(Writer& w, const std::vector<T>& v) {
    put_length(w, v.size());
    for (const T& e : v) {
        put(w, e);
    }
}

template <class T, std::size_t N>
void put(Writer& w, const std::array<T, N>& v) {
    for (const T& e : v) {
        put(w, e);
    }
}

template <describe::Described R>
void put(Writer& w, const R& r) {
    describe::fields(r, [&w](std::string_view, const auto& f) { put(w, f); });
}

// ---------------------------------------------------------------------------
// Small signals: a protocol may hold millions of them, so their fields are
// stored straight into the buffer through a pointer, walked by the same
// descriptions.

std::uint8_t* put_scalar(std::uint8_t* p, double v) noexcept {
    return put_double(p, v);
}
std::uint8_t* put_scalar(std::uint8_t* p, std::uint64_t v) noexcept {
    return put_varint(p, v);
}

template <class T>
constexpr std::size_t scalar_bound() {
    return std::is_same_v<T, double> ? DOUBLE : MAX_VARINT;
}

// The most a record of scalar fields takes.
template <class R>
constexpr std::size_t fields_bound() {
    return std::apply(
        [](const auto&... f) {
            return (scalar_bound<std::remove_cvref_t<decltype(std::declval<R>().*(f.member))>>() +
                    ... + 0);
        },
        describe::Description<R>::fields);
}

// The most a signal other than Arbitrary takes: its tag and fields.
constexpr std::size_t SMALL_SIGNAL_BOUND = 1 + std::max({
                                                   fields_bound<signals::ConstantSignalParams>(),
                                                   fields_bound<signals::SineSignalParams>(),
                                                   fields_bound<signals::RampSignalParams>(),
                                                   fields_bound<signals::MixedSignalParams>(),
                                               });
static_assert(SMALL_SIGNAL_BOUND <= HEADROOM);

// A signal other than Arbitrary at p; returns the end.
std::uint8_t* put_small_signal(std::uint8_t* p, const signals::Signal& v) noexcept {
    p = put_varint(p, v.index());
    std::visit(
        [&p](const auto& params) {
            using T = std::decay_t<decltype(params)>;
            if constexpr (!std::is_same_v<T, signals::ArbitrarySignalParams>) {
                describe::fields(params,
                                 [&p](std::string_view, const auto& f) { p = put_scalar(p, f); });
            }
        },
        v);
    return p;
}

void put(Writer& w, const signals::Signal& v) {
    if (const auto* arbitrary = std::get_if<signals::ArbitrarySignalParams>(&v)) {
        put_length(w, v.index());
        put(w, *arbitrary);
        return;
    }
    w.done(put_small_signal(w.room(SMALL_SIGNAL_BOUND), v));
}

void put(Writer& w, const std::vector<signals::Signal>& v) {
    put_length(w, v.size());
    for (const auto& sig : v) {
        if (w.stopped()) return;
        put(w, sig);
    }
}

// ---------------------------------------------------------------------------
// An upper bound of the encoded size, walked like the encoding but never
// over the samples, nor into a small signal (each takes at most
// SMALL_SIGNAL_BOUND). The walk stops early once the sum reaches `cap`:
// sizing a buffer of at most `cap` bytes then costs no walk over a million
// signals.

struct Bound {
    std::size_t n = 0;
    std::size_t cap = SIZE_MAX;
    bool reached() const noexcept { return n >= cap; }
};

void add(Bound& b, bool) {
    b.n += 1;
}
void add(Bound& b, std::uint64_t) {
    b.n += MAX_VARINT;
}
void add(Bound& b, double) {
    b.n += DOUBLE;
}
void add(Bound& b, const std::string& v) {
    b.n += MAX_VARINT + v.size();
}
void add(Bound& b, const std::vector<std::int16_t>& v) {
    b.n += MAX_VARINT + v.size() * MAX_SAMPLE + STORE_SLACK;
}
void add(Bound& b, const signals::Signal& v);
void add(Bound& b, const std::vector<signals::Signal>& v);
template <describe::Described R>
void add(Bound& b, const R& r);

template <class T>
void add(Bound& b, const std::vector<T>& v) {
    b.n += MAX_VARINT;
    for (const T& e : v) {
        add(b, e);
    }
}

template <class T, std::size_t N>
void add(Bound& b, const std::array<T, N>& v) {
    for (const T& e : v) {
        add(b, e);
    }
}

template <describe::Described R>
void add(Bound& b, const R& r) {
    describe::fields(r, [&b](std::string_view, const auto& f) { add(b, f); });
}

void add(Bound& b, const signals::Signal& v) {
    b.n += SMALL_SIGNAL_BOUND;
    if (const auto* arbitrary = std::get_if<signals::ArbitrarySignalParams>(&v)) {
        add(b, *arbitrary);
    }
}

void add(Bound& b, const std::vector<signals::Signal>& v) {
    b.n += MAX_VARINT + v.size() * SMALL_SIGNAL_BOUND;
    for (const auto& sig : v) {
        if (b.reached()) return;
        if (const auto* arbitrary = std::get_if<signals::ArbitrarySignalParams>(&sig)) {
            add(b, *arbitrary);
        }
    }
}

// The bound of `v`'s encoding, or some size of at least `cap`.
template <class T>
std::size_t bound(const T& v, std::size_t cap = SIZE_MAX) {
    Bound b{0, cap};
    add(b, v);
    return b.n;
}

// Runs the walk of `v` into a buffer of its own, handing on its pieces.
// The buffer holds `piece` bytes or the whole encoding, whichever is less:
// glibc maps a block of 128 KiB or more afresh on every allocation and
// unmaps it on free, a page-fault loop for a save of a few hundred bytes.
template <class T>
void walk(const T& v, std::size_t piece, TakePiece take, void* ctx) {
    piece = std::max<std::size_t>(1, std::min(piece, bound(v, piece)));
    const auto buf = std::make_unique_for_overwrite<std::uint8_t[]>(piece + HEADROOM);
    Writer w(buf.get(), piece, take, ctx);
    put(w, v);
    w.flush();
}

// Appends what the walk of `v` yields to `out`.
template <class T>
void append_walk(Bytes& out, const T& v) {
    walk(
        v, APPEND_PIECE,
        [](void* ctx, const std::uint8_t* p, std::size_t n) {
            auto& o = *static_cast<Bytes*>(ctx);
            o.insert(o.end(), p, p + n);
            return true;
        },
        &out);
}

} // namespace

void append(Bytes& out, const lcsettings::LCSetting& v) {
    append_walk(out, v);
}
void append(Bytes& out, const lcsettings::Coil& v) {
    append_walk(out, v);
}
void append(Bytes& out, const machine_config::MachineConfig& v) {
    append_walk(out, v);
}
void append(Bytes& out, const signals::Signal& v) {
    append_walk(out, v);
}
void append(Bytes& out, const settings::SignalSourceSelection& v) {
    append_walk(out, v);
}
void append(Bytes& out, const settings::ChannelSettings& v) {
    append_walk(out, v);
}
void append(Bytes& out, const settings::Settings& v) {
    append_walk(out, v);
}

Bytes encode_settings(const settings::Settings& s) {
    Bytes out;
    out.reserve(bound(s)); // the one allocation: no append grows past it
    append_walk(out, s);
    return out;
}

void encode_settings_pieces(const settings::Settings& s, std::size_t piece, TakePiece take,
                            void* ctx) {
    walk(s, piece == 0 ? 1 : piece, take, ctx);
}

} // namespace protocols::encoding
