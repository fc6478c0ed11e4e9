"""The text form: `render` gives exactly str(Protocol) of the protocol that
holds the records, `render_line` the single-line form of one record, and
`summary` a short overview for people (`summary_record` the same for
programs)."""
from __future__ import annotations

import math
from dataclasses import is_dataclass
from typing import Any, Callable, Dict, Iterator, List, Tuple, Union

from . import _accel
from ._accel import sample_range
from .fields import (BOOL, F64, I16, KIND_OF, SETTINGS, STR, U64, Choice, Fixed, Kind, Record,
                     Scalar, Seq)
from .progress import report
from .records import (SAMPLING_RATE, VARIANT_INDEX, ArbitrarySignalParams, Settings, Signal,
                      SignalSourceSelection, num_samples)

__all__ = ["escape_text", "format_double", "render", "render_line", "render_pieces", "scalar_text",
           "short_text", "summary", "summary_lines", "summary_record", "write_text"]


def format_double(x: float) -> str:
    """A double as the text form writes it: the shortest digits that read
    back as x, in decimal notation from 0.0001 up to below 1e16, else as
    d.ddde[-]X; "NaN", "inf", "-inf", "0.0", "-0.0"."""
    x = float(x)
    if math.isnan(x):
        return "NaN"
    sign = "-" if math.copysign(1.0, x) < 0.0 else ""
    a = abs(x)
    if math.isinf(a):
        return sign + "inf"
    if a == 0.0:
        return sign + "0.0"
    # repr gives the shortest round-trip digits (nearest among ties); only
    # their layout differs.
    mantissa, _, exp = repr(a).partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = whole + frac
    point = len(whole) + (int(exp) if exp else 0)
    significant = digits.lstrip("0")
    point -= len(digits) - len(significant)
    digits = significant.rstrip("0")
    n = len(digits)
    if 0.0001 <= a < 1e16:
        if point <= 0:
            body = "0." + "0" * -point + digits
        elif point < n:
            body = digits[:point] + "." + digits[point:]
        else:
            body = digits + "0" * (point - n) + ".0"
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + f"e{point - 1}"
    return sign + body


_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}


def _nonprintable(cp: int) -> bool:
    # The same set as the model's text form, so names agree with str(Protocol).
    return (cp < 0x20 or 0x7F <= cp <= 0x9F or cp in (0xAD, 0x61C, 0x180E, 0xFEFF)
            or 0x200B <= cp <= 0x200F or 0x2028 <= cp <= 0x202E or 0x2060 <= cp <= 0x206F
            or 0xD800 <= cp <= 0xDFFF or 0xE000 <= cp <= 0xF8FF or 0xFDD0 <= cp <= 0xFDEF
            or 0xFFF0 <= cp <= 0xFFFB or (cp & 0xFFFE) == 0xFFFE or cp >= 0xF0000)


def escape_text(s: str) -> str:
    """A text in double quotes with the text form's escapes."""
    out = ['"']
    for ch in s:
        esc = _ESCAPES.get(ch)
        if esc is not None:
            out.append(esc)
        elif _nonprintable(ord(ch)):
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _scalar_text(kind: Kind, v: Any) -> str:
    if kind is F64:
        return format_double(v)
    if kind is BOOL:
        return "true" if v else "false"
    if kind is STR:
        return escape_text(v)
    return str(int(v))


_INDENT = "    "


def _pretty(kind: Kind, v: Any, depth: int, out: List[Any]) -> None:
    # The value's first line continues the caller's line; later lines and
    # the closing bracket are indented for `depth`.
    inner = _INDENT * (depth + 1)
    if isinstance(kind, Record):
        out.append(kind.cls.__name__ + " {\n")
        for name, sub in kind.fields:
            out.append(f"{inner}{name}: ")
            _pretty(sub, getattr(v, name), depth + 1, out)
            out.append(",\n")
        out.append(_INDENT * depth + "}")
    elif isinstance(kind, Choice):
        out.append(v.variant + "(\n" + inner)
        _pretty(kind.variants[VARIANT_INDEX[v.variant]], v.params, depth + 1, out)
        out.append(",\n" + _INDENT * depth + ")")
    elif isinstance(kind, (Seq, Fixed)):
        if not len(v):
            out.append("[]")
            return
        out.append("[\n")
        if kind.item is I16:
            _pretty_samples(v, inner, out)
        elif isinstance(kind.item, Scalar):
            sep = ",\n" + inner
            out.append(inner + sep.join(_scalar_text(kind.item, item) for item in v) + ",\n")
        else:
            for item in v:
                out.append(inner)
                _pretty(kind.item, item, depth + 1, out)
                out.append(",\n")
        out.append(_INDENT * depth + "]")
    else:
        out.append(_scalar_text(kind, v))


