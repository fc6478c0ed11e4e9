"""Draws a protocol: its arbitrary curves against time, its other signals by
their parameters, and where the four coil positions and the two modulation
inputs take their signals from. Needs matplotlib (and so NumPy)."""
from __future__ import annotations

import sys
from typing import Any, List, Tuple

from .codec import (SAMPLING_RATE, ArbitrarySignalParams, Settings, SignalSourceSelection,
                    format_double, render_line)

__all__ = ["PlotUnavailable", "plot", "envelope"]

# Columns of the curve panel: a min/max pair per pixel column is all the
# picture can show, however long the curve.
COLUMNS = 1600
FULL_SCALE = 32767.0  # the stored sample that stands for the level 1.0


class PlotUnavailable(RuntimeError):
    """matplotlib cannot be imported, or the output type is not known."""


def envelope(samples: Any, columns: int = COLUMNS) -> Tuple[Any, Any, Any]:
    """(column start times in seconds, minimum, maximum) of `samples` in
    at most `columns` equal slices, levels scaled so 32767 is 1.0."""
    import numpy as np
    a = np.asarray(samples, dtype=np.int16)
    n = len(a)
    cols = max(1, min(columns, n))
    edges = (np.arange(cols + 1, dtype=np.int64) * n) // cols
    lo = np.minimum.reduceat(a, edges[:-1]) / FULL_SCALE
    hi = np.maximum.reduceat(a, edges[:-1]) / FULL_SCALE
    return edges[:-1] / SAMPLING_RATE, lo, hi


def _source(sel: SignalSourceSelection, s: Settings) -> str:
    if sel.external_selected:
        ok = sel.external < s.machine_config.num_external_signal_sources
        return f"external input {sel.external}" + ("" if ok else "  (missing!)")
    if sel.internal < len(s.signals):
        return f"signal {sel.internal} ({s.signals[sel.internal].variant})"
    return f"signal {sel.internal}  (missing!)"


def _signal_lines(s: Settings) -> List[str]:
    lines = []
    for i, sig in enumerate(s.signals):
        p = sig.params
        if isinstance(p, ArbitrarySignalParams):
            lines.append(f"{i}: Arbitrary, {len(p.samples)} samples (drawn above)")
        else:
            body = render_line(p)
            body = body[body.index("{") + 1:body.rindex("}")].strip()
            lines.append(f"{i}: {sig.variant}  {body}")
    return lines or ["(no signals)"]


def plot(settings: Settings, out: str) -> None:
    """Writes the picture to `out`; the type follows its extension (.png or
    .svg, or any other that matplotlib writes). Raises PlotUnavailable."""
    try:
        import matplotlib  # type: ignore[import]
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # type: ignore[import]
    except ImportError as e:
        impl = sys.implementation.name
        raise PlotUnavailable(
            f"--plot needs matplotlib, which cannot be imported under {impl} "
            f"{sys.version.split()[0]} (missing: {e.name or 'matplotlib'}); install it for "
            "CPython with `apt install python3-matplotlib` (Debian) or "
            "`pip install 'pyvexa[plot]'`, and run vexa-view under CPython") from None
    fmt = out.rsplit(".", 1)[-1].lower() if "." in out else ""
    if fmt not in plt.gcf().canvas.get_supported_filetypes():
        plt.close("all")
        raise PlotUnavailable(f"cannot write {out!r}: name it .png or .svg")
    plt.close("all")

    s = settings
    curves = [(i, sig.params) for i, sig in enumerate(s.signals)
              if isinstance(sig.params, ArbitrarySignalParams)]
    fig = plt.figure(figsize=(12, 7.5), dpi=100)
    grid = fig.add_gridspec(2, 2, height_ratios=[3, 2], hspace=0.3, wspace=0.05)
    ax = fig.add_subplot(grid[0, :])
    for i, p in curves:
        if not len(p.samples):
            continue
        t, lo, hi = envelope(p.samples)
        line = ax.plot(t, (lo + hi) / 2, lw=0.6, label=f"signal {i}")[0]
        ax.fill_between(t, lo, hi, color=line.get_color(), alpha=0.45, lw=0, step="post")
    ax.axvline(s.session_duration, color="0.4", ls="--", lw=1,
               label=f"session end ({format_double(s.session_duration)} s)")
    ax.set_xlabel("time (s)")
    ax.set_ylabel("level (32767 = 1.0)")
    ax.set_title(f"Arbitrary curves, {len(curves)} of {len(s.signals)} signals   "
                 f"(session {format_double(s.session_duration)} s, "
                 f"intensity {format_double(s.intensity)})", loc="left", fontsize=11)
    if not curves:
        ax.text(0.5, 0.5, "no arbitrary curves", transform=ax.transAxes, ha="center",
                color="0.5")
    ax.legend(loc="upper right", fontsize=8)
    ax.grid(alpha=0.3)

    routes = fig.add_subplot(grid[1, 0])
    routes.axis("off")
    rows = []
    for name, ch in (("A", s.channel_a_settings), ("B", s.channel_b_settings)):
        state = "enabled" if ch.enabled else "disabled"
        rows.append([f"{name}1 amplitude", state, _source(ch.amplitude1_source, s)])
        rows.append([f"{name}2 amplitude", state, _source(ch.amplitude2_source, s)])
        rows.append([f"{name} modulation", state, _source(ch.modulation_source, s)])
    table = routes.table(cellText=rows, colLabels=["input", "channel", "source"],
                         loc="upper center", cellLoc="left", colWidths=[0.3, 0.2, 0.5])
    table.auto_set_font_size(False)
    table.set_fontsize(9)
    table.scale(1, 1.4)
    for (r, _), cell in table.get_celld().items():
        if r > 0 and "missing" in rows[r - 1][2]:
            cell.set_facecolor("#f6d0d0")
    routes.set_title("Routing", loc="left", fontsize=11)

    sigs = fig.add_subplot(grid[1, 1])
    sigs.axis("off")
    lines = _signal_lines(s)
    if len(lines) > 14:
        lines = lines[:13] + [f"... and {len(lines) - 13} more"]
    sigs.text(0.02, 0.98, "\n".join(lines), va="top", ha="left", family="monospace",
              fontsize=8, transform=sigs.transAxes)
    sigs.set_title("Signals", loc="left", fontsize=11)
    fig.savefig(out, format=fmt)
    plt.close(fig)
