"""Reading, writing and showing .vexa protocol files without the module.

    settings = decode(open("session.vexa", "rb").read())
    text = render(settings)        # == str(protocol) that saved it
    data = encode(settings)        # the same bytes back
    settings = parse_text(str(protocol))   # the same records from the text form

Standard library only; NumPy, when it can be imported under CPython, makes
long sample sequences fast. `decode` raises `DecodeError` (a ValueError)
with `.offset`, `.reason` and `.field`.
"""
from __future__ import annotations

import argparse
import math
import struct
import re
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Type, Union

__all__ = [
    "parse_text", "num_samples", "render_pieces", "write_text",
    "ArbitrarySignalParams", "ChannelSettings", "Coil", "ConstantSignalParams", "DecodeError",
    "LCSetting", "MachineConfig", "MixedSignalParams", "RampSignalParams", "Settings", "Signal",
    "SignalSourceSelection", "SineSignalParams", "decode", "encode", "escape_text",
    "format_double", "render", "render_line", "summary",
]

_np: Any
try:
    if sys.implementation.name == "pypy":
        # PyPy's JIT runs the plain loops below at near-native speed, while
        # NumPy there pays for every crossing into the C interface.
        raise ImportError
    import numpy as _np
except ImportError:
    _np = None

SAMPLING_RATE = 5000.0
U64_MAX = (1 << 64) - 1


# ---------------------------------------------------------------------------
# The records a file holds. Field order is the file's order and the text's.

@dataclass
class LCSetting:
    capacitance: float
    carrier_frequency: float
    clk_ticks_per_sample: int
    capacitor_bank_setting: int


@dataclass
class Coil:
    name: str
    inductance: float
    max_current: float
    max_carrier_frequency: float
    settings: List[LCSetting]


@dataclass
class MachineConfig:
    supply_voltage: float
    num_coils: int
    coils: List[Coil]
    capacitors: List[float]
    possible_capacitances: List[float]
    num_external_signal_sources: int
    smbus_psu_connected: bool
    num_temperature_sensors: int
    num_flow_rate_sensors: int
    safety_checks_enabled: bool
    max_intensity_setpoint: float
    max_current: float
    max_carrier_frequency: float
    max_temperature: float
    min_flowrate: float
    max_power: float


@dataclass
class ConstantSignalParams:
    value: float


@dataclass
class SineSignalParams:
    amplitude: float
    frequency: float
    phase: float
    depth: float


@dataclass
class RampSignalParams:
    peak: float
    up_duration: float
    down_duration: float


@dataclass
class MixedSignalParams:
    a_idx: int
    b_idx: int


@dataclass
class ArbitrarySignalParams:
    samples: List[int]


SignalParams = Union[ConstantSignalParams, SineSignalParams, RampSignalParams,
                     MixedSignalParams, ArbitrarySignalParams]

# The position in this tuple is the variant index the file stores.
VARIANTS: Tuple[Tuple[str, Type[Any]], ...] = (
    ("Constant", ConstantSignalParams),
    ("Sine", SineSignalParams),
    ("Ramp", RampSignalParams),
    ("MixedSignal", MixedSignalParams),
    ("Arbitrary", ArbitrarySignalParams),
)
_VARIANT_INDEX = {name: i for i, (name, _) in enumerate(VARIANTS)}


@dataclass
class Signal:
    """One signal: `variant` is "Constant", "Sine", "Ramp", "MixedSignal" or
    "Arbitrary", `params` the matching *SignalParams record."""
    variant: str
    params: SignalParams

    @property
    def index(self) -> int:
        """The variant index stored in the file (0 to 4)."""
        return _VARIANT_INDEX[self.variant]


@dataclass
class SignalSourceSelection:
    internal: int = 0
    external: int = 0
    external_selected: bool = False


@dataclass
class ChannelSettings:
    enabled: bool
    amplitude1_source: SignalSourceSelection
    amplitude2_source: SignalSourceSelection
    modulation_source: SignalSourceSelection
    coil_idx: int
    coil_setting_idx: int


