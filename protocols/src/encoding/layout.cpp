// The record layout of the protocol file: every record's fields in the
// order of its description, back to back. Lists carry their length first;
// fixed-size arrays do not. Signals are their variant index, then the
// variant's fields.

#include "encoding/layout.hpp"

#include "describe.hpp"
#include "encoding/samples.hpp"
#include "huge_pages.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace protocols::encoding {

namespace {

constexpr std::size_t MAX_VARINT = 10;
constexpr std::size_t DOUBLE = 8;

// ---------------------------------------------------------------------------
// Values. All overloads are declared before the templates that use them.

void put(Bytes& out, bool v) {
    append_bool(out, v);
}
void put(Bytes& out, std::uint64_t v) {
    append_varint(out, v);
}
void put(Bytes& out, double v) {
    append_double(out, v);
}
void put(Bytes& out, const std::string& v) {
    append_string(out, v);
}
void put(Bytes& out, const std::vector<std::int16_t>& v) {
    append_samples(out, v);
}
void put(Bytes& out, const signals::Signal& v);
void put(Bytes& out, const std::vector<signals::Signal>& v);
template <describe::Described R>
void put(Bytes& out, const R& r);

template <class T>
void put(Bytes& out, const std::vector<T>& v) {
    append_length(out, v.size());
    for (const T& e : v) {
        put(out, e);
    }
}

template <class T, std::size_t N>
void put(Bytes& out, const std::array<T, N>& v) {
    for (const T& e : v) {
        put(out, e);
    }
}

template <describe::Described R>
void put(Bytes& out, const R& r) {
    describe::fields(r, [&out](std::string_view, const auto& f) { put(out, f); });
}

// ---------------------------------------------------------------------------
// Small signals: a protocol may hold millions of them, so their fields are
// stored through a pointer into a scratch area, walked by the same
// descriptions, and the area is appended with one copy.

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

void put(Bytes& out, const signals::Signal& v) {
    if (const auto* arbitrary = std::get_if<signals::ArbitrarySignalParams>(&v)) {
        append_varint(out, v.index());
        put(out, *arbitrary);
        return;
    }
    std::uint8_t scratch[SMALL_SIGNAL_BOUND];
    out.insert(out.end(), scratch, put_small_signal(scratch, v));
}

// The signal list: runs of small signals go through one scratch area.
void put(Bytes& out, const std::vector<signals::Signal>& v) {
    append_length(out, v.size());
    std::uint8_t run[4096];
    std::uint8_t* p = run;
    for (const auto& sig : v) {
        if (std::holds_alternative<signals::ArbitrarySignalParams>(sig)) {
            out.insert(out.end(), run, p);
            p = run;
            put(out, sig);
            continue;
        }
        if (static_cast<std::size_t>(run + sizeof run - p) < SMALL_SIGNAL_BOUND) {
            out.insert(out.end(), run, p);
            p = run;
        }
        p = put_small_signal(p, sig);
    }
    out.insert(out.end(), run, p);
}

// ---------------------------------------------------------------------------
// An upper bound of the encoded size, walked like the encoding but never
// over the samples, so that the file is encoded with one allocation.

std::size_t bound(bool) {
    return 1;
}
std::size_t bound(std::uint64_t) {
    return MAX_VARINT;
}
std::size_t bound(double) {
    return DOUBLE;
}
std::size_t bound(const std::string& v) {
    return MAX_VARINT + v.size();
}
std::size_t bound(const std::vector<std::int16_t>& v) {
    return MAX_VARINT + v.size() * MAX_SAMPLE + STORE_SLACK;
}
std::size_t bound(const std::vector<double>& v) {
    return MAX_VARINT + v.size() * DOUBLE;
}
std::size_t bound(const signals::Signal& v);
template <describe::Described R>
std::size_t bound(const R& r);

template <class T>
std::size_t bound(const std::vector<T>& v) {
    std::size_t n = MAX_VARINT;
    for (const T& e : v) {
        n += bound(e);
    }
    return n;
}

template <class T, std::size_t N>
std::size_t bound(const std::array<T, N>& v) {
    std::size_t n = 0;
    for (const T& e : v) {
        n += bound(e);
    }
    return n;
}

template <describe::Described R>
std::size_t bound(const R& r) {
    std::size_t n = 0;
    describe::fields(r, [&n](std::string_view, const auto& f) { n += bound(f); });
    return n;
}

std::size_t bound(const signals::Signal& v) {
    return 1 + std::visit([](const auto& params) { return bound(params); }, v);
}

} // namespace

void append(Bytes& out, const lcsettings::LCSetting& v) {
    put(out, v);
}
void append(Bytes& out, const lcsettings::Coil& v) {
    put(out, v);
}
void append(Bytes& out, const machine_config::MachineConfig& v) {
    put(out, v);
}
void append(Bytes& out, const signals::Signal& v) {
    put(out, v);
}
void append(Bytes& out, const settings::SignalSourceSelection& v) {
    put(out, v);
}
void append(Bytes& out, const settings::ChannelSettings& v) {
    put(out, v);
}
void append(Bytes& out, const settings::Settings& v) {
    put(out, v);
}

Bytes encode_settings(const settings::Settings& s) {
    Bytes out;
    out.reserve(bound(s)); // the one allocation: no append grows past it
    advise_huge_pages(out.data(), out.capacity());
    put(out, s);
    return out;
}

} // namespace protocols::encoding