_TAIL = 8  # the longest sample line after its indentation: "-32768,\n"


def _line_tables(inner: str) -> Tuple[List[str], Any, Any]:
    """For the sample lines at one indentation: every 16-bit value's line
    as text (at the value's unsigned 16-bit index, so that a negative
    sample's own value also indexes it, counted from the end); with NumPy,
    each line's length and its rest after the indentation, padded with
    spaces to 8 bytes, as one 64-bit word."""
    texts = [f"{inner}{v},\n" for v in range(0, 0x8000)]
    texts += [f"{inner}{v},\n" for v in range(-0x8000, 0)]
    if _accel.np is None:
        return texts, None, None
    np = _accel.np
    lengths = np.fromiter(map(len, texts), dtype=np.intp, count=0x10000)
    rests = "".join(t[len(inner):].ljust(_TAIL) for t in texts)
    return texts, lengths, np.frombuffer(rests.encode("ascii"), dtype="<u8")


_TABLES: Dict[str, Tuple[List[str], Any, Any]] = {}


def _pretty_samples(samples: Any, inner: str, out: List[Any]) -> None:
    # Millions of lines, so no formatting per sample: each line comes from a
    # table of all 65536 possible lines.
    if inner not in _TABLES:
        _TABLES[inner] = _line_tables(inner)
    texts, lengths, rests = _TABLES[inner]
    n = len(samples)
    array = _accel.np is not None and isinstance(samples, _accel.np.ndarray)
    # A line pads its rest by at most 5 spaces, which must fall in the next
    # line's indentation (samples sit deeper than that in any protocol).
    if array and len(inner) >= _TAIL - 3:
        np = _accel.np
        u = samples.astype(np.int16, copy=False).view(np.uint16)
        k = len(inner)
        at = np.zeros(min(n, _accel.ARRAY_CHUNK) + 1, dtype=np.intp)
        for lo in range(0, n, _accel.ARRAY_CHUNK):
            chunk = u[lo:lo + _accel.ARRAY_CHUNK]
            m = len(chunk)
            np.cumsum(np.take(lengths, chunk), out=at[1:m + 1])
            size = int(at[m])
            # All indentations at once, then each line's rest as one word
            # written where it begins: its padding only lands on spaces, so
            # the order of the writes does not matter, and one gather and
            # one scatter make the final bytes. The words are an
            # overlapping view at every byte offset after the first
            # indentation, so at[i], where line i begins, indexes the word
            # after its indentation; the last line pads into spare bytes.
            text = np.full(size + _TAIL, 0x20, dtype=np.uint8)
            slots = np.ndarray((size + 1 - k,), dtype="<u8", buffer=text, offset=k,
                               strides=(1,))
            slots[at[:m]] = np.take(rests, chunk)
            out.append(memoryview(text[:size]))
            report("rendering", min(n, lo + _accel.ARRAY_CHUNK), n)
        return
    get = texts.__getitem__
    for lo in range(0, n, _accel.CHUNK):
        part = samples[lo:lo + _accel.CHUNK]
        out.append("".join(map(get, part.tolist() if array else part)))
        report("rendering", min(n, lo + _accel.CHUNK), n)


class _Sink:
    # Looks like a list to _pretty, but hands each piece on at once.
    def __init__(self, write: Callable[[Union[str, memoryview]], Any]) -> None:
        self.append = write


def render_pieces(settings: Settings) -> List[Union[str, memoryview]]:
    """render(settings) in pieces, text or ASCII bytes, whose concatenation
    is the text."""
    out: List[Union[str, memoryview]] = ["Protocol {\n    settings: "]
    _pretty(SETTINGS, settings, 1, out)
    out.append(",\n}")
    return out


def write_text(settings: Settings, write: Callable[[Union[str, memoryview]], Any]) -> None:
    """Passes render(settings) to `write` piece by piece (text, or ASCII
    bytes as a memoryview) as it is made, so that a long text is never
    held whole."""
    sink = _Sink(write)
    write("Protocol {\n    settings: ")
    _pretty(SETTINGS, settings, 1, sink)  # type: ignore[arg-type]
    write(",\n}")


def render(settings: Settings) -> str:
    """Exactly str(Protocol) of the protocol that holds `settings`."""
    return "".join(p if isinstance(p, str) else str(p, "ascii")
                   for p in render_pieces(settings))


def _line(kind: Kind, v: Any) -> str:
    if isinstance(kind, Record):
        fields = ", ".join(f"{name}: {_line(sub, getattr(v, name))}" for name, sub in kind.fields)
        return f"{kind.cls.__name__} {{ {fields} }}"
    if isinstance(kind, Choice):
        return f"{v.variant}({_line(kind.variants[VARIANT_INDEX[v.variant]], v.params)})"
    if isinstance(kind, (Seq, Fixed)):
        return "[" + ", ".join(_line(kind.item, item) for item in v) + "]"
    return _scalar_text(kind, v)


