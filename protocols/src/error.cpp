#include "error.hpp"
#include "failure_texts.hpp"

#include <array>

namespace protocols::error {

std::string_view name(VEXAError e) noexcept {
    static constexpr std::array<std::string_view, 11> names = {
        "OverCoilCurrent", "OverSupplyPower", "OverTemperature", "Underflow",
        "SPIError",        "GPIOError",       "I2cError",        "TCPError",
        "ConfigError",     "ProtocolError",   "Unintialized",
    };
    auto i = static_cast<std::size_t>(e);
    return i < names.size() ? names[i] : std::string_view{};
}

Failure unwrap_failure(std::string_view debug_form) {
    constexpr std::string_view prefix = texts::UNWRAP_PREFIX;
    Failure f;
    f.message.reserve(prefix.size() + debug_form.size());
    f.message.append(prefix).append(debug_form);
    return f;
}

} // namespace protocols::error
