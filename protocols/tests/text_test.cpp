// The text form of the model: the golden text of a fresh
// protocol, the five signal variants, the single-line forms and the escapes
// of text.

#include "testdata.hpp"
#include "text.hpp"
#include "text_forms.hpp"

#include "lcsettings.hpp"
#include "machine_config.hpp"
#include "settings.hpp"
#include "signals.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace text = protocols::text;
using protocols::error::VEXAError;
using protocols::lcsettings::Coil;
using protocols::lcsettings::LCSetting;
using protocols::machine_config::MachineConfig;
using protocols::settings::ChannelSettings;
using protocols::settings::Settings;
using protocols::settings::SignalSourceSelection;
using namespace protocols::signals;

// The reference text of a freshly constructed protocol (signals empty,
// running_on_target_machine false): 103 lines, 3062 bytes.
const std::string GOLDEN = read_testdata("fresh_protocol.txt");

// The reference `signals` lines of a protocol holding one signal of each
// variant, at their indentation inside the Settings text.
const std::string FIVE_SIGNALS = read_testdata("five_signals.txt");

std::size_t count_lines(std::string_view s) {
    return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')) + 1;
}

std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (;;) {
        const auto nl = s.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back(s.substr(start));
            return lines;
        }
        lines.push_back(s.substr(start, nl - start));
        start = nl + 1;
    }
}

// `text` with its one occurrence of `from` replaced by `to`.
std::string replace_once(std::string_view text, std::string_view from, std::string_view to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string_view::npos) << from;
    EXPECT_EQ(text.find(from, at + 1), std::string_view::npos) << from;
    std::string out(text.substr(0, at));
    out.append(to);
    out.append(text.substr(at + from.size()));
    return out;
}

// Lines first..last (1-based, inclusive) of `text`, each with `strip`
// leading characters removed, joined by newlines.
std::string excerpt(std::string_view text, std::size_t first, std::size_t last, std::size_t strip) {
    const auto lines = split_lines(text);
    std::string out;
    for (std::size_t i = first; i <= last; ++i) {
        out.append(lines.at(i - 1).substr(strip));
        if (i != last) {
            out.push_back('\n');
        }
    }
    return out;
}

// The fresh protocol's settings, built field by field from the documented defaults
// rather than by default_settings(), so that the rendering is checked on its own.
Settings hand_built_fresh_settings() {
    Settings s;
    s.running_on_target_machine = false;
    MachineConfig& m = s.machine_config;
    m.supply_voltage = 80.0;
    m.num_coils = 2;
    m.coils.push_back(
        Coil{"Default", 150.0, 0.1, 40.0, {LCSetting{330.0, 22.624434389140273, 221, 1}}});
    m.capacitors = {330.0};
    m.possible_capacitances = {330.0};
    m.num_external_signal_sources = 6;
    m.smbus_psu_connected = false;
    m.num_temperature_sensors = 0;
    m.num_flow_rate_sensors = 0;
    m.safety_checks_enabled = true;
    m.max_intensity_setpoint = 0.3;
    m.max_current = 0.5;
    m.max_carrier_frequency = 40.0;
    m.max_temperature = 40.0;
    m.min_flowrate = 70.0;
    m.max_power = 520.0;
    s.intensity = 0.0;
    s.session_duration = 60.0;
    s.channel_a_settings.enabled = true;
    s.channel_b_settings.enabled = false;
    return s;
}

// A fresh protocol's settings as Protocol() makes them: the default, with
// the signal list emptied.
Settings fresh_settings(bool on_target_machine) {
    Settings s = protocols::settings::default_settings();
    s.signals.clear();
    s.running_on_target_machine = on_target_machine;
    return s;
}

