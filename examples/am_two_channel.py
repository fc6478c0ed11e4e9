"""A two-channel amplitude-modulated session with ramps.

    python am_two_channel.py [OUTPUT.vexa]

Both channels run for 30 seconds. Each channel's two coil positions take
their amplitude from a ramp (peak 1.0, up_duration 5.0, down_duration 5.0);
each channel is modulated by a sine of its own (frequency 10.0 on A, 12.0
on B, phases 0.0 and 0.5) mixed with the ramp. The module stores these
numbers as given; the device decides what they mean. The routing is printed and the protocol
saved to OUTPUT.vexa (am_two_channel.vexa by default).
"""
from __future__ import annotations

import os
import sys
from typing import List, Optional

from pyvexa import Channel, Coil, Protocol

DURATION = 30.0     # seconds
INTENSITY = 0.3     # 0.0 to 1.0; the default machine allows up to 0.3


def build() -> Protocol:
    p = Protocol()
    p.set_session_duration(DURATION)
    p.set_stimulation_intensity(INTENSITY)
    p.enable_channel(Channel.B)     # A is on by default

    # Every add_*_signal returns the new signal's position in the list;
    # the routing calls below refer to signals by those positions.
    ramp = p.add_ramp_signal(1.0, 5.0, 5.0)             # peak, up_duration, down_duration
    sine_a = p.add_sine_signal(1.0, 10.0, 0.0, 0.8)     # amplitude, frequency, phase, depth
    sine_b = p.add_sine_signal(1.0, 12.0, 0.5, 0.8)
    mod_a = p.add_mixed_signal(ramp, sine_a)
    mod_b = p.add_mixed_signal(ramp, sine_b)

    for coil in (Coil.A1, Coil.A2, Coil.B1, Coil.B2):
        p.set_amplitude_source(coil, False, ramp)
    p.set_modulation_source(Channel.A, False, mod_a)
    p.set_modulation_source(Channel.B, False, mod_b)
    return p


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    path = args[0] if args else "am_two_channel.vexa"
    p = build()
    p.save(path)
    print(f"{DURATION:g} s session at intensity {INTENSITY:g}, "
          f"{p.get_num_samples()} samples at {p.get_sampling_rate():g} samples/s")
    print("signals: 0 ramp, 1 sine 10.0, 2 sine 12.0, 3 mix(0, 1), 4 mix(0, 2)")
    print("A1, A2, B1, B2 amplitude <- signal 0 (ramp)")
    print("channel A modulation <- signal 3, channel B modulation <- signal 4")
    print(f"saved {os.path.abspath(path)} ({os.path.getsize(path)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
