// The compact binary encoding and the file layout.
#include "encoding/appenders.hpp"
#include "encoding/layout.hpp"
#include "settings.hpp"

#include "testdata.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace protocols;
using encoding::Bytes;

// One sample on its own, the plain way: zigzag, then varint. The reference
// that the sample kernel is checked against.
void append_zigzag16(Bytes& out, std::int16_t v) {
    const auto u = static_cast<std::uint16_t>(v);
    const auto z = static_cast<std::uint16_t>(static_cast<std::uint16_t>(u << 1) ^
                                              static_cast<std::uint16_t>(v < 0 ? 0xFFFF : 0));
    encoding::append_varint(out, z);
}

// "04 03 00" -> {0x04, 0x03, 0x00}; whitespace between bytes is ignored.
Bytes hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (const char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    EXPECT_EQ(high, -1) << "odd number of hex digits in " << text;
    return out;
}

std::string to_hex(const Bytes& b) {
    static constexpr char D[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += D[b[i] >> 4];
        s += D[b[i] & 15];
    }
    return s;
}

// Compare as hex text so that a mismatch shows both byte strings.
#define EXPECT_BYTES(actual, expected_hex) EXPECT_EQ(to_hex(actual), to_hex(hex(expected_hex)))

// ---------------------------------------------------------------- varints

struct VarintCase {
    std::uint64_t value;
    const char* bytes;
};

class VarintTest : public ::testing::TestWithParam<VarintCase> {};

TEST_P(VarintTest, EncodesShortestLeb128) {
    Bytes out;
    encoding::append_varint(out, GetParam().value);
    EXPECT_BYTES(out, GetParam().bytes);
}

TEST_P(VarintTest, LengthEncodesAsVarint) {
    Bytes out;
    encoding::append_length(out, GetParam().value);
    EXPECT_BYTES(out, GetParam().bytes);
}

