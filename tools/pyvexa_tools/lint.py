"""Finds the mistakes a protocol can carry without a word from the module.

The module stores signal and input indices unchecked and never revisits a
curve after the session changes, and files written by other tools need not
respect the module's ranges at all. `lint` looks at a file, its bytes, a
decoded `Settings` or a live `pyvexa.Protocol` and returns one `Finding` per
mistake, each with where it is and a one-line fix.
"""
from __future__ import annotations

import os
from dataclasses import asdict, dataclass
from typing import Any, Dict, List, Tuple, Union

from ._accel import sample_range
from .decoding import decode
from .records import (ArbitrarySignalParams, ChannelSettings, ConstantSignalParams,
                      MixedSignalParams, Settings, Signal, SignalSourceSelection, num_samples)
from .text import format_double
from .textreader import parse_text

__all__ = ["Finding", "lint", "lint_settings", "load", "CODES"]

MAX_SESSION_DURATION = 1800.0
MIN_SESSION_DURATION = 0.01
MAX_SAMPLE = 32767

# Every finding's code, in the order the checks run.
CODES = (
    "session-range", "intensity-range", "intensity-above-max", "coil-missing",
    "route-missing-signal", "external-out-of-range", "mixed-missing", "mixed-self",
    "mixed-cycle", "curve-length", "sample-range",
)


@dataclass(frozen=True)
class Finding:
    """One mistake: `code` (one of CODES), `where` ("session",
    "channel A, coil A1", "signal 3", ...), what is wrong, and how to fix it."""
    code: str
    where: str
    message: str
    fix: str

    def as_dict(self) -> Dict[str, str]:
        return asdict(self)

    def __str__(self) -> str:
        return f"{self.where}: {self.message} [{self.code}]\n    fix: {self.fix}"


Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, Settings, Any]


def load(source: Source) -> Settings:
    """The Settings behind any source `lint` accepts. A Protocol object is
    read through its text form and left untouched; its empty signal list is
    shown as the one Constant 0.0 signal that saving it would write."""
    if isinstance(source, Settings):
        return source
    if isinstance(source, (bytes, bytearray, memoryview)):
        return decode(bytes(source), arrays=True)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return decode(f.read(), arrays=True)
    if type(source).__name__ == "Protocol" and hasattr(source, "get_num_samples"):
        settings = parse_text(str(source))
        if not settings.signals:
            settings.signals = [Signal("Constant", ConstantSignalParams(0.0))]
        return settings
    raise TypeError(f"cannot check a {type(source).__name__!r}: expected a file name, bytes, "
                    "Settings or a pyvexa.Protocol")


def lint(source: Source) -> List[Finding]:
    """The findings for a file name, file bytes, Settings or Protocol.
    Raises OSError or DecodeError (a ValueError) for what cannot be read."""
    return lint_settings(load(source))


def _routes(ch: ChannelSettings, name: str) -> List[Tuple[str, str, SignalSourceSelection]]:
    return [(f"channel {name}, coil {name}1", "set_amplitude_source(Coil.%s1, " % name,
             ch.amplitude1_source),
            (f"channel {name}, coil {name}2", "set_amplitude_source(Coil.%s2, " % name,
             ch.amplitude2_source),
            (f"channel {name}, modulation", "set_modulation_source(Channel.%s, " % name,
             ch.modulation_source)]


