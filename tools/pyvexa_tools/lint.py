"""Finds the mistakes a protocol can carry without a word from the module.

The module stores signal and input indices unchecked and never revisits a
curve after the session changes, and files written by other tools need not
respect the module's ranges at all. `lint` looks at a file, its bytes, a
decoded `Settings` or a live `pyvexa.Protocol` and returns one `Finding` per
mistake, each with where it is, a one-line fix and a severity: an error is
something the device cannot do as written, a warning something it will do
that is most likely not what was meant.
"""
from __future__ import annotations

import math
from array import array
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from ._accel import sample_range
from .records import (FULL_SCALE, MAX_SESSION_DURATION, MIN_SESSION_DURATION,
                      ArbitrarySignalParams, ChannelSettings, ConstantSignalParams,
                      MachineConfig, MixedSignalParams, RampSignalParams, Settings,
                      SignalSourceSelection, SineSignalParams, num_samples)
from .sources import Source, as_settings
from .text import format_double

__all__ = ["Finding", "lint", "lint_settings", "iter_lint", "load", "CODES", "ERROR", "WARNING"]

# Callers reached the reader as lint.load before it served diff and codify too.
load = as_settings

ERROR = "error"
WARNING = "warning"

# Every finding's code, in the order the checks run.
CODES = (
    "session-range", "intensity-range", "intensity-above-max", "non-finite", "coil-missing",
    "route-missing-signal", "external-out-of-range", "route-channel-disabled", "mixed-missing",
    "mixed-self", "curve-length", "sample-range", "mixed-cycle", "signal-unrouted",
)


@dataclass(frozen=True)
class Finding:
    """One mistake: `code` (one of CODES), `where` ("session",
    "channel A, coil A1", "signal 3", ...), what is wrong, how to fix it,
    and its `severity`, ERROR or WARNING."""
    code: str
    where: str
    message: str
    fix: str
    severity: str = ERROR

    def as_dict(self) -> Dict[str, str]:
        return {"code": self.code, "where": self.where, "message": self.message,
                "fix": self.fix, "severity": self.severity}

    def __str__(self) -> str:
        return (f"{self.where}: {self.severity}: {self.message} [{self.code}]\n"
                f"    fix: {self.fix}")


def lint(source: Source) -> List[Finding]:
    """The findings for a file name, file bytes, a binary file object,
    Settings or a Protocol. Raises OSError or DecodeError (a ValueError) for
    what cannot be read."""
    return list(_check(as_settings(source)))


def iter_lint(source: Source) -> Iterator[Finding]:
    """The findings of lint(source) one at a time, in the same order: for a
    protocol with too many findings to hold them all. The source is read
    (and any error raised) before the first finding is given."""
    return _check(as_settings(source))


def lint_settings(s: Settings) -> List[Finding]:
    """The findings for decoded Settings, in a fixed order: session,
    machine and routing, then signal by signal, then what involves several
    signals (cycles of mixed signals, signals nothing routes to)."""
    return list(_check(s))


def _routes(ch: ChannelSettings, name: str) -> List[Tuple[str, str, SignalSourceSelection]]:
    return [(f"channel {name}, coil {name}1", "set_amplitude_source(Coil.%s1, " % name,
             ch.amplitude1_source),
            (f"channel {name}, coil {name}2", "set_amplitude_source(Coil.%s2, " % name,
             ch.amplitude2_source),
            (f"channel {name}, modulation", "set_modulation_source(Channel.%s, " % name,
             ch.modulation_source)]


_UNSET = SignalSourceSelection()  # what Protocol() gives every source
_SHOWN = 3  # non-finite values named in one finding
_CYCLE_SHOWN = 24  # signals of a long cycle named in its finding


def _non_finite(names: List[Tuple[str, float]]) -> str:
    shown = ", ".join(f"{name} is {format_double(v)}" for name, v in names[:_SHOWN])
    return shown + (f" (and {len(names) - _SHOWN} more)" if len(names) > _SHOWN else "")


