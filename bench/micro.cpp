// Kernels of the model, one at a time: double formatting, the encoding's
// varint and sample appends, sample conversion, whole-protocol encoding and
// rendering. Each reports bytes/s or items/s so that a change can be judged
// against memory bandwidth rather than against a previous run alone.
//
//   build-dir/bench/micro --benchmark_repetitions=5 --benchmark_report_aggregates_only

#include <benchmark/benchmark.h>

#include <encoding/appenders.hpp>
#include <encoding/layout.hpp>
#include <settings.hpp>
#include <signals.hpp>
#include <text.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace protocols;

constexpr std::size_t LONGEST_SESSION_SAMPLES = 9'000'000; // 1800 s at 5000 samples/s

// Levels as a script passes them: uniform in 0..1, fixed seed so runs
// compare.
std::vector<double> levels(std::size_t n, std::uint32_t seed = 12345) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> dist(0.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v)
        x = dist(rng);
    return v;
}

// The protocol that the Python benchmarks use: one 1800 s arbitrary signal.
const settings::Settings& longest_protocol() {
    static const settings::Settings s = [] {
        settings::Settings s = settings::default_settings();
        s.signals.clear();
        s.session_duration = 1800.0;
        const auto lv = levels(LONGEST_SESSION_SAMPLES);
        auto samples = signals::samples_from_levels(reinterpret_cast<const char*>(lv.data()),
                                                    sizeof(double), lv.size());
        if (!samples) std::abort();
        settings::add_signal(s, signals::ArbitrarySignalParams{std::move(*samples)});
        return s;
    }();
    return s;
}

// --- double formatting -------------------------------------------------------

// Doubles of the kinds the model holds: small round values, computed values
// with 17 digits, tiny and huge ones that take the exponential form.
std::vector<double> mixed_doubles() {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> exp10(-30, 30);
    std::vector<double> v;
    for (int i = 0; i < 1024; ++i) {
        switch (i % 4) {
        case 0:
            v.push_back(std::round(unit(rng) * 1000.0) / 4.0);
            break; // 60.0, 0.25
        case 1:
            v.push_back(unit(rng) * 100.0);
            break; // 17 digits
        case 2:
            v.push_back(unit(rng) * std::pow(10.0, exp10(rng)));
            break;
        default:
            v.push_back(22.624434389140273);
            break;
        }
    }
    return v;
}

