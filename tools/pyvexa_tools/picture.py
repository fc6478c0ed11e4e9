"""One protocol's picture: a title line, the curves against time from 0 to
the session's end with their legend beside them, and the routing, signals
and findings panels under them, each finding's number marked where it is.
Needs matplotlib (and so NumPy)."""
from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .bands import COLUMNS, FULL_SCALE, columns, to_end
from .lint import Finding
from .marks import Item, Places, numbered
from .panels import (FINDING_CHARS, ROUTING_CHARS, SIGNAL_CHARS, Row, finding_rows,
                     signal_rows)
from .records import (SAMPLING_RATE, ArbitrarySignalParams, Settings, SignalSourceSelection,
                      num_samples)
from .text import format_double

__all__ = ["Picture"]

OWN_COLOURS = 8       # up to this many curves get a colour and a legend entry each
PLACED = 12           # curve markers drawn per item (a group marks its first curves)

SEVERITY_COLOURS = {"error": "#c62828", "warning": "#d97800"}
PALETTE = ["#1f77b4", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22",
           "#ff7f0e"]
GROUP_COLOUR = "#7f7f7f"

# Layout, in inches (drawn at 100 dots per inch).
WIDTH = 12.8
DPI = 100
TOP, BELOW = 0.75, 0.55           # above the curve panel, and under it for the time axis
LEFT, LEGEND = 0.8, 2.75          # the curve panel's left margin and the legend's column
FONT = 8.0                        # the text panels' monospace size, in points
CHAR = 0.602 * FONT / 72          # DejaVu Sans Mono's advance, in inches
LINE = 1.45 * FONT / 72           # one text row, in inches
PANELS = (0.35, 4.0, 8.75)        # where routing, signals and findings start
MAX_AXIS = 1800.0                 # a longer session is drawn to scale only beside its curves

