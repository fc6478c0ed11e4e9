"""The Settings behind whatever a caller hands to lint, diff, codify or
to_protocol: a file name, the file's bytes, a binary file object, decoded
Settings, or a live pyvexa.Protocol.

Files and bytes are decoded as they are read, their signals kept as a
lazily decoded, read-only sequence and their long curves as NumPy arrays
where NumPy is fast, so that a file of millions of signals costs little
more memory than its size. A Protocol is left untouched, and read without
parsing its text form where it can be (see `as_settings`).
"""
from __future__ import annotations

import os
import signal
import threading
from typing import Any, BinaryIO, Callable, Optional, Union

from .decoding import decode, load
from .records import ConstantSignalParams, Settings, Signal
from .textreader import parse_text

__all__ = ["Source", "as_settings", "is_protocol"]

Source = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", bytearray, memoryview,
               BinaryIO, Settings, Any]


def is_protocol(source: Any) -> bool:
    """Whether `source` is a pyvexa.Protocol (told by its kind, so that the
    tools need not import the module)."""
    return type(source).__name__ == "Protocol" and hasattr(source, "get_num_samples")


def as_settings(source: Source) -> Settings:
    """The Settings behind `source`. Raises OSError or DecodeError (a
    ValueError) for what cannot be read, TypeError for anything else.

    A Protocol is saved into a private directory from a forked copy of the
    process (or, beside other threads, from this one once its text shows
    that saving cannot change it) and the file is read back. Its empty
    signal list is shown as the one Constant 0.0 signal that saving it would
    write."""
    if isinstance(source, Settings):
        return source
    if isinstance(source, (bytes, bytearray, memoryview)):
        return decode(bytes(source), arrays=True, lazy=True)
    if isinstance(source, (str, os.PathLike)) or hasattr(source, "read"):
        return load(source, arrays=True, lazy=True)
    if is_protocol(source):
        return _protocol_settings(source)
    raise TypeError(f"cannot read a {type(source).__name__!r}: expected a file name, file "
                    "bytes, a binary file object, Settings or a pyvexa.Protocol")


def _protocol_settings(p: Any) -> Settings:
    # Reading back the text form, the one way to read a Protocol without
    # changing it, is slow for millions of sample lines: the protocol is
    # saved and its file read instead. But save() fills an empty signal
    # list, so it saves from a forked copy of this process, whose change
    # dies with it; or, where forking is unsafe (other threads may hold
    # locks the copy would need), only once its text shows signals.
    if hasattr(os, "fork") and threading.active_count() == 1:
        settings = _save_and_load(lambda path: _save_in_a_child(p, path))
        if settings is not None:
            return settings
    text = str(p)
    at = text.find("\n        signals: ")  # a text never holds a raw newline
    if at >= 0 and not text.startswith("[]", at + 18):
        del text
        settings = _save_and_load(lambda path: _save(p, path))
        if settings is not None:
            return settings
        text = str(p)
    settings = parse_text(text)  # nowhere to save it: slow but exact
    if not settings.signals:
        settings.signals = [Signal("Constant", ConstantSignalParams(0.0))]
    return settings


def _save_and_load(save: Callable[[str], bool]) -> Optional[Settings]:
    """The Settings of the file that save(path) writes into a private
    directory, or None when there is no room for it anywhere."""
    import shutil
    import tempfile  # here: slow to import under PyPy, and needed only here
    for where in ("/dev/shm", None):  # memory first: the save flushes the file to its disk
        try:
            tmp = tempfile.mkdtemp(prefix="pyvexa-lint-", dir=where)
        except OSError:
            continue
        try:
            path = os.path.join(tmp, "protocol.vexa")
            if save(path):
                return load(path, arrays=True, lazy=True)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    return None


def _save(p: Any, path: str) -> bool:
    try:
        p.save(path)
    except BaseException as e:
        # The module's failure exception derives from BaseException;
        # interrupts and exits pass through.
        if not isinstance(e, Exception) and type(e).__name__ != "PanicException":
            raise
        return False
    return True


def _save_in_a_child(p: Any, path: str) -> bool:
    try:
        pid = os.fork()
    except OSError:
        return False
    if pid == 0:  # the copy: save, and leave without running anything of the parent's
        status = 1
        try:
            # A failed save reports on standard error: not the user's news.
            os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
            p.save(path)
            status = 0
        finally:
            os._exit(status)
    try:
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    except ChildProcessError:  # children reaped by the system (SIGCHLD ignored)
        status = 0
    except BaseException:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        raise
    # The save replaces the file whole or not at all.
    return status == 0 and os.path.exists(path)
