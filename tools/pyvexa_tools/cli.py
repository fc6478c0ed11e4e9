"""The `vexa-view` command (also `python -m pyvexa_tools`)."""
from __future__ import annotations

import argparse
import gc
import itertools
import json
import os
import re
import sys
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from . import progress as reporting
from .decoding import DecodeError, load
from .lint import Finding, iter_lint
from .records import Settings, num_samples
from .text import format_double, summary_lines, write_text

DESCRIPTION = """Show, check, compare, plot or codify .vexa protocol files.

commands:
  show FILE...               the protocol exactly as print(protocol) shows it (the default)
  summary FILE...            session, routing, one line per signal, problems
  lint FILE...               mistakes the module stores without a word, with fixes
  check FILE...              validate: structure and lint; print nothing when clean
  plot FILE... [-o OUT]      curves against time, signals and routing (needs matplotlib)
  diff A B                   every field that differs; curves sample by sample
  codify FILE [-o SCRIPT]    a pyvexa script that saves the same file again

FILE may be "-" for standard input. `vexa-view COMMAND --help` shows a
command's options. The options of earlier versions keep working:
vexa-view FILE, --summary, --lint, --check, --plot OUT FILE."""

EPILOG = """exit status, in every command: 0 fine; 1 findings (lint, check: errors,
or warnings too with --strict), differences (diff), or a script that does not
rebuild the file exactly (codify); 2 an unreadable file, an output that
cannot be written, or a usage error."""

COMMANDS = ("show", "summary", "lint", "check", "plot", "diff", "codify")
# The options of earlier versions and the command each stands for.
_LEGACY = {"--summary": "summary", "--lint": "lint", "--check": "check", "--plot": "plot"}


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


def _emit(stream: Any, text: str) -> None:
    """Writes to a standard stream in UTF-8, a file name that is not UTF-8
    as its own bytes (as os.fsdecode read it from the command line, the way
    `ls` prints it into a pipe), whatever the stream's own encoding and
    error handler: PyPy's stdout refuses such names, CPython's does not."""
    buffer = getattr(stream, "buffer", None)
    if buffer is None:
        stream.write(text)
        return
    stream.flush()
    buffer.write(text.encode("utf-8", "surrogateescape"))
    if stream is sys.stderr:
        buffer.flush()


class _Unreadable(Exception):
    def __init__(self, name: str, why: str) -> None:
        super().__init__(f"{name}: {why}")
        self.name = name
        self.why = why


def _name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _load(path: str) -> Settings:
    """Decodes a file as it reads it (so endless input stops at the first
    byte after the protocol), its signals kept encoded until they are read;
    raises _Unreadable saying why."""
    try:
        return load(sys.stdin.buffer if path == "-" else path, arrays=True, lazy=True)
    except OSError as e:
        raise _Unreadable(_name(path), f"cannot read: {e.strerror or e}") from None
    except DecodeError as e:
        raise _Unreadable(_name(path), f"not a valid protocol file: {e}") from None
    except MemoryError:
        raise _Unreadable(_name(path), "cannot read: the protocol is larger than the memory "
                                       "available") from None


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


class _Peeked:
    """An iterator that knows whether it is empty before it is read."""

    def __init__(self, items: Iterator[Any]) -> None:
        self._first = next(items, _Peeked)
        self._items = items

    def __bool__(self) -> bool:
        return self._first is not _Peeked

    def __iter__(self) -> Iterator[Any]:
        if self._first is not _Peeked:
            yield self._first
        yield from self._items


def _peeked(items: Iterator[Any]) -> _Peeked:
    return _Peeked(items)


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


def _json_pieces(value: Any, depth: int = 0) -> Iterator[str]:
    """json.dumps(value, indent=2) in pieces, where value may hold iterators
    (read once, as lists): the findings of a file can be millions."""
    inner = "\n" + "  " * (depth + 1)
    if isinstance(value, dict) and any(_streamed(v) for v in value.values()):
        first = True
        for key, item in value.items():
            yield ("{" if first else ",") + inner + json.dumps(key) + ": "
            yield from _json_pieces(item, depth + 1)
            first = False
        yield "{}" if first else "\n" + "  " * depth + "}"
    elif _streamed(value):
        first = True
        for item in value:
            yield ("[" if first else ",") + inner
            yield from _json_pieces(item, depth + 1)
            first = False
        yield "[]" if first else "\n" + "  " * depth + "]"
    else:
        yield json.dumps(value, indent=2).replace("\n", "\n" + "  " * depth)


