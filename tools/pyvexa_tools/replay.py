"""`codify` and `to_protocol`: a protocol turned back into the pyvexa calls
that build it, written as a script or run.

    print(codify("session.vexa"))             # a Python script, as text
    codify("session.vexa", "rebuild.py")      # writes it (long curves to rebuild.npy)
    p = to_protocol("session.vexa")           # the same calls, run: a Protocol
    p.set_stimulation_intensity(0.2)
    p.save("session.vexa")

Running the script saves the same bytes as the file it came from, under
either interpreter. Parts of a file that no call of the module writes (a
machine other than the default one, coil or table indices, trace flags,
channel A switched off) and values the calls refuse are never silently
replaced: codify and to_protocol raise CodifyError naming each, or, with
allow_changes=True, leave them out and say so in the script's first lines.
"""
from __future__ import annotations

import math
import os
import struct
import sys
from array import array
from dataclasses import dataclass, field
from typing import Any, List, Optional, Sequence, Tuple, Union

from . import sources
from ._accel import sample_range
from .compare import differences
from .decoding import decode
from .fields import double_bits
from .records import (FULL_SCALE, MAX_SESSION_DURATION, MIN_SESSION_DURATION, SAMPLING_RATE,
                      ArbitrarySignalParams, ConstantSignalParams, MachineConfig,
                      MixedSignalParams, RampSignalParams, Settings, SignalSourceSelection,
                      SineSignalParams, num_samples)
from .text import scalar_text as text

__all__ = ["CodifyError", "codify", "codify_settings", "to_protocol", "INLINE_SAMPLES"]

ENVIRONMENT = "VEXA_TARGET_MACHINE"
DEFAULT_DURATION = 60.0  # what Protocol() holds
# Curves up to this many samples are written into the script itself.
INLINE_SAMPLES = 100

# What save() writes for Protocol() away from the device: the default
# machine, which is the only one the module builds protocols for.
_DEFAULT_FILE = bytes.fromhex(
    "00000000000000544002010744656661756c740000000000c062409a9999999999b93f0000000000004440"
    "010000000000a07440efda9feeda9f3640dd0101010000000000a07440010000000000a07440060000000133"
    "3333333333d33f000000000000e03f000000000000444000000000000044400000000000805140000000000040"
    "804000000000000000000000000000004e4001000000000000000000010000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000")
_CANONICAL_NAN = 0x7FF8000000000000


def default_machine() -> MachineConfig:
    """The machine configuration every Protocol() holds."""
    return decode(_DEFAULT_FILE).machine_config


class CodifyError(ValueError):
    """The protocol holds what the module's calls cannot build. `refused`:
    values the calls refuse (an intensity above 1, a curve of 20 samples);
    `unwritable`: parts no call writes (another machine, coil indices), which
    allow_changes=True leaves at the module's defaults instead. One line
    each."""

    def __init__(self, refused: Sequence[str], unwritable: Sequence[str]) -> None:
        self.refused = list(refused)
        self.unwritable = list(unwritable)
        super().__init__("the module's calls cannot build this protocol:\n"
                         + "\n".join("    " + p for p in self.refused + self.unwritable))


# ---------------------------------------------------------------------------
# The plan: the calls that build a protocol, both as data to run
# (to_protocol) and as text (codify), so that the two cannot disagree.

@dataclass(frozen=True)
class _Member:
    enum: str   # "Coil" or "Channel"
    name: str   # "B1", "A", ...


@dataclass
class _Levels:
    samples: Any
    start: int = -1  # where the curve begins in the .npy; -1: written inline


@dataclass
class _Call:
    method: str
    args: Tuple[Any, ...]
    comment: str = ""


@dataclass
class _Plan:
    target_machine: bool
    calls: List[_Call] = field(default_factory=list)
    changes: List[str] = field(default_factory=list)  # left out (allow_changes)

    def curves(self) -> List[_Levels]:
        return [a for c in self.calls for a in c.args if isinstance(a, _Levels)]


