"""The `vexa-view` command (also `python -m pyvexa_tools`)."""
from __future__ import annotations

import argparse
import gc
import itertools
import json
import sys
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Union

from . import progress as reporting
from .decoding import DecodeError, load
from .lint import iter_lint
from .records import Settings
from .text import summary_lines, write_text

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


def _load(path: str, prog: str) -> Settings:
    """Decodes a file as it reads it (so endless input stops at the first
    byte after the protocol), its signals kept encoded until they are read;
    raises _Unreadable saying why."""
    name = "<stdin>" if path == "-" else path
    try:
        return load(sys.stdin.buffer if path == "-" else path, arrays=True, lazy=True)
    except OSError as e:
        raise _Unreadable(name, f"cannot read: {e.strerror or e}") from None
    except DecodeError as e:
        raise _Unreadable(name, f"not a valid protocol file: {e}") from None
    except MemoryError:
        raise _Unreadable(name, "cannot read: the protocol is larger than the memory "
                                "available") from None


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

    def reports() -> Iterator[Dict[str, Any]]:
        # One file at a time, its findings given as they come: a protocol
        # of millions of signals can have millions of them.
        nonlocal status
        for path in files:
            name = "<stdin>" if path == "-" else path
            try:
                settings = _load(path, prog)
            except _Unreadable as e:
                status = max(status, unreadable_status)
                yield {"file": name, "status": "unreadable", "error": e.why,
                       "findings": iter(())}
                continue
            findings = iter_lint(settings)
            first = next(findings, None)
            if first is not None:
                status = max(status, 1)
                findings = itertools.chain([first], findings)
            yield {"file": name, "status": "clean" if first is None else "findings",
                   "findings": findings}

    if as_json:
        _write(lambda write: _write_json(reports(), write))
        return status
    stream = sys.stderr if quiet else sys.stdout
    for report in reports():
        name = report["file"]
        if report["status"] == "unreadable":
            print(f"{prog}: {name}: {report['error']}", file=sys.stderr)
            continue
        for lines in _batches(f"{name}: {f}\n" for f in report["findings"]):
            stream.write(lines)
        if not quiet and len(files) > 1 and report["status"] == "clean":
            print(f"{name}: clean")
    return status


def _batches(pieces: Iterator[str], size: int = 1 << 16) -> Iterator[str]:
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


def _write_json(reports: Iterator[Dict[str, Any]],
                write: Callable[[Union[str, memoryview]], None]) -> None:
    """json.dumps(list(reports), indent=2), the findings (which can be
    millions) written as they come."""
    def pieces() -> Iterator[str]:
        yield "["
        k = -1
        for k, report in enumerate(reports):
            yield ("," if k else "") + "\n  {"
            for j, (key, value) in enumerate(report.items()):
                yield ("," if j else "") + f"\n    {json.dumps(key)}: "
                if key != "findings":
                    yield json.dumps(value)
                    continue
                empty = True
                for finding in value:
                    body = json.dumps(finding.as_dict(), indent=2).replace("\n", "\n      ")
                    yield ("[\n      " if empty else ",\n      ") + body
                    empty = False
                yield "[]" if empty else "\n    ]"
            yield "\n  }"
        yield "\n]\n" if k >= 0 else "]\n"
    for piece in _batches(pieces()):
        write(piece)


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
            # The overview also lists what --lint would report, one line
            # each: counted first, then written as they come.
            def overview(write: Callable[[Union[str, memoryview]], None]) -> None:
                for piece in _batches(line + "\n" for line in summary_lines(settings)):
                    write(piece)
                count = sum(1 for _ in iter_lint(settings))
                if count:
                    write(f"problems: {count} (vexa-view --lint for the fixes)\n")
                    for piece in _batches(f"    {f.where}: {f.message}\n"
                                          for f in iter_lint(settings)):
                        write(piece)
            _write(overview)
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
