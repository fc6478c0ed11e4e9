"""Shared fixtures and helpers for the pyvexa tests.

Run from the build directory that holds the compiled module, e.g.
    PYTHONPATH=. python -m pytest -q <this directory>
"""
import contextlib
import glob
import json
import os
import subprocess
import sys
import textwrap

import pytest

import pyvexa

IS_PYPY = sys.implementation.name == "pypy"
MODULE_DIR = os.path.dirname(os.path.abspath(pyvexa.__file__))
ENV_VAR = "VEXA_TARGET_MACHINE"
# Set by the sanitizer build's test environment (make check-sanitize).
SANITIZED = bool(os.environ.get("PYVEXA_SANITIZER"))
# Set by the stress tier (make check-stress): the leak and thread checks at
# their full size.
STRESS = bool(os.environ.get("PYVEXA_STRESS"))

try:
    import numpy as np
except ImportError:  # PyPy here has no NumPy; also a CPython without it
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="numpy cannot be imported")
needs_no_numpy = pytest.mark.skipif(np is not None, reason="numpy is importable")


@pytest.fixture(autouse=True)
def _no_target_machine(monkeypatch):
    """Every test starts with VEXA_TARGET_MACHINE unset; monkeypatch restores it."""
    monkeypatch.delenv(ENV_VAR, raising=False)


@pytest.fixture
def proto():
    return pyvexa.Protocol()


@pytest.fixture
def numpy():
    if np is None:
        pytest.skip("numpy cannot be imported")
    return np


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Run the test with a fresh empty directory as the working directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


# --- the failure exception -------------------------------------------------

def check_panic(exc, message=None, prefix=None):
    cls = type(exc)
    assert (cls.__module__, cls.__name__) == ("pyo3_runtime", "PanicException"), repr(exc)
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert exc.args == (str(exc),)
    if message is not None:
        assert str(exc) == message
    if prefix is not None:
        assert str(exc).startswith(prefix), str(exc)


@contextlib.contextmanager
def raises_panic(message=None, prefix=None):
    """Like pytest.raises, for the module's failure exception."""
    with pytest.raises(BaseException) as info:
        yield info
    check_panic(info.value, message, prefix)


def unwrap_message(debug_form):
    return "called `Result::unwrap()` on an `Err` value: " + debug_form


# --- reading the text form back ----------------------------------------------

def parse_text(text):
    """Reads the pretty text form into dicts (records), lists (sequences)
    and (variant, payload) tuples; scalars stay as their text. Record type
    names are dropped: the exact layout is checked against reference text
    elsewhere, this is for looking at values."""
    lines = iter(line.strip().rstrip(",") for line in text.split("\n"))

    def value(head):
        if head.endswith(" {"):
            record = {}
            while (line := next(lines)) != "}":
                name, sep, rest = line.partition(": ")
                assert sep, line
                record[name] = value(rest)
            return record
        if head == "[":
            items = []
            while (line := next(lines)) != "]":
                items.append(value(line))
            return items
        if head == "[]":
            return []
        if head.endswith("("):
            payload = value(next(lines))
            assert next(lines) == ")"
            return (head[:-1], payload)
        return head

    result = value(next(lines))
    assert next(lines, None) is None, "text goes on after the closing brace"
    return result


def settings_of(p):
    return parse_text(str(p))["settings"]


def signals_of(p):
    return settings_of(p)["signals"]


# --- child interpreters ------------------------------------------------------

def has_numpy(directory):
    return os.path.isfile(os.path.join(directory, "numpy", "__init__.py"))


def run_python(code, *, cwd=None, preexec_fn=None, timeout=300, numpy_path=True):
    """Runs `code` in a fresh interpreter of the same kind, with the module
    importable and `outcome` defined. The code reports by printing one JSON
    value as the last line of its output, which is returned. numpy_path=False
    leaves a NumPy that PYTHONPATH adds (PyPy's, built apart) off the path."""
    env = dict(os.environ)
    env.pop(ENV_VAR, None)
    env["PYTHONPATH"] = os.pathsep.join(
        [MODULE_DIR] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep)
                        if p and (numpy_path or not has_numpy(p))])
    proc = subprocess.run(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)], cwd=cwd, env=env,
        preexec_fn=preexec_fn, capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def module_builds():
    """{"pypy" | "cpython": (interpreter, module directory)}: this build, and the
    unsanitized builds beside it (`make build` makes build/pypy and build/cpython)."""
    found = {sys.implementation.name: (sys.executable, MODULE_DIR)}
    root = os.path.dirname(os.path.dirname(MODULE_DIR))
    for info in sorted(glob.glob(os.path.join(root, "*", "meson-info", "intro-buildoptions.json"))):
        with open(info) as f:
            options = {o["name"]: o["value"] for o in json.load(f)}
        module_dir = os.path.join(os.path.dirname(os.path.dirname(info)), "pyvexa")
        for kind in ("pypy", "cpython"):
            if (options.get("python") and options.get("b_sanitize") == "none"
                    and glob.glob(os.path.join(module_dir, f"pyvexa.{kind}*.so"))):
                found.setdefault(kind, (options["python"], module_dir))
    return found


# Pasted at the top of every child script: `outcome` describes the result of
# a call as a JSON-friendly pair.
CHILD_PRELUDE = """\
import json, os, sys
def outcome(fn, *args):
    try:
        return ["ok", repr(fn(*args))]
    except BaseException as e:
        return [type(e).__module__ + "." + type(e).__name__, str(e)]
"""


# --- figures for the closing summary ------------------------------------------

class ReliabilityFigures:
    """What the leak, stress and hostile-input tests measured, printed at
    the end of the run (pytest's terminal summary) for the README's
    Reliability table."""
    def __init__(self):
        self.leak_cases = 0
        self.leak_calls = 0
        self.worst = {}          # measure -> (growth, bound, case)
        self.lines = []

    def leak(self, name, calls, measures):
        self.leak_cases += 1
        self.leak_calls += calls
        for measure, (growth, bound) in measures.items():
            if measure not in self.worst or growth > self.worst[measure][0]:
                self.worst[measure] = (growth, bound, name)

    def note(self, text):
        self.lines.append(text)

    def summary(self):
        out = []
        if self.leak_cases:
            out.append(f"leaks: {self.leak_cases} cases, {self.leak_calls} calls in all")
            for measure, (growth, bound, name) in self.worst.items():
                if measure.startswith("allocated blocks"):
                    shown = f"{growth:+.4f} (bound {bound})"
                elif measure.endswith("per call"):
                    shown = f"{growth:+.3f} bytes (bound {bound})"
                else:
                    shown = f"{growth / 1024:+.0f} KiB (bound {bound // 1024} KiB)"
                out.append(f"leaks: largest growth of the {measure}: {shown}, in '{name}'")
        return out + self.lines


FIGURES = ReliabilityFigures()


@pytest.fixture
def reliability_figures():
    return FIGURES


def pytest_report_header():
    if np is None:
        return "pyvexa: NumPy cannot be imported here: the tests that need it are SKIPPED"
    return f"pyvexa: NumPy {np.__version__} from {os.path.dirname(os.path.dirname(np.__file__))}"


def pytest_terminal_summary(terminalreporter):
    lines = FIGURES.summary()
    if lines:
        terminalreporter.section(f"reliability figures ({sys.implementation.name}"
                                 f"{', sanitized' if SANITIZED else ''})")
        for line in lines:
            terminalreporter.write_line(line)
