"""`diff`: compares two protocols field by field.

    for d in diff("old.vexa", "new.vexa"):
        print(d)      # channel_b_settings.amplitude1_source.internal: 2 -> 5

Each difference names its field by its path in the text form, with both
values in the text form. Signals are compared by position, as the module
only ever appends them: the longer list's extra signals are "added" or
"removed" at the end. Curves are compared sample by sample and reported
once each (how many samples differ, the first, the largest difference).
With no tolerance, the report is empty exactly when the two files hold the
same bytes: -0.0 differs from 0.0 and NaNs differ by their bits.
"""
from __future__ import annotations

import math
import sys
from dataclasses import dataclass, fields, is_dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from . import sources
from .fields import DOUBLE, double_bits
from .records import ArbitrarySignalParams, Signal
from .text import scalar_text, short_text

__all__ = ["Difference", "CurveDifference", "Change", "diff", "differences"]



@dataclass(frozen=True)
class Difference:
    """One field, list element or signal that differs. `a` and `b` are the
    values in the text form; `a` is None for what only the second protocol
    has ("added"), `b` for what only the first has ("removed")."""
    path: str
    a: Optional[str]
    b: Optional[str]

    @property
    def kind(self) -> str:
        return "added" if self.a is None else "removed" if self.b is None else "changed"

    def as_dict(self) -> Dict[str, Any]:
        return {"path": self.path, "kind": self.kind, "a": self.a, "b": self.b}

    def __str__(self) -> str:
        if self.a is None:
            return f"{self.path}: added {self.b}"
        if self.b is None:
            return f"{self.path}: removed {self.a}"
        return f"{self.path}: {self.a} -> {self.b}"


@dataclass(frozen=True)
class CurveDifference:
    """Two curves at the same position that differ. `differing` counts the
    differing samples among the first min(length_a, length_b); `first` is
    the index of the first of them and `first_values` its two samples;
    `largest_at` is where the difference is largest (the first such place)
    and `largest_values` its two samples. The three are None when only the
    lengths differ."""
    path: str
    length_a: int
    length_b: int
    differing: int
    first: Optional[int]
    first_values: Optional[Tuple[int, int]]
    largest_at: Optional[int]
    largest_values: Optional[Tuple[int, int]]

    kind = "samples"

    @property
    def largest(self) -> int:
        """The largest difference between two samples at the same index."""
        if self.largest_values is None:
            return 0
        return abs(self.largest_values[1] - self.largest_values[0])

    def as_dict(self) -> Dict[str, Any]:
        return {"path": self.path, "kind": self.kind, "length_a": self.length_a,
                "length_b": self.length_b, "differing": self.differing, "first": self.first,
                "first_values": list(self.first_values) if self.first_values else None,
                "largest": self.largest, "largest_at": self.largest_at,
                "largest_values": list(self.largest_values) if self.largest_values else None}

    def __str__(self) -> str:
        common = min(self.length_a, self.length_b)
        parts = []
        if self.length_a != self.length_b:
            parts.append(f"{self.length_a} -> {self.length_b} samples")
        if self.differing:
            of = f"{common}" if self.length_a == self.length_b else f"the first {common}"
            assert self.first_values is not None and self.largest_values is not None
            parts.append(
                f"{self.differing} of {of} samples differ, first at {self.first} "
                f"({self.first_values[0]} -> {self.first_values[1]}), largest by "
                f"{self.largest} at {self.largest_at} "
                f"({self.largest_values[0]} -> {self.largest_values[1]})")
        elif self.length_a != self.length_b and common:
            parts.append(f"the first {common} are the same")
        return f"{self.path}: " + "; ".join(parts)


Change = Union[Difference, CurveDifference]


def diff(a: sources.Source, b: sources.Source, tolerance: float = 0.0) -> List[Change]:
    """The differences between two protocols, each a file name, file bytes,
    a binary file object, Settings or a live pyvexa.Protocol (left
    untouched), in the order of the text form.

    `tolerance` applies to doubles: two are the same when they differ by at
    most `tolerance` times the larger of 1 and their magnitudes (an absolute
    tolerance below 1, a relative one above), and two NaNs are the same.
    Raises OSError or DecodeError for a file that cannot be read."""
    if not tolerance >= 0.0:
        raise ValueError(f"tolerance must be 0 or more, not {tolerance!r}")
    return differences(sources.as_settings(a), sources.as_settings(b), "", tolerance)