def _machine_non_finite(mc: MachineConfig) -> List[Tuple[str, float]]:
    bad: List[Tuple[str, float]] = []
    isfinite = math.isfinite
    for name in ("supply_voltage", "max_intensity_setpoint", "max_current",
                 "max_carrier_frequency", "max_temperature", "min_flowrate", "max_power"):
        if not isfinite(getattr(mc, name)):
            bad.append((name, getattr(mc, name)))
    for i, coil in enumerate(mc.coils):
        for name in ("inductance", "max_current", "max_carrier_frequency"):
            if not isfinite(getattr(coil, name)):
                bad.append((f"coils[{i}].{name}", getattr(coil, name)))
        for j, row in enumerate(coil.settings):
            for name in ("capacitance", "carrier_frequency"):
                if not isfinite(getattr(row, name)):
                    bad.append((f"coils[{i}].settings[{j}].{name}", getattr(row, name)))
    for name in ("capacitors", "possible_capacitances"):
        for i, v in enumerate(getattr(mc, name)):
            if not isfinite(v):
                bad.append((f"{name}[{i}]", v))
    return bad


_PARAMS = {ConstantSignalParams: ("constant", ("value",)),
           SineSignalParams: ("sine", ("amplitude", "frequency", "phase", "depth")),
           RampSignalParams: ("ramp", ("peak", "up_duration", "down_duration"))}


