"""The inspector on its own: decoding, text form, refusals, command line.
None of these needs the module."""
import copy
import random
import os
import subprocess
import sys

import pytest

import vexa_view as vi
from toolsupport import TOOLS

# The reference artefacts shared by every suite (testdata/README.md).
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "testdata")

# A protocol saved right after Protocol(): 200 bytes.
with open(os.path.join(DATA, "fresh_protocol.vexa"), "rb") as f:
    FRESH_FILE = f.read()
SIGNALS_AT = 150  # the signal count; the one Constant follows

with open(os.path.join(DATA, "fresh_protocol.txt"), encoding="utf-8", newline="") as f:
    FRESH_TEXT_NO_SIGNALS = f.read()
CONSTANT_ZERO = ("        signals: [\n"
                 "            Constant(\n"
                 "                ConstantSignalParams {\n"
                 "                    value: 0.0,\n"
                 "                },\n"
                 "            ),\n"
                 "        ],\n")
FRESH_TEXT = FRESH_TEXT_NO_SIGNALS.replace("        signals: [],\n", CONSTANT_ZERO)


def fresh():
    return vi.decode(FRESH_FILE)


def with_signals(*signals):
    s = fresh()
    s.signals = list(signals)
    return s


def sig(variant, *args):
    return vi.Signal(variant, dict(vi.VARIANTS)[variant](*args))


def refused(data):
    with pytest.raises(vi.DecodeError) as info:
        vi.decode(data)
    return info.value


# --- the reference protocol ------------------------------------------------

def test_fresh_file_renders_the_reference_text():
    assert len(FRESH_TEXT_NO_SIGNALS) == 3062 and FRESH_TEXT_NO_SIGNALS.count("\n") == 102
    assert vi.render(fresh()) == FRESH_TEXT


def test_empty_signal_list_renders_on_one_line():
    data = FRESH_FILE[:SIGNALS_AT] + b"\x00" + FRESH_FILE[SIGNALS_AT + 10:]
    assert vi.render(vi.decode(data)) == FRESH_TEXT_NO_SIGNALS


def test_target_machine_flag_is_the_first_byte():
    s = vi.decode(b"\x01" + FRESH_FILE[1:])
    assert s.running_on_target_machine is True
    assert vi.render(s).split("\n")[2] == "        running_on_target_machine: true,"


def test_fresh_values_and_reencoding():
    s = fresh()
    coil = s.machine_config.coils[0]
    assert (coil.name, coil.inductance, coil.settings) == (
        "Default", 150.0, [vi.LCSetting(330.0, 22.624434389140273, 221, 1)])
    assert (s.intensity, s.session_duration, s.signals) == (
        0.0, 60.0, [sig("Constant", 0.0)])
    assert s.channel_a_settings.enabled and not s.channel_b_settings.enabled
    assert vi.encode(s) == FRESH_FILE


# --- field encodings -----------------------------------------------------------

