"""The text form shown by str(Protocol)."""
import errno
import hashlib
import math
import os

import pytest

from pyvexa import Protocol
from conftest import ENV_VAR, np, run_python, signals_of
from golden import FIVE_SIGNALS_TEXT, FRESH_TEXT

TARGET_LINE_FALSE = "        running_on_target_machine: false,"
TARGET_LINE_TRUE = "        running_on_target_machine: true,"


def test_reference_text_is_intact():
    lines = FRESH_TEXT.split("\n")
    assert (len(lines), len(FRESH_TEXT.encode())) == (103, 3062)
    assert lines[2] == TARGET_LINE_FALSE


def test_fresh_protocol_text(proto):
    text = str(proto)
    assert type(text) is str
    assert text == FRESH_TEXT
    # Rendering twice, and rendering a second object, gives the same text.
    assert str(proto) == text == str(Protocol())


@pytest.mark.parametrize("value", ["", "0", "false", "1", "yes please", "\u00e9t\u00e9"])
def test_target_machine_variable_set(monkeypatch, value):
    monkeypatch.setenv(ENV_VAR, value)
    p = Protocol()
    monkeypatch.delenv(ENV_VAR)
    # The flag was taken when the protocol was made and stays.
    expected = FRESH_TEXT.replace(TARGET_LINE_FALSE, TARGET_LINE_TRUE)
    assert str(p) == expected
    assert str(Protocol()) == FRESH_TEXT


def test_target_machine_variable_not_utf8(monkeypatch):
    monkeypatch.setitem(os.environb, os.fsencode(ENV_VAR), b"\xff\xfe")
    assert str(Protocol()) == FRESH_TEXT


def test_variable_set_after_creation(monkeypatch, proto):
    monkeypatch.setenv(ENV_VAR, "1")
    assert str(proto) == FRESH_TEXT


def test_all_five_variants():
    p = Protocol()
    p.set_session_duration(0.01)
    p.add_sine_signal(1.0, 10.0, 0.0, 0.5)
    p.add_ramp_signal(1.0, 0.25, 2e-5)
    p.add_constant_signal(0.5)
    p.add_mixed_signal(0, 1)
    signal_lines = FIVE_SIGNALS_TEXT.split("\n")
    arbitrary_start = signal_lines.index("            Arbitrary(")
    if np is not None:
        # A session has at least 50 samples: the reference's three samples
        # are followed by 47 more of 1.0.
        p.add_arbitrary_signal(np.array([0.0, 0.5, 1.0] + [1.0] * 47))
        samples_end = signal_lines.index("                    ],")
        signal_lines[samples_end:samples_end] = ["                        32767,"] * 47
    else:
        del signal_lines[arbitrary_start:-1]
    expected = FRESH_TEXT.replace("        signals: [],", "\n".join(signal_lines)).replace(
        "        session_duration: 60.0,", "        session_duration: 0.01,")
    assert str(p) == expected


@pytest.mark.parametrize("value, text", [
    (60.0, "60.0"), (0.1, "0.1"), (0.3, "0.3"), (100.0, "100.0"),
    (22.624434389140273, "22.624434389140273"),
    (0.0001, "0.0001"), (0.00012, "0.00012"), (0.000015, "1.5e-5"), (0.0000001, "1e-7"),
    (1e15, "1000000000000000.0"), (1e16, "1e16"), (2.5e20, "2.5e20"),
    (9999999999999998.0, "9999999999999998.0"), (0.00009999999999999999, "9.999999999999999e-5"),
    (-0.0, "-0.0"), (0.0, "0.0"), (-math.inf, "-inf"), (math.inf, "inf"),
    (math.nan, "NaN"), (-math.nan, "NaN"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e308"),
    (-1234.5, "-1234.5"), (123456789.125, "123456789.125"), (1 / 3, "0.3333333333333333"),
    (2.0**-1074 * 3, "1.5e-323"), (1e-5, "1e-5"), (-2e-5, "-2e-5"), (1e23, "1e23"),
])
def test_double_form(proto, value, text):
    proto.add_constant_signal(value)
    assert signals_of(proto) == [("Constant", {"value": text})]
    assert f"\n                ConstantSignalParams {{\n                    value: {text},\n" in str(proto)


def test_text_has_no_trailing_newline(proto):
    proto.add_constant_signal(1.0)
    text = str(proto)
    assert text.startswith("Protocol {\n    settings: Settings {\n")
    assert text.endswith("\n    },\n}")


# str() faults a large text's fresh memory in with one madvise call where
# the kernel takes it. Where the kernel refuses (too old to know the
# advice, a filter, no memory now) the text must be the same, and a
# permanent refusal is not asked again. The refusal is real: a library
# preloaded into a child makes the C library's madvise fail.
REFUSE_POPULATE = os.environ.get("PYVEXA_REFUSE_POPULATE")
LARGE_TEXT = """
def large_text_protocol():      # about 3 MB of text, constants and sines
    p = pyvexa.Protocol()
    for i in range(10_000):
        p.add_constant_signal(i / 7)
        p.add_sine_signal(1.0, 10.0 + i % 50, 0.25, 0.5)
    return p
"""


def digest(text):
    return [len(text), hashlib.sha256(text.encode()).hexdigest()]


@pytest.mark.skipif(not REFUSE_POPULATE, reason="needs the preload library meson builds")
@pytest.mark.parametrize("refusal, asked", [("EINVAL", 1), ("EPERM", 1), ("ENOSYS", 1),
                                            ("ENOMEM", 3)])
def test_text_is_the_same_when_the_kernel_refuses_to_fault_it_in(monkeypatch, refusal, asked):
    preload = [p for p in os.environ.get("LD_PRELOAD", "").split(":") if p]
    monkeypatch.setenv("LD_PRELOAD", ":".join(preload + [REFUSE_POPULATE]))
    monkeypatch.setenv("PYVEXA_REFUSE_ERRNO", str(getattr(errno, refusal)))
    # meson test sets it: glibc then fills every new block, and memory that
    # is already there is not advised.
    monkeypatch.delenv("MALLOC_PERTURB_", raising=False)
    got = run_python(LARGE_TEXT + f"""
import ctypes, hashlib, pyvexa
p = large_text_protocol()
texts = [str(p) for _ in range(3)]      # each in fresh memory
refused = ctypes.CDLL({REFUSE_POPULATE!r}).refused_populate_calls()
print(json.dumps([[len(t), hashlib.sha256(t.encode()).hexdigest()] for t in texts] + [refused]))
""")
    scope = {"pyvexa": __import__("pyvexa")}
    exec(LARGE_TEXT, scope)
    assert got == [digest(str(scope["large_text_protocol"]()))] * 3 + [asked]