@dataclass
class Settings:
    running_on_target_machine: bool
    machine_config: MachineConfig
    intensity: float
    session_duration: float
    signals: List[Signal]
    channel_a_settings: ChannelSettings
    channel_b_settings: ChannelSettings
    monitor_trace_visible: List[bool] = field(default_factory=lambda: [False] * 16)


# ---------------------------------------------------------------------------
# Field kinds. One table per record drives decoding, encoding and both text
# forms, so the three cannot disagree about order or kind.

class _Kind:
    min_size = 1  # fewest bytes one value can take; bounds claimed counts


class _Scalar(_Kind):
    def __init__(self, name: str, min_size: int) -> None:
        self.name = name
        self.min_size = min_size


BOOL = _Scalar("boolean", 1)
U64 = _Scalar("unsigned varint", 1)
I16 = _Scalar("zigzag sample", 1)
F64 = _Scalar("double", 8)
STR = _Scalar("string", 1)


class _Seq(_Kind):
    def __init__(self, item: _Kind) -> None:
        self.item = item


class _Fixed(_Kind):
    def __init__(self, item: _Kind, count: int) -> None:
        self.item = item
        self.count = count
        self.min_size = item.min_size * count


class _Record(_Kind):
    def __init__(self, cls: Type[Any], fields: Sequence[Tuple[str, _Kind]]) -> None:
        self.cls = cls
        self.fields = tuple(fields)
        self.min_size = sum(k.min_size for _, k in fields)


class _Union(_Kind):
    def __init__(self, variants: Sequence[_Record]) -> None:
        self.variants = tuple(variants)
        self.min_size = 1 + min(v.min_size for v in variants)


_SELECTION = _Record(SignalSourceSelection, [
    ("internal", U64), ("external", U64), ("external_selected", BOOL)])
_CHANNEL = _Record(ChannelSettings, [
    ("enabled", BOOL), ("amplitude1_source", _SELECTION), ("amplitude2_source", _SELECTION),
    ("modulation_source", _SELECTION), ("coil_idx", U64), ("coil_setting_idx", U64)])
_LCSETTING = _Record(LCSetting, [
    ("capacitance", F64), ("carrier_frequency", F64),
    ("clk_ticks_per_sample", U64), ("capacitor_bank_setting", U64)])
_COIL = _Record(Coil, [
    ("name", STR), ("inductance", F64), ("max_current", F64),
    ("max_carrier_frequency", F64), ("settings", _Seq(_LCSETTING))])
_MACHINE = _Record(MachineConfig, [
    ("supply_voltage", F64), ("num_coils", U64), ("coils", _Seq(_COIL)),
    ("capacitors", _Seq(F64)), ("possible_capacitances", _Seq(F64)),
    ("num_external_signal_sources", U64), ("smbus_psu_connected", BOOL),
    ("num_temperature_sensors", U64), ("num_flow_rate_sensors", U64),
    ("safety_checks_enabled", BOOL), ("max_intensity_setpoint", F64), ("max_current", F64),
    ("max_carrier_frequency", F64), ("max_temperature", F64), ("min_flowrate", F64),
    ("max_power", F64)])
_SIGNAL = _Union([
    _Record(ConstantSignalParams, [("value", F64)]),
    _Record(SineSignalParams, [("amplitude", F64), ("frequency", F64), ("phase", F64),
                               ("depth", F64)]),
    _Record(RampSignalParams, [("peak", F64), ("up_duration", F64), ("down_duration", F64)]),
    _Record(MixedSignalParams, [("a_idx", U64), ("b_idx", U64)]),
    _Record(ArbitrarySignalParams, [("samples", _Seq(I16))]),
])
_SETTINGS = _Record(Settings, [
    ("running_on_target_machine", BOOL), ("machine_config", _MACHINE), ("intensity", F64),
    ("session_duration", F64), ("signals", _Seq(_SIGNAL)), ("channel_a_settings", _CHANNEL),
    ("channel_b_settings", _CHANNEL), ("monitor_trace_visible", _Fixed(BOOL, 16))])


