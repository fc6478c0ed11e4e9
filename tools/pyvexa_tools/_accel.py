"""NumPy where it speeds things up: `np` is the module under CPython when it
can be imported, else None; and the sizes of the steps long loops take."""
from __future__ import annotations

import sys
from typing import Any, Sequence, Tuple

np: Any
try:
    if sys.implementation.name == "pypy":
        # PyPy's JIT runs the plain loops at near-native speed, while NumPy
        # there pays for every crossing into the C interface.
        raise ImportError
    import numpy as np
except ImportError:
    np = None

# Samples per step: the plain loops' text pieces, and, smaller, the NumPy
# paths' steps, whose temporaries then stay in the cache. Read at each call,
# so that tests can make them small.
CHUNK = 1 << 20
ARRAY_CHUNK = 1 << 16


def sample_range(samples: Sequence[int]) -> Tuple[int, int]:
    """The smallest and largest sample of a non-empty list or array."""
    if np is not None and isinstance(samples, np.ndarray):
        return int(samples.min()), int(samples.max())
    return min(samples), max(samples)
