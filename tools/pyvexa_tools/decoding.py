"""Decoding a protocol file: `decode` turns its bytes, and `load` a file or
stream as it reads it, into the records of `records`, refusing anything the
writer cannot have produced with a `DecodeError` that names the byte offset
and the field."""
from __future__ import annotations

import codecs
import io
import os
import stat
import struct
import sys
from array import array
from typing import (Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union,
                    overload)

from . import _accel
from .fields import (BOOL, DOUBLE, F64, I16, SETTINGS, SIGNAL, STR, U64, Choice, Fixed, Kind,
                     Record, Seq)
from .progress import report
from .records import VARIANTS, ArbitrarySignalParams, Settings, Signal

__all__ = ["DecodeError", "decode", "load"]

# Bytes asked of a stream at a time: from the first, few enough that little
# beyond a small protocol's end is read, doubling up to the last, enough
# that reading a large one costs little.
_FIRST_BLOCK = 1 << 16
_BLOCK = 1 << 22
_REFILL = 1 << 12  # the sample loops move the window on only this close to its end
# Reading into the window saves CPython a second copy of the input (and its
# page faults); PyPy's loops read bytes faster than a bytearray, by more.
_READINTO = sys.implementation.name != "pypy"
# Bytes kept before the reading position when the window moves on: the
# NumPy sample path reads the 32-bit word that ends at a sample's last byte.
_HISTORY = 8
# In a lazily decoded signal list, a signal of up to this many bytes stays
# encoded and is decoded again when it is read; a larger one is kept as
# decoded, which costs little beside its size and saves decoding it twice.
_SMALL = 1 << 14
_MARK_EVERY = 64  # signals between two notes of where a lazy list stands

# The variants made of doubles only, read with one unpack.
_DOUBLES = {i: struct.Struct("<" + "d" * len(rec.fields)) for i, rec in enumerate(SIGNAL.variants)
            if all(kind is F64 for _, kind in rec.fields)}
