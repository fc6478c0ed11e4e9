"""The command: one exit-status rule in every mode, the old options as
aliases, and no traceback for a closed pipe or a file name that is not
UTF-8 (in a child of this interpreter: PyPy's streams differ)."""
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
def files(tmp_path, monkeypatch):
    """clean, error (a finding), cut (unreadable), absent, other (differs
    from clean), long (a curve too long to write into a script)."""
    monkeypatch.chdir(tmp_path)
    s = fresh()
    s.intensity = 0.5
    long = fresh()
    long.session_duration = 0.1
    long.signals = [sig("Arbitrary", list(range(500)))]
    for name, data in (("clean", FRESH_FILE), ("error", vi.encode(s)), ("cut", FRESH_FILE[:99]),
                       ("other", FRESH_FILE[:-1] + b"\x01"), ("long", vi.encode(long))):
        (tmp_path / f"{name}.vexa").write_bytes(data)
    (tmp_path / "dir").mkdir()


def status(args):
    try:
        return vi.main(args)
    except SystemExit as e:  # argparse: usage errors, --help, --version
        return e.code


# (arguments, exit status): 0 fine, 1 findings or differences, 2 unreadable or usage
STATUS = [
    (["show", "clean.vexa"], 0), (["clean.vexa", "clean.vexa"], 0), (["show", "cut.vexa"], 2),
    (["summary", "error.vexa", "clean.vexa"], 0), (["--summary", "absent.vexa"], 2),
    (["summary", "--json", "cut.vexa"], 2),
    (["lint", "clean.vexa"], 0), (["lint", "error.vexa", "clean.vexa"], 1),
    (["--lint", "error.vexa", "cut.vexa"], 2), (["lint", "--strict", "--json", "clean.vexa"], 0),
    (["check", "clean.vexa"], 0), (["--check", "error.vexa"], 1), (["check", "cut.vexa"], 2),
    (["diff", "clean.vexa", "clean.vexa"], 0), (["diff", "clean.vexa", "other.vexa"], 1),
    (["diff", "--json", "clean.vexa", "cut.vexa"], 2), (["diff", "clean.vexa"], 2),
    (["diff", "--tolerance", "-1", "clean.vexa", "other.vexa"], 2),
    (["codify", "clean.vexa"], 0), (["codify", "other.vexa"], 1), (["codify", "cut.vexa"], 2),
    (["codify", "long.vexa"], 2), (["codify", "long.vexa", "-o", "dir/long.py"], 0),
    (["codify", "clean.vexa", "-o", "clean.vexa"], 2), (["codify", "clean.vexa", "error.vexa"], 2),
    (["codify", "other.vexa", "--allow-changes", "-o", "dir"], 1),
    (["plot", "clean.vexa", "-o", "x.bmpx"], 2), (["plot", "-"], 2),
    (["--plot", "missing/x.png", "clean.vexa"], 2),
    ([], 2), (["--lint", "--summary", "clean.vexa"], 2), (["--json", "clean.vexa"], 2),
    (["lint", "-", "-"], 2), (["--plot"], 2), (["--version"], 0), (["lint", "--help"], 0),
]


@pytest.mark.parametrize("args, expected", STATUS, ids=[" ".join(a) for a, _ in STATUS])
def test_exit_status(files, capsys, args, expected):
    assert status(args) == expected
    out, err = capsys.readouterr()
    if expected == 2 and "-h" not in args:
        assert "Traceback" not in err and err.count("\n") <= 4, err
    if "--json" in args and out:
        json.loads(out)


@pytest.mark.parametrize("old, new", [
    (["clean.vexa"], ["show", "clean.vexa"]),
    (["--sum", "error.vexa"], ["summary", "error.vexa"]),
    (["error.vexa", "--lint", "--json"], ["lint", "--json", "error.vexa"]),
    (["--check", "error.vexa", "clean.vexa"], ["check", "error.vexa", "clean.vexa"]),
    (["--plot=x.bmpx", "clean.vexa"], ["plot", "-o", "x.bmpx", "clean.vexa"]),
])
def test_old_options_are_aliases(files, capsys, old, new):
    results = []
    for args in (old, new):
        results.append((status(args), *capsys.readouterr()))
    assert results[0] == results[1]


def test_reports(files, capsys):
    assert status(["lint", "clean.vexa", "error.vexa"]) == 1
    out = capsys.readouterr()[0]
    assert out.startswith("clean.vexa: clean\nerror.vexa: session: intensity 0.5")
    assert status(["check", "error.vexa"]) == 1
    assert capsys.readouterr()[0] == ""
    assert status(["summary", "--json", "error.vexa"]) == 0
    (report,) = json.loads(capsys.readouterr()[0])
    assert report["summary"]["intensity"] == "0.5" and report["status"] == "findings"
    assert report["summary"]["channels"]["B"]["modulation"] == {"signal": 0, "missing": False}
    assert status(["diff", "--json", "clean.vexa", "other.vexa"]) == 1
    assert json.loads(capsys.readouterr()[0])["differences"] == [
        {"path": "monitor_trace_visible[15]", "kind": "changed", "a": "false", "b": "true"}]
    assert status(["show", "clean.vexa", "error.vexa"]) == 0
    out = capsys.readouterr()[0]
    assert out.startswith("==> clean.vexa <==\nProtocol {") and "\n\n==> error.vexa <==\n" in out


def test_codify_writes_the_script_and_its_curves(files, capsys):
    assert status(["codify", "long.vexa", "-o", "dir/rebuild.py"]) == 0
    script = open("dir/rebuild.py").read()
    assert "levels(0, 500)" in script and '"rebuild.npy"' in script
    assert open("dir/rebuild.npy", "rb").read(6) == b"\x93NUMPY"
    assert capsys.readouterr() == ("", "")


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
    for args, stream in ([["lint"], "stderr"], [["show"], "stderr"], [["diff", bad], "stderr"]):
        proc = run([os.fsdecode(a) for a in args] + [os.fsdecode(bad)], env=env)
        assert proc.returncode == 2 and b"Traceback" not in proc.stderr, proc.stderr
        assert bad + b": not a valid protocol file" in getattr(proc, stream)
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
    env = dict(os.environ, GIT_CONFIG_GLOBAL=os.devnull, GIT_CONFIG_NOSYSTEM="1",
               GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@t")

    def git(*args):
        return subprocess.run(["git", *args], cwd=tmp_path, env=env, check=True,
                              capture_output=True, text=True).stdout

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