def lint_settings(s: Settings) -> List[Finding]:
    """The findings for decoded Settings, in a fixed order: session,
    machine and routing, then signal by signal."""
    out: List[Finding] = []
    add = out.append
    mc = s.machine_config
    nsig = len(s.signals)
    d = s.session_duration
    if not MIN_SESSION_DURATION <= d <= MAX_SESSION_DURATION:
        add(Finding("session-range", "session",
                    f"session_duration {format_double(d)} is outside 0.01 to 1800 seconds",
                    "set_session_duration() with a value from 0.01 to 1800"))
    x = s.intensity
    if not 0.0 <= x <= 1.0:
        add(Finding("intensity-range", "session", f"intensity {format_double(x)} is outside 0 to 1",
                    "set_stimulation_intensity() with a value from 0.0 to 1.0"))
    elif x > mc.max_intensity_setpoint:
        add(Finding("intensity-above-max", "session",
                    f"intensity {format_double(x)} is above the machine's max_intensity_setpoint "
                    f"{format_double(mc.max_intensity_setpoint)}",
                    "set_stimulation_intensity() with a value up to "
                    f"{format_double(mc.max_intensity_setpoint)}"))
    for name, ch in (("A", s.channel_a_settings), ("B", s.channel_b_settings)):
        if ch.coil_idx >= len(mc.coils):
            add(Finding("coil-missing", f"channel {name}",
                        f"coil_idx {ch.coil_idx} names no coil (the machine has {len(mc.coils)})",
                        "write the file with a coil index below the machine's coil count"))
        elif ch.coil_setting_idx >= len(mc.coils[ch.coil_idx].settings):
            add(Finding("coil-missing", f"channel {name}",
                        f"coil_setting_idx {ch.coil_setting_idx} names no row of coil "
                        f"{ch.coil_idx}'s table ({len(mc.coils[ch.coil_idx].settings)} rows)",
                        "write the file with a row index below the table's length"))
        for where, call, sel in _routes(ch, name):
            if sel.external_selected:
                n = mc.num_external_signal_sources
                if sel.external >= n:
                    add(Finding("external-out-of-range", where,
                                f"external input {sel.external} does not exist (the machine has "
                                f"{n}: 0 to {n - 1})" if n else
                                f"external input {sel.external} does not exist (the machine has "
                                "none)",
                                f"{call}True, i) with i below {n}" if n else
                                f"{call}False, i) with a signal index"))
            elif sel.internal >= nsig:
                add(Finding("route-missing-signal", where,
                            f"routed to signal {sel.internal}, but the protocol has {nsig} "
                            f"signal{'s' if nsig != 1 else ''}",
                            f"{call}False, i) with an index returned by an add_*_signal call, "
                            "or add the missing signals"))
    mixed: Dict[int, MixedSignalParams] = {}
    for i, sig in enumerate(s.signals):
        p = sig.params
        if isinstance(p, MixedSignalParams):
            mixed[i] = p
            for field in ("a_idx", "b_idx"):
                j = getattr(p, field)
                if j >= nsig:
                    add(Finding("mixed-missing", f"signal {i}",
                                f"mixed signal's {field} {j} names no signal (the protocol has "
                                f"{nsig})", "add_mixed_signal() with indices of existing "
                                "signals"))
                elif j == i:
                    add(Finding("mixed-self", f"signal {i}",
                                f"mixed signal's {field} names the mixed signal itself",
                                "add the two signals first, then add_mixed_signal() with "
                                "their indices"))
        elif isinstance(p, ArbitrarySignalParams):
            want = num_samples(d)
            if len(p.samples) != want:
                add(Finding("curve-length", f"signal {i}",
                            f"curve has {len(p.samples)} samples, the session "
                            f"({format_double(d)} s) has {want}",
                            "call set_session_duration() before add_arbitrary_signal(), "
                            "or resample the curve to get_num_samples() values"))
            if len(p.samples):
                low, high = sample_range(p.samples)
                if low < 0 or high > MAX_SAMPLE:
                    bad = next(k for k, v in enumerate(p.samples)
                               if not 0 <= v <= MAX_SAMPLE)
                    add(Finding("sample-range", f"signal {i}",
                                f"sample {bad} is {int(p.samples[bad])}, outside 0 to 32767 "
                                f"(samples range from {low} to {high})",
                                "store levels from 0.0 to 1.0 as round(level * 32767)"))
    for cycle in _cycles(mixed):
        add(Finding("mixed-cycle", f"signal {cycle[0]}",
                    "mixed signals refer to each other in a cycle: "
                    + " -> ".join(map(str, cycle + [cycle[0]])),
                    "make every mixed signal refer only to signals that do not lead back "
                    "to it"))
    return out


def _cycles(mixed: Dict[int, MixedSignalParams]) -> List[List[int]]:
    """Each cycle of two or more mixed signals once, starting at its smallest
    index (a signal naming itself is reported on its own)."""
    found: List[List[int]] = []
    seen = set()
    state: Dict[int, int] = {}  # 1 on the current path, 2 done
    for root in sorted(mixed):
        if root in state:
            continue
        path: List[int] = []
        stack: List[Tuple[int, int]] = [(root, 0)]
        while stack:
            node, k = stack.pop()
            if k == 0:
                state[node] = 1
                path.append(node)
            targets = [t for t in (mixed[node].a_idx, mixed[node].b_idx)
                       if t in mixed and t != node]
            if k < len(targets):
                stack.append((node, k + 1))
                t = targets[k]
                if state.get(t) == 1:
                    cycle = path[path.index(t):]
                    start = cycle.index(min(cycle))
                    cycle = cycle[start:] + cycle[:start]
                    if tuple(cycle) not in seen:
                        seen.add(tuple(cycle))
                        found.append(cycle)
                elif t not in state:
                    stack.append((t, 0))
            else:
                state[node] = 2
                path.pop()
    return found
