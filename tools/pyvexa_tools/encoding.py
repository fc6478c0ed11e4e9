"""Encoding: the writer's rules, for building protocol files by hand."""
from __future__ import annotations

from typing import Any

from .fields import (BOOL, DOUBLE, F64, I16, SETTINGS, STR, U64, Choice, Fixed, Kind, Record,
                     Seq)
from .records import U64_MAX, VARIANT_INDEX, Settings

__all__ = ["encode"]


def _varint(out: bytearray, v: int) -> None:
    if not 0 <= v <= U64_MAX:
        raise ValueError(f"{v} is not an unsigned 64-bit value")
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)


def _encode(out: bytearray, kind: Kind, v: Any) -> None:
    if kind is F64:
        out += DOUBLE.pack(v)
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
    elif isinstance(kind, Record):
        for name, sub in kind.fields:
            _encode(out, sub, getattr(v, name))
    elif isinstance(kind, Seq):
        _varint(out, len(v))
        for item in v:
            _encode(out, kind.item, item)
    elif isinstance(kind, Fixed):
        if len(v) != kind.count:
            raise ValueError(f"expected {kind.count} elements, got {len(v)}")
        for item in v:
            _encode(out, kind.item, item)
    elif isinstance(kind, Choice):
        index = VARIANT_INDEX[v.variant]
        _varint(out, index)
        _encode(out, kind.variants[index], v.params)
    else:  # pragma: no cover
        raise AssertionError(kind)


def encode(settings: Settings) -> bytes:
    """The file bytes for `settings`, as the module's save writes them."""
    out = bytearray()
    _encode(out, SETTINGS, settings)
    return bytes(out)
