"""The command: one exit-status rule in every mode, the old options as
aliases, no traceback for a closed pipe or a name that is not UTF-8."""
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

import vexa_view as vi
from pyvexa_tools import __version__
from pyvexa_tools.cli import version
from test_decoder import FRESH_FILE, fresh, sig
from toolsupport import ROOT, TOOLS


@pytest.fixture
def files(tmp_path, monkeypatch):  # other differs from clean; long has a curve, long2 too
    monkeypatch.chdir(tmp_path)
    s = fresh()
    s.intensity = 0.5
    long = fresh()
    long.session_duration = 0.4
    long.signals = [sig("Arbitrary", list(range(2000)))]  # long enough to be an array
    long2 = vi.encode(long)
    long.signals[0].params.samples[7] = 8
    for name, data in (("clean", FRESH_FILE), ("error", vi.encode(s)), ("cut", FRESH_FILE[:99]),
                       ("other", FRESH_FILE[:-1] + b"\x01"), ("long", vi.encode(long)),
                       ("long2", long2)):
        (tmp_path / f"{name}.vexa").write_bytes(data)
    (tmp_path / "dir").mkdir()


def status(args):
    try:
        return vi.main(args)
    except SystemExit as e:  # argparse: usage errors, --help, --version
        return e.code


# (arguments, exit status: 0 fine, 1 findings or differences, 2 unreadable or
# usage, and a piece of standard output where it matters; "" for none at all)
STATUS = [
    (["show", "clean.vexa"], 0), (["show", "cut.vexa"], 2),
    (["clean.vexa", "error.vexa"], 0, "},\n}\n\n==> error.vexa <==\nProtocol {\n"),
    (["summary", "error.vexa", "clean.vexa"], 0), (["--summary", "absent.vexa"], 2),
    (["summary", "--json", "error.vexa"], 0, '"intensity": "0.5",'),
    (["summary", "--json", "cut.vexa"], 2, '"status": "unreadable"'),
    (["lint", "clean.vexa"], 0, "clean.vexa: clean\n"),
    (["lint", "clean.vexa", "error.vexa"], 1, "clean\nerror.vexa: session: error: intensity 0.5 "),
    (["--lint", "error.vexa", "cut.vexa"], 2),
    (["lint", "--strict", "--json", "clean.vexa"], 0, '"status": "clean"'),
    (["lint", "--json", "clean.vexa", "error.vexa", "cut.vexa"], 2,
     '"file": "cut.vexa",\n    "status": "unreadable",\n    "error": "not a valid protocol file: '
     'byte offset 99: truncated input'),
    (["check", "clean.vexa"], 0, ""), (["--check", "error.vexa"], 1, ""),
    (["check", "cut.vexa"], 2), (["check", "absent.vexa", "clean.vexa"], 2),
    (["diff", "clean.vexa", "clean.vexa"], 0, ""), (["diff", "clean.vexa", "other.vexa"], 1),
    (["diff", "clean.vexa", "long.vexa"], 1, "signals[0]: Constant(ConstantSignalParams { "),
    (["diff", "long.vexa", "long2.vexa"], 1, "signals[0].samples: 1 of 2000 samples differ"),
    (["diff", "--json", "clean.vexa", "other.vexa"], 1, '"path": "monitor_trace_visible[15]"'),
    (["diff", "--json", "clean.vexa", "cut.vexa"], 2), (["diff", "clean.vexa"], 2),
    (["diff", "--tolerance", "-1", "clean.vexa", "other.vexa"], 2),
    (["codify", "clean.vexa"], 0, "p.save("), (["codify", "other.vexa"], 1, ""),
    (["codify", "cut.vexa"], 2), (["codify", "long.vexa"], 2),
    (["codify", "long.vexa", "-o", "dir/long.py"], 0, ""),
    (["codify", "clean.vexa", "-o", "clean.vexa"], 2), (["codify", "clean.vexa", "error.vexa"], 2),
    (["codify", "other.vexa", "--allow-changes", "-o", "dir"], 1),
    (["plot", "clean.vexa", "-o", "x.bmpx"], 2), (["plot", "-"], 2),
    (["--plot", "missing/x.png", "clean.vexa"], 2),
    ([], 2), (["--lint", "--summary", "clean.vexa"], 2), (["--json", "clean.vexa"], 2),
    (["lint", "-", "-"], 2), (["--plot"], 2), (["--version"], 0), (["lint", "--help"], 0),
    # the options of earlier versions, abbreviated as argparse allowed, anywhere
    (["--sum", "error.vexa"], 0, "\nproblems: 1 (vexa-view lint for the fixes)\n    session: "
     "intensity 0.5 is above the machine's max_intensity_setpoint 0.3\n"),
    (["error.vexa", "--lint", "--json"], 1,
     '"status": "findings",\n    "findings": [\n      {\n        "code": "intensity-above-max"'),
    (["--plot=x.bmpx", "clean.vexa"], 2),
]