TEST_P(VarintTest, AppendsAfterExistingBytes) {
    Bytes out{0xAA, 0xBB};
    encoding::append_varint(out, GetParam().value);
    Bytes expected{0xAA, 0xBB};
    const Bytes tail = hex(GetParam().bytes);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(to_hex(out), to_hex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Varint, VarintTest,
    ::testing::Values(VarintCase{0, "00"}, VarintCase{1, "01"}, VarintCase{127, "7F"},
                      VarintCase{128, "80 01"}, VarintCase{221, "DD 01"}, VarintCase{300, "AC 02"},
                      VarintCase{16383, "FF 7F"}, VarintCase{16384, "80 80 01"},
                      VarintCase{0x1FFFFF, "FF FF 7F"}, VarintCase{0x200000, "80 80 80 01"},
                      VarintCase{300000, "E0 A7 12"},
                      VarintCase{1ull << 63, "80 80 80 80 80 80 80 80 80 01"},
                      VarintCase{std::numeric_limits<std::uint64_t>::max(),
                                 "FF FF FF FF FF FF FF FF FF 01"}));

// Length thresholds: below 2^(7k) takes k bytes; 2^63 up, 10.
TEST(VarintThresholds, ByteCountFollowsSevenBitGroups) {
    for (unsigned k = 1; k <= 9; ++k) {
        const std::uint64_t limit = 1ull << (7 * k);
        Bytes below, at;
        encoding::append_varint(below, limit - 1);
        encoding::append_varint(at, limit);
        EXPECT_EQ(below.size(), k) << "2^" << 7 * k << " - 1";
        EXPECT_EQ(at.size(), k + 1) << "2^" << 7 * k;
        // Every byte but the last has bit 7 set.
        for (std::size_t i = 0; i + 1 < at.size(); ++i)
            EXPECT_TRUE(at[i] & 0x80);
        EXPECT_FALSE(at.back() & 0x80);
    }
}

// ---------------------------------------------------------------- zigzag

struct ZigzagCase {
    std::int16_t value;
    const char* bytes;
};

class ZigzagTest : public ::testing::TestWithParam<ZigzagCase> {};

TEST_P(ZigzagTest, EncodesSample) {
    Bytes out;
    append_zigzag16(out, GetParam().value);
    EXPECT_BYTES(out, GetParam().bytes);
}

// The fast sample loop of Arbitrary signals must give the same bytes.
TEST_P(ZigzagTest, ArbitrarySampleLoopAgrees) {
    Bytes out;
    encoding::append(out, signals::Signal{signals::ArbitrarySignalParams{{GetParam().value}}});
    Bytes expected = hex("04 01");
    const Bytes tail = hex(GetParam().bytes);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(to_hex(out), to_hex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Zigzag, ZigzagTest,
    ::testing::Values(ZigzagCase{0, "00"}, ZigzagCase{-1, "01"}, ZigzagCase{1, "02"},
                      ZigzagCase{-2, "03"}, ZigzagCase{2, "04"}, ZigzagCase{63, "7E"},
                      ZigzagCase{-64, "7F"}, ZigzagCase{64, "80 01"}, ZigzagCase{8191, "FE 7F"},
                      ZigzagCase{-8192, "FF 7F"}, ZigzagCase{8192, "80 80 01"},
                      ZigzagCase{16384, "80 80 02"}, ZigzagCase{32767, "FE FF 03"},
                      ZigzagCase{-32768, "FF FF 03"}));

// Reference: zigzag by arithmetic, then the varint appender.
Bytes reference_sample(std::int16_t n) {
    const std::int32_t v = n;
    const auto z = static_cast<std::uint64_t>(v >= 0 ? 2 * v : -2 * v - 1);
    Bytes out;
    encoding::append_varint(out, z);
    return out;
}

TEST(ZigzagAllValues, AppenderAndSampleLoopMatchReferenceForEveryInt16) {
    std::vector<std::int16_t> all;
    Bytes expected;
    for (std::int32_t v = -32768; v <= 32767; ++v) {
        const auto n = static_cast<std::int16_t>(v);
        const Bytes ref = reference_sample(n);
        Bytes one;
        append_zigzag16(one, n);
        ASSERT_EQ(to_hex(one), to_hex(ref)) << "sample " << v;
        all.push_back(n);
        expected.insert(expected.end(), ref.begin(), ref.end());
    }
    Bytes out;
    encoding::append(out, signals::Signal{signals::ArbitrarySignalParams{all}});
    Bytes head;
    encoding::append_varint(head, 4);
    encoding::append_length(head, all.size());
    head.insert(head.end(), expected.begin(), expected.end());
    ASSERT_EQ(out.size(), head.size());
    EXPECT_TRUE(out == head);
}

struct WidthCase {
    std::int16_t sample;
    std::size_t width;
};

class ZigzagWidthTest : public ::testing::TestWithParam<WidthCase> {};

TEST_P(ZigzagWidthTest, SampleTakesBytes) {
    Bytes out;
    append_zigzag16(out, GetParam().sample);
    EXPECT_EQ(out.size(), GetParam().width);
}

INSTANTIATE_TEST_SUITE_P(Zigzag, ZigzagWidthTest,
                         ::testing::Values(WidthCase{0, 1}, WidthCase{63, 1}, WidthCase{64, 2},
                                           WidthCase{8191, 2}, WidthCase{8192, 3},
                                           WidthCase{32767, 3}));

// ---------------------------------------------------------------- doubles

struct DoubleCase {
    std::uint64_t bits;
    const char* bytes;
};

class EncodingDoubleTest : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(EncodingDoubleTest, WritesBitPatternLittleEndian) {
    Bytes out;
    encoding::append_double(out, std::bit_cast<double>(GetParam().bits));
    EXPECT_BYTES(out, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Encoding, EncodingDoubleTest,
    ::testing::Values(DoubleCase{std::bit_cast<std::uint64_t>(80.0), "00 00 00 00 00 00 54 40"},
                      DoubleCase{std::bit_cast<std::uint64_t>(0.1), "9A 99 99 99 99 99 B9 3F"},
                      DoubleCase{std::bit_cast<std::uint64_t>(-0.0), "00 00 00 00 00 00 00 80"},
                      DoubleCase{std::bit_cast<std::uint64_t>(330.0), "00 00 00 00 00 A0 74 40"},
                      DoubleCase{std::bit_cast<std::uint64_t>(22.624434389140273),
                                 "EF DA 9F EE DA 9F 36 40"},
                      DoubleCase{0x7FF0000000000000ull, "00 00 00 00 00 00 F0 7F"},   // +inf
                      DoubleCase{0x7FF8000000000001ull, "01 00 00 00 00 00 F8 7F"},   // NaN payload
                      DoubleCase{0xFFF4000000ABCDEFull, "EF CD AB 00 00 00 F4 FF"},   // -sNaN
                      DoubleCase{0x0000000000000001ull, "01 00 00 00 00 00 00 00"})); // denormal

// ------------------------------------------------------- strings, sequences

TEST(EncodingString, DefaultName) {
    Bytes out;
    encoding::append_string(out, "Default");
    EXPECT_BYTES(out, "07 44 65 66 61 75 6C 74");
}

TEST(EncodingString, EmptyIsZeroLength) {
    Bytes out;
    encoding::append_string(out, "");
    EXPECT_BYTES(out, "00");
}

TEST(EncodingString, LengthCountsUtf8Bytes) {
    Bytes out;
    encoding::append_string(out, "\xC2\xB5H"); // "µH": 3 bytes, 2 characters
    EXPECT_BYTES(out, "03 C2 B5 48");
}

TEST(EncodingString, LongStringHasTwoByteLength) {
    Bytes out;
    encoding::append_string(out, std::string(200, 'x'));
    ASSERT_EQ(out.size(), 202u);
    EXPECT_EQ(out[0], 0xC8);
    EXPECT_EQ(out[1], 0x01);
}

TEST(EncodingBool, FalseAndTrue) {
    Bytes out;
    encoding::append_bool(out, false);
    encoding::append_bool(out, true);
    EXPECT_BYTES(out, "00 01");
}

TEST(EncodingSequence, EmptyIsSingleZeroByte) {
    // A coil with no name and no rows: the sequences are each one 00.
    lcsettings::Coil coil{"", 0.0, 0.0, 0.0, {}};
    Bytes out;
    encoding::append(out, coil);
    EXPECT_BYTES(out, "00"
                      "0000000000000000"
                      "0000000000000000"
                      "0000000000000000"
                      "00");
}

TEST(EncodingSequence, OneDouble330) {
    machine_config::MachineConfig m;
    m.capacitors = {330.0};
    Bytes out;
    encoding::append(out, m);
    // supply_voltage (8), num_coils (1), coils (1), then capacitors.
    const Bytes cap(out.begin() + 10, out.begin() + 19);
    EXPECT_BYTES(cap, "01 00 00 00 00 00 A0 74 40");
}

// ---------------------------------------------------------------- signals

struct SignalCase {
    const char* name;
    signals::Signal signal;
    const char* bytes;
};

class EncodingSignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(EncodingSignalTest, EncodesVariantIndexThenParams) {
    Bytes out;
    encoding::append(out, GetParam().signal);
    EXPECT_BYTES(out, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Encoding, EncodingSignalTest,
    ::testing::Values(
        SignalCase{"Constant0", signals::ConstantSignalParams{0.0}, "00 00 00 00 00 00 00 00 00"},
        SignalCase{"ConstantNegZero", signals::ConstantSignalParams{-0.0},
                   "00 00 00 00 00 00 00 00 80"},
        SignalCase{"Sine", signals::SineSignalParams{1.0, 2.0, 0.0, 0.5},
                   "01 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 40 00 00 00 00 00 00 00 00 "
                   "00 00 00 00 00 00 E0 3F"},
        SignalCase{"Ramp", signals::RampSignalParams{1.0, 0.5, 0.25},
                   "02 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 E0 3F 00 00 00 00 00 00 D0 3F"},
        SignalCase{"Mixed", signals::MixedSignalParams{0, 1}, "03 00 01"},
        SignalCase{"MixedLarge", signals::MixedSignalParams{300, ~0ull},
                   "03 AC 02 FF FF FF FF FF FF FF FF FF 01"},
        SignalCase{"Arbitrary", signals::ArbitrarySignalParams{{0, 16384, 32767}},
                   "04 03 00 80 80 02 FE FF 03"},
        SignalCase{"ArbitraryEmpty", signals::ArbitrarySignalParams{{}}, "04 00"}),
    [](const ::testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

TEST(EncodingSignal, SixtySecondArbitraryStartsWithItsCount) {
    std::vector<std::int16_t> samples(300000, 0);
    Bytes out;
    encoding::append(out, signals::Signal{signals::ArbitrarySignalParams{samples}});
    ASSERT_EQ(out.size(), 4u + 300000u);
    EXPECT_BYTES(Bytes(out.begin(), out.begin() + 4), "04 E0 A7 12");
}

TEST(EncodingSignal, MixedWidthSamplesBackToBack) {
    Bytes out;
    encoding::append(
        out, signals::Signal{signals::ArbitrarySignalParams{{63, 64, 8191, 8192, 32767, 0}}});
    EXPECT_BYTES(out, "04 06 7E 80 01 FE 7F 80 80 01 FE FF 03 00");
}

// ------------------------------------------------------------- the records

TEST(EncodingRecord, LCSettingRow) {
    Bytes out;
    encoding::append(out, lcsettings::LCSetting{330.0, 22.624434389140273, 221, 1});
    EXPECT_BYTES(out, "00 00 00 00 00 A0 74 40 EF DA 9F EE DA 9F 36 40 DD 01 01");
}

TEST(EncodingRecord, SourceSelectionOrder) {
    Bytes out;
    encoding::append(out, settings::SignalSourceSelection{1, 300, true});
    EXPECT_BYTES(out, "01 AC 02 01");
}

TEST(EncodingRecord, ChannelSettingsOrder) {
    settings::ChannelSettings c;
    c.enabled = true;
    c.amplitude1_source = {1, 2, false};
    c.amplitude2_source = {3, 4, true};
    c.modulation_source = {5, 6, false};
    c.coil_idx = 7;
    c.coil_setting_idx = 128;
    Bytes out;
    encoding::append(out, c);
    EXPECT_BYTES(out, "01 01 02 00 03 04 01 05 06 00 07 80 01");
}

// The 200-byte file of a fresh protocol, in hex (its layout, row by row, is
// in testdata/README.md).
const std::string DEFAULT_FILE = [] {
    const std::string raw = read_testdata("fresh_protocol.vexa");
    return to_hex(Bytes(raw.begin(), raw.end()));
}();

// The default protocol built field by field, independent of settings.cpp.
settings::Settings hand_built_default() {
    settings::Settings s;
    s.running_on_target_machine = false;
    auto& m = s.machine_config;
    m.supply_voltage = 80.0;
    m.num_coils = 2;
    m.coils.push_back(
        lcsettings::Coil{"Default", 150.0, 0.1, 40.0, {{330.0, 22.624434389140273, 221, 1}}});
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
    s.signals.push_back(signals::ConstantSignalParams{0.0});
    s.channel_a_settings.enabled = true;
    return s;
}

// Sets or unsets VEXA_TARGET_MACHINE for one scope and restores it after.
class TargetMachineVariable {
  public:
    explicit TargetMachineVariable(std::optional<std::string> value) {
        if (const char* old = std::getenv(settings::TARGET_MACHINE_VARIABLE)) saved_ = old;
        if (value)
            ::setenv(settings::TARGET_MACHINE_VARIABLE, value->c_str(), 1);
        else
            ::unsetenv(settings::TARGET_MACHINE_VARIABLE);
    }
    ~TargetMachineVariable() {
        if (saved_)
            ::setenv(settings::TARGET_MACHINE_VARIABLE, saved_->c_str(), 1);
        else
            ::unsetenv(settings::TARGET_MACHINE_VARIABLE);
    }
    TargetMachineVariable(const TargetMachineVariable&) = delete;
    TargetMachineVariable& operator=(const TargetMachineVariable&) = delete;

  private:
    std::optional<std::string> saved_;
};

TEST(EncodingFile, TableIsTwoHundredBytes) {
    EXPECT_EQ(hex(DEFAULT_FILE).size(), 200u);
}

TEST(EncodingFile, HandBuiltDefaultGivesTheTable) {
    EXPECT_BYTES(encoding::encode_settings(hand_built_default()), DEFAULT_FILE);
}

TEST(EncodingFile, DefaultSettingsGiveTheTable) {
    TargetMachineVariable unset(std::nullopt);
    const Bytes out = encoding::encode_settings(settings::default_settings());
    ASSERT_EQ(out.size(), 200u);
    EXPECT_BYTES(out, DEFAULT_FILE);
}

TEST(EncodingFile, FilledEmptySignalListGivesTheTable) {
    TargetMachineVariable unset(std::nullopt);
    settings::Settings s = settings::default_settings();
    s.signals.clear();
    settings::fill_empty_signals(s);
    EXPECT_BYTES(encoding::encode_settings(s), DEFAULT_FILE);
    // Encoding again gives the same bytes.
    EXPECT_BYTES(encoding::encode_settings(s), DEFAULT_FILE);
}

TEST(EncodingFile, TargetMachineSetsFirstByteOnly) {
    Bytes expected = hex(DEFAULT_FILE);
    expected[0] = 0x01;
    {
        TargetMachineVariable set(std::string("1"));
        const Bytes out = encoding::encode_settings(settings::default_settings());
        EXPECT_EQ(to_hex(out), to_hex(expected));
    }
    settings::Settings s = hand_built_default();
    s.running_on_target_machine = true;
    EXPECT_EQ(to_hex(encoding::encode_settings(s)), to_hex(expected));
}

TEST(EncodingFile, NegativeZeroAndNaNPayloadsKept) {
    settings::Settings s = hand_built_default();
    s.intensity = -0.0;                                                // offset 134
    s.session_duration = std::bit_cast<double>(0x7FF800000000BEEFull); // offset 142
    std::get<signals::ConstantSignalParams>(s.signals[0]).value =
        std::bit_cast<double>(0xFFF0000000000001ull); // signaling NaN, offset 152
    Bytes expected = hex(DEFAULT_FILE);
    const Bytes neg_zero = hex("00 00 00 00 00 00 00 80");
    const Bytes nan_payload = hex("EF BE 00 00 00 00 F8 7F");
    const Bytes snan = hex("01 00 00 00 00 00 F0 FF");
    std::copy(neg_zero.begin(), neg_zero.end(), expected.begin() + 134);
    std::copy(nan_payload.begin(), nan_payload.end(), expected.begin() + 142);
    std::copy(snan.begin(), snan.end(), expected.begin() + 152);
    EXPECT_EQ(to_hex(encoding::encode_settings(s)), to_hex(expected));
}

TEST(EncodingFile, SettingsAppendEqualsEncodeSettings) {
    settings::Settings s = hand_built_default();
    s.signals.push_back(signals::SineSignalParams{1.0, 2.0, 0.0, 0.5});
    s.signals.push_back(signals::MixedSignalParams{~0ull, 7});
    s.signals.push_back(signals::ArbitrarySignalParams{{-32768, 0, 63, 64, 32767}});
    s.signals.push_back(signals::RampSignalParams{1.0, 0.5, 0.25});
    s.channel_b_settings.modulation_source = {~0ull, ~0ull, true};
    s.monitor_trace_visible[15] = true;
    Bytes appended;
    encoding::append(appended, s);
    const Bytes encoded = encoding::encode_settings(s);
    EXPECT_EQ(to_hex(encoded), to_hex(appended));
    EXPECT_EQ(encoded.back(), 0x01);
    EXPECT_GE(encoded.capacity(), encoded.size());
}

// The longest session: 1800 s, 9,000,000 samples of mixed widths. Checks the
// bytes of the fast loop against the appender and reports the time taken.
TEST(EncodingFile, LongestSessionArbitrarySignal) {
    settings::Settings s = hand_built_default();
    s.session_duration = 1800.0;
    std::vector<std::int16_t> samples(9'000'000);
    std::uint32_t x = 12345;
    for (auto& v : samples) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<std::int16_t>((x >> 8) % 32768u);
    }
    s.signals.push_back(signals::ArbitrarySignalParams{samples});

    const auto t0 = std::chrono::steady_clock::now();
    const Bytes out = encoding::encode_settings(s);
    const auto t1 = std::chrono::steady_clock::now();
    std::printf("[ info     ] encode_settings with 9,000,000 samples: %.1f ms, %zu bytes\n",
                std::chrono::duration<double, std::milli>(t1 - t0).count(), out.size());

    const Bytes table = hex(DEFAULT_FILE);
    Bytes expected(table.begin(), table.begin() + 150);
    const Bytes d = hex("00 00 00 00 00 20 9C 40");
    std::copy(d.begin(), d.end(), expected.begin() + 142);
    encoding::append_length(expected, 2);
    encoding::append(expected, signals::Signal{signals::ConstantSignalParams{0.0}});
    encoding::append_varint(expected, 4);
    encoding::append_length(expected, samples.size());
    for (const auto v : samples)
        append_zigzag16(expected, v);
    const Bytes tail(table.begin() + 160, table.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected);
    // One reservation of the cheap upper bound (3 bytes a sample), not the
    // doubling growth of appending byte by byte.
    EXPECT_LE(out.capacity(), 3 * samples.size() + 1024);
}

} // namespace

// The save writes the file as the pieces of one small buffer: joined, they
// must be the whole encoding, whichever boundary cuts a varint, a double, a
// name or a sample run.
class EncodingPiecesTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EncodingPiecesTest, JoinToTheWholeEncoding) {
    settings::Settings s = hand_built_default();
    s.machine_config.coils.at(0).name = std::string(300, 'n');
    std::vector<std::int16_t> samples(5'003);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(i * 7919u);
    const signals::Signal arbitrary{signals::ArbitrarySignalParams{samples}};
    for (int i = 0; i < 40; ++i) {
        s.signals.emplace_back(std::in_place_index<1>, 1.0 * i, 2.0, 0.0, 0.5);
        s.signals.emplace_back(std::in_place_index<3>, ~0ull >> i, 7u);
        if (i % 10 == 0) s.signals.push_back(arbitrary);
    }
    Bytes joined;
    auto take = [](void* ctx, const std::uint8_t* p, std::size_t n) {
        EXPECT_GT(n, 0u);
        static_cast<Bytes*>(ctx)->insert(static_cast<Bytes*>(ctx)->end(), p, p + n);
        return true;
    };
    encoding::encode_settings_pieces(s, GetParam(), take, &joined);
    EXPECT_TRUE(joined == encoding::encode_settings(s));

    // A receiver that wants no more gets no more.
    std::size_t calls = 0;
    auto refuse = [](void* c, const std::uint8_t*, std::size_t) {
        ++*static_cast<std::size_t*>(c);
        return false;
    };
    encoding::encode_settings_pieces(s, GetParam(), refuse, &calls);
    EXPECT_EQ(calls, 1u);
}

// A small protocol is encoded in a buffer of its own size, not in a piece
// of a megabyte that glibc would map and unmap on every save. The bytes
// glibc has handed out (heap and mapped blocks) are read while the buffer
// is in use.
TEST(EncodingPieces, SmallProtocolTakesASmallBuffer) {
    struct Use {
        std::size_t before, during = 0;
    } use{0};
    auto in_use = [] {
        const struct mallinfo2 m = ::mallinfo2();
        return m.uordblks + m.hblkhd;
    };
    use.before = in_use();
    auto take = [](void* ctx, const std::uint8_t*, std::size_t) {
        const struct mallinfo2 m = ::mallinfo2();
        static_cast<Use*>(ctx)->during = m.uordblks + m.hblkhd;
        return true;
    };
    encoding::encode_settings_pieces(hand_built_default(), std::size_t{1} << 20, take, &use);
    EXPECT_LT(use.during - use.before, 4096u);
}

INSTANTIATE_TEST_SUITE_P(Encoding, EncodingPiecesTest,
                         ::testing::Values(1, 7, 64, 1000, std::size_t{1} << 20));