def differences(a: Any, b: Any, path: str, tolerance: float = 0.0) -> List[Change]:
    """The differences between two records of the same kind (or two of
    their fields), with their paths under `path`, as diff() finds them."""
    out: List[Change] = []
    _Walk(out, tolerance).value(a, b, path)
    return out


class _Walk:
    def __init__(self, out: List[Change], tolerance: float) -> None:
        self.out = out
        self.tolerance = tolerance

    def value(self, a: Any, b: Any, path: str) -> None:
        if isinstance(a, Signal) and isinstance(b, Signal):
            if a.variant != b.variant:
                self.out.append(Difference(path, short_text(a), short_text(b)))
            else:
                # The parameters' fields stand directly under the signal, as
                # in the decoder's field paths: signals[2].frequency.
                self.value(a.params, b.params, path)
        elif isinstance(a, ArbitrarySignalParams):
            self.curve(a.samples, b.samples, _join(path, "samples"))
        elif is_dataclass(a):
            for f in fields(a):
                self.value(getattr(a, f.name), getattr(b, f.name), _join(path, f.name))
        elif isinstance(a, (bool, int, float, str)):
            if not self.same(a, b):
                ta, tb = scalar_text(a), scalar_text(b)
                if isinstance(a, float) and ta == tb:  # NaNs apart by their bits
                    ta += f" ({_bits(a)})"
                    tb += f" ({_bits(b)})"
                self.out.append(Difference(path, ta, tb))
        else:  # a list, or the signals a file decodes as they are read
            for i, (x, y) in enumerate(zip(a, b)):
                self.value(x, y, f"{path}[{i}]")
            for i in range(len(b), len(a)):
                self.out.append(Difference(f"{path}[{i}]", short_text(a[i]), None))
            for i in range(len(a), len(b)):
                self.out.append(Difference(f"{path}[{i}]", None, short_text(b[i])))

    def same(self, a: Any, b: Any) -> bool:
        if not isinstance(a, float):
            return bool(a == b)
        if self.tolerance == 0.0:
            return DOUBLE.pack(a) == DOUBLE.pack(b)
        if a == b or (math.isnan(a) and math.isnan(b)):
            return True
        return bool(abs(a - b) <= self.tolerance * max(1.0, abs(a), abs(b)))

    def curve(self, a: Sequence[int], b: Sequence[int], path: str) -> None:
        n = min(len(a), len(b))
        # A NumPy array can only be here once NumPy has been imported.
        np = sys.modules.get("numpy")
        arrays = np is not None and (isinstance(a, np.ndarray) or isinstance(b, np.ndarray))
        found = (_compare_arrays if arrays else _compare_lists)(a, b, n)
        if found is None and len(a) == len(b):
            return
        differing, first, at = found or (0, None, None)
        self.out.append(CurveDifference(
            path, len(a), len(b), differing, first,
            None if first is None else (int(a[first]), int(b[first])), at,
            None if at is None else (int(a[at]), int(b[at]))))


def _join(path: str, name: str) -> str:
    return f"{path}.{name}" if path else name


def _bits(x: float) -> str:
    return f"0x{double_bits(x):016x}"


def _compare_arrays(a: Sequence[int], b: Sequence[int], n: int
                    ) -> Optional[Tuple[int, int, int]]:
    """(differing samples, first differing index, index of the largest
    difference) among the first n, or None when they are the same."""
    import numpy as np
    x = np.asarray(a[:n], dtype=np.int32)
    y = np.asarray(b[:n], dtype=np.int32)
    d = x - y
    differing = int(np.count_nonzero(d))
    if not differing:
        return None
    first = int(np.flatnonzero(d)[0])
    np.abs(d, out=d)
    return differing, first, int(np.argmax(d))


def _compare_lists(a: Sequence[int], b: Sequence[int], n: int
                   ) -> Optional[Tuple[int, int, int]]:
    # PyPy's JIT makes this loop fast (its decoder gives lists); CPython's
    # decoder gives arrays where it has NumPy.
    if (a if len(a) == n else a[:n]) == (b if len(b) == n else b[:n]):
        return None
    differing = 0
    first = at = -1
    largest = 0
    for i in range(n):
        x = a[i]
        y = b[i]
        if x != y:
            differing += 1
            if first < 0:
                first = i
            d = abs(x - y)
            if d > largest:
                largest = d
                at = i
    return differing, first, at
