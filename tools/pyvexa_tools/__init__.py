"""Tools for .vexa protocol files, beside the pyvexa module: decode, render
and encode files (`codec`), find mistakes (`lint`), draw them (`plot`, needs
matplotlib), and the `vexa-view` command (`cli`). Standard library only;
NumPy speeds up long curves under CPython when it is installed.

    from pyvexa_tools import decode, render, lint
    settings = decode(open("session.vexa", "rb").read())
    for finding in lint("session.vexa"):     # or bytes, Settings, a Protocol
        print(finding)
"""
from .codec import (ArbitrarySignalParams, ChannelSettings, Coil, ConstantSignalParams,
                    DecodeError, LCSetting, MachineConfig, MixedSignalParams, RampSignalParams,
                    Settings, Signal, SignalSourceSelection, SineSignalParams, decode, encode,
                    escape_text, format_double, num_samples, parse_text, render, render_line,
                    render_pieces, summary, write_text)
from .lint import CODES, Finding, lint, lint_settings
from .decoding import load
from .lint import ERROR, WARNING, iter_lint
from .text import summary_lines
from .diff import CurveDifference, Difference, diff
from .codify import CodifyError, codify, to_protocol

__version__ = "0.1.0"

__all__ = [
    "ArbitrarySignalParams", "ChannelSettings", "Coil", "ConstantSignalParams", "DecodeError",
    "LCSetting", "MachineConfig", "MixedSignalParams", "RampSignalParams", "Settings", "Signal",
    "SignalSourceSelection", "SineSignalParams", "decode", "encode", "escape_text",
    "format_double", "num_samples", "parse_text", "render", "render_line", "render_pieces",
    "write_text",
    "summary", "CODES", "Finding", "lint", "lint_settings",
    "load", "iter_lint", "summary_lines", "ERROR", "WARNING",
]
__all__ += ["CurveDifference", "Difference", "diff", "CodifyError", "codify", "to_protocol"]