def _streamed(value: Any) -> bool:
    return isinstance(value, (Iterator, _Peeked)) or (
        isinstance(value, dict) and any(_streamed(v) for v in value.values()))


class _Run:
    """One command over its files: the exit status so far (which a reader
    that goes away early still gets) and the messages."""

    def __init__(self, prog: str, args: argparse.Namespace) -> None:
        self.prog = prog
        self.args = args
        self.status = 0

    def note(self, status: int) -> None:
        self.status = max(self.status, status)

    def out(self, text: str) -> None:
        _emit(sys.stdout, text)

    def error(self, text: str, status: int = 2) -> None:
        self.note(status)
        _emit(sys.stderr, f"{self.prog}: {text}\n")

    def each(self, files: Sequence[str]) -> Any:
        """(name, settings) for each file that can be read; says why for the
        others."""
        for path in files:
            try:
                yield _name(path), _load(path)
            except _Unreadable as e:
                self.error(str(e))

    def lines(self, pieces: Iterator[str], end: str = "") -> None:
        """Writes many short texts, joined into large pieces."""
        for batch in _batches(pieces):
            self.out(batch)
        if end:
            self.out(end)

    def header(self, i: int, name: str) -> None:
        # Several files, as head(1) shows them.
        if len(self.args.files) > 1:
            self.out(("\n" if i else "") + f"==> {name} <==\n")

    # --- the commands ------------------------------------------------------

    def show(self) -> None:
        for i, (name, settings) in enumerate(self.each(self.args.files)):
            self.header(i, name)
            write = _writer()
            write_text(settings, write)
            write("\n")

    def summary(self) -> None:
        args = self.args

        def reports() -> Iterator[Dict[str, Any]]:
            for i, path in enumerate(args.files):
                try:
                    settings = _load(path)
                except _Unreadable as e:
                    if not args.json:
                        self.error(str(e))
                    self.note(2)
                    yield {"file": e.name, "status": "unreadable", "error": e.why}
                    continue
                findings = _peeked(iter_lint(settings))
                if args.json:
                    yield {"file": _name(path), "status": "findings" if findings else "clean",
                           "summary": _summary_dict(settings),
                           "findings": (f.as_dict() for f in findings)}
                    continue
                self.header(i, _name(path))
                self.lines(line + "\n" for line in summary_lines(settings))
                # The overview also lists what lint would report, one line
                # each: counted first, then written as they come.
                count = sum(1 for _ in iter_lint(settings))
                if count:
                    self.out(f"problems: {count} (vexa-view lint for the fixes)\n")
                    self.lines(f"    {f.where}: {f.message}\n" for f in iter_lint(settings))

        if args.json:
            self.lines(_json_pieces(reports()), end="\n")
        else:
            for _ in reports():
                pass

    def lint(self, quiet: bool = False) -> None:
        args = self.args

        def counted(findings: Iterator[Finding]) -> Iterator[Finding]:
            for f in findings:
                if args.strict or f.severity == "error":
                    self.note(1)
                yield f

        def reports() -> Iterator[Dict[str, Any]]:
            # One file at a time, its findings given as they come: a
            # protocol of millions of signals can have millions of them.
            for path in args.files:
                name = _name(path)
                try:
                    findings = _peeked(counted(iter_lint(_load(path))))
                except _Unreadable as e:
                    self.note(2)
                    if not args.json:
                        self.error(str(e))
                    yield {"file": name, "status": "unreadable", "error": e.why,
                           "findings": []}
                    continue
                yield {"file": name, "status": "findings" if findings else "clean",
                       "findings": findings}

        if args.json:
            self.lines(_json_pieces(
                {**r, "findings": (f.as_dict() for f in r["findings"])} for r in reports()),
                end="\n")
            return
        for report in reports():
            name = report["file"]
            if report["status"] == "unreadable":
                continue
            text = (f"{name}: {f}\n" for f in report["findings"])
            if quiet:
                for batch in _batches(text):
                    _emit(sys.stderr, batch)
            elif report["status"] == "clean":
                self.out(f"{name}: clean\n")
            else:
                self.lines(text)

    def check(self) -> None:
        self.lint(quiet=True)

    def plot(self) -> None:
        from .plot import PlotUnavailable, check_output, plot
        args = self.args
        outputs = self.plot_outputs()
        if outputs is None:
            return
        for out in outputs:
            if not os.path.isdir(os.path.dirname(out) or "."):
                return self.error(f"cannot write {out}: no such directory")
        try:
            for out in outputs:
                check_output(out)
        except (PlotUnavailable, ValueError) as e:
            return self.error(str(e))
        for path, out in zip(args.files, outputs):
            try:
                settings = _load(path)
            except _Unreadable as e:
                self.error(str(e))
                continue
            try:
                plot(settings, out)
            except PlotUnavailable as e:
                return self.error(str(e))
            except OSError as e:
                self.error(f"cannot write {out}: {e.strerror or e}")

    def plot_outputs(self) -> Optional[List[str]]:
        args = self.args
        if args.output is not None and len(args.files) == 1:
            return [args.output]
        if args.output is not None and not os.path.isdir(args.output):
            self.error(f"{args.output} is not a directory: with several files, -o names "
                       "the directory for their pictures")
            return None
        outputs = []
        for path in args.files:
            if path == "-" and args.output is None:
                self.error("a picture of standard input needs -o OUT")
                return None
            stem = "stdin" if path == "-" else os.path.splitext(os.path.basename(path))[0]
            where = args.output if args.output is not None else os.path.dirname(path)
            outputs.append(os.path.join(where, f"{stem}.{args.format}"))
        return outputs

    def diff(self) -> None:
        from .compare import diff
        args = self.args
        names = [_name(p) for p in args.files]
        report: Dict[str, Any] = {"a": names[0], "b": names[1]}
        loaded = []
        for path in args.files:
            try:
                loaded.append(_load(path))
            except _Unreadable as e:
                report.setdefault("error", str(e))
                if not args.json:
                    self.error(str(e))
                self.note(2)
        if len(loaded) == 2:
            found = diff(loaded[0], loaded[1], tolerance=args.tolerance)
            self.note(1 if found else 0)
            report["status"] = "different" if found else "same"
            report["differences"] = [d.as_dict() for d in found]
            if not args.json:
                self.out("".join(f"{d}\n" for d in found))
        else:
            report["status"] = "unreadable"
        if args.json:
            self.out(json.dumps(report, indent=2) + "\n")

    def codify(self) -> None:
        from .replay import CodifyError, codify_settings
        args = self.args
        if len(args.files) > 1 and (args.output is None or not os.path.isdir(args.output)):
            return self.error("with several files, -o names the directory for their scripts")
        for path in args.files:
            script = args.output
            if script is not None and os.path.isdir(script):
                stem = "stdin" if path == "-" else os.path.splitext(os.path.basename(path))[0]
                script = os.path.join(script, stem + ".py")
            if script is not None and path != "-" and os.path.exists(script) and \
                    os.path.samefile(script, path):
                self.error(f"{script}: the script would overwrite the file it comes from")
                continue
            try:
                settings = _load(path)
            except _Unreadable as e:
                self.error(str(e))
                continue
            output = "protocol.vexa" if path == "-" else os.path.basename(path)
            try:
                text, changes = codify_settings(settings, script, args.allow_changes, output)
            except CodifyError as e:
                hint = ("\n    (--allow-changes writes a script that keeps the defaults for "
                        "the parts no call writes)" if e.unwritable and not e.refused else "")
                self.error(f"{_name(path)}: {e}{hint}", status=1)
                continue
            except ValueError as e:  # curves too long to write into the script
                self.error(f"{_name(path)}: {e} with -o SCRIPT.py")
                continue
            except OSError as e:
                self.error(f"cannot write {e.filename or script}: {e.strerror or e}")
                continue
            if changes:
                self.error(f"{_name(path)}: the script leaves out {len(changes)} "
                           f"part{'s' if len(changes) > 1 else ''} of the file (listed at its "
                           "top)", status=1)
            if script is None:
                self.out(text)


