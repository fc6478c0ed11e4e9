"""The runs of vexa-view's commands over their files. Each keeps the exit
status so far, which a reader that goes away early still gets: 0 fine, 1
findings or differences, 2 an unreadable file or an output that cannot be
written."""
from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict, Iterator, List, Optional, Tuple

from .decoding import DecodeError, load
from .lint import ERROR, Finding, iter_lint
from .output import Peeked, batches, emit, json_pieces, text_writer
from .records import Settings
from .text import summary_lines, summary_record, write_text


class Unreadable(Exception):
    """A file that cannot be read: `name` as the messages give it, and why."""

    def __init__(self, name: str, why: str) -> None:
        super().__init__(f"{name}: {why}")
        self.name = name
        self.why = why


def display_name(path: str) -> str:
    """A file as the messages and reports name it."""
    return "<stdin>" if path == "-" else path


def stem(path: str) -> str:
    """The name, without directory and suffix, of what is made from a file."""
    return "stdin" if path == "-" else os.path.splitext(os.path.basename(path))[0]


def read(path: str) -> Settings:
    """Decodes a file ("-": standard input) as it reads it, so that endless
    input stops at the first byte after the protocol, its signals kept
    encoded until they are read; raises Unreadable saying why."""
    try:
        return load(sys.stdin.buffer if path == "-" else path, arrays=True, lazy=True)
    except OSError as e:
        raise Unreadable(display_name(path), f"cannot read: {e.strerror or e}") from None
    except DecodeError as e:
        raise Unreadable(display_name(path), f"not a valid protocol file: {e}") from None
    except MemoryError:
        raise Unreadable(display_name(path), "cannot read: the protocol is larger than the "
                                             "memory available") from None