# ---------------------------------------------------------------------------
# Decoding.

class DecodeError(ValueError):
    """The bytes are not a protocol file. `offset` is the byte offset where
    the problem lies (for truncated input: the end of the data), `field` the
    path of the field being read ("" when none)."""

    def __init__(self, offset: int, reason: str, field: str = "") -> None:
        self.offset = offset
        self.reason = reason
        self.field = field
        where = f" (in {field})" if field else ""
        super().__init__(f"byte offset {offset}: {reason}{where}")


_DOUBLE = struct.Struct("<d")


# Progress of long runs: the command line sets a callback that receives
# (what, done, total); the library itself reports nothing.
progress: Optional[Callable[[str, int, int], None]] = None


def _report(what: str, done: int, total: int) -> None:
    if progress is not None:
        progress(what, done, total)


class _Reader:
    def __init__(self, data: bytes, arrays: bool = False) -> None:
        self.data = data
        self.arrays = arrays
        self.pos = 0
        self.path: List[str] = []

    def where(self) -> str:
        return "".join(self.path).lstrip(".")

    def fail(self, offset: int, reason: str) -> DecodeError:
        return DecodeError(offset, reason, self.where())

    def truncated(self, start: int, what: str) -> DecodeError:
        return self.fail(len(self.data), f"truncated input: {what} begun at byte offset {start} "
                                         "is incomplete")

    def take(self, n: int, what: str) -> bytes:
        start = self.pos
        if n > len(self.data) - start:
            raise self.truncated(start, what)
        self.pos = start + n
        return self.data[start:self.pos]

    def varint(self, what: str = "unsigned varint") -> int:
        data = self.data
        start = pos = self.pos
        value = 0
        for i in range(10):
            if pos >= len(data):
                raise self.truncated(start, what)
            b = data[pos]
            pos += 1
            value |= (b & 0x7F) << (7 * i)
            if b < 0x80:
                if i == 9 and b > 1:
                    raise self.fail(start, f"{what} exceeds 64 bits")
                if i > 0 and b == 0:
                    # The writer always emits the shortest form; a padded one
                    # means the file did not come from it.
                    raise self.fail(start, f"non-canonical {what} (redundant zero groups)")
                self.pos = pos
                return value
        raise self.fail(start, f"{what} longer than 10 bytes")

    def count(self, item: _Kind) -> int:
        start = self.pos
        n = self.varint("element count")
        # Refuse a count the remaining bytes cannot hold before looping over it.
        if n * item.min_size > len(self.data) - self.pos:
            raise self.fail(len(self.data), f"truncated input: the sequence begun at byte "
                                            f"offset {start} claims {n} elements, more than "
                                            "the remaining bytes can hold")
        return n

    def value(self, kind: _Kind) -> Any:
        if kind is F64:
            return _DOUBLE.unpack(self.take(8, "8-byte double"))[0]
        if kind is U64:
            return self.varint()
        if kind is BOOL:
            start = self.pos
            b = self.take(1, "boolean")[0]
            if b > 1:
                raise self.fail(start, f"invalid boolean byte 0x{b:02X} (expected 0x00 or 0x01)")
            return b == 1
        if kind is STR:
            n = self.varint("string length")
            start = self.pos
            raw = self.take(n, f"{n}-byte string")
            try:
                return raw.decode("utf-8")
            except UnicodeDecodeError as e:
                raise self.fail(start + e.start, f"invalid UTF-8 in string ({e.reason})") from None
        if isinstance(kind, _Record):
            values = []
            for name, sub in kind.fields:
                self.path.append("." + name)
                values.append(self.value(sub))
                self.path.pop()
            return kind.cls(*values)
        if isinstance(kind, _Seq):
            if kind.item is I16:
                return self.samples()
            items = []
            for i in range(self.count(kind.item)):
                self.path.append(f"[{i}]")
                items.append(self.value(kind.item))
                self.path.pop()
            return items
        if isinstance(kind, _Fixed):
            items = []
            for i in range(kind.count):
                self.path.append(f"[{i}]")
                items.append(self.value(kind.item))
                self.path.pop()
            return items
        if isinstance(kind, _Union):
            start = self.pos
            index = self.varint("variant index")
            if index >= len(kind.variants):
                raise self.fail(start, f"invalid signal variant index {index} "
                                       f"(expected 0 to {len(kind.variants) - 1})")
            return Signal(VARIANTS[index][0], self.value(kind.variants[index]))
        raise AssertionError(kind)  # pragma: no cover

    def samples(self) -> List[int]:
        # A session can hold millions of samples: one tight loop, the
        # one-byte case inline.
        n = self.count(I16)
        if _np is not None and n >= 1024:
            fast = _samples_numpy(self.data, self.pos, n)
            if fast is not None:
                values, self.pos = fast
                return values if self.arrays else values.tolist()  # type: ignore[no-any-return]
        data = self.data
        out = [0] * n
        pos = start = self.pos
        i = 0
        try:
            for i in range(n):
                b = data[pos]
                if b < 0x80:
                    z = b
                    pos += 1
                elif 0 < data[pos + 1] < 0x80:
                    z = (b & 0x7F) | (data[pos + 1] << 7)
                    pos += 2
                elif data[pos + 1] >= 0x80 and 0 < data[pos + 2] < 4:
                    z = (b & 0x7F) | ((data[pos + 1] & 0x7F) << 7) | (data[pos + 2] << 14)
                    pos += 3
                else:  # anything unusual, errors included, goes the long way
                    self.pos = pos
                    self.path.append(f"[{i}]")
                    z = self.varint("zigzag sample")
                    if z > 0xFFFF:
                        raise self.fail(pos, f"zigzag sample {z} exceeds 16 bits")
                    self.path.pop()
                    pos = self.pos
                out[i] = (z >> 1) ^ -(z & 1)
        except IndexError:
            self.path.append(f"[{i}]")
            raise self.truncated(start, f"sequence of {n} samples") from None
        self.pos = pos
        return out