def _summary_dict(s: Settings) -> Dict[str, Any]:
    """The summary for a program. Doubles are in the text form, as strings,
    so that NaN, the infinities and -0.0 survive JSON."""
    from .compare import short_text
    mc = s.machine_config

    def source(sel: Any) -> Dict[str, Any]:
        if sel.external_selected:
            return {"external": sel.external,
                    "missing": sel.external >= mc.num_external_signal_sources}
        return {"signal": sel.internal, "missing": sel.internal >= len(s.signals)}

    channels = {}
    for name, ch in (("A", s.channel_a_settings), ("B", s.channel_b_settings)):
        channels[name] = {"enabled": ch.enabled, f"{name}1": source(ch.amplitude1_source),
                          f"{name}2": source(ch.amplitude2_source),
                          "modulation": source(ch.modulation_source)}
    signals = []
    for sig in s.signals:
        entry: Dict[str, Any] = {"kind": sig.variant}
        samples = getattr(sig.params, "samples", None)
        if samples is None:
            entry["text"] = short_text(sig)
        else:
            entry["samples"] = len(samples)
            if len(samples):
                entry.update(min=int(min(samples) if isinstance(samples, list) else
                                     samples.min()),
                             max=int(max(samples) if isinstance(samples, list) else
                                     samples.max()),
                             first=int(samples[0]), last=int(samples[-1]))
        signals.append(entry)
    return {"target_machine": s.running_on_target_machine,
            "session_duration": format_double(s.session_duration),
            "num_samples": _safe_num_samples(s.session_duration),
            "intensity": format_double(s.intensity), "channels": channels,
            "signals": signals}


