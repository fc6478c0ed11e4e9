"""Hostile input for the reader, the checker and the summary: endless
streams, absurd values, and protocols whose cost once grew faster than
their size. One table; each row says what the viewer must make of it."""
import os

import pytest

import vexa_view as vi
from pyvexa_tools import DecodeError, iter_lint, load, summary_lines
from test_decoder import fresh, sig

try:
    import tracemalloc
except ImportError:  # PyPy has none
    tracemalloc = None


class Stream:
    """A binary stream: `head`, then `tail` forever; counts what is read."""

    def __init__(self, head, tail=b"\0"):
        self.head, self.tail, self.given = head, tail, 0

    def read(self, n):
        out = self.head[self.given:self.given + n]
        if len(out) < n:
            out += (self.tail * (n // len(self.tail) + 1))[:n - len(out)]
        self.given += n
        return out


def saved(tmp_path, signals=(), **fields):
    s = fresh()
    s.signals = list(signals)
    for name, value in fields.items():
        setattr(s, name, value)
    path = tmp_path / "hostile.vexa"
    path.write_bytes(vi.encode(s))
    return str(path)


def ring(tmp_path, n=4000):
    # Each mixed signal names the next and signal 0: one group of n that
    # holds n cycles through signal 0, each as long as its end.
    return saved(tmp_path, [sig("MixedSignal", (i + 1) % n, 0) for i in range(n)])


FRESH_HEAD = vi.encode(fresh())
CURVE_OF_2_35 = FRESH_HEAD[:150] + b"\x01\x04\x80\x80\x80\x80\x80\x01"  # 2**35 samples
# (what, the input, the refusal's words or the findings' first ten
# (code, where) and their number).
HOSTILE = {
    "mixed signals in one ring of 4000": (
        ring, ([("mixed-self", "signal 0"), ("mixed-cycle", "signal 0")], 2)),
    "duration of 1e305 with a curve": (
        lambda tmp: saved(tmp, [sig("Arbitrary", [7])], session_duration=1e305),
        ([("session-range", "session"), ("curve-length", "signal 0")], 2)),
    "20,000 empty curves": (
        lambda tmp: saved(tmp, [sig("Arbitrary", [])] * 20000, session_duration=0.01),
        ([("curve-length", f"signal {i}") for i in range(10)], 20000 + 19999)),
    "endless zeros": (lambda tmp: "/dev/zero", "byte offset 123: trailing bytes"),
    "a protocol, then endless bytes": (
        lambda tmp: Stream(FRESH_HEAD, b"\x07"), "byte offset 200: trailing bytes"),
    "endless text": (lambda tmp: Stream(b"", b"y\n"), "invalid boolean byte 0x79"),
    "a curve claiming 2**35 samples, going wrong after 3000": (
        lambda tmp: Stream(CURVE_OF_2_35, b"\x02" * 2999 + b"\x80\x00"),
        "non-canonical zigzag sample (redundant zero groups) (in signals[0].samples[2999])"),
    "a coil name claiming 2**60 bytes that are not text": (
        lambda tmp: Stream(FRESH_HEAD[:11] + b"\x80\x80\x80\x80\x80\x80\x80\x80\x10", b"\xff"),
        "byte offset 20: invalid UTF-8"),
}


@pytest.mark.parametrize("make, expected", HOSTILE.values(), ids=list(HOSTILE))
def test_hostile_input(tmp_path, make, expected):
    source = make(tmp_path)
    size = os.path.getsize(source) if isinstance(source, str) else 0
    tracing = tracemalloc is not None
    if tracing:
        tracemalloc.start()
    try:
        try:
            settings = load(source, arrays=True, lazy=True)
        except DecodeError as e:
            assert expected in str(e)
            # Read on no further than one first block past the fault.
            assert getattr(source, "given", 0) <= e.offset + (1 << 16)
            size = e.offset
        else:
            found, count, text = [], 0, 0
            for f in iter_lint(settings):
                found.append((f.code, f.where)) if len(found) < 10 else None
                count += 1
                text += len(str(f))
            text += sum(len(line) for line in summary_lines(settings))
            assert (found, count) == expected
            assert text < 512 * size  # output in proportion: the ring once gave 60 MB
        if tracing:  # held in memory: a few times the input, never an object per signal
            assert tracemalloc.get_traced_memory()[1] < 4 * size + (4 << 20)  # NumPy steps: 2.5 MB
    finally:
        if tracing:
            tracemalloc.stop()
