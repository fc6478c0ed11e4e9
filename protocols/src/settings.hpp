#pragma once

#include "error.hpp"
#include "machine_config.hpp"
#include "signals.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <vector>

namespace protocols::settings {

// Where a channel takes one of its signals from.
struct SignalSourceSelection {
    std::uint64_t internal = 0; // position in Settings::signals
    std::uint64_t external = 0; // external input of the device
    bool external_selected = false;
};

struct ChannelSettings {
    bool enabled = false;
    SignalSourceSelection amplitude1_source;
    SignalSourceSelection amplitude2_source;
    SignalSourceSelection modulation_source;
    std::uint64_t coil_idx = 0;
    std::uint64_t coil_setting_idx = 0;
};

// The whole content of a protocol. Field order is the order of the text form
// and of the protocol file (note: intensity before session_duration).
struct Settings {
    bool running_on_target_machine = false;
    machine_config::MachineConfig machine_config;
    double intensity = 0.0;
    double session_duration = 0.0;
    std::vector<signals::Signal> signals;
    ChannelSettings channel_a_settings;
    ChannelSettings channel_b_settings;
    std::array<bool, 16> monitor_trace_visible{};
};

// The name of the environment variable that marks the target machine.
inline constexpr const char* TARGET_MACHINE_VARIABLE = "VEXA_TARGET_MACHINE";

// True when VEXA_TARGET_MACHINE is present and its value is valid UTF-8.
// Read afresh on every call.
bool running_on_target_machine();

// The default protocol content: one Constant 0.0 signal, 60 s, channel A on.
Settings default_settings();
// The same without the signal: what a new protocol starts from.
Settings default_settings_without_signals();

// The four coil positions and two channels that sources are routed to.
enum class CoilPosition : std::uint8_t { A1 = 0, A2 = 1, B1 = 2, B2 = 3 };
enum class Channel : std::uint8_t { A = 0, B = 1 };

// ceil(session_duration * 5000.0), saturated to u64. Fails when the duration
// is not above 0.0 (NaN included).
std::expected<std::uint64_t, error::Failure> num_samples(const Settings& s);

// Checked setters: on failure nothing is written.
std::expected<void, error::Failure> set_session_duration(Settings& s, double duration);
// (Inline: scripts call it once per pulse; the failure is made out of line.)
inline bool is_valid_intensity(double intensity) noexcept {
    return intensity >= 0.0 && intensity <= 1.0; // NaN is not
}
[[gnu::cold]] std::unexpected<error::Failure> intensity_failure();
inline std::expected<void, error::Failure> set_stimulation_intensity(Settings& s,
                                                                     double intensity) {
    if (!is_valid_intensity(intensity)) [[unlikely]]
        return intensity_failure();
    s.intensity = intensity;
    return {};
}

void enable_channel(Settings& s, Channel channel) noexcept;
void set_amplitude_source(Settings& s, CoilPosition coil, bool external,
                          std::uint64_t index) noexcept;
void set_modulation_source(Settings& s, Channel channel, bool external,
                           std::uint64_t index) noexcept;

// Appends a signal and returns its position (the list's length before).
std::uint64_t add_signal(Settings& s, signals::Signal signal);

// Puts the default Constant 0.0 signal into an empty signal list; a
// non-empty list is left alone. Saving does this before it encodes.
void fill_empty_signals(Settings& s);

} // namespace protocols::settings