def _safe_num_samples(d: float) -> Optional[int]:
    try:
        return num_samples(d)
    except (OverflowError, ValueError):
        return None


# ---------------------------------------------------------------------------
# The command line.

def version() -> str:
    """The version of the pyvexa distribution this package belongs to: from
    the installed metadata when it describes this copy, else from the
    source tree's meson.build, else the package's own __version__."""
    from . import __file__ as init, __version__
    try:
        from importlib import metadata
        dist = metadata.distribution("pyvexa")
        if os.path.samefile(str(dist.locate_file("pyvexa_tools/__init__.py")), init):
            return str(dist.version)
    except Exception:  # no metadata, another copy, or a copy without files
        pass
    tree = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(init))))
    try:
        with open(os.path.join(tree, "meson.build"), encoding="utf-8") as f:
            found = re.search(r"project\(\s*'pyvexa'.*?version\s*:\s*'([^']+)'", f.read(), re.S)
        if found:
            return found.group(1)
    except OSError:
        pass
    return __version__


class _Version(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kw: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        impl = "PyPy" if sys.implementation.name == "pypy" else "CPython"
        _emit(sys.stdout, f"{parser.prog} {version()} ({impl} "
                          f"{sys.version.split()[0]})\n")
        parser.exit()


def _tolerance(text: str) -> float:
    x = float(text)
    if not x >= 0.0:
        raise ValueError(text)
    return x


def _parser(prog: str) -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    top = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG,
                                  formatter_class=raw)
    top.add_argument("--version", action=_Version)
    sub = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str, json_report: bool = False) -> Any:
        p = sub.add_parser(name, help=summary, description=summary, epilog=EPILOG,
                           formatter_class=raw)
        if json_report:
            p.add_argument("--json", action="store_true",
                           help="one JSON report on standard output instead of text")
        return p

    def files(p: argparse.ArgumentParser) -> None:
        p.add_argument("files", nargs="+", metavar="FILE",
                       help='protocol files, or "-" for standard input')

    files(command("show", "print each protocol exactly as print(protocol) shows it"))
    files(command("summary", "session, routing, one line per signal and the problems lint "
                             "finds", json_report=True))
    for name, what in (("lint", "report mistakes with where they are and how to fix them; "
                                "a clean file is reported as clean"),
                       ("check", "validate the structure and lint; print only problems, on "
                                 "standard error")):
        p = command(name, what, json_report=True)
        p.add_argument("--strict", action="store_true",
                       help="exit 1 for warnings too, not only for errors")
        files(p)
    p = command("plot", "draw each protocol: curves against time, signals and routing "
                        "(needs matplotlib)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="the picture (one FILE; its suffix chooses the format, e.g. .png, "
                        ".svg, .pdf) or a directory (several); default: beside each FILE")
    p.add_argument("--format", default="png",
                   help="the format of the pictures this command names (default: png)")
    files(p)
    p = command("diff", "every field that differs between two protocols, by its path in "
                        "the text form; curves sample by sample", json_report=True)
    p.add_argument("--tolerance", type=_tolerance, default=0.0, metavar="T",
                   help="doubles within T times the larger of 1 and their size are the "
                        "same (default 0: the same bits)")
    p.add_argument("files", nargs=2, metavar="FILE", help='two protocol files ("-": stdin)')
    p = command("codify", "write a Python script that rebuilds the protocol with pyvexa "
                          "and saves the same file")
    p.add_argument("-o", "--output", metavar="SCRIPT",
                   help="the script (one FILE; curves of more than 100 samples go into "
                        "a .npy of the same name) or a directory (several); default: "
                        "standard output")
    p.add_argument("--allow-changes", action="store_true",
                   help="for parts no call of the module writes (another machine, coil "
                        "indices, trace flags, channel A off): write the script with the "
                        "defaults instead, listing each at its top (exit 1)")
    files(p)
    return top


class _Usage(Exception):
    pass


def _translate(argv: List[str]) -> List[str]:
    """The options of earlier versions (--summary, --lint, --check, --plot
    OUT, or none: show) as the command they stand for."""
    if not argv or argv[0] in COMMANDS or argv[0] in ("-h", "--help", "--version"):
        return argv
    modes: List[Tuple[str, List[str]]] = []
    rest: List[str] = []
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            rest += argv[i:]
            break
        flag, eq, value = a.partition("=")
        # argparse took unambiguous abbreviations of these (--sum).
        full = [f for f in _LEGACY if len(flag) > 2 and f.startswith(flag)]
        if a.startswith("--") and len(full) == 1:
            cmd = _LEGACY[full[0]]
            if cmd == "plot":
                if not eq:
                    i += 1
                    if i == len(argv):
                        raise _Usage("--plot needs the picture's name: --plot OUT FILE")
                    value = argv[i]
                modes.append((cmd, ["-o", value]))
            else:
                modes.append((cmd, []))
        else:
            rest.append(a)
        i += 1
    if len(modes) > 1:
        raise _Usage(f"--{modes[0][0]} and --{modes[1][0]} cannot be combined")
    cmd, extra = modes[0] if modes else ("show", [])
    if "-h" in rest or "--help" in rest:
        return [cmd, "--help"]
    return [cmd] + extra + rest


def main(argv: Optional[Sequence[str]] = None, prog: str = "vexa-view") -> int:
    parser = _parser(prog)
    try:
        args = parser.parse_args(_translate(list(sys.argv[1:] if argv is None else argv)))
    except _Usage as e:
        parser.error(str(e))
    if args.files.count("-") > 1:
        parser.error('standard input ("-") can be read only once')
    run = _Run(prog, args)
    progress = _Progress(prog) if sys.stderr.isatty() else None
    reporting.hook = progress
    try:
        getattr(run, args.command)()
        sys.stdout.flush()
    except BrokenPipeError:
        # A reader such as `head` went away: stop quietly, and keep the
        # interpreter's own last flush from complaining.
        _silence_stdout()
    except KeyboardInterrupt:
        return 130
    finally:
        reporting.hook = None
        if progress is not None:
            progress.close()
    return run.status


def _silence_stdout() -> None:
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)
