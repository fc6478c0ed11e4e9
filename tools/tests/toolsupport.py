"""Paths and optional imports shared by the tests in this directory."""
import os
import sys

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TOOLS)
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)  # vexa_view

try:
    import numpy as np
except ImportError:  # PyPy here has none
    np = None
