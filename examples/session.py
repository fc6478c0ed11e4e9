"""Write a small stimulation protocol and save it.

    python session.py [OUTPUT.vexa]

Builds a 10-second session on channel B: a sine signal drives coil B1,
and channel B takes its modulation from external input 2. Where NumPy is
available, a smooth envelope is added as an arbitrary signal as well.
The protocol is printed and saved to OUTPUT.vexa (session.vexa in the
current directory by default).
"""
import math
import os
import sys

from pyvexa import Channel, Coil, Protocol

path = sys.argv[1] if len(sys.argv) > 1 else "session.vexa"

p = Protocol()                      # default machine, no signals yet
p.set_session_duration(10.0)        # seconds: 10 s at 5000 samples/s
p.set_stimulation_intensity(0.3)    # 0.0 to 1.0; this machine allows up to 0.3
p.enable_channel(Channel.B)         # channel A is on by default

# A sine: amplitude 1.0, frequency 10.0, phase 0.0, depth 0.5 (stored as
# given; their units are the device's).
# Every add_*_signal call returns the new signal's position in the list.
sine = p.add_sine_signal(1.0, 10.0, 0.0, 0.5)

try:
    import numpy as np
except ImportError:
    print("NumPy is not available: skipping the arbitrary envelope.\n")
else:
    # An arbitrary curve needs one value in [0, 1] per sample of the session.
    t = np.linspace(0.0, 1.0, p.get_num_samples())
    envelope = np.sin(math.pi * t) ** 2          # rises and falls smoothly
    envelope_index = p.add_arbitrary_signal(envelope)
    print(f"Envelope stored as signal {envelope_index} "
          f"({p.get_num_samples()} samples at {p.get_sampling_rate():g} Hz).\n")

# Route the sine to coil B1, and take channel B's modulation from the
# machine's external input 2 instead of an internal signal.
p.set_amplitude_source(Coil.B1, False, sine)
p.set_modulation_source(Channel.B, True, 2)

print(p)
p.save(path)

print(f"\nSaved {os.path.abspath(path)} ({os.path.getsize(path)} bytes).")