std::vector<Signal> five_signals() {
    return {
        SineSignalParams{1.0, 10.0, 0.0, 0.5},
        RampSignalParams{1.0, 0.25, 2e-5},
        ConstantSignalParams{0.5},
        MixedSignalParams{0, 1},
        ArbitrarySignalParams{{0, 16384, 32767}},
    };
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// ---------------------------------------------------------------------------
// Golden text of a fresh protocol.

TEST(TextGolden, TheDesignTextIsWhatTheDesignSays) {
    EXPECT_EQ(GOLDEN.size(), 3062u);
    EXPECT_EQ(count_lines(GOLDEN), 103u);
    EXPECT_EQ(GOLDEN.back(), '}');
}

TEST(TextGolden, FreshProtocol) {
    const std::string t = text::pretty_protocol(fresh_settings(false));
    EXPECT_EQ(t, GOLDEN);
    EXPECT_EQ(t.size(), 3062u);
    EXPECT_EQ(count_lines(t), 103u);
    EXPECT_NE(t.back(), '\n');
}

TEST(TextGolden, FreshProtocolOnTargetMachine) {
    const std::string t = text::pretty_protocol(fresh_settings(true));
    const std::string want = replace_once(GOLDEN, "        running_on_target_machine: false,\n",
                                          "        running_on_target_machine: true,\n");
    EXPECT_EQ(t, want);
    const auto got_lines = split_lines(t);
    const auto golden_lines = split_lines(GOLDEN);
    ASSERT_EQ(got_lines.size(), 103u);
    for (std::size_t i = 0; i < got_lines.size(); ++i) {
        if (i == 2) {
            EXPECT_EQ(got_lines[i], "        running_on_target_machine: true,");
        } else {
            EXPECT_EQ(got_lines[i], golden_lines[i]) << "line " << i + 1;
        }
    }
}

// The flag as default_settings() takes it from VEXA_TARGET_MACHINE.
TEST(TextGolden, FreshProtocolFollowsTheEnvironment) {
    {
        ScopedEnv env(protocols::settings::TARGET_MACHINE_VARIABLE, nullptr);
        Settings s = protocols::settings::default_settings();
        s.signals.clear();
        EXPECT_EQ(text::pretty_protocol(s), GOLDEN);
    }
    {
        ScopedEnv env(protocols::settings::TARGET_MACHINE_VARIABLE, "");
        Settings s = protocols::settings::default_settings();
        s.signals.clear();
        EXPECT_EQ(split_lines(text::pretty_protocol(s)).at(2),
                  "        running_on_target_machine: true,");
    }
}

TEST(TextGolden, HandBuiltFreshSettings) {
    EXPECT_EQ(text::pretty_protocol(hand_built_fresh_settings()), GOLDEN);
}

// default_settings() itself holds one Constant 0.0 signal.
TEST(TextGolden, DefaultSettingsWithItsOneSignal) {
    Settings s = fresh_settings(false);
    s.signals.push_back(ConstantSignalParams{0.0});
    const std::string want = replace_once(GOLDEN, "        signals: [],\n",
                                          "        signals: [\n"
                                          "            Constant(\n"
                                          "                ConstantSignalParams {\n"
                                          "                    value: 0.0,\n"
                                          "                },\n"
                                          "            ),\n"
                                          "        ],\n");
    EXPECT_EQ(text::pretty_protocol(s), want);
}

// pretty(Settings) is the same text one level shallower, without the
// Protocol wrapper.
TEST(TextGolden, PrettySettingsAtDepthZero) {
    std::string want = "Settings {\n" + excerpt(GOLDEN, 3, 101, 4) + "\n}";
    EXPECT_EQ(text::pretty(fresh_settings(false)), want);
}

TEST(TextGolden, PrettyMachineConfigAtDepthZero) {
    std::string want = "MachineConfig {\n" + excerpt(GOLDEN, 5, 39, 8) + "\n}";
    EXPECT_EQ(text::pretty(protocols::machine_config::default_machine_config()), want);
}

TEST(TextGolden, PrettyCoilAtDepthZero) {
    std::string want = "Coil {\n" + excerpt(GOLDEN, 9, 20, 16) + "\n}";
    EXPECT_EQ(text::pretty(protocols::lcsettings::default_coil()), want);
}

TEST(TextGolden, PrettyChannelSettingsAtDepthZero) {
    const Settings s = fresh_settings(false);
    EXPECT_EQ(text::pretty(s.channel_a_settings),
              "ChannelSettings {\n" + excerpt(GOLDEN, 45, 62, 8) + "\n}");
    EXPECT_EQ(text::pretty(s.channel_b_settings),
              "ChannelSettings {\n" + excerpt(GOLDEN, 65, 82, 8) + "\n}");
}

// ---------------------------------------------------------------------------
// Signals.

TEST(TextSignals, FiveVariantsInsideSettings) {
    Settings s = fresh_settings(false);
    s.signals = five_signals();
    std::string block(FIVE_SIGNALS);
    block.push_back('\n');
    const std::string want = replace_once(GOLDEN, "        signals: [],\n", block);
    const std::string t = text::pretty_protocol(s);
    EXPECT_EQ(t, want);
    EXPECT_EQ(count_lines(t), 103u - 1u + count_lines(FIVE_SIGNALS));
    EXPECT_NE(t.find(FIVE_SIGNALS), std::string::npos);
}

struct PrettyCase {
    const char* name;
    std::function<std::string()> render;
    std::string expected;
};

void PrintTo(const PrettyCase& c, std::ostream* os) {
    *os << c.name;
}

class TextPretty : public ::testing::TestWithParam<PrettyCase> {};

TEST_P(TextPretty, Renders) {
    const PrettyCase& c = GetParam();
    EXPECT_EQ(c.render(), c.expected);
}

std::string pretty_signal(Signal s) {
    return text::pretty(s);
}

const PrettyCase PRETTY_CASES[] = {
    {"Sine",
     [] {
         return pretty_signal(SineSignalParams{1.0, 10.0, 0.0, 0.5});
     },
     "Sine(\n"
     "    SineSignalParams {\n"
     "        amplitude: 1.0,\n"
     "        frequency: 10.0,\n"
     "        phase: 0.0,\n"
     "        depth: 0.5,\n"
     "    },\n"
     ")"},
    {"Ramp",
     [] {
         return pretty_signal(RampSignalParams{1.0, 0.25, 2e-5});
     },
     "Ramp(\n"
     "    RampSignalParams {\n"
     "        peak: 1.0,\n"
     "        up_duration: 0.25,\n"
     "        down_duration: 2e-5,\n"
     "    },\n"
     ")"},
    {"Constant", [] { return pretty_signal(ConstantSignalParams{-0.0}); },
     "Constant(\n"
     "    ConstantSignalParams {\n"
     "        value: -0.0,\n"
     "    },\n"
     ")"},
    {"MixedSignal",
     [] {
         return pretty_signal(MixedSignalParams{18446744073709551615u, 7});
     },
     "MixedSignal(\n"
     "    MixedSignalParams {\n"
     "        a_idx: 18446744073709551615,\n"
     "        b_idx: 7,\n"
     "    },\n"
     ")"},
    {"Arbitrary",
     [] {
         return pretty_signal(ArbitrarySignalParams{{0, 16384, 32767, -32768}});
     },
     "Arbitrary(\n"
     "    ArbitrarySignalParams {\n"
     "        samples: [\n"
     "            0,\n"
     "            16384,\n"
     "            32767,\n"
     "            -32768,\n"
     "        ],\n"
     "    },\n"
     ")"},
    {"ArbitraryEmpty", [] { return pretty_signal(ArbitrarySignalParams{}); },
     "Arbitrary(\n"
     "    ArbitrarySignalParams {\n"
     "        samples: [],\n"
     "    },\n"
     ")"},
    {"LCSetting",
     [] {
         return text::pretty(LCSetting{330.0, 22.624434389140273, 221, 1});
     },
     "LCSetting {\n"
     "    capacitance: 330.0,\n"
     "    carrier_frequency: 22.624434389140273,\n"
     "    clk_ticks_per_sample: 221,\n"
     "    capacitor_bank_setting: 1,\n"
     "}"},
    {"SignalSourceSelection",
     [] {
         return text::pretty(SignalSourceSelection{0, 5, true});
     },
     "SignalSourceSelection {\n"
     "    internal: 0,\n"
     "    external: 5,\n"
     "    external_selected: true,\n"
     "}"},
    {"ConfigError", [] { return text::pretty(VEXAError::ConfigError); }, "ConfigError"},
    {"CoilWithEmptyTable",
     [] {
         return text::pretty(Coil{"", -1.0, 1e-5, 1e16, {}});
     },
     "Coil {\n"
     "    name: \"\",\n"
     "    inductance: -1.0,\n"
     "    max_current: 1e-5,\n"
     "    max_carrier_frequency: 1e16,\n"
     "    settings: [],\n"
     "}"},
};

INSTANTIATE_TEST_SUITE_P(Text, TextPretty, ::testing::ValuesIn(PRETTY_CASES),
                         [](const ::testing::TestParamInfo<PrettyCase>& info) {
                             return std::string(info.param.name);
                         });

// An arbitrary signal renders one line per sample; checked against a naive
// construction of the same text.
TEST(TextSignals, ArbitrarySignalOneLinePerSample) {
    constexpr std::size_t N = 100'000;
    ArbitrarySignalParams a;
    a.samples.reserve(N);
    for (std::size_t i = 0; i < N; ++i) {
        a.samples.push_back(static_cast<std::int16_t>((i * 7919) % 65536 - 32768));
    }
    Settings s = fresh_settings(false);
    s.signals.push_back(a);
    s.signals.push_back(ConstantSignalParams{0.25});

    std::string block = "        signals: [\n"
                        "            Arbitrary(\n"
                        "                ArbitrarySignalParams {\n"
                        "                    samples: [\n";
    for (const std::int16_t v : a.samples) {
        block += "                        " + std::to_string(v) + ",\n";
    }
    block += "                    ],\n"
             "                },\n"
             "            ),\n"
             "            Constant(\n"
             "                ConstantSignalParams {\n"
             "                    value: 0.25,\n"
             "                },\n"
             "            ),\n"
             "        ],\n";
    const std::string t = text::pretty_protocol(s);
    EXPECT_EQ(t, replace_once(GOLDEN, "        signals: [],\n", block));
    EXPECT_EQ(count_lines(t), 103u - 1u + 13u + N);

    std::string line_want = "Arbitrary(ArbitrarySignalParams { samples: [";
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0) {
            line_want += ", ";
        }
        line_want += std::to_string(a.samples[i]);
    }
    line_want += "] })";
    EXPECT_EQ(text::line(Signal{a}), line_want);
}