# Samples per step: the plain loops' text pieces, and, smaller, the NumPy
# paths' steps, whose temporaries then stay in the cache.
_CHUNK = 1 << 20
_ARRAY_CHUNK = 1 << 16

# Indexed by a varint's length in bytes (1 to 3): how far to shift the
# four bytes that end at its last byte so that its first byte is lowest,
# and the smallest value a varint of that length holds in its shortest form.
_VARINT_SHIFT = [0, 24, 16, 8]
_VARINT_LEAST = [0, 0, 1 << 7, 1 << 14]


def _samples_numpy(data: bytes, start: int, n: int) -> Optional[Tuple[Any, int]]:
    """The n zigzag samples from `start` as an int16 array and the offset
    after them, or None when anything is unusual (truncation, a padded or
    oversized varint): the exact loop then finds and names the fault."""
    np = _np
    if start < 3:
        return None
    # From three bytes before the samples: the byte just before them ends
    # the count, so the four bytes ending at any sample's last byte exist.
    buf = np.frombuffer(data, dtype=np.uint8, offset=start - 3,
                        count=min(3 * n, len(data) - start) + 3)
    # The little-endian 32-bit word at every byte offset, overlapping: entry
    # i is buf[i:i + 4], so a varint ending at e (counted after the three
    # lead bytes) is in the top bytes of entry e: one gather, not one per
    # byte.
    words = np.ndarray((len(buf) - 3,), dtype="<u4", buffer=buf, strides=(1,))
    shift = np.array(_VARINT_SHIFT, dtype=np.uint32)
    least = np.array(_VARINT_LEAST, dtype=np.uint32)
    # Every zigzag value's sample: one gather instead of four operations.
    every = np.arange(0x10000, dtype=np.uint16)
    unzigzag = (every >> 1).view(np.int16) ^ -(every & 1).view(np.int16)
    out = np.empty(n, dtype=np.int16)
    length = np.empty(min(n, _ARRAY_CHUNK), dtype=np.intp)
    rest = buf[3:]
    pos = 0  # where the next sample begins, counted after the lead bytes
    for lo in range(0, n, _ARRAY_CHUNK):
        m = min(n - lo, _ARRAY_CHUNK)
        # A varint ends at the first byte without the continuation bit; m
        # samples of at most three bytes each end within 3m bytes. Looking
        # for them a chunk at a time keeps the flags in the cache.
        e = np.flatnonzero(rest[pos:pos + 3 * m] < 0x80)[:m]
        if len(e) < m:
            return None
        length[0] = e[0] + 1
        np.subtract(e[1:], e[:-1], out=length[1:m])
        if length[:m].max() > 3:
            return None
        e += pos
        pos = int(e[-1]) + 1
        w = words[e]
        w >>= np.take(shift, length[:m])
        z = (w & 0x7F) | ((w >> 1) & 0x3F80) | ((w >> 2) & 0xFFFFC000)
        if z.max() > 0xFFFF or (z < np.take(least, length[:m])).any():
            return None  # over 16 bits, or a padded varint
        np.take(unzigzag, z, out=out[lo:lo + m], mode="clip")  # z checked above
        _report("decoding", lo + m, n)
    return out, start + pos


