"""Reference artefacts of a default protocol: its text form and its file."""

import os

# The artefacts live in testdata/ at the top of the repository, shared by
# every suite; testdata/README.md describes them (the file's layout too).
TESTDATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "testdata")


def _read(name, binary=False):
    path = os.path.join(TESTDATA, name)
    if binary:
        with open(path, "rb") as f:
            return f.read()
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


# str(Protocol()) with VEXA_TARGET_MACHINE unset: 103 lines, 3062 bytes,
# no newline after the closing brace.
FRESH_TEXT = _read("fresh_protocol.txt")

# The `signals` lines of a protocol holding a sine, a ramp, a constant, a
# mixed signal and an arbitrary signal of three samples (in that order).
FIVE_SIGNALS_TEXT = _read("five_signals.txt")

# The file written by save() on a fresh protocol (VEXA_TARGET_MACHINE unset).
FRESH_FILE = _read("fresh_protocol.vexa", binary=True)
SIGNALS_OFFSET = 150     # where the signal count starts
SIGNALS_END = 160        # first byte after the filled-in Constant 0.0
CHANNEL_A_OFFSET = 160
