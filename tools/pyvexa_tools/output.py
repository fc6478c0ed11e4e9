"""What the command writes, and how: text on the standard streams whatever
their encoding, texts of hundreds of megabytes, many short lines, JSON
reports of millions of findings, and a progress line on a terminal."""
from __future__ import annotations

import gc
import json
import os
import sys
import time
from typing import Any, Callable, Iterator, List, Union


def emit(stream: Any, text: str) -> None:
    """Writes to a standard stream in UTF-8, a file name that is not UTF-8
    as its own bytes (as os.fsdecode read it from the command line, the way
    `ls` prints it into a pipe), whatever the stream's own encoding and
    error handler: PyPy's stdout refuses such names, CPython's does not."""
    buffer = getattr(stream, "buffer", None)
    if buffer is None:
        stream.write(text)
        return
    stream.flush()
    buffer.write(text.encode("utf-8", "surrogateescape"))
    if stream is sys.stderr:
        buffer.flush()


def text_writer() -> Callable[[Union[str, memoryview]], None]:
    """A writer of a large text's pieces (ASCII str or memoryview) to
    standard output."""
    # Straight to the byte stream: the text layer's own encoding and
    # buffering of hundreds of megabytes costs more than the rendering.
    sys.stdout.flush()
    out = getattr(sys.stdout, "buffer", None)
    # PyPy's collector lets the large pieces already written pile up far
    # beyond the live data (3x the text for 9,000,000 samples); a
    # collection after each large piece keeps it near the text's size.
    collect = gc.collect if sys.implementation.name == "pypy" else None

    def write(part: Union[str, memoryview]) -> None:
        if out is None:
            sys.stdout.write(part if isinstance(part, str) else str(part, "ascii"))
        else:
            out.write(part.encode("utf-8") if isinstance(part, str) else part)
        if collect is not None and len(part) > (1 << 24):
            del part
            collect()
    return write


def batches(pieces: Iterator[str], size: int = 1 << 16) -> Iterator[str]:
    """Joins short texts into pieces of about `size` characters."""
    batch: List[str] = []
    length = 0
    for piece in pieces:
        batch.append(piece)
        length += len(piece)
        if length >= size:
            yield "".join(batch)
            batch.clear()
            length = 0
    if batch:
        yield "".join(batch)


class Peeked:
    """An iterator that knows whether it is empty before it is read."""

    def __init__(self, items: Iterator[Any]) -> None:
        self._first = next(items, Peeked)
        self._items = items

    def __bool__(self) -> bool:
        return self._first is not Peeked

    def __iter__(self) -> Iterator[Any]:
        if self._first is not Peeked:
            yield self._first
        yield from self._items


def json_pieces(value: Any, depth: int = 0) -> Iterator[str]:
    """json.dumps(value, indent=2) in pieces, where value may hold iterators
    (read once, as lists): the findings of a file can be millions."""
    inner = "\n" + "  " * (depth + 1)
    if isinstance(value, dict) and any(_streamed(v) for v in value.values()):
        first = True
        for key, item in value.items():
            yield ("{" if first else ",") + inner + json.dumps(key) + ": "
            yield from json_pieces(item, depth + 1)
            first = False
        yield "{}" if first else "\n" + "  " * depth + "}"
    elif _streamed(value):
        first = True
        for item in value:
            yield ("[" if first else ",") + inner
            yield from json_pieces(item, depth + 1)
            first = False
        yield "[]" if first else "\n" + "  " * depth + "]"
    else:
        yield json.dumps(value, indent=2).replace("\n", "\n" + "  " * depth)


def _streamed(value: Any) -> bool:
    return isinstance(value, (Iterator, Peeked)) or (
        isinstance(value, dict) and any(_streamed(v) for v in value.values()))


class Progress:
    """A one-line progress report on a terminal's standard error, shown only
    once the work has taken a second, and wiped when it is done."""

    def __init__(self, prog: str) -> None:
        self.prog = prog
        self.start = time.monotonic()
        self.shown = False

    def __call__(self, what: str, done: int, total: int) -> None:
        if time.monotonic() - self.start < 1.0:
            return
        self.shown = True
        sys.stderr.write(f"\r{self.prog}: {what} {100 * done // max(total, 1):3d}%")
        sys.stderr.flush()

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def silence_stdout() -> None:
    """Points standard output at /dev/null: after its reader has gone, so
    that the interpreter's own last flush does not complain."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)