def decode(data: bytes, arrays: bool = False) -> Settings:
    """Decodes a whole protocol file. Raises DecodeError for truncated input,
    bytes after the end, or a value that cannot occur (variant index above 4,
    boolean byte other than 0 or 1, varint over 10 bytes or 64 bits or not in
    its shortest form, sample beyond 16 bits, invalid UTF-8).

    With `arrays` true and NumPy at hand (under CPython), the samples of an
    arbitrary signal are an int16 NumPy array instead of a list: faster and
    a quarter of the memory for long curves."""
    r = _Reader(bytes(data), arrays)
    settings: Settings = r.value(_SETTINGS)
    if r.pos != len(r.data):
        extra = len(r.data) - r.pos
        raise DecodeError(r.pos, f"{extra} trailing byte{'s' if extra != 1 else ''} "
                                 "after the end of the protocol")
    return settings


# ---------------------------------------------------------------------------
# Encoding: the writer's rules, for building files by hand.

def _varint(out: bytearray, v: int) -> None:
    if not 0 <= v <= U64_MAX:
        raise ValueError(f"{v} is not an unsigned 64-bit value")
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)


def _encode(out: bytearray, kind: _Kind, v: Any) -> None:
    if kind is F64:
        out += _DOUBLE.pack(v)
    elif kind is U64:
        _varint(out, v)
    elif kind is BOOL:
        out.append(1 if v else 0)
    elif kind is I16:
        if not -0x8000 <= v <= 0x7FFF:
            raise ValueError(f"{v} is not a signed 16-bit sample")
        _varint(out, ((v << 1) ^ (v >> 15)) & 0xFFFF)
    elif kind is STR:
        raw = v.encode("utf-8")
        _varint(out, len(raw))
        out += raw
    elif isinstance(kind, _Record):
        for name, sub in kind.fields:
            _encode(out, sub, getattr(v, name))
    elif isinstance(kind, _Seq):
        _varint(out, len(v))
        for item in v:
            _encode(out, kind.item, item)
    elif isinstance(kind, _Fixed):
        if len(v) != kind.count:
            raise ValueError(f"expected {kind.count} elements, got {len(v)}")
        for item in v:
            _encode(out, kind.item, item)
    elif isinstance(kind, _Union):
        index = _VARIANT_INDEX[v.variant]
        _varint(out, index)
        _encode(out, kind.variants[index], v.params)
    else:  # pragma: no cover
        raise AssertionError(kind)


