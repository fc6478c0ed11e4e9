"""The findings as the picture marks them: numbered items (many findings of
one kind sharing a number), and the places their numbers go."""
from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .lint import ERROR, WARNING, Finding

__all__ = ["GROUP_AT", "Item", "numbered", "Places"]

GROUP_AT = 4  # this many findings of one code are listed as one item
SEVERITIES = (ERROR, WARNING)


@dataclass
class Item:
    """One numbered entry of the findings: a finding, or the findings of
    one code found GROUP_AT times or more."""
    number: int
    severity: str
    code: str
    members: List[Finding]


def _severity(f: Finding) -> str:
    # A caller's own findings may carry another word: drawn as errors.
    return f.severity if f.severity in SEVERITIES else ERROR


def numbered(findings: Sequence[Finding]) -> List[Item]:
    """One item per finding, except that the findings of a code found
    GROUP_AT times or more make one item: the list stays short, and the
    numbers few."""
    by_code: Dict[str, List[Finding]] = {}
    for f in findings:
        members = by_code.get(f.code)
        if members is None:
            members = by_code[f.code] = []
        members.append(f)
    items: List[Item] = []
    for code, members in by_code.items():
        for group in [members] if len(members) >= GROUP_AT else [[f] for f in members]:
            items.append(Item(len(items) + 1, _severity(group[0]), code, group))
    return items


_SIGNAL_WHERE = re.compile(r"^signal (\d+)$", re.M)
_SLOTS = {"coil A1": 0, "coil A2": 1, "coil B1": 0, "coil B2": 1, "modulation": 2}


class Places:
    """Where each item's markers go: the session, a channel ((c,) with c 0
    for A and 1 for B), a route ((c, slot), slot 2 the modulation), and
    signals: a bit per item in a mask per signal, so that millions of
    findings on signals cost one pass and a word per signal."""

    def __init__(self, items: Sequence[Item], nsignals: int) -> None:
        import numpy as np
        self.items = items
        self.session: List[Item] = []
        self.channel: Dict[Tuple[int, ...], List[Item]] = {}
        self.signals: Dict[int, Any] = {}  # item number -> its signals, in order
        self.mask = np.zeros(nsignals, dtype=np.uint64)
        for bit, item in enumerate(items):
            # In slices, so that the text parsed at once stays small.
            parts, found = [], 0
            for start in range(0, len(item.members), 1 << 16):
                wheres = "\n".join(f.where for f in item.members[start:start + (1 << 16)])
                at = np.array(_SIGNAL_WHERE.findall(wheres), dtype=np.int64)
                found += len(at)
                parts.append(at[at < nsignals])
            at = np.concatenate(parts)
            if len(at):
                self.signals[item.number] = at
                if bit < 64:
                    self.mask[at] |= np.uint64(1 << bit)
            if found == len(item.members):
                continue
            for f in item.members:
                key = self._place(f.where)
                here = self.session if key == () else self.channel.setdefault(key, []) \
                    if key is not None else None
                if here is not None and item not in here:
                    here.append(item)

    @staticmethod
    def _place(where: str) -> Optional[Tuple[int, ...]]:
        """() for the session, (c,) or (c, slot) for a channel or a route,
        None for any other place (the findings list shows those)."""
        if where == "session":
            return ()
        if where.startswith("channel ") and where[8:9] in ("A", "B"):
            c = "AB".index(where[8])
            rest = where[9:].lstrip(", ")
            if not rest:
                return (c,)
            if rest in _SLOTS:
                return (c, _SLOTS[rest])
        return None

    def marks(self, signal: int) -> List[Item]:
        m = int(self.mask[signal]) if signal < len(self.mask) else 0
        return [self.items[b] for b in range(min(64, len(self.items))) if m >> b & 1]