_SIGNALS_FIELD = dict(SETTINGS.fields)["signals"]
# The encoded size of each signal made of doubles only, its variant included.
_FIXED_SIZE = {i: 1 + unpack.size for i, unpack in _DOUBLES.items()}

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


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
    """Reads a protocol's values from bytes in memory, or from a stream
    through a window of its bytes that moves on as they are read. Offsets
    in errors count from the start of the input."""

    def __init__(self, data: bytes, arrays: bool = False, stream: Any = None,
                 size: Optional[int] = None) -> None:
        self.data: Union[bytes, bytearray] = data
        self.pos = 0  # in data
        self.base = 0  # the input offset of data[0]
        # How the stream is read, with one call to the system at most each
        # time (so that a pipe's reader never waits for more than it needs):
        # into the window's own buffer where that pays, else by read().
        self.read: Optional[Callable[[int], Any]] = None
        self.readinto: Optional[Callable[[Any], Optional[int]]] = None
        if stream is not None and _READINTO:
            self.readinto = getattr(stream, "readinto1", None) or (
                stream.readinto if isinstance(stream, io.RawIOBase) else None)
        if stream is not None:
            self.read = getattr(stream, "read1", None) or stream.read
        self.eof = stream is None
        # The input's size when known before reading: a claimed count is
        # then refused at once if the rest cannot hold it.
        self.size = len(data) if stream is None else size
        self.block = _FIRST_BLOCK
        self.arrays = arrays and _accel.np is not None
        self.path: List[Union[str, int]] = []
        # While a signal is read for a lazy list: the input offset from
        # which its bytes must stay in the window.
        self.keep: Optional[int] = None
        # With the size unknown, the counts not yet checked, of the
        # sequences being read: (offset of the count, count, fewest bytes
        # per element, offset after the count, depth of the path).
        self.claims: List[Tuple[int, int, int, int, int]] = []

    # -- where we are ----------------------------------------------------

    def offset(self) -> int:
        return self.base + self.pos

    def where(self, depth: Optional[int] = None) -> str:
        parts = self.path if depth is None else self.path[:depth]
        return "".join(f"[{p}]" if isinstance(p, int) else p for p in parts).lstrip(".")

    def fail(self, offset: int, reason: str) -> DecodeError:
        return DecodeError(offset, reason, self.where())

    @staticmethod
    def _claim(begun: int, n: int) -> str:
        return (f"truncated input: the sequence begun at byte offset {begun} claims {n} "
                "elements, more than the remaining bytes can hold")

    def truncated(self, start: int, what: str) -> DecodeError:
        end = self.base + len(self.data)  # raised only once the input has ended
        # A sequence that claimed more elements than the input held is
        # named first, as it is when the size is known up front.
        for begun, n, least, after, depth in self.claims:
            if n * least > end - after:
                return DecodeError(end, self._claim(begun, n), self.where(depth))
        return self.fail(end, f"truncated input: {what} begun at byte offset {start} is "
                              "incomplete")

    # -- the window --------------------------------------------------------

    def more(self, want: int, block: Optional[int] = None) -> bool:
        """Reads at least `want` more bytes into the window, fewer only at
        the input's end; False when none came."""
        if self.eof:
            return False
        if block is None:
            block = self.block
            self.block = min(2 * block, _BLOCK)
        cut = max(0, self.pos - _HISTORY)
        if self.keep is not None:
            if self.offset() - self.keep > _SMALL:
                self.keep = None
            else:
                cut = min(cut, self.keep - self.base)
        kept = len(self.data) - cut
        got = 0
        if self.readinto is not None:
            buf = bytearray(kept + max(block, want))
            buf[:kept] = self.data[cut:]
            with memoryview(buf) as view:
                while got < want:
                    with view[kept + got:] as free:
                        k = self.readinto(free)
                    if not k:
                        self.eof = True
                        break
                    got += k
            del buf[kept + got:]
            self.data = buf
        else:
            assert self.read is not None
            parts = [self.data[cut:]]
            while got < want:
                chunk = self.read(max(block, want - got))
                if not chunk:
                    self.eof = True
                    break
                if not isinstance(chunk, bytes):
                    if isinstance(chunk, str):
                        raise TypeError("load() needs a binary stream, not a text one "
                                        "(open the file with 'rb', or pass sys.stdin.buffer)")
                    chunk = bytes(chunk)
                parts.append(chunk)
                got += len(chunk)
            self.data = b"".join(parts)
        self.base += cut
        self.pos -= cut
        return got > 0

    def need(self, n: int) -> bool:
        """True when the window holds n bytes from the position on."""
        while len(self.data) - self.pos < n:
            if not self.more(n - (len(self.data) - self.pos)):
                return False
        return True

    def take(self, n: int, what: str) -> bytes:
        if len(self.data) - self.pos < n and not self.need(n):
            raise self.truncated(self.offset(), what)
        start = self.pos
        self.pos = start + n
        return self.data[start:self.pos]

    # -- values ------------------------------------------------------------

    def varint(self, what: str = "unsigned varint") -> int:
        data = self.data
        pos = self.pos
        if pos < len(data) and data[pos] < 0x80:
            self.pos = pos + 1
            return data[pos]
        if len(data) - pos < 10:
            self.need(10)  # fewer at the input's end: the loop says so
            data = self.data
        start = pos = self.pos
        value = 0
        for i in range(10):
            if pos >= len(data):
                raise self.truncated(self.base + start, what)
            b = data[pos]
            pos += 1
            value |= (b & 0x7F) << (7 * i)
            if b < 0x80:
                if i == 9 and b > 1:
                    raise self.fail(self.base + start, f"{what} exceeds 64 bits")
                if i > 0 and b == 0:
                    # The writer always emits the shortest form; a padded one
                    # means the file did not come from it.
                    raise self.fail(self.base + start,
                                    f"non-canonical {what} (redundant zero groups)")
                self.pos = pos
                return value
        raise self.fail(self.base + start, f"{what} longer than 10 bytes")

    def count(self, item: Kind) -> int:
        start = self.base + self.pos
        n = self.varint("element count")
        after = self.base + self.pos
        if self.size is None:
            self.claims.append((start, n, item.min_size, after, len(self.path)))
        elif n * item.min_size > self.size - after:
            # Refused before looping over it.
            raise self.fail(self.size, self._claim(start, n))
        return n

    def counted(self) -> None:
        """The sequence whose count was read last is complete."""
        if self.size is None:
            self.claims.pop()

    def string(self) -> str:
        n = self.varint("string length")
        start = self.offset()
        if self.size is not None or n <= _BLOCK:
            raw = self.take(n, f"{n}-byte string")
            try:
                return raw.decode("utf-8")
            except UnicodeDecodeError as e:
                raise self.fail(start + e.start,
                                f"invalid UTF-8 in string ({e.reason})") from None
        # A long string from a stream is checked as it comes, so that an
        # endless input that is not text stops at once.
        decoder = codecs.getincrementaldecoder("utf-8")()
        parts = []
        left = n
        while left:
            if not self.need(1):
                raise self.truncated(start, f"{n}-byte string")
            k = min(left, len(self.data) - self.pos)
            at = self.offset() - len(decoder.getstate()[0])
            try:
                parts.append(decoder.decode(self.data[self.pos:self.pos + k], left == k))
            except UnicodeDecodeError as e:
                raise self.fail(at + e.start, f"invalid UTF-8 in string ({e.reason})") from None
            self.pos += k
            left -= k
        return "".join(parts)

    def value(self, kind: Kind) -> Any:
        if kind is F64:
            return DOUBLE.unpack(self.take(8, "8-byte double"))[0]
        if kind is U64:
            return self.varint()
        if kind is BOOL:
            start = self.offset()
            b = self.take(1, "boolean")[0]
            if b > 1:
                raise self.fail(start, f"invalid boolean byte 0x{b:02X} (expected 0x00 or 0x01)")
            return b == 1
        if kind is STR:
            return self.string()
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
                self.path.append(i)
                items.append(self.value(kind.item))
                self.path.pop()
            self.counted()
            return items
        if isinstance(kind, Fixed):
            items = []
            for i in range(kind.count):
                self.path.append(i)
                items.append(self.value(kind.item))
                self.path.pop()
            return items
        if isinstance(kind, Choice):
            return self.signal()
        raise AssertionError(kind)  # pragma: no cover

    def signal(self) -> Signal:
        start = self.offset()
        index = self.varint("variant index")
        if index >= len(VARIANTS):
            raise self.fail(start, f"invalid signal variant index {index} "
                                   f"(expected 0 to {len(VARIANTS) - 1})")
        name, cls = VARIANTS[index]
        unpack = _DOUBLES.get(index)
        if unpack is not None and len(self.data) - self.pos >= unpack.size:
            pos = self.pos
            self.pos = pos + unpack.size
            return Signal(name, cls(*unpack.unpack_from(self.data, pos)))
        if cls is ArbitrarySignalParams:
            if self.pos < len(self.data) and self.data[self.pos] == 0:  # no samples
                self.pos += 1
                return Signal(name, ArbitrarySignalParams([]))
            self.path.append(".samples")
            samples = self.samples()
            self.path.pop()
            return Signal(name, ArbitrarySignalParams(samples))
        return Signal(name, self.value(SIGNAL.variants[index]))

    def skim(self) -> Optional[Signal]:
        """Reads one signal for a lazy list: checks it, and gives its record
        only if it is an arbitrary curve, the one kind that can be large."""
        data = self.data
        pos = self.pos
        if len(data) - pos > 32:  # the largest fixed-size signal, a Sine, fits
            index = data[pos]
            size = _FIXED_SIZE.get(index)
            if size is not None:
                self.pos = pos + size
                return None
            if index == 3 and data[pos + 1] < 0x80 and data[pos + 2] < 0x80:
                self.pos = pos + 3
                return None
            if index == 4 and data[pos + 1] == 0:  # an empty curve
                self.pos = pos + 2
                return None
        sig = self.signal()
        return sig if type(sig.params) is ArbitrarySignalParams else None

    def settings(self, lazy: bool) -> Settings:
        values = []
        for name, kind in SETTINGS.fields:
            self.path.append("." + name)
            values.append(self.signals(lazy) if kind is _SIGNALS_FIELD else self.value(kind))
            self.path.pop()
        return Settings(*values)

    def signals(self, lazy: bool) -> Sequence[Signal]:
        n = self.count(SIGNAL)
        path = self.path
        if not lazy:
            items = []
            for i in range(n):
                path.append(i)
                items.append(self.signal())
                path.pop()
            self.counted()
            return items
        small = bytearray()
        big: Dict[int, Signal] = {}
        marks = array("Q")
        for i in range(n):
            if i % _MARK_EVERY == 0:
                marks.append(len(small))
            begun = self.keep = self.base + self.pos
            path.append(i)
            sig = self.skim()
            path.pop()
            if sig is None or (self.keep is not None and self.base + self.pos - begun <= _SMALL):
                small += memoryview(self.data)[begun - self.base:self.pos]
            else:
                big[i] = sig
        self.keep = None
        self.counted()
        return _Signals(n, bytes(small), big, marks, self.arrays)

    # -- samples -------------------------------------------------------------

    def samples(self) -> Any:
        """A sequence of zigzag samples: millions of them in a long session,
        so a window at a time, through NumPy when it is there."""
        n = self.count(I16)
        np = _accel.np
        if not n:
            self.counted()
            return []
        begun = self.offset()
        parts: List[Any] = []
        # With the input's size known, the count is too: the samples go
        # straight into their array or list.
        dest: Any = None
        if self.size is not None:
            dest = np.empty(n, dtype=np.int16) if np is not None and n >= 1024 else [0] * n
        done = 0
        while done < n:
            # Each sample takes at least one byte, so n - done more bytes
            # never reach past the protocol's end.
            avail = len(self.data) - self.pos
            if avail < min(n - done, _REFILL) and not self.eof:
                self.more(min(n - done, _REFILL) - avail)
            if np is not None and n - done >= 1024 and len(self.data) - self.pos >= 1024:
                fast = _samples_numpy(self.data, self.pos, n - done, done, n,
                                      None if dest is None else dest[done:])
                if fast is not None:
                    values, self.pos = fast
                    if dest is None:
                        parts.append(values)
                    done += len(values)
                    continue
            if isinstance(dest, list):
                done += self.exact(dest, done, n - done, done, n, begun)[1]
            else:
                values, k = self.exact(None, 0, n - done, done, n, begun)
                del values[k:]
                if dest is None:
                    parts.append(values)
                else:
                    dest[done:done + k] = values
                done += k
            report("decoding", done, n)
        self.counted()
        if isinstance(dest, list) or dest is not None and self.arrays:
            return dest
        if dest is not None:
            return dest.tolist()
        if self.arrays and n >= 1024:
            parts = [p if isinstance(p, np.ndarray) else np.array(p, dtype=np.int16)
                     for p in parts]
            return parts[0] if len(parts) == 1 else np.concatenate(parts)
        if np is not None:
            parts = [p.tolist() if isinstance(p, np.ndarray) else p for p in parts]
        if len(parts) == 1:
            return parts[0]
        out: List[int] = []
        for p in parts:
            out += p
        return out

    def exact(self, into: Optional[List[int]], at: int, m: int, first: int, n: int,
              begun: int) -> Tuple[List[int], int]:
        """Up to m samples, as many as the window holds whole (at least
        one), with the one-byte case inline: into[at:] and their number, or
        with `into` None a new list and their number. `first` is the index
        of the first, n the sequence's length and `begun` where it began."""
        while True:
            data = self.data
            pos = self.pos
            limit = min(m, len(data) - pos)
            if into is None:
                out, at = [0] * limit, 0
            else:
                out = into
            limit += at
            i = at
            try:
                for i in range(at, limit):
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
                        start = self.base + pos
                        self.pos = pos
                        self.path.append(first + i - at)
                        z = self.varint("zigzag sample")
                        if z > 0xFFFF:
                            raise self.fail(start, f"zigzag sample {z} exceeds 16 bits")
                        self.path.pop()
                        data = self.data  # the window may have moved on
                        pos = self.pos
                    out[i] = (z >> 1) ^ -(z & 1)
                else:
                    i = limit
            except IndexError:
                pass
            self.pos = pos
            if i > at:
                return out, i - at
            if not self.more(3):
                self.path.append(first)
                raise self.truncated(begun, f"sequence of {n} samples") from None

    def finish(self) -> None:
        """Refuses the first byte after the protocol's end, without reading
        on from there."""
        end = self.offset()
        if self.pos == len(self.data) and not self.more(1, block=1):
            return
        extra = None
        if self.size is not None and self.size > end:
            extra = self.size - end
        elif self.eof:
            extra = self.base + len(self.data) - end
        raise DecodeError(end, (f"{extra} trailing byte{'s' if extra != 1 else ''} after the end "
                                "of the protocol") if extra is not None else
                          "trailing bytes after the end of the protocol (the input goes on; "
                          "it was not read further)")