class Run:
    """One command over its files: the method `args.command` names."""

    def __init__(self, prog: str, args: argparse.Namespace) -> None:
        self.prog = prog
        self.args = args
        self.status = 0

    def note(self, status: int) -> None:
        self.status = max(self.status, status)

    def out(self, text: str) -> None:
        emit(sys.stdout, text)

    def error(self, text: str, status: int = 2) -> None:
        self.note(status)
        emit(sys.stderr, f"{self.prog}: {text}\n")

    def each(self) -> Iterator[Tuple[str, Settings]]:
        """(path, settings) for each file that can be read; says why for the
        others."""
        for path in self.args.files:
            try:
                yield path, read(path)
            except Unreadable as e:
                self.error(str(e))

    def reports(self) -> Iterator[Tuple[Optional[Settings], Dict[str, Any]]]:
        """For --json: (settings, the start of its report) for each file;
        settings None, and the report saying why, for one that cannot be
        read."""
        for path in self.args.files:
            try:
                settings = read(path)
            except Unreadable as e:
                self.note(2)
                yield None, {"file": e.name, "status": "unreadable", "error": e.why}
                continue
            yield settings, {"file": display_name(path)}

    def lines(self, pieces: Iterator[str], end: str = "") -> None:
        """Writes many short texts, joined into large pieces."""
        for batch in batches(pieces):
            self.out(batch)
        if end:
            self.out(end)

    def header(self, i: int, path: str) -> None:
        # Several files, as head(1) shows them.
        if len(self.args.files) > 1:
            self.out(("\n" if i else "") + f"==> {display_name(path)} <==\n")

    # --- the commands ------------------------------------------------------

    def show(self) -> None:
        for i, (path, settings) in enumerate(self.each()):
            self.header(i, path)
            write = text_writer()
            write_text(settings, write)
            write("\n")

    def summary(self) -> None:
        if self.args.json:
            self.lines(json_pieces(self.summary_reports()), end="\n")
            return
        for i, (path, settings) in enumerate(self.each()):
            self.header(i, path)
            self.lines(line + "\n" for line in summary_lines(settings))
            # The overview also lists what lint would report, one line
            # each: counted first, then written as they come.
            count = sum(1 for _ in iter_lint(settings))
            if count:
                self.out(f"problems: {count} (vexa-view lint for the fixes)\n")
                self.lines(f"    {f.where}: {f.message}\n" for f in iter_lint(settings))

    def summary_reports(self) -> Iterator[Dict[str, Any]]:
        for settings, report in self.reports():
            if settings is not None:
                findings = Peeked(iter_lint(settings))
                report.update(status="findings" if findings else "clean",
                              summary=summary_record(settings),
                              findings=(f.as_dict() for f in findings))
            yield report

    def lint(self, quiet: bool = False) -> None:
        """The findings of each file as they come (a protocol of millions of
        signals can have millions); `quiet`: on standard error, and nothing
        for a clean file."""
        if self.args.json:
            self.lines(json_pieces(self.lint_reports()), end="\n")
            return
        for path, settings in self.each():
            name = display_name(path)
            findings = Peeked(self.counted(iter_lint(settings)))
            text = (f"{name}: {f}\n" for f in findings)
            if quiet:
                for batch in batches(text):
                    emit(sys.stderr, batch)
            elif not findings:
                self.out(f"{name}: clean\n")
            else:
                self.lines(text)

    def lint_reports(self) -> Iterator[Dict[str, Any]]:
        for settings, report in self.reports():
            if settings is None:
                report["findings"] = []
            else:
                findings = Peeked(self.counted(iter_lint(settings)))
                report.update(status="findings" if findings else "clean",
                              findings=(f.as_dict() for f in findings))
            yield report

    def counted(self, findings: Iterator[Finding]) -> Iterator[Finding]:
        """The findings, each error (with --strict, each warning too)
        setting the exit status to 1 as it comes."""
        for f in findings:
            if self.args.strict or f.severity == ERROR:
                self.note(1)
            yield f

    def check(self) -> None:
        self.lint(quiet=True)

    def plot(self) -> None:
        from .plot import PlotUnavailable, check_output, plot
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
        picture = dict(zip(self.args.files, outputs))
        for path, settings in self.each():
            out = picture[path]
            try:
                plot(settings, out)
            except PlotUnavailable as e:
                return self.error(str(e))
            except OSError as e:
                self.error(f"cannot write {out}: {e.strerror or e}")

    def plot_outputs(self) -> Optional[List[str]]:
        """The picture of each file, or None after saying why there are none."""
        files, output = self.args.files, self.args.output
        if output is not None and len(files) == 1:
            return [output]
        if output is not None and not os.path.isdir(output):
            self.error(f"{output} is not a directory: with several files, -o names "
                       "the directory for their pictures")
            return None
        if output is None and "-" in files:
            self.error("a picture of standard input needs -o OUT")
            return None
        return [os.path.join(output if output is not None else os.path.dirname(path),
                             f"{stem(path)}.{self.args.format}") for path in files]

    def diff(self) -> None:
        from .compare import diff
        args = self.args
        report: Dict[str, Any] = {"a": display_name(args.files[0]),
                                  "b": display_name(args.files[1])}
        loaded = []
        for path in args.files:
            try:
                loaded.append(read(path))
            except Unreadable as e:
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
        into_directory = args.output is not None and os.path.isdir(args.output)
        if len(args.files) > 1 and not into_directory:
            return self.error("with several files, -o names the directory for their scripts")
        for path, settings in self.each():
            name = display_name(path)
            script = os.path.join(args.output, stem(path) + ".py") if into_directory \
                else args.output
            if script is not None and path != "-" and os.path.exists(script) and \
                    os.path.samefile(script, path):
                self.error(f"{script}: the script would overwrite the file it comes from")
                continue
            output = "protocol.vexa" if path == "-" else os.path.basename(path)
            try:
                text, changes = codify_settings(settings, script, args.allow_changes, output)
            except CodifyError as e:
                hint = ("\n    (--allow-changes writes a script that keeps the defaults for "
                        "the parts no call writes)" if e.unwritable and not e.refused else "")
                self.error(f"{name}: {e}{hint}", status=1)
                continue
            except ValueError as e:  # curves too long to write into the script
                self.error(f"{name}: {e} with -o SCRIPT.py")
                continue
            except OSError as e:
                self.error(f"cannot write {e.filename or script}: {e.strerror or e}")
                continue
            if changes:
                self.error(f"{name}: the script leaves out {len(changes)} "
                           f"part{'s' if len(changes) > 1 else ''} of the file (listed at its "
                           "top)", status=1)
            if script is None:
                self.out(text)

