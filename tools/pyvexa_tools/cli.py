"""The `vexa-view` command line (also `python -m pyvexa_tools`): its parser,
the options of earlier versions as the commands they stand for, --version,
and main. The commands themselves run in `commands`, and write through
`output`."""
from __future__ import annotations

import argparse
import os
import re
import sys
from typing import Any, List, Optional, Sequence, Tuple

from . import progress as reporting
from .commands import Run
from .output import Progress, emit, silence_stdout

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
        emit(sys.stdout, f"{parser.prog} {version()} ({impl} {sys.version.split()[0]})\n")
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
    progress = Progress(prog) if sys.stderr.isatty() else None
    reporting.hook = progress
    command = Run(prog, args)
    try:
        getattr(command, args.command)()
        sys.stdout.flush()
    except BrokenPipeError:
        # A reader such as `head` went away: stop quietly, with the status
        # so far, and keep the interpreter's own last flush from complaining.
        silence_stdout()
    except KeyboardInterrupt:
        return 130
    finally:
        reporting.hook = None
        if progress is not None:
            progress.close()
    return command.status
