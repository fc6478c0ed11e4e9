"""Route a session from the device's external signal inputs.

    python external_routing.py [OUTPUT.vexa]

Channel A takes both coil amplitudes and its modulation from external
inputs 0, 1 and 2; channel B mixes: coil B1 from external input 3, coil B2
from an internal constant level, and its modulation from an internal sine.
The module stores input numbers without checking them against the
machine, so this script checks them itself before routing. The routing is
printed and the protocol saved to OUTPUT.vexa (external_routing.vexa by
default).
"""
from __future__ import annotations

import os
import sys
from typing import Dict, List, Optional, Tuple, Union

from pyvexa import Channel, Coil, Protocol

# The default machine description that every Protocol carries has six
# external inputs, numbered 0 to 5.
EXTERNAL_INPUTS = 6

Target = Union[Coil, Channel]


def external(number: int) -> Tuple[bool, int]:
    if not 0 <= number < EXTERNAL_INPUTS:
        raise ValueError(f"external input {number} does not exist "
                         f"(the machine has {EXTERNAL_INPUTS})")
    return True, number


def internal(position: int) -> Tuple[bool, int]:
    return False, position


def build() -> Protocol:
    p = Protocol()
    p.set_session_duration(120.0)
    p.set_stimulation_intensity(0.25)
    p.enable_channel(Channel.B)

    level = p.add_constant_signal(0.6)
    sine = p.add_sine_signal(1.0, 40.0, 0.0, 1.0)

    routes: Dict[Target, Tuple[bool, int]] = {
        Coil.A1: external(0),
        Coil.A2: external(1),
        Channel.A: external(2),
        Coil.B1: external(3),
        Coil.B2: internal(level),
        Channel.B: internal(sine),
    }
    for target, (is_external, index) in routes.items():
        if isinstance(target, Coil):
            p.set_amplitude_source(target, is_external, index)
        else:
            p.set_modulation_source(target, is_external, index)
    return p


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    path = args[0] if args else "external_routing.vexa"
    p = build()
    p.save(path)
    print("A1 amplitude <- external input 0")
    print("A2 amplitude <- external input 1")
    print("channel A modulation <- external input 2")
    print("B1 amplitude <- external input 3")
    print("B2 amplitude <- signal 0 (constant 0.6)")
    print("channel B modulation <- signal 1 (sine, frequency 40.0)")
    print(f"saved {os.path.abspath(path)} ({os.path.getsize(path)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