def encode(settings: Settings) -> bytes:
    """The file bytes for `settings`, as the module's save writes them."""
    out = bytearray()
    _encode(out, _SETTINGS, settings)
    return bytes(out)


# ---------------------------------------------------------------------------
# Text form.

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


def _scalar_text(kind: _Kind, v: Any) -> str:
    if kind is F64:
        return format_double(v)
    if kind is BOOL:
        return "true" if v else "false"
    if kind is STR:
        return escape_text(v)
    return str(int(v))


_INDENT = "    "


def _pretty(kind: _Kind, v: Any, depth: int, out: List[Any]) -> None:
    # The value's first line continues the caller's line; later lines and
    # the closing bracket are indented for `depth`.
    inner = _INDENT * (depth + 1)
    if isinstance(kind, _Record):
        out.append(kind.cls.__name__ + " {\n")
        for name, sub in kind.fields:
            out.append(f"{inner}{name}: ")
            _pretty(sub, getattr(v, name), depth + 1, out)
            out.append(",\n")
        out.append(_INDENT * depth + "}")
    elif isinstance(kind, _Union):
        out.append(v.variant + "(\n" + inner)
        _pretty(kind.variants[_VARIANT_INDEX[v.variant]], v.params, depth + 1, out)
        out.append(",\n" + _INDENT * depth + ")")
    elif isinstance(kind, (_Seq, _Fixed)):
        if not len(v):
            out.append("[]")
            return
        out.append("[\n")
        if kind.item is I16:
            _pretty_samples(v, inner, out)
        elif isinstance(kind.item, _Scalar):
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
    if _np is None:
        return texts, None, None
    np = _np
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
    array = _np is not None and isinstance(samples, _np.ndarray)
    # A line pads its rest by at most 5 spaces, which must fall in the next
    # line's indentation (samples sit deeper than that in any protocol).
    if array and len(inner) >= _TAIL - 3:
        np = _np
        u = samples.astype(np.int16, copy=False).view(np.uint16)
        k = len(inner)
        at = np.zeros(min(n, _ARRAY_CHUNK) + 1, dtype=np.intp)
        for lo in range(0, n, _ARRAY_CHUNK):
            chunk = u[lo:lo + _ARRAY_CHUNK]
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
            _report("rendering", min(n, lo + _ARRAY_CHUNK), n)
        return
    get = texts.__getitem__
    for lo in range(0, n, _CHUNK):
        part = samples[lo:lo + _CHUNK]
        out.append("".join(map(get, part.tolist() if array else part)))
        _report("rendering", min(n, lo + _CHUNK), n)


class _Sink:
    # Looks like a list to _pretty, but hands each piece on at once.
    def __init__(self, write: Callable[[Union[str, memoryview]], Any]) -> None:
        self.append = write


def render_pieces(settings: Settings) -> List[Union[str, memoryview]]:
    """render(settings) in pieces, text or ASCII bytes, whose concatenation
    is the text."""
    out: List[Union[str, memoryview]] = ["Protocol {\n    settings: "]
    _pretty(_SETTINGS, settings, 1, out)
    out.append(",\n}")
    return out


def write_text(settings: Settings, write: Callable[[Union[str, memoryview]], Any]) -> None:
    """Passes render(settings) to `write` piece by piece (text, or ASCII
    bytes as a memoryview) as it is made, so that a long text is never
    held whole."""
    sink = _Sink(write)
    write("Protocol {\n    settings: ")
    _pretty(_SETTINGS, settings, 1, sink)  # type: ignore[arg-type]
    write(",\n}")


def render(settings: Settings) -> str:
    """Exactly str(Protocol) of the protocol that holds `settings`."""
    return "".join(p if isinstance(p, str) else str(p, "ascii")
                   for p in render_pieces(settings))


