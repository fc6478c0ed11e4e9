#!/usr/bin/env python3
"""Runs the `vexa-view` command from a source tree, without installing:

    tools/vexa_view.py [show | summary | lint | check | plot | diff | codify] FILE...

and, imported with tools/ on the path, offers the decoder as before
(`import vexa_view; vexa_view.decode(data)`). The code lives in the
installed package `pyvexa_tools`, next to this file.
"""
import os
import sys
from typing import Optional, Sequence

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pyvexa_tools.codec import *  # noqa: E402,F401,F403
from pyvexa_tools.codec import VARIANTS, _DOUBLE, __all__  # noqa: E402,F401
from pyvexa_tools.cli import main as _main  # noqa: E402


def main(argv: "Optional[Sequence[str]]" = None) -> int:
    return _main(argv, prog="vexa_view")


if __name__ == "__main__":
    sys.exit(main())
