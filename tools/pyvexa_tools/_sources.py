"""The Settings behind whatever a caller hands to diff, codify or
to_protocol: a file name, file bytes, decoded Settings or a live Protocol."""
from __future__ import annotations

import os
from typing import Any, BinaryIO, Union

from .codec import ConstantSignalParams, Settings, Signal, decode, parse_text
from .decoding import load

Source = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", bytearray, memoryview,
               Settings, Any]


def read_file(path: Union[str, bytes, "os.PathLike[Any]", BinaryIO]) -> Settings:
    """Decodes the file at `path` (or a binary file object), curves as NumPy
    arrays where NumPy is fast. Raises OSError or DecodeError."""
    return load(path, arrays=True)


def as_settings(source: Source) -> Settings:
    """A Protocol is read through its text form and left untouched; its empty
    signal list is shown as the one Constant 0.0 signal that saving it would
    write."""
    if isinstance(source, Settings):
        return source
    if isinstance(source, (bytes, bytearray, memoryview)):
        return decode(bytes(source), arrays=True)
    if isinstance(source, (str, os.PathLike)):
        return read_file(source)
    if type(source).__name__ == "Protocol" and hasattr(source, "get_num_samples"):
        settings = parse_text(str(source))
        if not settings.signals:
            settings.signals = [Signal("Constant", ConstantSignalParams(0.0))]
        return settings
    raise TypeError(f"expected a file name, bytes, Settings or a pyvexa.Protocol, not "
                    f"{type(source).__name__!r}")