def _line(kind: _Kind, v: Any) -> str:
    if isinstance(kind, _Record):
        fields = ", ".join(f"{name}: {_line(sub, getattr(v, name))}" for name, sub in kind.fields)
        return f"{kind.cls.__name__} {{ {fields} }}"
    if isinstance(kind, _Union):
        return f"{v.variant}({_line(kind.variants[_VARIANT_INDEX[v.variant]], v.params)})"
    if isinstance(kind, (_Seq, _Fixed)):
        return "[" + ", ".join(_line(kind.item, item) for item in v) + "]"
    return _scalar_text(kind, v)


_KIND_OF: Dict[type, _Kind] = {
    Settings: _SETTINGS, MachineConfig: _MACHINE, Coil: _COIL, LCSetting: _LCSETTING,
    ChannelSettings: _CHANNEL, SignalSourceSelection: _SELECTION, Signal: _SIGNAL,
}
_KIND_OF.update({rec.cls: rec for rec in _SIGNAL.variants})


def render_line(value: Any) -> str:
    """The single-line text form of any record above, e.g.
    "MixedSignalParams { a_idx: 0, b_idx: 1 }"."""
    return _line(_KIND_OF[type(value)], value)


# ---------------------------------------------------------------------------
# Summary.

def num_samples(duration: float) -> int:
    """The session's sample count as the module computes it:
    ceil(duration x 5000), 0 for a duration that is not positive."""
    if not duration > 0.0:
        return 0
    x = math.ceil(duration * SAMPLING_RATE) if math.isfinite(duration) else U64_MAX
    return min(int(x), U64_MAX)


def sample_range(samples: Sequence[int]) -> Tuple[int, int]:
    """The smallest and largest sample of a non-empty list or array."""
    if _np is not None and isinstance(samples, _np.ndarray):
        return int(samples.min()), int(samples.max())
    return min(samples), max(samples)


def _describe_signal(sig: Signal) -> str:
    p = sig.params
    if isinstance(p, ArbitrarySignalParams):
        if not len(p.samples):
            return "Arbitrary(0 samples)"
        low, high = sample_range(p.samples)
        return (f"Arbitrary({len(p.samples)} samples, {low} to {high}, "
                f"first {p.samples[0]}, last {p.samples[-1]})")
    return f"{sig.variant}({_line(_KIND_OF[type(p)], p)})"


def _describe_source(sel: SignalSourceSelection, settings: Settings) -> str:
    if sel.external_selected:
        n = settings.machine_config.num_external_signal_sources
        note = "" if sel.external < n else f" (the machine has {n})"
        return f"external input {sel.external}{note}"
    if sel.internal < len(settings.signals):
        return f"signal {sel.internal} ({settings.signals[sel.internal].variant})"
    return f"signal {sel.internal} (missing: the protocol has {len(settings.signals)})"


def summary(settings: Settings) -> str:
    """A short overview for people: session, channels and their routing
    (dangling indices flagged), one line per signal."""
    s = settings
    lines = [
        f"target machine: {'yes' if s.running_on_target_machine else 'no'}",
        f"session: {format_double(s.session_duration)} s "
        f"({num_samples(s.session_duration)} samples at {SAMPLING_RATE:g} per second), "
        f"intensity {format_double(s.intensity)}",
    ]
    for name, ch in (("A", s.channel_a_settings), ("B", s.channel_b_settings)):
        lines.append(f"channel {name}: {'enabled' if ch.enabled else 'disabled'}")
        lines.append(f"    {name}1 amplitude:  {_describe_source(ch.amplitude1_source, s)}")
        lines.append(f"    {name}2 amplitude:  {_describe_source(ch.amplitude2_source, s)}")
        lines.append(f"    modulation:    {_describe_source(ch.modulation_source, s)}")
    lines.append(f"signals: {len(s.signals)}")
    for i, sig in enumerate(s.signals):
        lines.append(f"    {i}: {_describe_signal(sig)}")
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Reading the text form back: how the checker sees a live Protocol object
# (its text is exact, so nothing is lost, and the object is not touched).

