"""The rows of the picture's signals and findings panels: at most MAX_ROWS
each however many signals and findings there are, alike signals sharing a
row and each numbered item of findings taking up to two."""
from __future__ import annotations

import textwrap
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .marks import Item, Places
from .records import ArbitrarySignalParams, MixedSignalParams, Signal
from .text import render_line

__all__ = ["MAX_ROWS", "ROUTING_CHARS", "SIGNAL_CHARS", "FINDING_CHARS", "Row", "signal_rows",
           "finding_rows"]

MAX_ROWS = 22  # rows of the signals and findings panels at most
ROUTING_CHARS, SIGNAL_CHARS, FINDING_CHARS = 50, 66, 59  # the panels' widths

Row = Tuple[str, List[Item], Optional[str]]  # text, its findings, a colour swatch


def signal_rows(signals: Sequence[Signal], lengths: Any, places: Places,
                colour: Dict[int, str]) -> List[Row]:
    """A row per signal, or per run of alike signals with the same
    findings, up to MAX_ROWS; the last row counts what is left. `lengths`:
    each signal's curve length, -1 for the other kinds (a NumPy array);
    `colour`: the curves drawn in their own colour."""
    import numpy as np
    n, mask = len(signals), places.mask
    # Where a run must end: another kind or length, other findings, or
    # a curve with samples (each is its own row).
    ends = np.flatnonzero((lengths[1:] != lengths[:-1]) | (mask[1:] != mask[:-1])
                          | (lengths[1:] > 0)) + 1
    rows: List[Row] = []
    i = 0
    while i < n:
        k = int(np.searchsorted(ends, i, side="right"))
        j = int(ends[k]) if k < len(ends) else n
        if lengths[i] < 0:  # the other kinds are alike when their parameters are
            first, e = signals[i], i + 1
            while e < j and signals[e].variant == first.variant and \
                    signals[e].params == first.params:
                e += 1
            j = e
        if len(rows) == MAX_ROWS - 1 and j < n:
            rows.append((f"… {n - i:,} more (vexa-view summary lists all)", [], None))
            break
        head = f"{i}" if j == i + 1 else f"{i}–{j - 1}"
        text = f"{head:>4} {_describe(signals[i], i in colour)}"
        rows.append((text + (f"  ×{j - i:,}" if j > i + 1 else ""), places.marks(i),
                     colour.get(i)))
        i = j
    return rows or [("none (saving would add the constant 0.0 signal)", [], None)]


def _describe(sig: Signal, own_colour: bool) -> str:
    p = sig.params
    if isinstance(p, ArbitrarySignalParams):
        n = len(p.samples)
        if not n:
            return "Arbitrary, empty"
        return f"Arbitrary, {n:,} samples" + ("" if own_colour else ", in the band")
    if isinstance(p, MixedSignalParams):
        return f"Mixed    of signals {p.a_idx} and {p.b_idx}"
    body = render_line(p)
    body = body[body.index("{") + 1:body.rindex("}")].strip().replace(": ", " ")
    return f"{sig.variant:<8} {body}"


def finding_rows(items: Sequence[Item]) -> List[Row]:
    """Up to two rows per item; the last row counts what is left."""
    if not items:
        return [("none: the checker finds nothing to report", [], None)]
    rows: List[Row] = []
    for n, item in enumerate(items):
        f = item.members[0]
        if len(item.members) == 1:
            text = f"{f.where}: {f.message} [{f.code}]"
        else:
            text = (f"{len(item.members):,}× [{f.code}], {f.where} to "
                    f"{item.members[-1].where}; {f.where}: {f.message}")
        lines = textwrap.wrap(text, FINDING_CHARS, subsequent_indent="  ", max_lines=2,
                              placeholder=" …")
        if len(rows) + len(lines) > MAX_ROWS - 1 and n < len(items) - 1:
            rest = sum(len(x.members) for x in items[n:])
            rows.append((f"… {rest:,} more (vexa-view lint lists all)", [], None))
            break
        rows += [(line, [item] if k == 0 else [], None) for k, line in enumerate(lines)]
    return rows