// ---------------------------------------------------------------------------
// Single-line forms.

using LineCase = PrettyCase;
class TextLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(TextLine, Renders) {
    const LineCase& c = GetParam();
    const std::string t = c.render();
    EXPECT_EQ(t, c.expected);
    EXPECT_EQ(t.find('\n'), std::string::npos);
}

const std::string SSS_ZERO =
    "SignalSourceSelection { internal: 0, external: 0, external_selected: false }";

std::string channel_line(bool enabled) {
    return std::string("ChannelSettings { enabled: ") + (enabled ? "true" : "false") +
           ", amplitude1_source: " + SSS_ZERO + ", amplitude2_source: " + SSS_ZERO +
           ", modulation_source: " + SSS_ZERO + ", coil_idx: 0, coil_setting_idx: 0 }";
}

const std::string COIL_LINE =
    "Coil { name: \"Default\", inductance: 150.0, max_current: 0.1, max_carrier_frequency: 40.0, "
    "settings: [LCSetting { capacitance: 330.0, carrier_frequency: 22.624434389140273, "
    "clk_ticks_per_sample: 221, capacitor_bank_setting: 1 }] }";

const std::string MACHINE_CONFIG_LINE =
    "MachineConfig { supply_voltage: 80.0, num_coils: 2, coils: [" + COIL_LINE +
    "], capacitors: [330.0], possible_capacitances: [330.0], num_external_signal_sources: 6, "
    "smbus_psu_connected: false, num_temperature_sensors: 0, num_flow_rate_sensors: 0, "
    "safety_checks_enabled: true, max_intensity_setpoint: 0.3, max_current: 0.5, "
    "max_carrier_frequency: 40.0, max_temperature: 40.0, min_flowrate: 70.0, max_power: 520.0 }";