def _check(s: Settings) -> Iterator[Finding]:
    mc = s.machine_config
    signals = s.signals
    nsig = len(signals)
    d = s.session_duration
    if not MIN_SESSION_DURATION <= d <= MAX_SESSION_DURATION:
        yield Finding("session-range", "session",
                      f"session_duration {format_double(d)} is outside 0.01 to 1800 seconds",
                      "set_session_duration() with a value from 0.01 to 1800")
    x = s.intensity
    if not 0.0 <= x <= 1.0:
        yield Finding("intensity-range", "session",
                      f"intensity {format_double(x)} is outside 0 to 1",
                      "set_stimulation_intensity() with a value from 0.0 to 1.0")
    elif x > mc.max_intensity_setpoint:
        yield Finding("intensity-above-max", "session",
                      f"intensity {format_double(x)} is above the machine's "
                      f"max_intensity_setpoint {format_double(mc.max_intensity_setpoint)}",
                      "set_stimulation_intensity() with a value up to "
                      f"{format_double(mc.max_intensity_setpoint)}")
    bad = _machine_non_finite(mc)
    if bad:
        yield Finding("non-finite", "machine",
                      f"the machine description holds values that are not numbers: "
                      f"{_non_finite(bad)}",
                      "write the file with the machine's finite values (Protocol() carries "
                      "the default machine's)")
    routed: List[int] = []  # the signals the channels take, enabled or not
    for name, ch in (("A", s.channel_a_settings), ("B", s.channel_b_settings)):
        if ch.coil_idx >= len(mc.coils):
            yield Finding("coil-missing", f"channel {name}",
                          f"coil_idx {ch.coil_idx} names no coil (the machine has "
                          f"{len(mc.coils)})",
                          "write the file with a coil index below the machine's coil count")
        elif ch.coil_setting_idx >= len(mc.coils[ch.coil_idx].settings):
            yield Finding("coil-missing", f"channel {name}",
                          f"coil_setting_idx {ch.coil_setting_idx} names no row of coil "
                          f"{ch.coil_idx}'s table ({len(mc.coils[ch.coil_idx].settings)} rows)",
                          "write the file with a row index below the table's length")
        for where, call, sel in _routes(ch, name):
            if sel.external_selected:
                n = mc.num_external_signal_sources
                if sel.external >= n:
                    yield Finding(
                        "external-out-of-range", where,
                        f"external input {sel.external} does not exist (the machine has "
                        f"{n}: 0 to {n - 1})" if n else
                        f"external input {sel.external} does not exist (the machine has none)",
                        f"{call}True, i) with i below {n}" if n else
                        f"{call}False, i) with a signal index")
            elif sel.internal >= nsig:
                yield Finding("route-missing-signal", where,
                              f"routed to signal {sel.internal}, but the protocol has {nsig} "
                              f"signal{'s' if nsig != 1 else ''}",
                              f"{call}False, i) with an index returned by an add_*_signal "
                              "call, or add the missing signals")
            else:
                routed.append(sel.internal)
            if not ch.enabled and sel != _UNSET:
                source = (f"external input {sel.external}" if sel.external_selected
                          else f"signal {sel.internal}")
                yield Finding("route-channel-disabled", where,
                              f"takes {source}, but channel {name} is never enabled, so the "
                              "device ignores it", f"enable_channel(Channel.{name}), or leave "
                              f"channel {name}'s sources alone", WARNING)
    # The mixed signals, by position, for the checks that follow their
    # references: slot[i] is mixed signal i's place in `mixed`.
    mixed = array("q")  # index, a_idx, b_idx of each mixed signal, flat
    slot: Optional[array[int]] = None
    want = num_samples(d)
    session = f"the session ({format_double(d)} s) has {want}"
    isfinite = math.isfinite
    for i, sig in enumerate(signals):
        p = sig.params
        kind = type(p)
        if kind is MixedSignalParams:
            a, b = p.a_idx, p.b_idx  # type: ignore[union-attr]
            if slot is None:
                slot = array("q", [-1]) * nsig
            slot[i] = len(mixed) // 3
            mixed.extend((i, min(a, nsig), min(b, nsig)))
            for field, j in (("a_idx", a), ("b_idx", b)):
                if j >= nsig:
                    yield Finding("mixed-missing", f"signal {i}",
                                  f"mixed signal's {field} {j} names no signal (the protocol "
                                  f"has {nsig})", "add_mixed_signal() with indices of existing "
                                  "signals")
                elif j == i:
                    yield Finding("mixed-self", f"signal {i}",
                                  f"mixed signal's {field} names the mixed signal itself",
                                  "add the two signals first, then add_mixed_signal() with "
                                  "their indices")
        elif kind is ArbitrarySignalParams:
            samples = p.samples  # type: ignore[union-attr]
            if len(samples) != want:
                yield Finding("curve-length", f"signal {i}",
                              f"curve has {len(samples)} samples, {session}",
                              "call set_session_duration() before add_arbitrary_signal(), "
                              "or resample the curve to get_num_samples() values")
            if len(samples):
                low, high = sample_range(samples)
                if low < 0 or high > FULL_SCALE:
                    bad_at = next(k for k, v in enumerate(samples) if not 0 <= v <= FULL_SCALE)
                    yield Finding("sample-range", f"signal {i}",
                                  f"sample {bad_at} is {int(samples[bad_at])}, outside 0 to "
                                  f"32767 (samples range from {low} to {high})",
                                  "store levels from 0.0 to 1.0 as round(level * 32767)")
        elif kind in _PARAMS:
            what, names = _PARAMS[kind]
            bad = [(name, getattr(p, name)) for name in names if not isfinite(getattr(p, name))]
            if bad:
                yield Finding("non-finite", f"signal {i}",
                              f"{what} signal's {_non_finite(bad)}: the device needs numbers",
                              f"add_{what}_signal() with finite numbers")
    if slot is not None:
        for cycle, size in _cycles(mixed, slot):
            yield Finding("mixed-cycle", f"signal {cycle[0]}",
                          "mixed signals refer to each other in a cycle: " + _path(cycle)
                          + (f" (one of the cycles among {size} mixed signals that lead back "
                             "to each other)" if size > len(cycle) else ""),
                          "make every mixed signal refer only to signals that do not lead "
                          "back to it")
    for i in _unrouted(nsig, routed, mixed, slot):
        yield Finding("signal-unrouted", f"signal {i}",
                      "nothing routes to this signal, directly or through a mixed signal, so "
                      "the device never uses it",
                      "route it with set_amplitude_source() or set_modulation_source(), mix "
                      "it into a routed signal, or leave it out", WARNING)


