"""Reading the text form back: how the checker sees a live Protocol object
(its text is exact, so nothing is lost, and the object is not touched)."""
from __future__ import annotations

import re
from typing import Any, List

from .fields import (BOOL, F64, I16, SETTINGS, STR, U64, Choice, Fixed, Kind, Record, Scalar,
                     Seq)
from .records import VARIANT_INDEX, Settings, Signal

__all__ = ["parse_text"]


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

    def scalar(self, kind: Kind, token: str) -> Any:
        if kind is F64:
            return float(token)
        if kind is BOOL:
            if token not in ("true", "false"):
                raise self.fail("true or false")
            return token == "true"
        return int(token)

    def value(self, kind: Kind) -> Any:
        if kind is STR:
            return self.string()
        if isinstance(kind, Scalar):
            return self.scalar(kind, self.atom())
        if isinstance(kind, Record):
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
        if isinstance(kind, Choice):
            name = self.atom()
            if name not in VARIANT_INDEX:
                raise self.fail("a signal kind")
            self.expect("(")
            params = self.value(kind.variants[VARIANT_INDEX[name]])
            self.accept(",")
            self.expect(")")
            return Signal(name, params)
        assert isinstance(kind, (Seq, Fixed))
        self.expect("[")
        items: List[Any] = []
        if isinstance(kind.item, Scalar) and kind.item is not STR:
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
        settings: Settings = r.value(SETTINGS)
        r.accept(",")
        r.expect("}")
    except (IndexError, KeyError) as e:
        raise r.fail("a complete value") from e
    r.skip()
    if r.pos != len(text):
        raise r.fail("the end of the text")
    return settings
