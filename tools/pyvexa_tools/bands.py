"""A curve as the picture draws it: a minimum/maximum band per column, so
that millions of samples draw at once."""
from __future__ import annotations

import math
from typing import Any, Tuple

from .records import FULL_SCALE, SAMPLING_RATE

__all__ = ["COLUMNS", "FULL_SCALE", "envelope", "columns", "to_end"]

# Columns of the curve panel: a min/max pair per column is all the picture
# can show, however long the curve (the panel is about 1000 pixels wide).
COLUMNS = 1600

def envelope(samples: Any, columns: int = COLUMNS) -> Tuple[Any, Any, Any]:
    """(column start times in seconds, minimum, maximum) of `samples` in
    at most `columns` equal slices, levels scaled so 32767 is 1.0."""
    import numpy as np
    a = np.asarray(samples)
    n = len(a)
    cols = max(1, min(columns, n))
    edges = (np.arange(cols + 1, dtype=np.int64) * n) // cols
    lo = np.minimum.reduceat(a, edges[:-1]) / FULL_SCALE
    hi = np.maximum.reduceat(a, edges[:-1]) / FULL_SCALE
    return edges[:-1] / SAMPLING_RATE, lo, hi


def columns(samples: Any, span: int) -> Tuple[Any, Any, Any, Any]:
    """A curve's band on the panel's grid of COLUMNS columns over `span`
    samples, so that every curve's columns fall on the same times: (grid
    column of each value, start time, minimum, maximum)."""
    import numpy as np
    a = np.asarray(samples)
    width = span / COLUMNS  # samples per column
    if width <= 1.0:
        k = np.arange(len(a))
        return (k / width).astype(np.int64), k / SAMPLING_RATE, a / FULL_SCALE, a / FULL_SCALE
    cols = min(COLUMNS, math.ceil(len(a) / width))
    col = np.arange(cols)
    edges = np.minimum((col * width).astype(np.int64), len(a) - 1)
    lo = np.minimum.reduceat(a, edges) / FULL_SCALE
    hi = np.maximum.reduceat(a, edges) / FULL_SCALE
    return col, edges / SAMPLING_RATE, lo, hi


def to_end(t: Any, lo: Any, hi: Any, end: float) -> Tuple[Any, Any, Any]:
    """The band with one more point at `end`, so that its last column is
    drawn to the curve's end rather than stopping where that column starts."""
    import numpy as np
    return np.append(t, end), np.append(lo, lo[-1]), np.append(hi, hi[-1])