# Indexed by a varint's length in bytes (1 to 3): how far to shift the
# four bytes that end at its last byte so that its first byte is lowest,
# and the smallest value a varint of that length holds in its shortest form.
_VARINT_SHIFT = [0, 24, 16, 8]
_VARINT_LEAST = [0, 0, 1 << 7, 1 << 14]


_TABLES: List[Any] = []


def _tables() -> Any:
    """The shifts and least values above as arrays, and every zigzag
    value's sample (one gather instead of four operations): made once."""
    if not _TABLES:
        np = _accel.np
        every = np.arange(0x10000, dtype=np.uint16)
        _TABLES.extend([np.array(_VARINT_SHIFT, dtype=np.uint32),
                        np.array(_VARINT_LEAST, dtype=np.uint32),
                        (every >> 1).view(np.int16) ^ -(every & 1).view(np.int16)])
    return _TABLES


def _samples_numpy(data: Union[bytes, bytearray], start: int, n: int, done: int, total: int,
                   dest: Any = None) -> Optional[Tuple[Any, int]]:
    """Up to n zigzag samples from `start`, as many as `data` holds whole,
    as an int16 array (the start of `dest` when given), and the offset after
    them; None when there is none to give or anything is unusual at once (a
    varint cut by the end of the data, padded or oversized): the exact loop
    then finds and names the fault. `done` of `total` samples are read
    already (for the progress)."""
    np = _accel.np
    if start < 3:
        return None
    # From three bytes before the samples: the byte just before them ends
    # the count (or a sample), so the four bytes ending at any sample's last
    # byte exist.
    cap = min(n, len(data) - start)
    buf = np.frombuffer(data, dtype=np.uint8, offset=start - 3,
                        count=min(3 * n, len(data) - start) + 3)
    # The little-endian 32-bit word at every byte offset, overlapping: entry
    # i is buf[i:i + 4], so a varint ending at e (counted after the three
    # lead bytes) is in the top bytes of entry e: one gather, not one per
    # byte.
    words = np.ndarray((len(buf) - 3,), dtype="<u4", buffer=buf, strides=(1,))
    shift, least, unzigzag = _tables()
    step = _accel.ARRAY_CHUNK
    out = np.empty(cap, dtype=np.int16) if dest is None else dest
    length = np.empty(min(cap, step), dtype=np.intp)
    rest = buf[3:]
    pos = 0  # where the next sample begins, counted after the lead bytes
    got = 0
    while got < cap:
        m = min(cap - got, step)
        # A varint ends at the first byte without the continuation bit; m
        # samples of at most three bytes each end within 3m bytes. Looking
        # for them a chunk at a time keeps the flags in the cache.
        seg = rest[pos:pos + 3 * m]
        e = np.flatnonzero(seg < 0x80)[:m]
        short = len(e) < m
        if short:
            if len(seg) == 3 * m:
                break  # a varint longer than three bytes
            m = len(e)  # the data ends: the samples it holds whole
            if not m:
                break
        length[0] = e[0] + 1
        np.subtract(e[1:], e[:-1], out=length[1:m])
        if length[:m].max() > 3:
            break
        e += pos
        w = words[e]
        w >>= np.take(shift, length[:m])
        z = (w & 0x7F) | ((w >> 1) & 0x3F80) | ((w >> 2) & 0xFFFFC000)
        if z.max() > 0xFFFF or (z < np.take(least, length[:m])).any():
            break  # over 16 bits, or a padded varint
        np.take(unzigzag, z, out=out[got:got + m], mode="clip")  # z checked above
        pos = int(e[-1]) + 1
        got += m
        report("decoding", done + got, total)
        if short:
            break
    if not got:
        return None
    return out[:got], start + pos