def _path(cycle: Sequence[int]) -> str:
    nodes = list(cycle) + [cycle[0]]
    if len(nodes) > _CYCLE_SHOWN:
        half = _CYCLE_SHOWN // 2
        hidden = len(nodes) - 2 * half
        return (" -> ".join(map(str, nodes[:half])) + f" -> ... ({hidden} more) ... -> "
                + " -> ".join(map(str, nodes[-half:])))
    return " -> ".join(map(str, nodes))


def _unrouted(nsig: int, routed: List[int], mixed: "array[int]",
              slot: "Optional[array[int]]") -> Iterator[int]:
    """The signals that no route reaches, directly or through mixed signals,
    in order."""
    reached = bytearray(nsig)
    stack = array("q", routed)
    while stack:
        i = stack.pop()
        if i >= nsig or reached[i]:
            continue
        reached[i] = 1
        if slot is not None and slot[i] >= 0:
            k = 3 * slot[i]
            stack.append(mixed[k + 1])
            stack.append(mixed[k + 2])
    i = reached.find(0)
    while i >= 0:
        yield i
        i = reached.find(0, i + 1)


def _cycles(mixed: "array[int]", slot: "array[int]") -> Iterator[Tuple[List[int], int]]:
    """For each group of two or more mixed signals that lead back to each
    other (a strongly connected component), once, in time and memory linear
    in the mixed signals: its shortest cycle through its smallest index,
    and the group's size. A signal naming itself is reported on its own."""
    count = len(mixed) // 3
    nsig = len(slot)

    def target(v: int, e: int) -> int:
        """Where mixed signal v's edge e (0: a_idx, 1: b_idx) leads among
        the mixed signals, or -1."""
        t = mixed[3 * v + 1 + e]
        return slot[t] if t < nsig and t != mixed[3 * v] else -1

    # Tarjan's algorithm without recursion: per mixed signal its visiting
    # order, lowest reachable order, and which edge it follows next.
    order = array("q", [-1]) * count
    low = array("q", [0]) * count
    on_stack = bytearray(count)
    next_edge = bytearray(count)
    group_of = array("q", [-1]) * count
    stack = array("q")
    work = array("q")
    groups: List[Tuple[int, int, int]] = []  # (smallest signal, a member, size)
    seen = 0
    for root in range(count):
        if order[root] >= 0:
            continue
        order[root] = low[root] = seen
        seen += 1
        stack.append(root)
        on_stack[root] = 1
        work.append(root)
        while work:
            v = work[-1]
            e = next_edge[v]
            if e < 2:
                next_edge[v] = e + 1
                w = target(v, e)
                if w < 0:
                    continue
                if order[w] < 0:
                    order[w] = low[w] = seen
                    seen += 1
                    stack.append(w)
                    on_stack[w] = 1
                    work.append(w)
                elif on_stack[w] and order[w] < low[v]:
                    low[v] = order[w]
                continue
            work.pop()
            if work and low[v] < low[work[-1]]:
                low[work[-1]] = low[v]
            if low[v] == order[v]:
                size, smallest = 0, mixed[3 * v]
                while True:
                    w = stack.pop()
                    on_stack[w] = 0
                    group_of[w] = v
                    size += 1
                    smallest = min(smallest, mixed[3 * w])
                    if w == v:
                        break
                if size > 1:
                    groups.append((smallest, v, size))
    came = array("q", [-1]) * count  # the breadth-first searches' links, one per signal
    for smallest, member, size in sorted(groups):
        yield _shortest_cycle(slot[smallest], group_of, came, mixed, target), size


def _shortest_cycle(start: int, group_of: "array[int]", came: "array[int]",
                    mixed: "array[int]", target: Any) -> List[int]:
    group = group_of[start]
    frontier = [start]
    while frontier:
        nxt = []
        for v in frontier:
            for e in (0, 1):
                w = target(v, e)
                if w == start:
                    path = [v]
                    while path[-1] != start:
                        path.append(came[path[-1]])
                    return [mixed[3 * u] for u in reversed(path)]
                if w >= 0 and group_of[w] == group and came[w] < 0 and w != start:
                    came[w] = v
                    nxt.append(w)
        frontier = nxt
    raise AssertionError("a strongly connected group has a cycle")  # pragma: no cover
