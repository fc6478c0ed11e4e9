"""The checker, the NumPy decoding path and the text-form reader (the
command's lint and check are in test_cli's table)."""
import os
import random
import tempfile
import threading

import pytest

import vexa_view as vi
from pyvexa_tools import codec, lint, parse_text
from test_decoder import fresh, sig
from test_hostile import tracemalloc


def curve(n, value=100):
    return sig("Arbitrary", [value] * n)


def sel(internal=0, external=0, ext=False):
    return vi.SignalSourceSelection(internal, external, ext)


def mixed(a, b):
    return sig("MixedSignal", a, b)


def setattr_path(s, path, value):
    *parents, last = path.split(".")
    for p in parents:
        s = getattr(s, p)
    setattr(s, last, value)


NAN, INF = float("nan"), float("inf")

# (what to change in a fresh protocol, the expected (code, where) list).
# The session is set to 0.01 s (50 samples) so that curves stay small, and
# channel A takes signal 0 and (modulation) signal 1.
CASES = {
    "clean": ([], []),
    "session too long": ([("session_duration", 1800.5)],
                         [("session-range", "session"), ("curve-length", "signal 1")]),
    "session negative": ([("session_duration", -3.0)],
                         [("session-range", "session"), ("curve-length", "signal 1")]),
    "intensity out of range": ([("intensity", 5.0)], [("intensity-range", "session")]),
    "intensity NaN": ([("intensity", float("nan"))], [("intensity-range", "session")]),
    "intensity above machine max": ([("intensity", 0.31)], [("intensity-above-max", "session")]),
    "no such coil": ([("channel_b_settings.coil_idx", 1)], [("coil-missing", "channel B")]),
    "no such coil row": ([("channel_a_settings.coil_setting_idx", 1)],
                         [("coil-missing", "channel A")]),
    "route past the signals": ([("channel_a_settings.amplitude2_source", sel(5))],
                               [("route-missing-signal", "channel A, coil A2")]),
    "modulation past the signals": ([("channel_b_settings.modulation_source", sel(2))],
                                    [("route-missing-signal", "channel B, modulation"),
                                     ("route-channel-disabled", "channel B, modulation")]),
    "external input beyond the machine": ([("channel_b_settings.enabled", True),
                                           ("channel_b_settings.amplitude1_source",
                                            sel(99, 6, True))],
                                          [("external-out-of-range", "channel B, coil B1")]),
    "mixed past the list": ([("signals", [sig("Constant", 0.0), curve(50), mixed(0, 7)])],
                            [("mixed-missing", "signal 2"), ("signal-unrouted", "signal 2")]),
    "mixed names itself": ([("signals", [sig("Constant", 0.0), curve(50), mixed(2, 0)])],
                           [("mixed-self", "signal 2"), ("signal-unrouted", "signal 2")]),
    "mixed cycle": ([("signals", [mixed(0, 1), curve(50), mixed(3, 1), mixed(2, 0)])],
                    [("mixed-self", "signal 0"), ("mixed-cycle", "signal 2"),
                     ("signal-unrouted", "signal 2"), ("signal-unrouted", "signal 3")]),
    "routed through a mix": ([("channel_a_settings.modulation_source", sel(2)),
                              ("signals", [sig("Constant", 0.0), curve(50), mixed(1, 1)])], []),
    "signal nothing routes to": ([("signals", [sig("Constant", 0.0), curve(50), mixed(0, 0),
                                               sig("Ramp", 1.0, 2.0, 3.0)])],
                                 [("signal-unrouted", "signal 2"),
                                  ("signal-unrouted", "signal 3")]),
    "route on a channel never enabled": ([("channel_b_settings.modulation_source", sel(1))],
                                         [("route-channel-disabled", "channel B, modulation")]),
    "NaN sine frequency": ([("signals", [sig("Sine", 1.0, NAN, 0.0, 1.0), curve(50)])],
                           [("non-finite", "signal 0")]),
    "infinite ramp and constant": ([("signals", [sig("Ramp", 1.0, 0.0, -INF),
                                                 sig("Constant", INF)])],
                                   [("non-finite", "signal 0"), ("non-finite", "signal 1")]),
    "non-finite machine values": ([("machine_config.max_power", INF),
                                   ("machine_config.capacitors", [330.0, NAN])],
                                  [("non-finite", "machine")]),
    "curve left behind by a new session": ([("session_duration", 0.02)],
                                           [("curve-length", "signal 1")]),
    "negative sample": ([("signals", [sig("Constant", 0.0), sig("Arbitrary", [0] * 49 + [-1])])],
                        [("sample-range", "signal 1")]),
}