class _Signals(Sequence[Signal]):
    """A protocol's signals, decoded when they are read: the small ones stay
    in their encoded form, so that millions of them cost little more than
    their bytes. Read-only; each read of a small signal gives a new record.
    `list(signals)` gives an ordinary list."""

    def __init__(self, count: int, small: bytes, big: Dict[int, Signal], marks: "array[int]",
                 arrays: bool) -> None:
        self._count = count
        self._small = small
        self._big = big
        self._marks = marks
        self._arrays = arrays

    def __len__(self) -> int:
        return self._count

    def _walk(self, start: int, stop: int) -> Iterator[Signal]:
        reader = _Reader(self._small, self._arrays)
        i = start - start % _MARK_EVERY
        if i < self._count:
            reader.pos = self._marks[i // _MARK_EVERY]
        big = self._big
        while i < stop:
            sig = big.get(i)
            if sig is None:
                sig = reader.signal()
            if i >= start:
                yield sig
            i += 1

    def __iter__(self) -> Iterator[Signal]:
        return self._walk(0, self._count)

    @overload
    def __getitem__(self, i: int) -> Signal: ...

    @overload
    def __getitem__(self, i: slice) -> List[Signal]: ...

    def __getitem__(self, i: Union[int, slice]) -> Union[Signal, List[Signal]]:
        if isinstance(i, slice):
            start, stop, step = i.indices(self._count)
            if step == 1:
                return list(self._walk(start, max(start, stop)))
            return [self[k] for k in range(start, stop, step)]
        k = i.__index__()
        if k < 0:
            k += self._count
        if not 0 <= k < self._count:
            raise IndexError("signal index out of range")
        return next(self._walk(k, k + 1))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Sequence) or isinstance(other, (str, bytes)):
            return NotImplemented
        return len(self) == len(other) and all(a == b for a, b in zip(self, other))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return repr(list(self))