std::string settings_line(std::string_view signals) {
    std::string traces = "[";
    for (int i = 0; i < 16; ++i) {
        traces += i == 0 ? "false" : ", false";
    }
    traces += "]";
    return "Settings { running_on_target_machine: false, machine_config: " + MACHINE_CONFIG_LINE +
           ", intensity: 0.0, session_duration: 60.0, signals: " + std::string(signals) +
           ", channel_a_settings: " + channel_line(true) +
           ", channel_b_settings: " + channel_line(false) + ", monitor_trace_visible: " + traces +
           " }";
}

std::string line_signal(Signal s) {
    return text::line(s);
}

const LineCase LINE_CASES[] = {
    {"ConfigError", [] { return text::line(VEXAError::ConfigError); }, "ConfigError"},
    {"MixedSignalParams",
     [] {
         return text::line(MixedSignalParams{0, 1});
     },
     "MixedSignalParams { a_idx: 0, b_idx: 1 }"},
    {"ConstantSignalParams", [] { return text::line(ConstantSignalParams{0.5}); },
     "ConstantSignalParams { value: 0.5 }"},
    {"SineSignalParams",
     [] {
         return text::line(SineSignalParams{1.0, 10.0, 0.0, 0.5});
     },
     "SineSignalParams { amplitude: 1.0, frequency: 10.0, phase: 0.0, depth: 0.5 }"},
    {"RampSignalParams",
     [] {
         return text::line(RampSignalParams{1.0, 0.25, 2e-5});
     },
     "RampSignalParams { peak: 1.0, up_duration: 0.25, down_duration: 2e-5 }"},
    {"ArbitrarySignalParams",
     [] {
         return text::line(ArbitrarySignalParams{{0, 16384, 32767}});
     },
     "ArbitrarySignalParams { samples: [0, 16384, 32767] }"},
    {"ArbitrarySignalParamsEmpty", [] { return text::line(ArbitrarySignalParams{}); },
     "ArbitrarySignalParams { samples: [] }"},
    {"SignalConstant", [] { return line_signal(ConstantSignalParams{0.0}); },
     "Constant(ConstantSignalParams { value: 0.0 })"},
    {"SignalMixed",
     [] {
         return line_signal(MixedSignalParams{0, 1});
     },
     "MixedSignal(MixedSignalParams { a_idx: 0, b_idx: 1 })"},
    {"SignalArbitrary",
     [] {
         return line_signal(ArbitrarySignalParams{{-32768, 1}});
     },
     "Arbitrary(ArbitrarySignalParams { samples: [-32768, 1] })"},
    {"SignalSourceSelection",
     [] {
         return text::line(SignalSourceSelection{3, 0, false});
     },
     "SignalSourceSelection { internal: 3, external: 0, external_selected: false }"},
    {"LCSetting",
     [] {
         return text::line(LCSetting{330.0, 22.624434389140273, 221, 1});
     },
     "LCSetting { capacitance: 330.0, carrier_frequency: 22.624434389140273, "
     "clk_ticks_per_sample: 221, capacitor_bank_setting: 1 }"},
    {"ChannelSettings", [] { return text::line(ChannelSettings{}); }, channel_line(false)},
    {"DefaultCoil", [] { return text::line(protocols::lcsettings::default_coil()); }, COIL_LINE},
    {"DefaultMachineConfig",
     [] { return text::line(protocols::machine_config::default_machine_config()); },
     MACHINE_CONFIG_LINE},
    {"FreshSettings", [] { return text::line(fresh_settings(false)); }, settings_line("[]")},
    {"SettingsWithFiveSignals",
     [] {
         Settings s = fresh_settings(false);
         s.signals = five_signals();
         return text::line(s);
     },
     settings_line("[Sine(SineSignalParams { amplitude: 1.0, frequency: 10.0, phase: 0.0, "
                   "depth: 0.5 }), Ramp(RampSignalParams { peak: 1.0, up_duration: 0.25, "
                   "down_duration: 2e-5 }), Constant(ConstantSignalParams { value: 0.5 }), "
                   "MixedSignal(MixedSignalParams { a_idx: 0, b_idx: 1 }), "
                   "Arbitrary(ArbitrarySignalParams { samples: [0, 16384, 32767] })]")},
};

