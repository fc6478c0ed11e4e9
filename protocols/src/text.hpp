#pragma once

#include "error.hpp"
#include "lcsettings.hpp"
#include "machine_config.hpp"
#include "settings.hpp"
#include "signals.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// The same text, measured before it is written, so that it can go straight
// into memory of exactly its size that the caller provides (a new Python
// str, say) without a second full copy. Everything but the samples of
// arbitrary signals is rendered on construction; the sample lines, nearly
// all of a large text, are counted then and written by write(). The
// settings must outlive this object and stay unchanged.
class ProtocolText {
  public:
    explicit ProtocolText(const settings::Settings& s);

    std::size_t size() const noexcept { return size_; }
    // True when every byte is below 0x80 (sample lines always are).
    bool is_ascii() const noexcept;
    // Writes exactly size() bytes to out: the text of pretty_protocol().
    void write(char* out) const noexcept;

    // Where the lines of one sample list go; filled in while rendering.
    struct SampleRun {
        std::size_t at; // offset in the rest of the text
        std::size_t indent;
        const std::vector<std::int16_t>* samples;
    };

  private:
    std::string head_; // the text without the sample lines
    std::vector<SampleRun> runs_;
    std::size_t size_ = 0;
};

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
