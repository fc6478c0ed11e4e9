"""Progress of long runs. The command line sets `hook` to a callback that
receives (what, done, total); the library itself reports nothing."""
from __future__ import annotations

from typing import Callable, Optional

hook: Optional[Callable[[str, int, int], None]] = None


def report(what: str, done: int, total: int) -> None:
    if hook is not None:
        hook(what, done, total)