INSTANTIATE_TEST_SUITE_P(Text, TextLine, ::testing::ValuesIn(LINE_CASES),
                         [](const ::testing::TestParamInfo<LineCase>& info) {
                             return std::string(info.param.name);
                         });

// Every error variant renders as its name, in both forms.
struct ErrorCase {
    VEXAError e;
    const char* name;
};

class TextError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(TextError, RendersAsItsName) {
    EXPECT_EQ(text::line(GetParam().e), GetParam().name);
    EXPECT_EQ(text::pretty(GetParam().e), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Text, TextError,
                         ::testing::Values(ErrorCase{VEXAError::OverCoilCurrent, "OverCoilCurrent"},
                                           ErrorCase{VEXAError::OverSupplyPower, "OverSupplyPower"},
                                           ErrorCase{VEXAError::OverTemperature, "OverTemperature"},
                                           ErrorCase{VEXAError::Underflow, "Underflow"},
                                           ErrorCase{VEXAError::SPIError, "SPIError"},
                                           ErrorCase{VEXAError::GPIOError, "GPIOError"},
                                           ErrorCase{VEXAError::I2cError, "I2cError"},
                                           ErrorCase{VEXAError::TCPError, "TCPError"},
                                           ErrorCase{VEXAError::ConfigError, "ConfigError"},
                                           ErrorCase{VEXAError::ProtocolError, "ProtocolError"},
                                           ErrorCase{VEXAError::Unintialized, "Unintialized"}),
                         [](const ::testing::TestParamInfo<ErrorCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Escapes of text.

struct EscapeCase {
    const char* name;
    std::string input;
    std::string quoted;
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
    *os << c.name;
}

class TextEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(TextEscape, Quotes) {
    const EscapeCase& c = GetParam();
    std::string out = "name: ";
    text::append_quoted(out, c.input);
    EXPECT_EQ(out, "name: " + c.quoted);
}

using namespace std::string_literals;

const EscapeCase ESCAPE_CASES[] = {
    {"Plain", "Default", R"("Default")"},
    {"Empty", "", R"("")"},
    {"DoubleQuote", "a\"b", R"("a\"b")"},
    {"Backslash", "a\\b", R"("a\\b")"},
    {"SingleQuoteKept", "it's", R"("it's")"},
    {"NewlineReturnTab", "a\nb\rc\td", R"("a\nb\rc\td")"},
    {"Nul", "a\0b"s, R"("a\0b")"},
    {"OtherControls", "\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
    {"Escape", "\x1b[0m", R"("\u{1b}[0m")"},
    {"AllTogether", "\"\\\n\r\t\0\x07'"s, R"("\"\\\n\r\t\0\u{7}'")"},
    {"PrintableUtf8Kept", "Spule \xC3\xA4 \xE7\xB7\x9A \xF0\x9F\xA7\xB2",
     "\"Spule \xC3\xA4 \xE7\xB7\x9A \xF0\x9F\xA7\xB2\""},
    {"NoBreakSpaceKept",
     "a\xC2\xA0"
     "b",
     "\"a\xC2\xA0"
     "b\""},
    {"ReplacementCharKept", "\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},
    {"C1Control",
     "a\xC2\x85"
     "b",
     R"("a\u{85}b")"},
    {"SoftHyphen", "\xC2\xAD", R"("\u{ad}")"},
    {"ZeroWidthSpace", "\xE2\x80\x8B", R"("\u{200b}")"},
    {"LineSeparator", "\xE2\x80\xA8", R"("\u{2028}")"},
    {"ByteOrderMark", "\xEF\xBB\xBF", R"("\u{feff}")"},
    {"PrivateUse", "\xEE\x80\x80", R"("\u{e000}")"},
    {"Noncharacter", "\xEF\xBF\xBF", R"("\u{ffff}")"},
    {"LastCodePoint", "\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},
    {"InvalidByte",
     "a\xFF"
     "b",
     "\"a\xEF\xBF\xBD"
     "b\""},
    {"TruncatedAtEnd", "a\xC3", "\"a\xEF\xBF\xBD\""},
    {"TruncatedThreeByte", "\xE2\x82x", "\"\xEF\xBF\xBDx\""},
    {"Surrogate", "\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    {"Overlong", "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
    {"AboveMax", "\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    {"LoneContinuation",
     "\x80"
     "a",
     "\"\xEF\xBF\xBD"
     "a\""},
};

INSTANTIATE_TEST_SUITE_P(Text, TextEscape, ::testing::ValuesIn(ESCAPE_CASES),
                         [](const ::testing::TestParamInfo<EscapeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(TextEscapes, CoilNameInBothForms) {
    const Coil c{"My \"coil\"\\\n\x01", 150.0, 0.1, 40.0, {}};
    EXPECT_EQ(text::line(c), R"(Coil { name: "My \"coil\"\\\n\u{1}", inductance: 150.0, )"
                             R"(max_current: 0.1, max_carrier_frequency: 40.0, settings: [] })");
    EXPECT_EQ(text::pretty(c), "Coil {\n"
                               "    name: \"My \\\"coil\\\"\\\\\\n\\u{1}\",\n"
                               "    inductance: 150.0,\n"
                               "    max_current: 0.1,\n"
                               "    max_carrier_frequency: 40.0,\n"
                               "    settings: [],\n"
                               "}");
}

// ---------------------------------------------------------------------------
// ProtocolText: the text measured first and written into a caller's buffer.

// The sample lines as a naive loop writes them.
std::string naive_lines(const std::vector<std::int16_t>& samples, std::size_t indent) {
    std::string out;
    for (const std::int16_t v : samples) {
        out += std::string(indent, ' ') + std::to_string(v) + ",\n";
    }
    return out;
}

// Writes t into a buffer of exactly its size with guard bytes either side,
// checks the guards and returns the text.
std::string written(const text::ProtocolText& t) {
    constexpr std::size_t GUARD = 64;
    std::string buf(t.size() + 2 * GUARD, '#');
    t.write(buf.data() + GUARD);
    EXPECT_EQ(buf.find_first_not_of('#'), buf.size() == 2 * GUARD ? std::string::npos : GUARD);
    EXPECT_EQ(std::string_view(buf).substr(0, GUARD), std::string(GUARD, '#'));
    EXPECT_EQ(std::string_view(buf).substr(GUARD + t.size()), std::string(GUARD, '#'));
    return buf.substr(GUARD, t.size());
}

struct SampleListCase {
    const char* name;
    std::vector<std::vector<std::int16_t>> lists; // one arbitrary signal each
};

void PrintTo(const SampleListCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<std::int16_t> every_int16() {
    std::vector<std::int16_t> v;
    for (std::int32_t x = -32768; x <= 32767; ++x)
        v.push_back(static_cast<std::int16_t>(x));
    return v;
}

// Lengths around the switch from whole-store lines to exact ones at the
// end of a list, and every width of number, sign included.
const SampleListCase SAMPLE_LIST_CASES[] = {
    {"Empty", {{}}},
    {"One", {{7}}},
    {"Widths", {{0, 9, 10, 99, 100, 999, 1000, 9999, 10000, 32767, -1, -9, -10, -32768}}},
    {"SixtyFive", {std::vector<std::int16_t>(65, 32767)}},
    {"ShortAfterLong", {std::vector<std::int16_t>(1000, -32768), {5}}},
    {"EveryValue", {every_int16()}},
    {"SeveralLists", {every_int16(), {}, {1, 2, 3}, std::vector<std::int16_t>(100, 12345)}},
};

class TextProtocolText : public ::testing::TestWithParam<SampleListCase> {};

TEST_P(TextProtocolText, SizeAndBytesMatchPrettyProtocolAndTheNaiveLines) {
    Settings s = fresh_settings(false);
    std::string block;
    for (const auto& list : GetParam().lists) {
        s.signals.push_back(ArbitrarySignalParams{list});
        block += naive_lines(list, 24);
    }
    const text::ProtocolText t(s);
    const std::string direct = text::pretty_protocol(s);
    EXPECT_EQ(t.size(), direct.size());
    EXPECT_TRUE(t.is_ascii());
    const std::string via_buffer = written(t);
    EXPECT_TRUE(via_buffer == direct); // not EXPECT_EQ: the texts can be megabytes
    // The lines that hold a number at the samples' depth are, in order,
    // those of the naive loop.
    std::string lines;
    for (const std::string_view line : split_lines(direct)) {
        if (line.size() > 24 && line.substr(0, 24) == std::string(24, ' ') &&
            (line[24] == '-' || (line[24] >= '0' && line[24] <= '9'))) {
            lines += std::string(line) + "\n";
        }
    }
    EXPECT_TRUE(lines == block);
}

INSTANTIATE_TEST_SUITE_P(Text, TextProtocolText, ::testing::ValuesIn(SAMPLE_LIST_CASES),
                         [](const ::testing::TestParamInfo<SampleListCase>& info) {
                             return std::string(info.param.name);
                         });

// Only quoted text can hold bytes above 0x7F; escapes are ASCII. The
// measured size and the written bytes hold for every kind of name.
TEST(TextProtocolText, IsAsciiUnlessANameIsNot) {
    const std::pair<std::string, bool> names[] = {
        {"Default", true},        {"tab\there \"q\" \x01", true},    {"Spule \xC3\xBC", false},
        {"bad \xFF byte", false}, {"\xE2\x80\x8B zero width", true},
    };
    for (const auto& [name, ascii] : names) {
        Settings s = fresh_settings(false);
        s.machine_config.coils[0].name = name;
        s.signals = {SineSignalParams{1.0, 10.5, 0.0, 0.5}, ConstantSignalParams{0.25}};
        const text::ProtocolText t(s);
        EXPECT_EQ(t.is_ascii(), ascii) << name;
        const std::string text = written(t);
        EXPECT_EQ(t.size(), text.size()) << name;
        EXPECT_NE(text.find("name: \""), std::string::npos) << name;
    }
}

// Samples at other depths (a single signal, a Settings) go through the same
// line writer with another indentation.
TEST(TextProtocolText, SampleLinesAtOtherDepths) {
    const std::vector<std::int16_t> all = every_int16();
    const std::string sig = text::pretty(Signal{ArbitrarySignalParams{all}});
    EXPECT_NE(sig.find(naive_lines(all, 12)), std::string::npos);
    Settings s = fresh_settings(false);
    s.signals.push_back(ArbitrarySignalParams{all});
    EXPECT_NE(text::pretty(s).find(naive_lines(all, 20)), std::string::npos);
}

// The i-th signal of a long list: every variant, with values that repeat
// (five of them) or all differ (every kind of double among them).
Signal list_signal(std::size_t i, bool distinct) {
    constexpr double INF = std::numeric_limits<double>::infinity();
    static const double SPECIAL[] = {0.0,     -0.0,   0.5,       1.0,    INF,    -INF, NAN,
                                     1e16,    1e-4,   9.99e-5,   5e-324, 1e308,  -2.5, 0.1,
                                     1.0 / 3, 0x1p40, 123456.75, -1e-7,  1.5e-5, 22.5, 7e22};
    const auto pick = [&](std::size_t k) {
        const std::size_t j = i * 4 + k;
        if (!distinct || j % 3 == 0) return SPECIAL[distinct ? j / 3 % std::size(SPECIAL) : j % 5];
        const std::uint64_t bits = (j + 1) * 0x9E3779B97F4A7C15u;
        return std::bit_cast<double>(bits ^ (bits >> 29));
    };
    switch (i % 5) {
    case 0:
        return ConstantSignalParams{pick(0)};
    case 1:
        return SineSignalParams{pick(0), pick(1), pick(2), pick(3)};
    case 2:
        return RampSignalParams{pick(0), pick(1), pick(2)};
    case 3:
        return MixedSignalParams{distinct ? ~std::uint64_t{0} - i : 0, i};
    default:
        return i % 10 == 4 ? Signal{ArbitrarySignalParams{{1, -2, 32767}}}
                           : Signal{ConstantSignalParams{pick(1)}};
    }
}

// Long lists of small signals are written from each variant's recorded
// text with the values put in: every element must read as the same signal
// alone in a protocol does (a short list, written the general way), just
// below and at the length where that starts, and where the doubles' texts
// are reused or their table overflows.
TEST(TextSignalList, ElementsReadAsEachSignalAlone) {
    constexpr std::string_view OPEN = "        signals: [\n", CLOSE = "        ],\n";
    constexpr std::size_t LONG = text::SignalListTexts::LONG_LIST;
    for (const auto& [count, distinct] :
         {std::pair{LONG - 1, false}, {LONG, false}, {3000, false}, {3000, true}}) {
        SCOPED_TRACE(std::to_string(count) + (distinct ? " distinct" : " repeating"));
        Settings s = fresh_settings(false);
        std::string elements;
        for (std::size_t i = 0; i < count; ++i) {
            s.signals.push_back(list_signal(i, distinct));
            Settings alone = fresh_settings(false);
            alone.signals = {s.signals.back()};
            const std::string t = text::pretty_protocol(alone);
            const std::size_t from = t.find(OPEN) + OPEN.size();
            elements += t.substr(from, t.find("\n" + std::string(CLOSE), from) + 1 - from);
        }
        const std::string want = replace_once(GOLDEN, "        signals: [],\n",
                                              std::string(OPEN) + elements + std::string(CLOSE));
        const text::ProtocolText t(s);
        EXPECT_EQ(t.size(), want.size());
        EXPECT_TRUE(written(t) == want); // not EXPECT_EQ: the texts are megabytes
        EXPECT_TRUE(text::pretty_protocol(s) == want);
    }
}

TEST(TextProtocolText, NonAsciiNameIsReportedAndWrittenAsIs) {
    Settings s = fresh_settings(false);
    s.machine_config.coils.at(0).name = "B\xC2\xB5";
    s.signals.push_back(ArbitrarySignalParams{{1, 2}});
    const text::ProtocolText t(s);
    EXPECT_FALSE(t.is_ascii());
    EXPECT_EQ(written(t), text::pretty_protocol(s));
}

} // namespace