def render_line(value: Any) -> str:
    """The single-line text form of any record above, e.g.
    "MixedSignalParams { a_idx: 0, b_idx: 1 }"."""
    return _line(KIND_OF[type(value)], value)


def scalar_text(v: Any) -> str:
    """A field's value as the text form shows it, its kind told by its type."""
    kind = (BOOL if isinstance(v, bool) else F64 if isinstance(v, float) else
            STR if isinstance(v, str) else U64)
    return _scalar_text(kind, v)


def short_text(v: Any) -> str:
    """A record or value on one line, with a curve's samples counted, not
    listed."""
    if isinstance(v, Signal) and isinstance(v.params, ArbitrarySignalParams):
        return f"Arbitrary({len(v.params.samples)} samples)"
    if is_dataclass(v):
        return render_line(v)
    return scalar_text(v)


# The summary.

def _describe_signal(sig: Signal) -> str:
    p = sig.params
    if isinstance(p, ArbitrarySignalParams):
        if not len(p.samples):
            return "Arbitrary(0 samples)"
        low, high = sample_range(p.samples)
        return (f"Arbitrary({len(p.samples)} samples, {low} to {high}, "
                f"first {p.samples[0]}, last {p.samples[-1]})")
    return f"{sig.variant}({_line(KIND_OF[type(p)], p)})"


def _describe_source(sel: SignalSourceSelection, settings: Settings) -> str:
    if sel.external_selected:
        n = settings.machine_config.num_external_signal_sources
        note = "" if sel.external < n else f" (the machine has {n})"
        return f"external input {sel.external}{note}"
    if sel.internal < len(settings.signals):
        return f"signal {sel.internal} ({settings.signals[sel.internal].variant})"
    return f"signal {sel.internal} (missing: the protocol has {len(settings.signals)})"


def summary_lines(settings: Settings) -> Iterator[str]:
    """The lines of summary(settings), one at a time (without their line
    ends), for protocols of millions of signals."""
    s = settings
    yield f"target machine: {'yes' if s.running_on_target_machine else 'no'}"
    yield (f"session: {format_double(s.session_duration)} s "
           f"({num_samples(s.session_duration)} samples at {SAMPLING_RATE:g} per second), "
           f"intensity {format_double(s.intensity)}")
    for name, ch in (("A", s.channel_a_settings), ("B", s.channel_b_settings)):
        yield f"channel {name}: {'enabled' if ch.enabled else 'disabled'}"
        yield f"    {name}1 amplitude:  {_describe_source(ch.amplitude1_source, s)}"
        yield f"    {name}2 amplitude:  {_describe_source(ch.amplitude2_source, s)}"
        yield f"    modulation:    {_describe_source(ch.modulation_source, s)}"
    yield f"signals: {len(s.signals)}"
    for i, sig in enumerate(s.signals):
        yield f"    {i}: {_describe_signal(sig)}"


def summary(settings: Settings) -> str:
    """A short overview for people: session, channels and their routing
    (dangling indices flagged), one line per signal."""
    return "\n".join(summary_lines(settings))


def summary_record(settings: Settings) -> Dict[str, Any]:
    """The summary for a program, ready for JSON. Doubles are in the text
    form, as strings, so that NaN, the infinities and -0.0 survive JSON."""
    s = settings
    mc = s.machine_config

    def source(sel: SignalSourceSelection) -> Dict[str, Any]:
        if sel.external_selected:
            return {"external": sel.external,
                    "missing": sel.external >= mc.num_external_signal_sources}
        return {"signal": sel.internal, "missing": sel.internal >= len(s.signals)}

    channels = {}
    for name, ch in (("A", s.channel_a_settings), ("B", s.channel_b_settings)):
        channels[name] = {"enabled": ch.enabled, f"{name}1": source(ch.amplitude1_source),
                          f"{name}2": source(ch.amplitude2_source),
                          "modulation": source(ch.modulation_source)}
    signals = []
    for sig in s.signals:
        entry: Dict[str, Any] = {"kind": sig.variant}
        if not isinstance(sig.params, ArbitrarySignalParams):
            entry["text"] = short_text(sig)
        else:
            samples = sig.params.samples
            entry["samples"] = len(samples)
            if len(samples):
                low, high = sample_range(samples)
                entry.update(min=low, max=high, first=int(samples[0]), last=int(samples[-1]))
        signals.append(entry)
    return {"target_machine": s.running_on_target_machine,
            "session_duration": format_double(s.session_duration),
            "num_samples": num_samples(s.session_duration),
            "intensity": format_double(s.intensity), "channels": channels,
            "signals": signals}