def _same(x: float, y: float) -> bool:
    return double_bits(x) == double_bits(y)


def duration_for(n: int) -> float:
    """A session duration whose sample count is n (50 to 9,000,000): n/5000
    where that gives n, else the middle of the durations that do."""
    d = n / SAMPLING_RATE
    if num_samples(d) != n:
        d = (n - 0.5) / SAMPLING_RATE
    while num_samples(d) > n:  # a guard; the middle is far from both ends
        d = math.nextafter(d, 0.0)
    while num_samples(d) < n:
        d = math.nextafter(d, math.inf)
    return d


MIN_CURVE, MAX_CURVE = num_samples(MIN_SESSION_DURATION), num_samples(MAX_SESSION_DURATION)

_ROUTES = tuple(
    (f"channel_{ch.lower()}_settings", source, method, _Member(enum, member))
    for ch, source, method, enum, member in (
        ("A", "amplitude1_source", "set_amplitude_source", "Coil", "A1"),
        ("A", "amplitude2_source", "set_amplitude_source", "Coil", "A2"),
        ("B", "amplitude1_source", "set_amplitude_source", "Coil", "B1"),
        ("B", "amplitude2_source", "set_amplitude_source", "Coil", "B2"),
        ("A", "modulation_source", "set_modulation_source", "Channel", "A"),
        ("B", "modulation_source", "set_modulation_source", "Channel", "B")))


