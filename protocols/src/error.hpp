#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace protocols::error {

// Error enumeration of the model library. Only ConfigError is ever produced;
// the others exist because files and devices know them by number.
enum class VEXAError : std::uint8_t {
    OverCoilCurrent = 0,
    OverSupplyPower = 1,
    OverTemperature = 2,
    Underflow = 3,
    SPIError = 4,
    GPIOError = 5,
    I2cError = 6,
    TCPError = 7,
    ConfigError = 8,
    ProtocolError = 9,
    Unintialized = 10, // spelled as the device spells it
};

// The variant's name, which is its whole text form.
std::string_view name(VEXAError e) noexcept;

// A failed check inside an operation: the text that the caller reports,
// e.g. "assertion failed: duration >= 0.01".
struct Failure {
    std::string message;
};

// "called `Result::unwrap()` on an `Err` value: " followed by `debug_form`.
Failure unwrap_failure(std::string_view debug_form);

// Thrown where the model cannot continue without a value it failed to get
// (an unwrap of an error that its fixed inputs rule out). The module turns
// it into its failure exception with what() as the message.
class Panic : public std::runtime_error {
  public:
    explicit Panic(const Failure& f) : std::runtime_error(f.message) {}
};

} // namespace protocols::error
