"""Tools for .vexa protocol files, beside the pyvexa module: read, render and
write files (`codec`, gathering `decoding`, `encoding`, `text` and
`textreader`), find mistakes (`lint`), compare two protocols (`diff`, in
`compare`), turn one back into pyvexa calls (`codify` and `to_protocol`, in
`replay`), draw one (`plot`, needs matplotlib), and the `vexa-view` command
(`cli`). Standard library only; NumPy speeds up long curves under CPython
when it is installed.

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
from .compare import CurveDifference, Difference, diff
from .decoding import load
from .lint import CODES, ERROR, WARNING, Finding, iter_lint, lint, lint_settings
from .replay import CodifyError, codify, to_protocol
from .text import summary_lines

__version__ = "0.2.0"

__all__ = [
    # the records
    "ArbitrarySignalParams", "ChannelSettings", "Coil", "ConstantSignalParams", "LCSetting",
    "MachineConfig", "MixedSignalParams", "RampSignalParams", "Settings", "Signal",
    "SignalSourceSelection", "SineSignalParams", "num_samples",
    # reading and writing
    "DecodeError", "decode", "load", "encode", "parse_text",
    # the text form and the summary
    "escape_text", "format_double", "render", "render_line", "render_pieces", "write_text",
    "summary", "summary_lines",
    # the checker
    "CODES", "ERROR", "WARNING", "Finding", "lint", "lint_settings", "iter_lint",
    # comparing and replaying
    "CurveDifference", "Difference", "diff", "CodifyError", "codify", "to_protocol",
]