@pytest.mark.parametrize("args, expected, shows", [(a, e, (s or [None])[0])
                                                  for a, e, *s in STATUS],
                         ids=[" ".join(a[0]) for a in STATUS])
def test_exit_status(files, capsys, args, expected, shows):
    assert status(args) == expected
    out, err = capsys.readouterr()
    if expected == 2 and "-h" not in args:
        assert "Traceback" not in err and err.count("\n") <= 4, err
    if expected == 0 or "--json" in args and out:
        assert err == "", err  # a JSON report says in itself which files were unreadable
    if "--json" in args and out:  # streamed, yet as json.dumps writes it
        assert out == json.dumps(json.loads(out), indent=2) + "\n"
    assert shows is None or (shows in out if shows else out == ""), out[:500]


def test_version():
    with open(os.path.join(ROOT, "meson.build"), encoding="utf-8") as f:
        declared = re.search(r"version: '([^']+)'", f.read()).group(1)
    assert version() == __version__ == declared


def run(args, **kw):
    kw.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([sys.executable, os.path.join(TOOLS, "vexa_view.py")] + args,
                          stderr=subprocess.PIPE, **kw)


@pytest.mark.parametrize("locale", ["C.UTF-8", "C"])
def test_names_that_are_not_utf8_print_as_their_bytes(tmp_path, locale):
    bad = os.path.join(os.fsencode(tmp_path), b"bad\xff.vexa")
    with open(bad, "wb") as f:
        f.write(FRESH_FILE[:-1])
    env = dict(os.environ, LC_ALL=locale)
    for args in (["lint"], ["show"], ["diff", bad]):
        proc = run([os.fsdecode(a) for a in args] + [os.fsdecode(bad)], env=env)
        assert proc.returncode == 2 and bad + b": not a valid protocol" in proc.stderr, proc.stderr
    with open(bad, "wb") as f:
        f.write(FRESH_FILE)
    proc = run(["lint", "--json", os.fsdecode(bad), os.fsdecode(bad)], env=env)
    assert json.loads(proc.stdout)[0]["file"] == os.fsdecode(bad)
    proc = run(["lint", os.fsdecode(bad)], env=env)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, bad + b": clean\n", b"")


@pytest.mark.parametrize("args", [["lint"], ["show"], ["summary"], ["diff", "other.vexa"]])
def test_a_reader_that_goes_away_is_no_error(files, args):
    read, write = os.pipe()
    os.close(read)  # gone before the first line: every write meets EPIPE
    with os.fdopen(write, "wb") as out:
        proc = run(args + ["error.vexa"], stdout=out)
    assert proc.stderr == b"" and proc.returncode in (0, 1)


def test_git_diff_through_the_textconv_driver(tmp_path):
    """The set-up the README gives, in a throwaway repository."""
    if shutil.which("git") is None:
        pytest.skip("git is not installed")
    command = f"{sys.executable} {os.path.join(TOOLS, 'vexa_view.py')} show"
    env = dict(os.environ, GIT_CONFIG_GLOBAL=os.devnull, GIT_CONFIG_NOSYSTEM="1")

    def git(*args):
        return subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", *args],
                              cwd=tmp_path, env=env, check=True, capture_output=True,
                              text=True).stdout

    git("init", "-q")
    git("config", "diff.vexa.textconv", command)
    (tmp_path / ".gitattributes").write_text("*.vexa diff=vexa\n")
    (tmp_path / "p.vexa").write_bytes(FRESH_FILE)
    git("add", ".")
    git("commit", "-qm", "fresh")
    s = fresh()
    s.intensity = 0.25
    (tmp_path / "p.vexa").write_bytes(vi.encode(s))
    changed = [line for line in git("diff").splitlines() if line[:1] in "+-"]
    assert changed[2:] == ["-        intensity: 0.0,", "+        intensity: 0.25,"]