@pytest.mark.parametrize("value, encoded", [
    (0, "00"), (1, "01"), (127, "7f"), (128, "8001"), (221, "dd01"), (300, "ac02"),
    (16383, "ff7f"), (16384, "808001"), (2**63, "80808080808080808001"),
    (2**64 - 1, "ffffffffffffffffff01"),
])
def test_varint(value, encoded):
    s = fresh()
    s.machine_config.num_coils = value
    data = vi.encode(s)
    assert data[9:10 + len(encoded) // 2 - 1].hex() == encoded
    assert len(data) == 199 + len(encoded) // 2
    assert vi.decode(data).machine_config.num_coils == value


@pytest.mark.parametrize("sample, encoded", [
    (0, "00"), (-1, "01"), (1, "02"), (63, "7e"), (-64, "7f"), (64, "8001"),
    (32767, "feff03"), (-32768, "ffff03"),
])
def test_zigzag_sample(sample, encoded):
    s = with_signals(sig("Arbitrary", [sample]))
    data = vi.encode(s)
    assert data[SIGNALS_AT:SIGNALS_AT + 3 + len(encoded) // 2].hex() == "010401" + encoded
    assert vi.decode(data).signals[0].params.samples == [sample]


@pytest.mark.parametrize("signal, encoded", [
    (sig("Sine", 1.0, 2.0, 0.0, 0.5),
     "01000000000000f03f0000000000000040" "0000000000000000000000000000e03f"),
    (sig("Ramp", 1.0, 0.5, 0.25),
     "02000000000000f03f000000000000e03f000000000000d03f"),
    (sig("MixedSignal", 0, 1), "030001"),
    (sig("Arbitrary", [0, 16384, 32767]), "0403008080" "02feff03"),
])
def test_single_signal_bytes(signal, encoded):
    data = vi.encode(with_signals(signal))
    assert data[SIGNALS_AT + 1:-40].hex() == encoded
    assert vi.decode(data).signals == [signal]


def test_negative_zero_and_nan_keep_their_bits():
    nan = vi._DOUBLE.unpack(bytes.fromhex("0100000000f0ff7f"))[0]  # a payload-carrying NaN
    data = vi.encode(with_signals(sig("Constant", -0.0), sig("Constant", nan)))
    assert data[SIGNALS_AT:SIGNALS_AT + 19].hex() == (
        "02" "00" "0000000000000080" "00" "0100000000f0ff7f")
    assert vi.render(vi.decode(data)).count("value: -0.0,") == 1


# --- text form -----------------------------------------------------------------

@pytest.mark.parametrize("x, text", [
    (60.0, "60.0"), (0.1, "0.1"), (0.3, "0.3"), (100.0, "100.0"),
    (22.624434389140273, "22.624434389140273"), (0.0001, "0.0001"), (0.00012, "0.00012"),
    (0.000015, "1.5e-5"), (0.0000001, "1e-7"), (1e15, "1000000000000000.0"), (1e16, "1e16"),
    (2.5e20, "2.5e20"), (-0.0, "-0.0"), (float("-inf"), "-inf"), (float("inf"), "inf"),
    (float("nan"), "NaN"), (-float("nan"), "NaN"), (0.0, "0.0"), (-1.5, "-1.5"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e308"),
    (9999999999999998.0, "9999999999999998.0"), (0.00009999999999999999, "9.999999999999999e-5"),
    (123456789.125, "123456789.125"), (2e-5, "2e-5"), (1800.0, "1800.0"),
])
def test_format_double(x, text):
    assert vi.format_double(x) == text


@pytest.mark.parametrize("name, text", [
    ("Default", '"Default"'), ('say "hi"', r'"say \"hi\""'), ("a\\b", r'"a\\b"'),
    ("l1\nl2\r\t\0", r'"l1\nl2\r\t\0"'), ("bell\x07", r'"bell\u{7}"'), ("\x7f\x85", r'"\u{7f}\u{85}"'),
    ("it's", '"it\'s"'), ("Spule Ä €", '"Spule Ä €"'), ("zw\u200bsp", r'"zw\u{200b}sp"'),
    ("\U0010fffd", r'"\u{10fffd}"'), ("😀", '"😀"'),
])
def test_text_escapes(name, text):
    s = fresh()
    s.machine_config.coils[0].name = name
    assert f"                    name: {text},\n" in vi.render(vi.decode(vi.encode(s)))


def test_every_variant_renders_in_the_pretty_form():
    s = with_signals(sig("Sine", 1.0, 10.0, 0.0, 0.5), sig("Ramp", 1.0, 0.25, 2e-5),
                     sig("Constant", 0.5), sig("MixedSignal", 0, 1),
                     sig("Arbitrary", [0, 16384, 32767]))
    expected = "\n".join([
        "        signals: [",
        "            Sine(", "                SineSignalParams {",
        "                    amplitude: 1.0,", "                    frequency: 10.0,",
        "                    phase: 0.0,", "                    depth: 0.5,",
        "                },", "            ),",
        "            Ramp(", "                RampSignalParams {",
        "                    peak: 1.0,", "                    up_duration: 0.25,",
        "                    down_duration: 2e-5,", "                },", "            ),",
        "            Constant(", "                ConstantSignalParams {",
        "                    value: 0.5,", "                },", "            ),",
        "            MixedSignal(", "                MixedSignalParams {",
        "                    a_idx: 0,", "                    b_idx: 1,",
        "                },", "            ),",
        "            Arbitrary(", "                ArbitrarySignalParams {",
        "                    samples: [", "                        0,",
        "                        16384,", "                        32767,",
        "                    ],", "                },", "            ),",
        "        ],", ""])
    text = vi.render(vi.decode(vi.encode(s)))
    assert expected in text
    assert text == FRESH_TEXT.replace(CONSTANT_ZERO, expected)


def test_empty_sample_list_and_single_line_form():
    text = vi.render(with_signals(sig("Arbitrary", [])))
    assert "                    samples: [],\n" in text
    assert vi.render_line(vi.MixedSignalParams(0, 1)) == "MixedSignalParams { a_idx: 0, b_idx: 1 }"
    assert vi.render_line(sig("Arbitrary", [1, 2])) == (
        "Arbitrary(ArbitrarySignalParams { samples: [1, 2] })")


# --- refusals ------------------------------------------------------------------

def test_every_truncation_is_refused_with_its_offset():
    data = vi.encode(with_signals(sig("Sine", 1.0, 2.0, 3.0, 4.0), sig("MixedSignal", 300, 1),
                                  sig("Arbitrary", [0, 100, 32767])))
    for k in range(len(data)):
        e = refused(data[:k])
        assert e.offset == k, (k, str(e))
        assert f"byte offset {k}:" in str(e) and "truncated" in str(e)


def test_truncation_names_the_field():
    e = refused(FRESH_FILE[:140])
    assert e.field == "intensity" and "begun at byte offset 134" in e.reason


@pytest.mark.parametrize("extra", [b"\x00", b"\x01\x02\x03"])
def test_trailing_bytes_are_refused(extra):
    e = refused(FRESH_FILE + extra)
    assert e.offset == 200 and f"{len(extra)} trailing byte" in str(e)


def patched(offset, old, new):
    assert FRESH_FILE[offset:offset + len(old)] == old
    return FRESH_FILE[:offset] + new + FRESH_FILE[offset + len(old):]


@pytest.mark.parametrize("data, offset, field, words", [
    (patched(151, b"\x00", b"\x05"), 151, "signals[0]", "invalid signal variant index 5"),
    (patched(151, b"\x00", b"\x80\x01"), 151, "signals[0]", "invalid signal variant index 128"),
    (patched(9, b"\x02", b"\x80" * 10 + b"\x01"), 9, "machine_config.num_coils", "longer than 10"),
    (patched(9, b"\x02", b"\xff" * 9 + b"\x02"), 9, "machine_config.num_coils", "exceeds 64 bits"),
    (patched(9, b"\x02", b"\x82\x00"), 9, "machine_config.num_coils", "non-canonical"),
    (patched(0, b"\x00", b"\x02"), 0, "running_on_target_machine", "invalid boolean byte 0x02"),
    (patched(190, b"\x00", b"\xff"), 190, "monitor_trace_visible[6]", "invalid boolean byte 0xFF"),
    (patched(12, b"Default", b"Def\xffult"), 15, "machine_config.coils[0].name", "invalid UTF-8"),
    (patched(11, b"\x07Default", b"\x03\xed\xa0\x80" + b"\x00" * 4), 12,
     "machine_config.coils[0].name", "invalid UTF-8"),  # an encoded surrogate
    (patched(10, b"\x01", b"\xff\xff\xff\xff\x0f"), 200 + 4, "machine_config.coils",
     "claims 4294967295 elements"),
    (patched(150, b"\x01\x00" + bytes(8), b"\x01\x04\x01\x80\x80\x04"), 153,
     "signals[0].samples[0]", "exceeds 16 bits"),
    (patched(150, b"\x01\x00" + bytes(8), b"\x01\x04\x02\x02\xff\x80\x00"), 154,
     "signals[0].samples[1]", "non-canonical"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_impossible_values_are_refused(data, offset, field, words):
    e = refused(data)
    assert (e.offset, e.field) == (offset, field), str(e)
    assert words in e.reason


# --- summary and command line ----------------------------------------------

def test_summary_flags_dangling_routes():
    s = with_signals(sig("Sine", 1.0, 2.0, 0.0, 0.5), sig("Arbitrary", [5, 0, 7]))
    s.channel_a_settings.modulation_source = vi.SignalSourceSelection(12, 0, False)
    s.channel_b_settings.amplitude2_source = vi.SignalSourceSelection(0, 9, True)
    s.session_duration = 0.07
    text = vi.summary(s)
    assert "0.07 s (351 samples" in text
    assert "modulation:    signal 12 (missing: the protocol has 2)" in text
    assert "B2 amplitude:  external input 9 (the machine has 6)" in text
    assert "A1 amplitude:  signal 0 (Sine)" in text
    assert "1: Arbitrary(3 samples, 0 to 7, first 5, last 7)" in text


def write(tmp_path, data, name="p.vexa"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("options, expected", [
    ([], FRESH_TEXT + "\n"), (["--check"], ""), (["--summary"], vi.summary(vi.decode(FRESH_FILE)) + "\n"),
])
def test_cli_output(tmp_path, capsys, options, expected):
    assert vi.main(options + [write(tmp_path, FRESH_FILE)]) == 0
    out, err = capsys.readouterr()
    assert (out, err) == (expected, "")


@pytest.mark.parametrize("data, words", [
    (FRESH_FILE[:57], "byte offset 57: truncated input"),
    (FRESH_FILE + b"\x00", "byte offset 200: 1 trailing byte"),
    (b"", "byte offset 0: truncated input"),
])
def test_cli_refusals(tmp_path, capsys, data, words):
    path = write(tmp_path, data)
    for options in ([], ["--check"], ["--summary"]):
        assert vi.main(options + [path]) == 2
        out, err = capsys.readouterr()
        assert out == "" and err.startswith(f"vexa_view: {path}: not a valid protocol file: ")
        assert words in err


def test_cli_missing_file(tmp_path, capsys):
    assert vi.main([str(tmp_path / "absent.vexa")]) == 2
    assert "cannot read" in capsys.readouterr().err


def test_script_runs_standalone_with_stdin(tmp_path):
    script = os.path.join(TOOLS, "vexa_view.py")
    ok = subprocess.run([sys.executable, script, "-"], input=FRESH_FILE, capture_output=True)
    assert (ok.returncode, ok.stdout.decode(), ok.stderr) == (0, FRESH_TEXT + "\n", b"")
    bad = subprocess.run([sys.executable, script, write(tmp_path, FRESH_FILE[:-1])],
                         capture_output=True)
    assert bad.returncode == 2 and bad.stdout == b""
    assert b"byte offset 199: truncated input" in bad.stderr
    usage = subprocess.run([sys.executable, script], capture_output=True)
    assert usage.returncode == 2


def test_decode_does_not_share_state_between_calls():
    a, b = fresh(), fresh()
    a.machine_config.coils[0].settings.clear()
    a.monitor_trace_visible[0] = True
    assert b == vi.decode(FRESH_FILE) and b != a
    assert copy.deepcopy(b) == b


# --- the NumPy paths, across their chunk boundaries ----------------------------

@pytest.fixture
def codec(monkeypatch):
    from pyvexa_tools import _accel
    if _accel.np is None:
        pytest.skip("the NumPy paths run only under CPython with NumPy")
    monkeypatch.setattr(_accel, "ARRAY_CHUNK", 1000)  # many chunk boundaries


@pytest.mark.parametrize("samples", [[v * 7 % 65536 - 32768 for v in range(3001)],
    [-32768, 32767, 0, -1, 63, -64, 64, -65, 8191, -8192, 8192, -8193] * 417 + [5] * 1000])
def test_numpy_paths_match_the_plain_loops(codec, samples):
    data = vi.encode(with_signals(sig("Arbitrary", samples)))
    fast = vi.decode(data, arrays=True)
    assert fast.signals[0].params.samples.tolist() == samples
    # Not assert a == b: pytest's diff of two long texts takes minutes.
    same = vi.render(fast) == vi.render(vi.decode(data))
    assert same


@pytest.mark.parametrize("k", [0, 999, 1000, 2999])
@pytest.mark.parametrize("bad, words", [
    (b"\x80\x00", "non-canonical"), (b"\x80\x80\x04", "16 bit"), (b"\x80\x80\x80\x01", "16 bit")])
def test_numpy_decoder_leaves_faults_to_the_exact_loop(codec, k, bad, words):
    good = vi.encode(with_signals(sig("Arbitrary", [1000] * 3000)))  # b"\xd0\x0f" each
    at = good.index(b"\xd0\x0f" * 3000) + 2 * k
    e = refused(good[:at] + bad + good[at + 2:])
    assert (e.field, e.offset) == (f"signals[0].samples[{k}]", at) and words in e.reason
    assert "truncated input" in refused(good[:at + 1]).reason


# --- reading as it goes: load() -------------------------------------------------

class Chunks:
    """A binary stream that gives at most `most` bytes per read."""

    def __init__(self, data, most):
        self.data, self.most, self.at = data, most, 0

    def read(self, n):
        out = self.data[self.at:self.at + min(n, self.most)]
        self.at += len(out)
        return out


def outcome(read):
    try:
        return read()
    except vi.DecodeError as e:
        return str(e)


@pytest.mark.parametrize("window", [1, 7, 1500])
def test_load_agrees_with_decode(tmp_path, monkeypatch, window):
    from pyvexa_tools import decoding, load
    for name in ("_FIRST_BLOCK", "_BLOCK", "_REFILL"):
        monkeypatch.setattr(decoding, name, window)
    rng = random.Random(window)
    good = vi.encode(with_signals(
        sig("Sine", 1.0, 2.0, 3.0, 4.0), sig("Arbitrary", [rng.randint(-32768, 32767)
                                                           for _ in range(3000)]),
        sig("MixedSignal", 0, 300), sig("Arbitrary", [5] * 2000)))
    path = tmp_path / "p.vexa"
    for _ in range(60):
        data = bytearray(good)
        at = rng.randrange(len(data))
        data[at:at + rng.choice([0, 1])] = bytes([rng.randrange(256)] * rng.choice([0, 1, 2]))
        data = bytes(data[:rng.choice([len(data), rng.randrange(len(data) + 1)])])
        path.write_bytes(data)
        want = outcome(lambda: vi.decode(data))
        # A file's size is known: the same records or the same refusal.
        assert outcome(lambda: load(str(path))) == want
        got = outcome(lambda: load(Chunks(data, rng.randint(1, 9)), arrays=True, lazy=True))
        if isinstance(want, str):
            # A stream's is not: a sequence that claims more than follows is
            # refused where its bytes go wrong, if they do before the end, and
            # the bytes after the end are not counted.
            assert got == want or isinstance(got, str) and (
                "claims" in want or "trailing" in want and got.startswith(want.split(":")[0]))
        else:
            same = vi.render(got) == vi.render(want)
            assert same


def test_lazy_signals_read_like_a_list(monkeypatch):
    from pyvexa_tools import decoding
    monkeypatch.setattr(decoding, "_SMALL", 50)  # the long curve is kept decoded
    monkeypatch.setattr(decoding, "_MARK_EVERY", 4)
    signals = [sig("Constant", float(i)) for i in range(9)] + [sig("Arbitrary", [3] * 60)]
    signals += [sig("MixedSignal", i, 2 * i) for i in range(7)]
    data = vi.encode(with_signals(*signals))
    lazy = vi.decode(data, lazy=True).signals
    assert len(lazy) == 17 and lazy == signals and list(lazy) == signals
    assert [lazy[i] for i in range(-17, 17)] == signals + signals
    assert lazy[3:13] == signals[3:13] and lazy[::5] == signals[::5]
    with pytest.raises(IndexError):
        lazy[17]
    assert vi.decode(data, lazy=True) == vi.decode(data)


@pytest.mark.parametrize("source, error", [
    (lambda: __import__("io").StringIO("x"), TypeError), (lambda: 42, TypeError),
    (lambda: "/nonexistent/p.vexa", FileNotFoundError), (lambda: "/", IsADirectoryError)])
def test_load_refuses_what_it_cannot_read(source, error):
    from pyvexa_tools import load
    with pytest.raises(error):
        load(source())