@pytest.mark.parametrize("changes, expected", CASES.values(), ids=list(CASES))
def test_each_finding(changes, expected):
    s = fresh()
    s.session_duration = 0.01
    s.signals = [sig("Constant", 0.0), curve(50)]
    s.channel_a_settings.modulation_source = sel(1)
    for path, value in changes:
        setattr_path(s, path, value)
    findings = lint(vi.encode(s))
    assert [(f.code, f.where) for f in findings] == expected
    assert all(f.fix and "\n" not in f.fix + f.message for f in findings)
    assert [f.severity for f in findings] == [
        "warning" if code in ("signal-unrouted", "route-channel-disabled") else "error"
        for code, _ in expected]


def test_numpy_decoding_matches_the_exact_loop(numpy):
    rng = random.Random(5)
    samples = [rng.choice([0, 1, -1, 63, -64, 64, 8191, 8192, 32767, -32768,
                           rng.randint(-32768, 32767)]) for _ in range(5000)]
    s = fresh()
    s.signals = [sig("Arbitrary", samples), sig("Arbitrary", list(range(-3000, 3000)))]
    data = vi.encode(s)
    as_arrays = vi.decode(data, arrays=True)
    # Arrays only where NumPy speeds things up (not under PyPy).
    kind = list if codec._np is None else numpy.ndarray
    assert all(type(x.params.samples) is kind for x in as_arrays.signals)
    assert [list(x.params.samples) for x in as_arrays.signals] == \
        [x.params.samples for x in s.signals]
    assert vi.decode(data) == s and vi.render(as_arrays) == vi.render(s)
    # A padded varint deep inside a long curve: the fast path gives way and
    # the exact one names the sample.
    s.signals = [sig("Arbitrary", [5] * 5000)]  # one byte each, from offset 154
    data = vi.encode(s)
    with pytest.raises(vi.DecodeError) as info:
        vi.decode(data[:154 + 4000] + b"\x8a\x00" + data[154 + 4001:], arrays=True)
    assert (info.value.offset, info.value.field) == (4154, "signals[0].samples[4000]")


def test_lint_reads_a_live_protocol_without_touching_it(pyvexa, numpy):
    p = pyvexa.Protocol()
    p.set_session_duration(0.5)
    p.add_arbitrary_signal(numpy.linspace(0.0, 1.0, p.get_num_samples()))
    p.add_mixed_signal(1, 0)
    p.add_sine_signal(-1.5, float("inf"), 1e300, float("nan"))
    p.set_amplitude_source(pyvexa.Coil.B2, False, 5)
    p.set_session_duration(0.25)
    p.set_stimulation_intensity(0.75)
    before = str(p)
    found = [(f.code, f.where) for f in lint(p)]
    assert found == [("intensity-above-max", "session"),
                     ("route-missing-signal", "channel B, coil B2"),
                     ("route-channel-disabled", "channel B, coil B2"),
                     ("curve-length", "signal 0"), ("mixed-self", "signal 1"),
                     ("non-finite", "signal 2"), ("signal-unrouted", "signal 1"),
                     ("signal-unrouted", "signal 2")]
    assert str(p) == before
    assert vi.render(parse_text(before)) == before
    empty = pyvexa.Protocol()
    assert lint(empty) == [] and "signals: []" in str(empty)


def test_lint_reads_a_large_live_protocol_from_a_save(pyvexa, numpy, monkeypatch):
    p = pyvexa.Protocol()
    p.add_arbitrary_signal(numpy.linspace(0.0, 1.0, p.get_num_samples()))  # 300,000 samples
    p.set_session_duration(30.0)
    text = str(p)
    if tracemalloc:  # CPython
        tracemalloc.start()
    try:
        found = lint(p)
        peak = tracemalloc.get_traced_memory()[1] if tracemalloc else 0
    finally:
        tracemalloc and tracemalloc.stop()
    assert [(f.code, f.where) for f in found] == [("curve-length", "signal 0")]
    assert str(p) == text and peak < 1.5 * len(text)  # reading the text back took 3x
    # Beside another thread nothing is forked: saved here once the text
    # shows signals, an empty protocol read from its text.
    empty, release = pyvexa.Protocol(), threading.Event()
    helper = threading.Thread(target=release.wait)
    helper.start()
    try:
        assert lint(p) == found and lint(empty) == [] and "signals: []" in str(empty)
    finally:
        release.set()
        helper.join()
    # With nowhere to save it, the text is read back after all.
    monkeypatch.setattr(tempfile, "mkdtemp", lambda **kw: os.mkdir("/"))
    assert lint(p) == found


def test_parse_text_refuses_other_text():
    text = vi.render(fresh())
    for broken in (text[:-3], text.replace("true", "yes"), text + " x", "Protocol"):
        with pytest.raises(ValueError):
            parse_text(broken)