void BM_format_double(benchmark::State& state) {
    const auto values = mixed_doubles();
    std::size_t bytes = 0;
    for (auto _ : state) {
        for (const double x : values) {
            std::string s = text::format_double(x);
            bytes += s.size();
            benchmark::DoNotOptimize(s.data());
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_format_double);

void BM_append_double(benchmark::State& state) {
    const auto values = mixed_doubles();
    std::string out;
    out.reserve(values.size() * 32);
    std::size_t bytes = 0;
    for (auto _ : state) {
        out.clear();
        for (const double x : values)
            text::append_double(out, x);
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_append_double);

// --- encoding appends --------------------------------------------------------

// Argument: the encoded width in bytes of every value (1, 2, 3, 5 or 10).
void BM_append_varint(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const std::uint64_t base =
        width >= 10 ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << (7 * (width - 1)));
    std::vector<std::uint64_t> values(4096);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = base + i;
    encoding::Bytes out;
    out.reserve(values.size() * 10);
    std::size_t bytes = 0;
    for (auto _ : state) {
        out.clear();
        for (const std::uint64_t v : values)
            encoding::append_varint(out, v);
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_append_varint)->Arg(1)->Arg(2)->Arg(3)->Arg(5)->Arg(10);

// Samples as conversion makes them (0..32767), so mostly 3-byte encodings:
// one arbitrary signal of 4096 samples through the sample kernel.
void BM_append_samples(benchmark::State& state) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> dist(0, 32767);
    signals::ArbitrarySignalParams params;
    params.samples.resize(4096);
    for (auto& v : params.samples)
        v = static_cast<std::int16_t>(dist(rng));
    const signals::Signal signal{std::move(params)};
    encoding::Bytes out;
    out.reserve(4096 * 3 + 64);
    std::size_t bytes = 0;
    for (auto _ : state) {
        out.clear();
        encoding::append(out, signal);
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 4096));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_append_samples);

// The whole file content of the longest protocol: what save() encodes.
void BM_encode_settings_longest(benchmark::State& state) {
    const auto& s = longest_protocol();
    std::size_t bytes = 0;
    for (auto _ : state) {
        encoding::Bytes out = encoding::encode_settings(s);
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(
        static_cast<std::int64_t>(state.iterations() * LONGEST_SESSION_SAMPLES));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_encode_settings_longest)->Unit(benchmark::kMillisecond);

// Many small signals, as in bench.py's "many small signals" rows: a cycle
// of sine, ramp, constant and mixed signals with everyday values (about
// 180 MB of text). The record path (doubles, tags, varints) of save().
const settings::Settings& many_signals_protocol() {
    static const settings::Settings s = [] {
        settings::Settings s = settings::default_settings();
        s.signals.clear();
        for (int i = 0; i < 1'000'000; ++i) {
            switch (i & 3) {
            case 0:
                settings::add_signal(s, signals::SineSignalParams{1.0, 10.0 + i % 50, 0.0, 0.5});
                break;
            case 1:
                settings::add_signal(s, signals::RampSignalParams{1.0, 0.25, 0.5});
                break;
            case 2:
                settings::add_signal(s, signals::ConstantSignalParams{0.5});
                break;
            default:
                settings::add_signal(s,
                                     signals::MixedSignalParams{static_cast<std::uint64_t>(i - 3),
                                                                static_cast<std::uint64_t>(i - 1)});
                break;
            }
        }
        return s;
    }();
    return s;
}

void BM_encode_settings_many_signals(benchmark::State& state) {
    const auto& s = many_signals_protocol();
    std::size_t bytes = 0;
    for (auto _ : state) {
        encoding::Bytes out = encoding::encode_settings(s);
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.signals.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_encode_settings_many_signals)->Unit(benchmark::kMillisecond);

// --- construction ------------------------------------------------------------

// What Protocol() builds and its deallocation releases: the defaults
// without the signal (the environment variable read, the machine
// configuration copied with its four lists).
void BM_protocol_settings(benchmark::State& state) {
    for (auto _ : state) {
        settings::Settings s = settings::default_settings_without_signals();
        benchmark::DoNotOptimize(&s);
    }
}
BENCHMARK(BM_protocol_settings);

// The variable alone: read afresh for every protocol.
void BM_running_on_target_machine(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(settings::running_on_target_machine());
    }
}
BENCHMARK(BM_running_on_target_machine);

// --- sample conversion -------------------------------------------------------

// Argument: the stride in elements (1 contiguous, 2 a step-2 view, -1 reversed).
void BM_samples_from_levels(benchmark::State& state) {
    const std::ptrdiff_t step = state.range(0);
    const std::size_t n = LONGEST_SESSION_SAMPLES;
    const auto lv = levels(n * static_cast<std::size_t>(step < 0 ? -step : step));
    const char* data = reinterpret_cast<const char*>(lv.data());
    if (step < 0) data += (lv.size() - 1) * sizeof(double);
    const std::ptrdiff_t stride = step * static_cast<std::ptrdiff_t>(sizeof(double));
    for (auto _ : state) {
        auto out = signals::samples_from_levels(data, stride, n);
        if (!out) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(out->data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * sizeof(double)));
}
BENCHMARK(BM_samples_from_levels)->Arg(1)->Arg(2)->Arg(-1)->Unit(benchmark::kMillisecond);

// The same conversion into a buffer that is already mapped, which leaves out
// the page faults of a fresh 18 MB result: the arithmetic alone.
void BM_sample_from_level_loop(benchmark::State& state) {
    const auto lv = levels(1 << 16);
    std::vector<std::int16_t> out(lv.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < lv.size(); ++i)
            out[i] = signals::sample_from_level(lv[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lv.size()));
}
BENCHMARK(BM_sample_from_level_loop);

// --- rendering ---------------------------------------------------------------

void BM_pretty_protocol_longest(benchmark::State& state) {
    const auto& s = longest_protocol();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = text::pretty_protocol(s);
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(
        static_cast<std::int64_t>(state.iterations() * LONGEST_SESSION_SAMPLES));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_pretty_protocol_longest)->Unit(benchmark::kMillisecond);

// The text of the longest protocol written into memory that is already
// mapped: the rendering alone, without the page faults of a fresh buffer
// (which the memcpy reference below includes).
void BM_protocol_text_write_longest(benchmark::State& state) {
    const auto& s = longest_protocol();
    const text::ProtocolText measured(s);
    std::string buf(measured.size(), ' ');
    for (auto _ : state) {
        text::ProtocolText t(s);
        t.write(buf.data());
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(
        static_cast<std::int64_t>(state.iterations() * LONGEST_SESSION_SAMPLES));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_protocol_text_write_longest)->Unit(benchmark::kMillisecond);

// Many small signals: the general record path rather than the sample lines.
void BM_pretty_protocol_many_signals(benchmark::State& state) {
    settings::Settings s = settings::default_settings();
    s.signals.clear();
    for (int i = 0; i < 100'000; ++i) {
        settings::add_signal(s, signals::SineSignalParams{1.0 + i, 10.0, 0.1 * i, 0.5});
    }
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = text::pretty_protocol(s);
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.signals.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_pretty_protocol_many_signals)->Unit(benchmark::kMillisecond);

// What str() does with that protocol, into memory that is already mapped:
// measuring and writing the text, without the page faults of the result.
void BM_protocol_text_small_signals(benchmark::State& state) {
    const auto& s = many_signals_protocol();
    const text::ProtocolText measured(s);
    std::string buf(measured.size(), ' ');
    for (auto _ : state) {
        text::ProtocolText t(s);
        t.write(buf.data());
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.signals.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_protocol_text_small_signals)->Unit(benchmark::kMillisecond);

// The same text as a fresh std::string (what PyPy's str() starts from),
// page faults of the new memory included.
void BM_pretty_protocol_small_signals(benchmark::State& state) {
    const auto& s = many_signals_protocol();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = text::pretty_protocol(s);
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.signals.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_pretty_protocol_small_signals)->Unit(benchmark::kMillisecond);

// Reference for it: a copy of the same number of bytes into memory that is
// already mapped, the floor of the row above (bytes.decode('ascii') of a
// text this size does this copy and the page faults of a fresh result).
void BM_memcpy_small_signals_text(benchmark::State& state) {
    const std::size_t n = text::ProtocolText(many_signals_protocol()).size();
    std::string src(n, ' ');
    std::string dst(n, ' ');
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), n);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_memcpy_small_signals_text)->Unit(benchmark::kMillisecond);

// Reference: a memcpy of the longest protocol's text size into fresh
// memory, the least any rendering of it can cost.
void BM_memcpy_text_size(benchmark::State& state) {
    const std::size_t n = text::pretty_protocol(longest_protocol()).size();
    std::string src(n, ' ');
    for (auto _ : state) {
        std::string dst;
        dst.resize_and_overwrite(n, [&](char* p, std::size_t m) noexcept {
            std::memcpy(p, src.data(), m);
            return m;
        });
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_memcpy_text_size)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