_SPACE = re.compile(r"\s*")
_ATOM = re.compile(r"[^\s,(){}\[\]:]+")
_UNESCAPE = {"n": "\n", "r": "\r", "t": "\t", "0": "\0", '"': '"', "\\": "\\"}


class _TextReader:
    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0

    def fail(self, what: str) -> ValueError:
        line = self.text.count("\n", 0, self.pos) + 1
        return ValueError(f"not a protocol's text form: line {line}: expected {what}")

    def skip(self) -> None:
        self.pos = _SPACE.match(self.text, self.pos).end()  # type: ignore[union-attr]

    def accept(self, literal: str) -> bool:
        self.skip()
        if self.text.startswith(literal, self.pos):
            self.pos += len(literal)
            return True
        return False

    def expect(self, literal: str) -> None:
        if not self.accept(literal):
            raise self.fail(repr(literal))

    def atom(self) -> str:
        self.skip()
        m = _ATOM.match(self.text, self.pos)
        if m is None:
            raise self.fail("a value")
        self.pos = m.end()
        return m.group()

    def string(self) -> str:
        self.expect('"')
        out = []
        t, i = self.text, self.pos
        while True:
            j = t.find('"', i)
            k = t.find("\\", i, j if j >= 0 else len(t))
            if j < 0:
                raise self.fail("the end of a quoted text")
            if k < 0:
                out.append(t[i:j])
                self.pos = j + 1
                return "".join(out)
            out.append(t[i:k])
            if t[k + 1] == "u":
                close = t.index("}", k)
                out.append(chr(int(t[k + 3:close], 16)))
                i = close + 1
            else:
                out.append(_UNESCAPE[t[k + 1]])
                i = k + 2

    def scalar(self, kind: _Kind, token: str) -> Any:
        if kind is F64:
            return float(token)
        if kind is BOOL:
            if token not in ("true", "false"):
                raise self.fail("true or false")
            return token == "true"
        return int(token)

    def value(self, kind: _Kind) -> Any:
        if kind is STR:
            return self.string()
        if isinstance(kind, _Scalar):
            return self.scalar(kind, self.atom())
        if isinstance(kind, _Record):
            self.expect(kind.cls.__name__)
            self.expect("{")
            values = []
            for name, sub in kind.fields:
                self.expect(name)
                self.expect(":")
                values.append(self.value(sub))
                self.accept(",")
            self.expect("}")
            return kind.cls(*values)
        if isinstance(kind, _Union):
            name = self.atom()
            if name not in _VARIANT_INDEX:
                raise self.fail("a signal kind")
            self.expect("(")
            params = self.value(kind.variants[_VARIANT_INDEX[name]])
            self.accept(",")
            self.expect(")")
            return Signal(name, params)
        assert isinstance(kind, (_Seq, _Fixed))
        self.expect("[")
        items: List[Any] = []
        if isinstance(kind.item, _Scalar) and kind.item is not STR:
            # Long sample lists: split the whole bracket at once.
            end = self.text.find("]", self.pos)
            body = self.text[self.pos:end].split(",")
            if body and not body[-1].strip():
                body.pop()
            self.pos = end + 1
            if kind.item is F64 or kind.item is U64 or kind.item is I16:
                items = list(map(float if kind.item is F64 else int, body))
            else:
                items = [self.scalar(kind.item, b.strip()) for b in body]
            return items
        while not self.accept("]"):
            items.append(self.value(kind.item))
            self.accept(",")
        return items


def parse_text(text: str) -> Settings:
    """The Settings that `text`, the text form of a Protocol (str(protocol)
    or render()), shows. Raises ValueError for anything else."""
    r = _TextReader(text)
    try:
        r.expect("Protocol")
        r.expect("{")
        r.expect("settings")
        r.expect(":")
        settings: Settings = r.value(_SETTINGS)
        r.accept(",")
        r.expect("}")
    except (IndexError, KeyError) as e:
        raise r.fail("a complete value") from e
    r.skip()
    if r.pos != len(text):
        raise r.fail("the end of the text")
    return settings