def _plan(s: Settings, allow_changes: bool) -> _Plan:
    problems: List[str] = []   # refused whatever the caller allows
    unwritable: List[str] = []  # what no call writes: left out when allowed

    machine = differences(default_machine(), s.machine_config, "machine_config")
    if machine:
        shown = "; ".join(str(d) for d in machine[:3])
        more = f" and {len(machine) - 3} more" if len(machine) > 3 else ""
        unwritable.append(f"the machine is not the module's default one ({shown}{more}, "
                          "default -> file); every Protocol() holds the default machine")
    for ch in ("channel_a_settings", "channel_b_settings"):
        cs = getattr(s, ch)
        for name in ("coil_idx", "coil_setting_idx"):
            if getattr(cs, name):
                unwritable.append(f"{ch}.{name} is {getattr(cs, name)}; the module always "
                                  "writes 0")
    if not s.channel_a_settings.enabled:
        unwritable.append("channel_a_settings.enabled is false; channel A is on in every "
                          "Protocol() and no call switches a channel off")
    traces = [i for i, v in enumerate(s.monitor_trace_visible) if v]
    if traces:
        unwritable.append(f"monitor_trace_visible{traces} {'is' if len(traces) == 1 else 'are'} "
                          "true; the module always writes false")
    for ch, src, _, _ in _ROUTES:
        sel: SignalSourceSelection = getattr(getattr(s, ch), src)
        other = sel.internal if sel.external_selected else sel.external
        if other:
            kept, lost = ("external", "internal") if sel.external_selected else (
                "internal", "external")
            unwritable.append(f"{ch}.{src} holds {lost} {other} beside the selected {kept} "
                              f"{getattr(sel, kept)}; a routing call writes 0 for the one "
                              "not selected")

    if not 0.0 <= s.intensity <= 1.0:
        problems.append(f"intensity {text(s.intensity)} is outside 0 to 1, which "
                        "set_stimulation_intensity() refuses")
    final = s.session_duration
    if not MIN_SESSION_DURATION <= final <= MAX_SESSION_DURATION:
        problems.append(f"session_duration {text(final)} is outside 0.01 to 1800 s, which "
                        "set_session_duration() refuses")
    if not s.signals:
        problems.append("signals is empty; save() always writes at least one signal")
    for i, sig in enumerate(s.signals):
        p = sig.params
        if not isinstance(p, ArbitrarySignalParams):
            continue
        n = len(p.samples)
        if not MIN_CURVE <= n <= MAX_CURVE:
            problems.append(f"signals[{i}] is a curve of {n} samples; add_arbitrary_signal() "
                            f"takes one sample per sample of the session, {MIN_CURVE} to "
                            f"{MAX_CURVE}")
        if n:
            low, high = sample_range(p.samples)
            if low < 0 or high > FULL_SCALE:
                problems.append(f"signals[{i}] holds levels from {low} to {high}; "
                                f"add_arbitrary_signal() stores only 0 to {FULL_SCALE} "
                                "(0.0 to 1.0)")
    if problems or (unwritable and not allow_changes):
        raise CodifyError(problems, unwritable)

    plan = _Plan(s.running_on_target_machine, changes=unwritable)
    add = plan.calls.append
    current = DEFAULT_DURATION
    first_curve = next((len(sig.params.samples) for sig in s.signals
                        if isinstance(sig.params, ArbitrarySignalParams)), None)
    # The session's own duration first, unless the first curve needs another.
    if not _same(final, current) and first_curve in (None, num_samples(final)):
        add(_Call("set_session_duration", (final,)))
        current = final
    if not _same(s.intensity, 0.0):
        add(_Call("set_stimulation_intensity", (s.intensity,)))
    if s.channel_b_settings.enabled:
        add(_Call("enable_channel", (_Member("Channel", "B"),)))
    for i, sig in enumerate(s.signals):
        p = sig.params
        if isinstance(p, ArbitrarySignalParams):
            n = len(p.samples)
            if num_samples(current) != n:
                # The duration in force when a curve is added decides its
                # length; the file keeps the length, not that duration.
                current = final if num_samples(final) == n else duration_for(n)
                add(_Call("set_session_duration", (current,),
                          f"{n} samples for the next curve"))
            add(_Call("add_arbitrary_signal", (_Levels(p.samples),), f"signal {i}"))
        elif isinstance(p, ConstantSignalParams):
            add(_Call("add_constant_signal", (p.value,), f"signal {i}"))
        elif isinstance(p, SineSignalParams):
            add(_Call("add_sine_signal", (p.amplitude, p.frequency, p.phase, p.depth),
                      f"signal {i}"))
        elif isinstance(p, RampSignalParams):
            add(_Call("add_ramp_signal", (p.peak, p.up_duration, p.down_duration),
                      f"signal {i}"))
        else:
            assert isinstance(p, MixedSignalParams)
            add(_Call("add_mixed_signal", (p.a_idx, p.b_idx), f"signal {i}"))
    if not _same(current, final):
        add(_Call("set_session_duration", (final,), "the session's own duration"))
    # Every route of an enabled channel, so the script shows where each
    # takes its signal from; of a disabled one, those that were set.
    for ch, src, method, member in _ROUTES:
        sel = getattr(getattr(s, ch), src)
        index = sel.external if sel.external_selected else sel.internal
        if sel.external_selected or index or getattr(s, ch).enabled:
            add(_Call(method, (member, sel.external_selected, index)))
    return plan


# ---------------------------------------------------------------------------
# Running the plan.

def to_protocol(source: sources.Source, allow_changes: bool = False) -> Any:
    """A new pyvexa.Protocol built by the calls that codify() writes for
    `source` (as for codify()): it saves the same bytes. Raises CodifyError for what the calls cannot build (with
    allow_changes=True, those parts keep the module's defaults instead),
    OSError or DecodeError for a file that cannot be read. Curves need
    NumPy. VEXA_TARGET_MACHINE is set or removed while Protocol() runs and
    restored afterwards, so do not build protocols in other threads then."""
    plan = _plan(sources.as_settings(source), allow_changes)
    import pyvexa
    np: Any = None
    if plan.curves():
        import numpy
        np = numpy
    saved = os.environ.pop(ENVIRONMENT, None)
    try:
        if plan.target_machine:
            os.environ[ENVIRONMENT] = "1"
        p = pyvexa.Protocol()
    finally:
        os.environ.pop(ENVIRONMENT, None)
        if saved is not None:
            os.environ[ENVIRONMENT] = saved

    def value(a: Any) -> Any:
        if isinstance(a, _Member):
            return getattr(getattr(pyvexa, a.enum), a.name)
        if isinstance(a, _Levels):
            assert np is not None
            return np.asarray(a.samples, dtype=np.float64) / FULL_SCALE
        return a

    for call in plan.calls:
        getattr(p, call.method)(*map(value, call.args))
    return p


