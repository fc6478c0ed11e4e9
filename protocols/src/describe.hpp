#pragma once

#include "lcsettings.hpp"
#include "machine_config.hpp"
#include "settings.hpp"
#include "signals.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>

// One description of every record of the model: its name and its fields in
// the order of the text form and of the protocol file. The text form, the
// encoding, its size bound and the fuzz generator and comparer all walk
// these, so adding or moving a field is one edit here (and in the oracles
// that check it independently: the test decoder in fuzz/decoder.hpp, the
// viewer in tools/ and the reference files in testdata/).
//
// A field is a name and a member pointer, known at compile time: a walk
// over a record unrolls into plain member accesses (no table look-up, no
// indirect call).
namespace protocols::describe {

template <class Record, class T>
struct Field {
    std::string_view name;
    T Record::*member;
};

// Specialised for every record: `name` and `fields` (a tuple of Field).
template <class Record>
struct Description;

template <class T>
concept Described = requires {
    Description<std::remove_const_t<T>>::fields;
};

template <>
struct Description<lcsettings::LCSetting> {
    using R = lcsettings::LCSetting;
    static constexpr std::string_view name = "LCSetting";
    static constexpr std::tuple fields{
        Field{"capacitance", &R::capacitance},
        Field{"carrier_frequency", &R::carrier_frequency},
        Field{"clk_ticks_per_sample", &R::clk_ticks_per_sample},
        Field{"capacitor_bank_setting", &R::capacitor_bank_setting},
    };
};

template <>
struct Description<lcsettings::Coil> {
    using R = lcsettings::Coil;
    static constexpr std::string_view name = "Coil";
    static constexpr std::tuple fields{
        Field{"name", &R::name},
        Field{"inductance", &R::inductance},
        Field{"max_current", &R::max_current},
        Field{"max_carrier_frequency", &R::max_carrier_frequency},
        Field{"settings", &R::settings},
    };
};

template <>
struct Description<machine_config::MachineConfig> {
    using R = machine_config::MachineConfig;
    static constexpr std::string_view name = "MachineConfig";
    static constexpr std::tuple fields{
        Field{"supply_voltage", &R::supply_voltage},
        Field{"num_coils", &R::num_coils},
        Field{"coils", &R::coils},
        Field{"capacitors", &R::capacitors},
        Field{"possible_capacitances", &R::possible_capacitances},
        Field{"num_external_signal_sources", &R::num_external_signal_sources},
        Field{"smbus_psu_connected", &R::smbus_psu_connected},
        Field{"num_temperature_sensors", &R::num_temperature_sensors},
        Field{"num_flow_rate_sensors", &R::num_flow_rate_sensors},
        Field{"safety_checks_enabled", &R::safety_checks_enabled},
        Field{"max_intensity_setpoint", &R::max_intensity_setpoint},
        Field{"max_current", &R::max_current},
        Field{"max_carrier_frequency", &R::max_carrier_frequency},
        Field{"max_temperature", &R::max_temperature},
        Field{"min_flowrate", &R::min_flowrate},
        Field{"max_power", &R::max_power},
    };
};

template <>
struct Description<signals::ConstantSignalParams> {
    using R = signals::ConstantSignalParams;
    static constexpr std::string_view name = "ConstantSignalParams";
    static constexpr std::tuple fields{Field{"value", &R::value}};
};

template <>
struct Description<signals::SineSignalParams> {
    using R = signals::SineSignalParams;
    static constexpr std::string_view name = "SineSignalParams";
    static constexpr std::tuple fields{
        Field{"amplitude", &R::amplitude},
        Field{"frequency", &R::frequency},
        Field{"phase", &R::phase},
        Field{"depth", &R::depth},
    };
};

template <>
struct Description<signals::RampSignalParams> {
    using R = signals::RampSignalParams;
    static constexpr std::string_view name = "RampSignalParams";
    static constexpr std::tuple fields{
        Field{"peak", &R::peak},
        Field{"up_duration", &R::up_duration},
        Field{"down_duration", &R::down_duration},
    };
};

template <>
struct Description<signals::MixedSignalParams> {
    using R = signals::MixedSignalParams;
    static constexpr std::string_view name = "MixedSignalParams";
    static constexpr std::tuple fields{Field{"a_idx", &R::a_idx}, Field{"b_idx", &R::b_idx}};
};

template <>
struct Description<signals::ArbitrarySignalParams> {
    using R = signals::ArbitrarySignalParams;
    static constexpr std::string_view name = "ArbitrarySignalParams";
    static constexpr std::tuple fields{Field{"samples", &R::samples}};
};

template <>
struct Description<settings::SignalSourceSelection> {
    using R = settings::SignalSourceSelection;
    static constexpr std::string_view name = "SignalSourceSelection";
    static constexpr std::tuple fields{
        Field{"internal", &R::internal},
        Field{"external", &R::external},
        Field{"external_selected", &R::external_selected},
    };
};

template <>
struct Description<settings::ChannelSettings> {
    using R = settings::ChannelSettings;
    static constexpr std::string_view name = "ChannelSettings";
    static constexpr std::tuple fields{
        Field{"enabled", &R::enabled},
        Field{"amplitude1_source", &R::amplitude1_source},
        Field{"amplitude2_source", &R::amplitude2_source},
        Field{"modulation_source", &R::modulation_source},
        Field{"coil_idx", &R::coil_idx},
        Field{"coil_setting_idx", &R::coil_setting_idx},
    };
};

template <>
struct Description<settings::Settings> {
    using R = settings::Settings;
    static constexpr std::string_view name = "Settings";
    static constexpr std::tuple fields{
        Field{"running_on_target_machine", &R::running_on_target_machine},
        Field{"machine_config", &R::machine_config},
        Field{"intensity", &R::intensity},
        Field{"session_duration", &R::session_duration},
        Field{"signals", &R::signals},
        Field{"channel_a_settings", &R::channel_a_settings},
        Field{"channel_b_settings", &R::channel_b_settings},
        Field{"monitor_trace_visible", &R::monitor_trace_visible},
    };
};

template <Described R>
inline constexpr std::string_view name_of = Description<std::remove_const_t<R>>::name;

// Calls v(name, field) for every field of r, in order; the field is const
// when r is.
template <Described R, class V>
constexpr void fields(R& r, V&& v) {
    std::apply([&](const auto&... f) { (v(f.name, r.*(f.member)), ...); },
               Description<std::remove_const_t<R>>::fields);
}

// Calls v(name, a_field, b_field) for every field of two records of one type.
template <Described R, class V>
constexpr void fields(const R& a, const R& b, V&& v) {
    std::apply([&](const auto&... f) { (v(f.name, a.*(f.member), b.*(f.member)), ...); },
               Description<std::remove_const_t<R>>::fields);
}

} // namespace protocols::describe