def decode(data: bytes, arrays: bool = False, lazy: bool = False) -> Settings:
    """Decodes a whole protocol file. Raises DecodeError for truncated input,
    bytes after the end, or a value that cannot occur (variant index above 4,
    boolean byte other than 0 or 1, varint over 10 bytes or 64 bits or not in
    its shortest form, sample beyond 16 bits, invalid UTF-8).

    With `arrays` true and NumPy at hand (under CPython), the samples of an
    arbitrary signal of 1024 samples or more are an int16 NumPy array
    instead of a list: faster, and a quarter of the memory. With `lazy` true the signals
    are a read-only sequence that decodes each one when it is read, so that
    a protocol of millions of small signals takes little more memory than
    its bytes."""
    r = _Reader(bytes(data), arrays)
    settings = r.settings(lazy)
    r.finish()
    return settings


def load(source: Union[PathLike, Any], arrays: bool = False, lazy: bool = False) -> Settings:
    """Decodes the protocol in a file, named by a path (str, bytes or
    os.PathLike; "-" is a file name here), or read from a binary file object
    such as sys.stdin.buffer. It decodes as it reads, so an endless or huge
    input costs no more memory than the protocol found in it, and it refuses
    the first byte after the protocol's end without reading on. `arrays` and
    `lazy` as for decode().

    Raises DecodeError for anything decode() refuses and OSError when the
    input cannot be read."""
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb", buffering=0) as f:
            st = os.fstat(f.fileno())
            # A regular file's size, unless it says 0 (as /proc's do).
            size = st.st_size if stat.S_ISREG(st.st_mode) and st.st_size > 0 else None
            return _load(f, size, arrays, lazy)
    if not hasattr(source, "read"):
        raise TypeError(f"cannot load a {type(source).__name__!r}: expected a path or a binary "
                        "file object (decode() takes bytes)")
    return _load(source, None, arrays, lazy)


def _load(stream: Any, size: Optional[int], arrays: bool, lazy: bool) -> Settings:
    r = _Reader(b"", arrays, stream, size)
    settings = r.settings(lazy)
    r.finish()
    return settings