# ---------------------------------------------------------------------------
# Writing the plan as a script.

def codify(source: sources.Source, script: Optional[Union[str, "os.PathLike[str]"]] = None,
           allow_changes: bool = False, output: Optional[str] = None) -> str:
    """A Python script that rebuilds `source` (a file name, file bytes, a
    binary file object, Settings or a Protocol, left untouched) with pyvexa
    and saves it to its first argument, or to `output` (default: the source
    file's name, else "protocol.vexa").

    With `script`, the script is also written there, and curves longer than
    INLINE_SAMPLES go beside it, into a .npy file of the same name; without,
    such curves raise ValueError. Raises CodifyError for what the module's
    calls cannot build (see to_protocol)."""
    if output is None:  # bytes are the file's contents, not its name
        output = (os.path.basename(os.fsdecode(source))
                  if isinstance(source, (str, os.PathLike)) else "protocol.vexa")
    return codify_settings(sources.as_settings(source), script, allow_changes, output)[0]


def codify_settings(settings: Settings, script: Optional[Union[str, "os.PathLike[str]"]],
                    allow_changes: bool, output: str) -> Tuple[str, List[str]]:
    """codify() of decoded settings: the script, and what it leaves out
    (with allow_changes)."""
    plan = _plan(settings, allow_changes)
    long = [c for c in plan.curves() if len(c.samples) > INLINE_SAMPLES
            and not _constant(c.samples)]
    npy = None
    if long:
        if script is None:
            raise ValueError(f"{len(long)} curve{'s' if len(long) > 1 else ''} of more than "
                             f"{INLINE_SAMPLES} samples go to a .npy file beside the script: "
                             "give the script's path")
        npy = os.path.splitext(os.fspath(script))[0] + ".npy"
        start = 0
        for c in long:
            c.start = start
            start += len(c.samples)
        _write_npy(npy, [c.samples for c in long], start)
    name = os.path.basename(os.fspath(script)) if script is not None else "SCRIPT.py"
    text = _Script(plan, output, os.path.basename(npy) if npy else None, name).text()
    if script is not None:
        with open(script, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)
    return text, plan.changes


def _constant(samples: Any) -> bool:
    low, high = sample_range(samples) if len(samples) else (0, 1)
    return low == high


def _write_npy(path: str, curves: List[Any], total: int) -> None:
    """The curves one after another as one int16 .npy file (format 1.0),
    written without NumPy, which the tools do not need."""
    header = f"{{'descr': '<i2', 'fortran_order': False, 'shape': ({total},), }}"
    header += " " * (63 - (10 + len(header)) % 64) + "\n"
    with open(path, "wb") as f:
        f.write(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("ascii"))
        for samples in curves:
            if hasattr(samples, "astype"):
                f.write(samples.astype("<i2").tobytes())
            else:
                a = array("h", samples)
                if sys.byteorder == "big":
                    a.byteswap()
                f.write(a.tobytes())


def _string(s: str) -> str:
    """A Python literal for s, in double quotes where it can be."""
    r = repr(s)
    return f'"{r[1:-1]}"' if r[0] == "'" and '"' not in s else r


