"""The `vexa-view` command (also `python -m pyvexa_tools`)."""
from __future__ import annotations

import argparse
import gc
import json
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Union

from . import progress as reporting
from .codec import DecodeError, Settings, decode, summary, write_text
from .lint import lint_settings

DESCRIPTION = """Show, check or plot .vexa protocol files.

  vexa-view FILE               the protocol exactly as print(protocol) shows it
  vexa-view --summary FILE     session, routing and one line per signal
  vexa-view --lint FILE...     mistakes the module stores without a word
  vexa-view --check FILE...    validate: structure and --lint; print nothing when clean
  vexa-view --plot OUT.png FILE  curves against time, signals and routing

FILE may be "-" for standard input."""

EPILOG = """exit status: 0 clean; 1 findings (--lint, --check) or an unreadable file
(other modes); 2 an unreadable file with --lint, or a usage error."""


class _Progress:
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


def _read(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as f:
        return f.read()


def _load(path: str, prog: str) -> Settings:
    """Decodes a file; raises _Unreadable after saying why on stderr."""
    name = "<stdin>" if path == "-" else path
    try:
        data = _read(path)
    except OSError as e:
        raise _Unreadable(name, f"cannot read: {e.strerror or e}") from None
    try:
        return decode(data, arrays=True)
    except DecodeError as e:
        raise _Unreadable(name, f"not a valid protocol file: {e}") from None


class _Unreadable(Exception):
    def __init__(self, name: str, why: str) -> None:
        super().__init__(f"{name}: {why}")
        self.name = name
        self.why = why


def _writer() -> Callable[[Union[str, memoryview]], None]:
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


def _write(produce: Callable[[Callable[[Union[str, memoryview]], None]], Any]) -> None:
    try:
        produce(_writer())
        sys.stdout.flush()
    except BrokenPipeError:
        # A reader such as `head` went away; that is not an error.
        sys.stderr.close()


def _lint_files(files: Sequence[str], prog: str, as_json: bool, quiet: bool,
                unreadable_status: int) -> int:
    status = 0
    reports: List[Dict[str, Any]] = []
    for path in files:
        name = "<stdin>" if path == "-" else path
        try:
            findings = lint_settings(_load(path, prog))
        except _Unreadable as e:
            status = max(status, unreadable_status)
            reports.append({"file": name, "status": "unreadable", "error": e.why,
                             "findings": []})
            if not as_json:
                print(f"{prog}: {e}", file=sys.stderr)
            continue
        if findings:
            status = max(status, 1)
        reports.append({"file": name, "status": "findings" if findings else "clean",
                        "findings": [f.as_dict() for f in findings]})
        if not as_json:
            stream = sys.stderr if quiet else sys.stdout
            for f in findings:
                print(f"{name}: {f}", file=stream)
            if not quiet and len(files) > 1 and not findings:
                print(f"{name}: clean")
    if as_json:
        _write(lambda write: write(json.dumps(reports, indent=2) + "\n"))
    return status


def main(argv: Optional[Sequence[str]] = None, prog: str = "vexa-view") -> int:
    parser = argparse.ArgumentParser(
        prog=prog, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--summary", action="store_true",
                      help="print a short overview instead of the full text")
    mode.add_argument("--check", action="store_true",
                      help="validate the structure and run --lint; print only problems")
    mode.add_argument("--lint", action="store_true",
                      help="report mistakes with where they are and how to fix them")
    mode.add_argument("--plot", metavar="OUT",
                      help="draw the protocol into OUT (.png or .svg; needs matplotlib)")
    parser.add_argument("--json", action="store_true",
                        help="with --lint: one JSON report for all files on stdout")
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help='protocol files, or "-" for standard input')
    args = parser.parse_args(argv)
    if args.json and not args.lint:
        parser.error("--json goes with --lint")
    if len(args.files) > 1 and not (args.lint or args.check):
        parser.error("several files go with --lint or --check only")

    progress = _Progress(prog) if sys.stderr.isatty() else None
    reporting.hook = progress
    try:
        if args.lint or args.check:
            return _lint_files(args.files, prog, args.json, quiet=args.check,
                               unreadable_status=2 if args.lint else 1)
        try:
            settings = _load(args.files[0], prog)
        except _Unreadable as e:
            print(f"{prog}: {e}", file=sys.stderr)
            return 1
        if args.plot:
            from .plot import PlotUnavailable, plot
            try:
                plot(settings, args.plot)
            except PlotUnavailable as e:
                print(f"{prog}: {e}", file=sys.stderr)
                return 1
            return 0
        if args.summary:
            # The overview also lists what --lint would report, one line each.
            findings = lint_settings(settings)
            lines = [summary(settings)]
            if findings:
                lines.append(f"problems: {len(findings)} (vexa-view --lint for the fixes)")
                lines += [f"    {f.where}: {f.message}" for f in findings]
            _write(lambda write: write("\n".join(lines) + "\n"))
        else:
            def text(write: Callable[[Union[str, memoryview]], None]) -> None:
                write_text(settings, write)
                write("\n")
            _write(text)
        return 0
    finally:
        reporting.hook = None
        if progress is not None:
            progress.close()
