"""An amplitude envelope drawn with NumPy, stored as an arbitrary signal.

    python arbitrary_envelope.py [OUTPUT.vexa]

Builds a 20-second session whose channel A coils follow a curve computed
sample by sample: a 2-second raised-cosine fade in and out around a level
that swells slowly (0.2 Hz) between 0.7 and 1.0. The curve needs one value
in [0, 1] per sample of the session, 100000 here. The protocol is saved to
OUTPUT.vexa (arbitrary_envelope.vexa by default).

Needs NumPy: without it (PyPy here has none) the script says so and exits
with status 0 without writing anything.
"""
from __future__ import annotations

import os
import sys
from typing import TYPE_CHECKING, List, Optional

from pyvexa import Channel, Coil, Protocol

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

DURATION = 20.0     # seconds
FADE = 2.0          # seconds of fade in and of fade out
SWELL_HZ = 0.2


def envelope(num_samples: int, rate: float) -> "npt.NDArray[np.float64]":
    import numpy as np  # here, so that the script can explain its absence

    t = np.arange(num_samples) / rate
    level = 0.85 + 0.15 * np.sin(2.0 * np.pi * SWELL_HZ * t)
    fade = np.clip(np.minimum(t, DURATION - t) / FADE, 0.0, 1.0)
    curve = level * 0.5 * (1.0 - np.cos(np.pi * fade))
    # Rounding can leave values a hair outside [0, 1]; the module refuses those.
    clipped: npt.NDArray[np.float64] = np.clip(curve, 0.0, 1.0)
    return clipped


def build() -> Protocol:
    p = Protocol()
    p.set_session_duration(DURATION)
    p.set_stimulation_intensity(0.3)
    curve = envelope(p.get_num_samples(), p.get_sampling_rate())
    shape = p.add_arbitrary_signal(curve)
    carrier = p.add_sine_signal(1.0, 20.0, 0.0, 0.5)
    p.set_amplitude_source(Coil.A1, False, shape)
    p.set_amplitude_source(Coil.A2, False, shape)
    p.set_modulation_source(Channel.A, False, carrier)
    return p


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    path = args[0] if args else "arbitrary_envelope.vexa"
    try:
        import numpy  # noqa: F401
    except ImportError:
        print("arbitrary_envelope.py needs NumPy, which this interpreter cannot import; "
              "nothing was written.", file=sys.stderr)
        return 0
    p = build()
    p.save(path)
    n = p.get_num_samples()
    print(f"envelope: {n} samples over {DURATION:g} s, stored as 16-bit values 0..32767")
    print("A1, A2 amplitude <- signal 0 (envelope); channel A modulation <- signal 1 (sine)")
    print(f"saved {os.path.abspath(path)} ({os.path.getsize(path)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
