#pragma once

// Builds an arbitrary Settings value from fuzz input. Every field takes any
// value its type allows (NaN payloads, negative zero, the largest u64, coil
// names that are not UTF-8, negative samples), not only what the Python
// operations produce: the encoder and the renderer must cope with all of it.

#include "describe.hpp"
#include "settings.hpp"

#include "provider.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace fuzzing {

// Upper bounds that keep one input fast while still reaching every code path
// (several coils, table rows, all five signal kinds, long sample runs).
inline constexpr std::size_t MAX_COILS = 4;
inline constexpr std::size_t MAX_ROWS = 4;
inline constexpr std::size_t MAX_CAPACITANCES = 8;
inline constexpr std::size_t MAX_SIGNALS = 12;
inline constexpr std::size_t MAX_SAMPLES = 3000;
inline constexpr std::size_t MAX_NAME = 40;

class SettingsSource {
  public:
    explicit SettingsSource(FuzzedDataProvider& in) : in_(in) {}

    bool boolean() { return in_.ConsumeBool(); }

    // Small values are the common case in real protocols and the varint
    // boundaries sit at multiples of 7 bits: pick a bit width first.
    std::uint64_t u64() {
        const unsigned bits = in_.ConsumeIntegralInRange<unsigned>(0, 64);
        if (bits == 0) {
            return 0;
        }
        const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
        return in_.ConsumeIntegral<std::uint64_t>() & mask;
    }

    // Any bit pattern, so NaN payloads and subnormals occur as often as
    // ordinary numbers.
    double f64() { return std::bit_cast<double>(in_.ConsumeIntegral<std::uint64_t>()); }

    std::size_t count(std::size_t max) { return in_.ConsumeIntegralInRange<std::size_t>(0, max); }

    std::string text(std::size_t max) { return in_.ConsumeRandomLengthString(max); }

    // Fills v from the input, field by field in the order of the records'
    // descriptions (the committed corpus depends on this order).
    void fill(bool& v) { v = boolean(); }
    void fill(std::uint64_t& v) { v = u64(); }
    void fill(double& v) { v = f64(); }
    void fill(std::int16_t& v) { v = in_.ConsumeIntegral<std::int16_t>(); }
    void fill(std::string& v) { v = text(MAX_NAME); }

    template <class T>
    void fill(std::vector<T>& v) {
        v.resize(count(max_elements<T>()));
        for (T& e : v) {
            fill(e);
        }
    }

    template <class T, std::size_t N>
    void fill(std::array<T, N>& v) {
        for (T& e : v) {
            fill(e);
        }
    }

    template <protocols::describe::Described R>
    void fill(R& r) {
        protocols::describe::fields(r, [this](std::string_view, auto& f) { this->fill(f); });
    }

    void fill(protocols::signals::Signal& v) {
        constexpr std::size_t kinds = std::variant_size_v<protocols::signals::Signal>;
        v = make_signal(static_cast<std::size_t>(
                            in_.ConsumeIntegralInRange<int>(0, static_cast<int>(kinds) - 1)),
                        std::make_index_sequence<kinds>{});
        std::visit([this](auto& params) { fill(params); }, v);
    }

    protocols::settings::Settings settings() {
        protocols::settings::Settings s;
        fill(s);
        return s;
    }

  private:
    template <class T>
    static constexpr std::size_t max_elements() {
        namespace p = protocols;
        if constexpr (std::is_same_v<T, p::lcsettings::Coil>) {
            return MAX_COILS;
        } else if constexpr (std::is_same_v<T, p::lcsettings::LCSetting>) {
            return MAX_ROWS;
        } else if constexpr (std::is_same_v<T, double>) {
            return MAX_CAPACITANCES;
        } else if constexpr (std::is_same_v<T, p::signals::Signal>) {
            return MAX_SIGNALS;
        } else {
            static_assert(std::is_same_v<T, std::int16_t>);
            return MAX_SAMPLES;
        }
    }

    // The signal variant of index i, default-constructed.
    template <std::size_t... I>
    static protocols::signals::Signal make_signal(std::size_t i, std::index_sequence<I...>) {
        protocols::signals::Signal s;
        ((i == I ? static_cast<void>(s.template emplace<I>()) : static_cast<void>(0)), ...);
        return s;
    }

    FuzzedDataProvider& in_;
};

} // namespace fuzzing
