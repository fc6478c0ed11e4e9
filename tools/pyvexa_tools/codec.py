"""Reading, writing and showing .vexa protocol files without the module.

    settings = decode(open("session.vexa", "rb").read())
    text = render(settings)        # == str(protocol) that saved it
    data = encode(settings)        # the same bytes back
    settings = parse_text(str(protocol))   # the same records from the text form

The code lives in one module per concept: `records`, `fields` (the kind of
every field), `decoding`, `encoding`, `text` (the text form and the
summary) and `textreader`; this module gathers their names, as it always
has. Standard library only; NumPy, when it can be imported under CPython,
makes long sample sequences fast. `decode` raises `DecodeError` (a
ValueError) with `.offset`, `.reason` and `.field`.
"""
from typing import Any

from . import _accel
from ._accel import sample_range as sample_range
from .decoding import DecodeError, decode
from .encoding import encode
from .fields import DOUBLE
from .records import SAMPLING_RATE as SAMPLING_RATE
from .records import VARIANTS as VARIANTS
from .records import (ArbitrarySignalParams, ChannelSettings, Coil,
                      ConstantSignalParams, LCSetting, MachineConfig, MixedSignalParams,
                      RampSignalParams, Settings, Signal, SignalSourceSelection,
                      SineSignalParams, num_samples)
from .text import (escape_text, format_double, render, render_line, render_pieces, summary,
                   write_text)
from .textreader import parse_text

__all__ = [
    "parse_text", "num_samples", "render_pieces", "write_text",
    "ArbitrarySignalParams", "ChannelSettings", "Coil", "ConstantSignalParams", "DecodeError",
    "LCSetting", "MachineConfig", "MixedSignalParams", "RampSignalParams", "Settings", "Signal",
    "SignalSourceSelection", "SineSignalParams", "decode", "encode", "escape_text",
    "format_double", "render", "render_line", "summary",
]

# What callers reached through this module besides the public names.
_np: Any = _accel.np
_DOUBLE = DOUBLE