class Picture:
    """One protocol's figure: a title line; the curve panel (without curves,
    a thin time line) with its legend to the right; and three text panels
    under it: routing, signals and findings."""

    def __init__(self, settings: Settings, findings: Sequence[Finding], fmt: str) -> None:
        import numpy as np
        from matplotlib.backends.backend_agg import FigureCanvasAgg  # type: ignore[import]
        from matplotlib.figure import Figure  # type: ignore[import]
        s = self.s = settings
        # PostScript has no transparency: tints of the same look instead.
        self.opaque = fmt in ("ps", "eps")
        self.nfindings = len(findings)
        self.items = numbered(findings)
        self.places = Places(self.items, len(s.signals))
        chans = (s.channel_a_settings, s.channel_b_settings)
        self.enabled = (chans[0].enabled, chans[1].enabled)
        self.routes = [(c, f"{'AB'[c]}{slot}", sel) for c, ch in enumerate(chans)
                       for slot, sel in (("1", ch.amplitude1_source),
                                         ("2", ch.amplitude2_source),
                                         (" mod", ch.modulation_source))]
        # Each signal's curve length, -1 for the other kinds: one pass.
        self.lengths = np.fromiter((len(x.params.samples) if type(x.params) is
                                    ArbitrarySignalParams else -1 for x in s.signals),
                                   dtype=np.int64, count=len(s.signals))
        curves = np.flatnonzero(self.lengths > 0)
        self.empty = int(np.count_nonzero(self.lengths == 0))
        # The curves the device plays get the colours first.
        routed = sorted({sel.internal for c, _, sel in self.routes
                         if not sel.external_selected and sel.internal < len(s.signals)
                         and self.lengths[sel.internal] > 0},
                        key=lambda i: (not self._played(i), i))
        rest = [int(i) for i in curves[:OWN_COLOURS + len(routed)] if int(i) not in routed]
        own = (routed + rest)[:OWN_COLOURS if len(curves) <= OWN_COLOURS else OWN_COLOURS - 1]
        self.own = own
        self.others = curves[~np.isin(curves, own)] if len(curves) > len(own) else curves[:0]
        self.colour = {i: PALETTE[k] for k, i in enumerate(own)}
        self.signal_rows = signal_rows(s.signals, self.lengths, self.places, self.colour)
        self.finding_rows = finding_rows(self.items)
        self.rows = max(8, len(self.signal_rows), len(self.finding_rows))
        self.curve_height = 3.5 if own else 0.7
        self.height = TOP + self.curve_height + BELOW + (self.rows + 1.5) * LINE + 0.15
        self.panel_top = self.height - TOP - self.curve_height - BELOW
        self.fig = Figure(figsize=(WIDTH, self.height), dpi=DPI)
        FigureCanvasAgg(self.fig)

    def _routed_to(self, i: int) -> List[str]:
        return [label for _, label, sel in self.routes
                if not sel.external_selected and sel.internal == i]

    def _played(self, i: int) -> bool:
        return any(self.enabled[c] for c, _, sel in self.routes
                   if not sel.external_selected and sel.internal == i)

    def _samples(self, i: int) -> Any:
        p = self.s.signals[i].params
        assert isinstance(p, ArbitrarySignalParams)
        return p.samples

    def _fx(self, x: float) -> float:
        return x / WIDTH

    def _fy(self, y: float) -> float:
        return y / self.height

    def badge(self, item: Item, x: float, y: float, transform: Any, k: int = 0,
              dy: float = 0.0) -> None:
        """Item's number in a box of its severity's colour: the k-th badge
        at the point (x, y) of `transform`, to its right."""
        from matplotlib.transforms import offset_copy  # type: ignore[import]
        at = offset_copy(transform, fig=self.fig, x=7 + 15 * k, y=dy, units="points")
        self.fig.text(x, y, str(item.number), transform=at, ha="left", va="center",
                      fontsize=7, fontweight="bold", color="white", zorder=10,
                      gid=f"finding-{item.number}", clip_on=False,
                      bbox=dict(boxstyle="round,pad=0.25", fc=SEVERITY_COLOURS[item.severity],
                                ec="none"))

    def draw(self) -> None:
        s = self.s
        d = s.session_duration
        n = len(s.signals)
        title = (f"session {format_double(d)} s  ·  {num_samples(d):,} samples at "
                 f"{SAMPLING_RATE:g}/s  ·  intensity {format_double(s.intensity)} "
                 f"(machine max {format_double(s.machine_config.max_intensity_setpoint)})  ·  "
                 f"{n:,} signal{'s' if n != 1 else ''}"
                 + ("  ·  made on the target machine" if s.running_on_target_machine else ""))
        head = self.fig.text(self._fx(LEFT), self._fy(self.height - 0.3), title, fontsize=11,
                             va="center")
        # The session's findings after the line that describes the session.
        right = head.get_window_extent(self.fig.canvas.get_renderer()).x1 / DPI
        for k, item in enumerate(self.places.session):
            self.badge(item, right, self.height - 0.3, self.fig.dpi_scale_trans, k)
        self.draw_curves()
        self.draw_routing()
        self._rows(PANELS[1], "Signals", "", self.signal_rows, SIGNAL_CHARS)
        errors = sum(len(i.members) for i in self.items if i.severity == "error")
        warnings = self.nfindings - errors
        self._rows(PANELS[2], "Findings", f"{errors:,} error{'s' if errors != 1 else ''}, "
                   f"{warnings:,} warning{'s' if warnings != 1 else ''}" if self.items else "",
                   self.finding_rows, FINDING_CHARS, badges_before=True)

    def _span(self) -> Tuple[float, bool]:
        """The time axis's end in seconds, and whether the session's end is
        on it: the session, or the longest curve where that is longer."""
        d = self.s.session_duration
        longest = int(self.lengths.max(initial=0)) / SAMPLING_RATE
        if math.isfinite(d) and d > 0 and (d <= MAX_AXIS or d <= 2 * longest):
            return max(d, longest), True
        return longest or 1.0, False

    def draw_curves(self) -> None:
        end, session_shown = self._span()
        right = LEGEND if self.own else 0.3
        ax = self.ax = self.fig.add_axes([
            self._fx(LEFT), self._fy(self.height - TOP - self.curve_height),
            self._fx(WIDTH - LEFT - right), self._fy(self.curve_height)])
        ax.set_xlim(0, end)
        ax.set_xlabel("time (s)", labelpad=2)
        ax.grid(color="0.88")
        d = self.s.session_duration
        if session_shown:
            ax.axvspan(0, d, color="#dde8f3" if not self.own else "none", lw=0, zorder=0)
            ax.axvline(d, color="0.25", ls="--", lw=1.2, zorder=3,
                       label=f"session end, {format_double(d)} s")
            if end > d:
                ax.axvspan(d, end, color="0.91", lw=0, zorder=0,
                           label="after the session's end")
        else:
            ax.text(0.995, 0.95, f"the session's end, {format_double(d)} s, is not on this axis",
                    transform=ax.transAxes, ha="right", va="top", fontsize=8, color="0.3")
        if not self.own:
            ax.set_ylim(0, 1)
            ax.set_yticks([])
            what = "no arbitrary curves" if not self.empty else \
                f"no curve with samples ({self.empty:,} empty)"
            ax.text(0.01, 0.5, f"{what}: the signals are listed below with their parameters",
                    transform=ax.transAxes, va="center", fontsize=9, color="0.3")
            return
        self._draw_bands(ax, max(1, round(end * SAMPLING_RATE)))
        ax.set_ylabel("level (32767 = 1.0)")
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0,
                  fontsize=8, frameon=False, title="curves", title_fontsize=9,
                  alignment="left")

    def _draw_bands(self, ax: Any, span: int) -> None:
        import numpy as np
        low, high = 0.0, 1.0
        for i in self.own:
            samples = self._samples(i)
            t, lo, hi = to_end(*columns(samples, span)[1:], len(samples) / SAMPLING_RATE)
            colour = self.colour[i]
            routed = self._routed_to(i)
            to = ", ".join(routed) if len(routed) < 6 else "all six inputs"
            label = f"signal {i} → {to}" if routed else f"signal {i}, not routed"
            ax.fill_between(t, lo, hi, step="post", facecolor=self._face(colour, 0.35),
                            edgecolor=colour,
                            lw=0.8, label=label if len(label) <= 34 else
                            f"signal {i} → {len(routed)} inputs", zorder=2)
            low, high = min(low, float(lo.min())), max(high, float(hi.max()))
        if len(self.others):
            # The other curves as one band: folded in one at a time, so the
            # memory is the grid's whatever their number.
            lo = np.full(COLUMNS, np.inf)
            hi = np.full(COLUMNS, -np.inf)
            for i in self.others:
                col, _, a, b = columns(self._samples(int(i)), span)
                np.minimum.at(lo, col, a)
                np.maximum.at(hi, col, b)
            keep = np.isfinite(lo)
            t = np.arange(COLUMNS)[keep] * (span / COLUMNS / SAMPLING_RATE)
            longest = int(self.lengths[self.others].max()) / SAMPLING_RATE
            t, lo, hi = to_end(t, lo[keep], hi[keep], longest)
            ax.fill_between(t, lo, hi, step="post",
                            facecolor=self._face(GROUP_COLOUR, 0.33),
                            edgecolor=GROUP_COLOUR, lw=0.5, zorder=1,
                            label=f"{len(self.others):,} more curves as one band:\n"
                                  f"signals {_ranges(self.others)}")
            low, high = min(low, float(lo.min())), max(high, float(hi.max()))
        if self.empty:
            ax.plot([], [], ls="none", label=f"{self.empty:,} empty curve"
                    f"{'s' if self.empty != 1 else ''}, not drawn")
        pad = 0.04 * (high - low)
        ax.set_ylim(low - pad, high + pad)
        self._mark_curves(ax)

    def _face(self, colour: str, alpha: float) -> Any:
        from matplotlib.colors import to_rgb  # type: ignore[import]
        rgb = to_rgb(colour)
        if self.opaque:
            return tuple(1 - alpha + alpha * c for c in rgb)
        return (*rgb, alpha)

    def _mark_curves(self, ax: Any) -> None:
        """A finding about a curve's samples at the sample it is about: the
        first one out of range, or the curve's end where its length does not
        match the session. A group marks its first PLACED curves."""
        import numpy as np
        near: Dict[int, int] = {}
        for item in self.items:
            if item.code not in ("sample-range", "curve-length"):
                continue
            for i in self.places.signals.get(item.number, [])[:PLACED]:
                a = np.asarray(self._samples(int(i)))
                if not len(a):
                    continue
                if item.code == "sample-range":
                    x = int(np.argmax((a < 0) | (a > FULL_SCALE)))
                    t = x / SAMPLING_RATE
                else:
                    x, t = len(a) - 1, len(a) / SAMPLING_RATE
                k = near[int(i)] = near.get(int(i), -1) + 1
                ax.plot([t], [a[x] / FULL_SCALE], marker="o", ms=6, mfc="none",
                        mec=SEVERITY_COLOURS[item.severity], mew=1.5, zorder=4, clip_on=False)
                self.badge(item, t, a[x] / FULL_SCALE, ax.transData, k, dy=7)

    def _heading(self, x: float, title: str, note: str) -> float:
        """A panel's title at `x` inches; returns its first row's height."""
        y = self.panel_top - 0.05
        self.fig.text(self._fx(x), self._fy(y), title, fontsize=10, fontweight="bold",
                      va="top")
        if note:
            self.fig.text(self._fx(x + 0.11 * len(title) + 0.1), self._fy(y - 0.02), note,
                          fontsize=8, va="top", color="0.3")
        return y - 1.5 * LINE

    def _line(self, x: float, y: float, text: str, width: int, items: Sequence[Item] = (),
              swatch: Optional[str] = None, colour: str = "0.1") -> None:
        """One monospace row at `x` inches and `y` inches from the bottom,
        cut to `width` characters, with its findings' numbers after it."""
        room = width - 3 * min(len(items), 3)
        if len(text) > room:
            text = text[:room - 1] + "…"
        if swatch is not None:
            self.fig.text(self._fx(x - 0.16), self._fy(y + 0.01), "■", color=swatch,
                          fontsize=FONT + 1, va="top")
        self.fig.text(self._fx(x), self._fy(y), text, fontsize=FONT, family="DejaVu Sans Mono",
                      va="top", color=colour)
        for k, item in enumerate(items[:3]):
            self.badge(item, x + len(text) * CHAR, y - LINE / 2 + 0.01,
                       self.fig.dpi_scale_trans, k)

    def _rows(self, x: float, title: str, note: str, rows: Sequence[Row], width: int,
              badges_before: bool = False) -> None:
        y = self._heading(x, title, note)
        for text, items, swatch in rows:
            if badges_before:
                for item in items:
                    self.badge(item, x - 0.32, y - LINE / 2 + 0.01, self.fig.dpi_scale_trans)
            self._line(x, y, text, width, () if badges_before else items, swatch,
                       "0.4" if text.startswith(("…", "none")) else "0.1")
            y -= LINE

    def draw_routing(self) -> None:
        x = PANELS[0]
        y = self._heading(x, "Routing", "")
        coils = self.s.machine_config.coils
        for c, ch in enumerate((self.s.channel_a_settings, self.s.channel_b_settings)):
            coil = f"coil {ch.coil_idx}" + (f" {coils[ch.coil_idx].name!r}"
                                            if ch.coil_idx < len(coils) else "")
            self._line(x, y, f"channel {'AB'[c]}  {'on' if ch.enabled else 'off'}, {coil}, "
                       f"row {ch.coil_setting_idx}", ROUTING_CHARS,
                       self.places.channel.get((c,), []))
            y -= LINE
            for slot, (_, label, sel) in enumerate(self.routes[3 * c:3 * c + 3]):
                swatch = None if sel.external_selected else self.colour.get(sel.internal)
                name = label + (" amplitude" if slot < 2 else "ulation")
                self._line(x + 0.2, y, f"{name:<13} {self._source(sel)}", ROUTING_CHARS - 3,
                           self.places.channel.get((c, slot), []), swatch,
                           "0.1" if ch.enabled else "0.55")
                y -= LINE

    def _source(self, sel: SignalSourceSelection) -> str:
        if sel.external_selected:
            n = self.s.machine_config.num_external_signal_sources
            return f"external input {sel.external}" + (
                "" if sel.external < n else f" (machine has {n})")
        if sel.internal < len(self.s.signals):
            return f"signal {sel.internal}, {self.s.signals[sel.internal].variant}"
        return f"signal {sel.internal} (missing)"


def _ranges(indices: Any) -> str:
    """"3–9, 12, 20–49" for sorted indices, cut after a few runs."""
    runs: List[Tuple[int, int]] = []
    for i in indices:
        if len(runs) > 3:
            break
        i = int(i)
        if runs and runs[-1][1] == i - 1:
            runs[-1] = (runs[-1][0], i)
        else:
            runs.append((i, i))
    text = ", ".join(f"{a}" if a == b else f"{a}–{b}" for a, b in runs[:3])
    return text + (", …" if len(runs) > 3 else "")

