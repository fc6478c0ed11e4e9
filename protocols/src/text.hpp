#pragma once

#include "error.hpp"
#include "lcsettings.hpp"
#include "machine_config.hpp"
#include "settings.hpp"
#include "signals.hpp"

#include <string>

// The text form of the model: a multi-line (pretty) form and a single-line
// form of every record and enumeration. Pretty text never ends in a newline.
namespace protocols::text {

// Shortest round-trip digits, laid out in decimal or exponential form:
// "60.0", "1.5e-5", "1e16", "-0.0", "-inf", "NaN".
void append_double(std::string& out, double x);
std::string format_double(double x);

// The text with quotes and escapes, as a field of type text renders.
void append_quoted(std::string& out, std::string_view text);

// Pretty form of a whole protocol: "Protocol {\n    settings: Settings {..."
std::string pretty_protocol(const settings::Settings& s);

// Pretty forms of single values, at nesting depth 0.
std::string pretty(const settings::Settings& v);
std::string pretty(const machine_config::MachineConfig& v);
std::string pretty(const lcsettings::Coil& v);
std::string pretty(const lcsettings::LCSetting& v);
std::string pretty(const settings::ChannelSettings& v);
std::string pretty(const settings::SignalSourceSelection& v);
std::string pretty(const signals::Signal& v);
std::string pretty(error::VEXAError v);

// Single-line forms.
std::string line(const settings::Settings& v);
std::string line(const machine_config::MachineConfig& v);
std::string line(const lcsettings::Coil& v);
std::string line(const lcsettings::LCSetting& v);
std::string line(const settings::ChannelSettings& v);
std::string line(const settings::SignalSourceSelection& v);
std::string line(const signals::Signal& v);
std::string line(const signals::ConstantSignalParams& v);
std::string line(const signals::SineSignalParams& v);
std::string line(const signals::RampSignalParams& v);
std::string line(const signals::MixedSignalParams& v);
std::string line(const signals::ArbitrarySignalParams& v);
std::string line(error::VEXAError v);

} // namespace protocols::text
