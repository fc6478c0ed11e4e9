"""Decoding a protocol file: `decode` turns its bytes into the records of
`records`, refusing anything the writer cannot have produced with a
`DecodeError` that names the byte offset and the field."""
from __future__ import annotations

from typing import Any, List, Optional, Tuple

from . import _accel
from .fields import (BOOL, DOUBLE, F64, I16, SETTINGS, STR, U64, Choice, Fixed, Kind, Record,
                     Seq)
from .progress import report
from .records import VARIANTS, Settings, Signal

__all__ = ["DecodeError", "decode"]


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

    def count(self, item: Kind) -> int:
        start = self.pos
        n = self.varint("element count")
        # Refuse a count the remaining bytes cannot hold before looping over it.
        if n * item.min_size > len(self.data) - self.pos:
            raise self.fail(len(self.data), f"truncated input: the sequence begun at byte "
                                            f"offset {start} claims {n} elements, more than "
                                            "the remaining bytes can hold")
        return n

    def value(self, kind: Kind) -> Any:
        if kind is F64:
            return DOUBLE.unpack(self.take(8, "8-byte double"))[0]
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
        if isinstance(kind, Record):
            values = []
            for name, sub in kind.fields:
                self.path.append("." + name)
                values.append(self.value(sub))
                self.path.pop()
            return kind.cls(*values)
        if isinstance(kind, Seq):
            if kind.item is I16:
                return self.samples()
            items = []
            for i in range(self.count(kind.item)):
                self.path.append(f"[{i}]")
                items.append(self.value(kind.item))
                self.path.pop()
            return items
        if isinstance(kind, Fixed):
            items = []
            for i in range(kind.count):
                self.path.append(f"[{i}]")
                items.append(self.value(kind.item))
                self.path.pop()
            return items
        if isinstance(kind, Choice):
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
        if _accel.np is not None and n >= 1024:
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


# Indexed by a varint's length in bytes (1 to 3): how far to shift the
# four bytes that end at its last byte so that its first byte is lowest,
# and the smallest value a varint of that length holds in its shortest form.
_VARINT_SHIFT = [0, 24, 16, 8]
_VARINT_LEAST = [0, 0, 1 << 7, 1 << 14]


def _samples_numpy(data: bytes, start: int, n: int) -> Optional[Tuple[Any, int]]:
    """The n zigzag samples from `start` as an int16 array and the offset
    after them, or None when anything is unusual (truncation, a padded or
    oversized varint): the exact loop then finds and names the fault."""
    np = _accel.np
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
    length = np.empty(min(n, _accel.ARRAY_CHUNK), dtype=np.intp)
    rest = buf[3:]
    pos = 0  # where the next sample begins, counted after the lead bytes
    for lo in range(0, n, _accel.ARRAY_CHUNK):
        m = min(n - lo, _accel.ARRAY_CHUNK)
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
        report("decoding", lo + m, n)
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
    settings: Settings = r.value(SETTINGS)
    if r.pos != len(r.data):
        extra = len(r.data) - r.pos
        raise DecodeError(r.pos, f"{extra} trailing byte{'s' if extra != 1 else ''} "
                                 "after the end of the protocol")
    return settings