class _Script:
    def __init__(self, plan: _Plan, output: str, npy: Optional[str], name: str) -> None:
        self.name = name
        self.plan = plan
        self.output = output
        self.npy = npy
        self.imports = {"os", "sys"}
        self.names = {"Protocol"}
        self.double_helper = False

    def literal(self, a: Any) -> str:
        if isinstance(a, str):
            return _string(a)
        if isinstance(a, _Member):
            self.names.add(a.enum)
            return f"{a.enum}.{a.name}"
        if isinstance(a, bool) or isinstance(a, int):
            return repr(a)
        if isinstance(a, _Levels):
            return self.levels(a)
        assert isinstance(a, float)
        if math.isfinite(a):
            return repr(a)
        if math.isinf(a):
            self.imports.add("math")
            return "math.inf" if a > 0 else "-math.inf"
        if double_bits(a) == _CANONICAL_NAN:
            self.imports.add("math")
            return "math.nan"
        self.imports.add("struct")
        self.double_helper = True
        return f"double(0x{double_bits(a):016x})"

    def levels(self, c: _Levels) -> str:
        n = len(c.samples)
        if c.start >= 0:
            return f"levels({c.start}, {n})"
        if n and _constant(c.samples):
            return f"np.full({n}, {int(c.samples[0])}) / {FULL_SCALE}"
        values = [str(int(v)) for v in c.samples]
        rows, row = [], ""
        for v in values:
            if len(row) + len(v) + 2 > 84:
                rows.append(row.rstrip())
                row = ""
            row += v + ", "
        rows.append(row.rstrip())
        body = "\n".join("    " + r for r in rows)
        return f"np.array([\n{body}\n]) / {FULL_SCALE}"

    def text(self) -> str:
        plan = self.plan
        body: List[str] = []
        for call in plan.calls:
            line = f"p.{call.method}({', '.join(self.literal(a) for a in call.args)})"
            if call.comment:
                first, nl, rest = line.partition("\n")
                line = f"{first}  # {call.comment}{nl}{rest}" if nl else (
                    f"{line}  # {call.comment}")
            body.append(line)
        out = ['"""Rebuilds ' + self.output + " with pyvexa (written by vexa-view codify).",
               "",
               f"    python {self.name} [OUTPUT.vexa]      (default: {self.output})",
               '"""']
        if plan.changes:
            out += ["# NOT the same protocol: no call of the module writes these parts of "
                    "the file,", "# so the file this script saves has the defaults instead:"]
            out += [f"#   - {c}" for c in plan.changes]
        imports = sorted(self.imports)
        out += [f"import {m}" for m in imports]
        if plan.curves():
            out += ["", "import numpy as np"]
        out += ["", f"from pyvexa import {', '.join(sorted(self.names))}", ""]
        if self.double_helper:
            out += ["", "def double(bits):",
                    '    """The double with these bits: a NaN whose payload no literal '
                    'writes."""',
                    '    return struct.unpack("<d", bits.to_bytes(8, "little"))[0]',
                    ""]
        if self.npy is not None:
            out += ["",
                    f"# The long curves' stored levels (0 to {FULL_SCALE}), one after another.",
                    "LEVELS = np.load(os.path.join(os.path.dirname(os.path.abspath(__file__)), "
                    f"{_string(self.npy)}))", "", "",
                    "def levels(start, count):",
                    '    """count levels from LEVELS as the 0.0 to 1.0 values stored as them."""',
                    f"    return LEVELS[start:start + count] / {FULL_SCALE}", ""]
        out.append("")
        if plan.target_machine:
            out += ["# Written on the device itself: Protocol() records that when "
                    f"{ENVIRONMENT} is set.", f'os.environ["{ENVIRONMENT}"] = "1"']
        else:
            out += ["# Not written on the device: Protocol() would record that if "
                    f"{ENVIRONMENT} were set.", f'os.environ.pop("{ENVIRONMENT}", None)']
        out.append("p = Protocol()")
        out += body
        out.append(f"p.save(sys.argv[1] if len(sys.argv) > 1 else {_string(self.output)})")
        return "\n".join(out) + "\n"
