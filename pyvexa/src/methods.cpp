// The methods of Protocol, one description each: the name, how `self` is
// borrowed, the parameters with their conversions, and the model call.
// Binding, the names in error messages and the text signatures all come
// from these (boundary/method.hpp); the stubs in pyvexa.pyi repeat them for
// editors, and a test holds the two together.
#include "boundary/method.hpp"
#include "enums.hpp"
#include "protocol.hpp"

#include <arbitrary_signal.hpp>
#include <config.hpp>
#include <settings.hpp>
#include <signals.hpp>

#include <cstdint>
#include <string_view>

namespace pyvexa {

namespace {

namespace settings = protocols::settings;
namespace signals = protocols::signals;
using settings::Settings;
using namespace boundary; // the parameter kinds, Method

// The class rule for the two enumerations: the model value of the member,
// read under a shared borrow of it that lasts until the call ends.
template <auto Convert, class Model>
struct EnumParam {
    std::string_view name;
    static Result<EnumArgument> convert(PyObject* obj, std::string_view name) noexcept {
        return Convert(obj, name);
    }
    static Model value(const EnumArgument& a) noexcept { return static_cast<Model>(a.variant); }
};

using CoilArg = EnumParam<&to_coil, settings::CoilPosition>;
using ChannelArg = EnumParam<&to_channel, settings::Channel>;

// Session configuration: each checks (where the model does) and writes.

constexpr Method set_stimulation_intensity{
    Exclusive{}, "set_stimulation_intensity",
    [](Settings& s, double intensity) { return settings::set_stimulation_intensity(s, intensity); },
    Double{"intensity"}};

constexpr Method set_session_duration{
    Exclusive{}, "set_session_duration",
    [](Settings& s, double duration) { return settings::set_session_duration(s, duration); },
    Double{"duration"}};

constexpr Method enable_channel{
    Exclusive{}, "enable_channel",
    [](Settings& s, settings::Channel channel) { settings::enable_channel(s, channel); },
    ChannelArg{"channel"}};

constexpr Method set_amplitude_source{
    Exclusive{},
    "set_amplitude_source",
    [](Settings& s, settings::CoilPosition coil, bool external, std::uint64_t index) {
        settings::set_amplitude_source(s, coil, external, index);
    },
    CoilArg{"coil"},
    Bool{"external"},
    U64{"index"}};

constexpr Method set_modulation_source{
    Exclusive{},
    "set_modulation_source",
    [](Settings& s, settings::Channel channel, bool external, std::uint64_t index) {
        settings::set_modulation_source(s, channel, external, index);
    },
    ChannelArg{"channel"},
    Bool{"external"},
    U64{"index"}};

// Signals: each appends one and returns its position.

constexpr Method add_constant_signal{Exclusive{}, "add_constant_signal",
                                     [](Settings& s, double value) {
                                         return settings::add_signal(
                                             s, signals::ConstantSignalParams{value});
                                     },
                                     Double{"value"}};

constexpr Method add_sine_signal{
    Exclusive{},
    "add_sine_signal",
    [](Settings& s, double amplitude, double frequency, double phase, double depth) {
        return settings::add_signal(s,
                                    signals::SineSignalParams{amplitude, frequency, phase, depth});
    },
    Double{"amplitude"},
    Double{"frequency"},
    Double{"phase"},
    Double{"depth"}};

constexpr Method add_ramp_signal{
    Exclusive{},
    "add_ramp_signal",
    [](Settings& s, double peak, double up, double down) {
        return settings::add_signal(s, signals::RampSignalParams{peak, up, down});
    },
    Double{"peak"},
    Double{"up_duration"},
    Double{"down_duration"}};

constexpr Method add_mixed_signal{
    Exclusive{}, "add_mixed_signal",
    [](Settings& s, std::uint64_t a, std::uint64_t b) {
        return settings::add_signal(s, signals::MixedSignalParams{a, b});
    },
    U64{"a_idx"}, U64{"b_idx"}};

// From the array's conversion to the append no Python code runs, so the
// array cannot change while the model reads it.
constexpr Method add_arbitrary_signal{
    Exclusive{}, "add_arbitrary_signal",
    [](Settings& s, DoubleVector samples) {
        return settings::add_arbitrary_signal(s, {samples.data, samples.stride, samples.length});
    },
    DoubleArray{"samples"}};

// Reading: get_num_samples only reads but takes the exclusive borrow all
// the same, as callers have always seen it do.

constexpr Method get_num_samples{Exclusive{}, "get_num_samples",
                                 [](Settings& s) { return settings::num_samples(s); }};

constexpr Method get_sampling_rate{Shared{}, "get_sampling_rate", [](const Settings&) {
                                       return protocols::config::SAMPLING_RATE;
                                   }};

} // namespace

// In the order that dir() and the stubs list them. Entries written by hand
// (save) stand among the described ones as plain PyMethodDef values.
PyMethodDef protocol_methods[] = {
    method_def<set_stimulation_intensity>(),
    method_def<set_session_duration>(),
    method_def<enable_channel>(),
    method_def<set_amplitude_source>(),
    method_def<set_modulation_source>(),
    method_def<add_constant_signal>(),
    method_def<add_sine_signal>(),
    method_def<add_ramp_signal>(),
    method_def<add_mixed_signal>(),
    method_def<add_arbitrary_signal>(),
    method_def<get_num_samples>(),
    method_def<get_sampling_rate>(),
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&save)),
     METH_FASTCALL | METH_KEYWORDS, "save($self, filepath)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace pyvexa
