"""Write a small stimulation protocol and save it.

    python session.py [--envelope | --no-envelope] [OUTPUT.vexa]

Builds a 10-second session on channel B: a sine signal drives coil B1,
channel B takes its modulation from external input 2, and a smooth
envelope, an arbitrary signal computed with NumPy, drives coil B2. The
protocol is printed and saved to OUTPUT.vexa (session.vexa in the current
directory by default).

The envelope needs NumPy. By default it is left out, with a note, where
NumPy cannot be imported; --envelope makes that an error (exit status 2,
nothing saved), --no-envelope leaves it out always.
"""
import argparse
import importlib.util
import math
import os
import sys
from typing import Any, Optional, Tuple

from pyvexa import Channel, Coil, Protocol


def numpy_or_why() -> Tuple[Optional[Any], str]:
    """NumPy, or None and why it cannot be imported here."""
    try:
        import numpy
        return numpy, ""
    except ImportError as e:
        # Under PyPy, a CPython NumPy found on the path fails this way too
        # (its C part cannot load): the README's "NumPy for PyPy" says how
        # to give PyPy its own.
        lines = [line for line in str(e).splitlines() if line.strip()]
        found = importlib.util.find_spec("numpy")
        at = f" (found at {found.origin})" if found is not None and found.origin else ""
        return None, f"{lines[-1] if lines else type(e).__name__}{at}"


parser = argparse.ArgumentParser(description="Write a small protocol and save it.")
choice = parser.add_mutually_exclusive_group()
choice.add_argument("--envelope", action="store_true", dest="need_envelope",
                    help="add the envelope, and fail when NumPy cannot be imported")
choice.add_argument("--no-envelope", action="store_true", help="leave the envelope out")
parser.add_argument("output", nargs="?", default="session.vexa", help="the file to write")
args = parser.parse_args()

np, why = (None, "") if args.no_envelope else numpy_or_why()
if why:
    where = f"{sys.implementation.name} {sys.version.split()[0]} ({sys.executable})"
    if args.need_envelope:
        print(f"session.py: --envelope needs NumPy, which cannot be imported under {where}: "
              f"{why}. Install NumPy for this interpreter (see the README's \"NumPy for "
              "PyPy\"), or pass --no-envelope.", file=sys.stderr)
        sys.exit(2)
    print(f"session.py: NOTE: NumPy cannot be imported under {where}: {why}. Saving "
          "without the envelope (--envelope makes this an error).", file=sys.stderr)

p = Protocol()                      # default machine, no signals yet
p.set_session_duration(10.0)        # seconds: 10 s at 5000 samples/s
p.set_stimulation_intensity(0.3)    # 0.0 to 1.0; this machine allows up to 0.3
p.enable_channel(Channel.B)         # channel A is on by default

# A sine: amplitude 1.0, frequency 10.0, phase 0.0, depth 0.5 (stored as
# given; their units are the device's).
# Every add_*_signal call returns the new signal's position in the list.
sine = p.add_sine_signal(1.0, 10.0, 0.0, 0.5)

if np is not None:
    # An arbitrary curve needs one value in [0, 1] per sample of the session.
    t = np.linspace(0.0, 1.0, p.get_num_samples())
    envelope = np.sin(math.pi * t) ** 2          # rises and falls smoothly
    envelope_index = p.add_arbitrary_signal(envelope)
    p.set_amplitude_source(Coil.B2, False, envelope_index)
    print(f"Envelope stored as signal {envelope_index} "
          f"({p.get_num_samples()} samples at {p.get_sampling_rate():g} Hz), on coil B2.\n")

# Route the sine to coil B1, and take channel B's modulation from the
# machine's external input 2 instead of an internal signal.
p.set_amplitude_source(Coil.B1, False, sine)
p.set_modulation_source(Channel.B, True, 2)

print(p)
p.save(args.output)

print(f"\nSaved {os.path.abspath(args.output)} ({os.path.getsize(args.output)} bytes).")
