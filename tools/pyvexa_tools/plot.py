"""Draws a protocol: its arbitrary curves against time from 0 to the session's
end, where the four coil positions and the two modulation inputs take their
signals from, the signals by their parameters, and the checker's findings,
each numbered and marked where it is. Needs matplotlib (and so NumPy).

What it costs follows the file: each curve is read once to draw it, each
signal and finding is looked at once, and the number of things drawn is
bounded however many there are (beyond a few curves the others are drawn as
one band; runs of alike signals, and many findings of one kind, are grouped).

This module writes the picture and says which files it can write; the
picture itself is drawn by `picture`, from the curves' `bands`, the
findings' `marks` and the text `panels`.
"""
from __future__ import annotations

import io
import os
import shutil
import sys
from typing import Any, Optional, Sequence, Union

from .bands import envelope
from .lint import Finding, lint_settings
from .picture import DPI, Picture
from .records import Settings

__all__ = ["PlotUnavailable", "plot", "check_output", "envelope"]

Out = Union[str, "os.PathLike[str]"]


class PlotUnavailable(RuntimeError):
    """matplotlib cannot be imported."""


def _matplotlib() -> Any:
    """The matplotlib package, or PlotUnavailable saying how to get it."""
    try:
        import matplotlib  # type: ignore[import]
        from matplotlib import figure  # noqa: F401
        from matplotlib.backends import backend_agg  # type: ignore[import]  # noqa: F401
    except Exception as e:  # missing, or built for another interpreter
        why = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise PlotUnavailable(
            f"plot needs matplotlib, which cannot be imported under "
            f"{sys.implementation.name} {sys.version.split()[0]} ({why}); install it for "
            "CPython with `apt install python3-matplotlib` (Debian) or `pip install "
            "'pyvexa[plot]'`, and run vexa-view under CPython") from None
    return matplotlib


def check_output(out: Out) -> str:
    """The format `out` will be written in, chosen by its suffix. Raises
    PlotUnavailable without matplotlib, and ValueError (one line) for a
    suffix matplotlib cannot write here. Touches no file."""
    mpl = _matplotlib()
    from matplotlib.backend_bases import FigureCanvasBase  # type: ignore[import]
    name = os.fsdecode(os.fspath(out))
    suffix = os.path.splitext(name)[1][1:].lower()
    known = sorted(FigureCanvasBase.get_supported_filetypes())
    # Two of matplotlib's formats need more than matplotlib: find out now
    # rather than after the picture is made.
    if suffix == "pgf" and shutil.which(mpl.rcParams["pgf.texsystem"]) is None:
        raise ValueError(f"cannot write {name!r}: .pgf needs {mpl.rcParams['pgf.texsystem']}, "
                         "which is not installed; name it .png, .svg or .pdf")
    if suffix == "webp":
        from PIL import features  # type: ignore[import]
        if not features.check("webp"):
            raise ValueError(f"cannot write {name!r}: this Pillow has no WebP support; "
                             "name it .png, .svg or .pdf")
    if suffix not in known:
        what = f"suffix .{suffix}" if suffix else "no suffix"
        raise ValueError(f"cannot write {name!r} ({what}): name it .png, .svg or .pdf "
                         f"(matplotlib also writes .{', .'.join(k for k in known if k != 'pgf')})")
    return suffix


def plot(settings: Settings, out: Out, findings: Optional[Sequence[Finding]] = None) -> None:
    """Writes the picture of `settings` to `out` in the format its suffix
    names (.png, .svg, .pdf, ...), with `findings` (by default the
    checker's) marked where they are. Raises PlotUnavailable or ValueError
    as check_output does, and OSError when `out` cannot be written. The
    picture is made in memory first, so a failure before the write leaves
    an existing `out` as it was."""
    fmt = check_output(out)
    if findings is None:
        findings = lint_settings(settings)
    picture = Picture(settings, findings, fmt)
    picture.draw()
    data = io.BytesIO()
    picture.fig.savefig(data, format=fmt, dpi=DPI)
    with open(out, "wb") as f:
        f.write(data.getbuffer())
