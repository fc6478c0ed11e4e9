"""Install the package the ways the user guide describes, into throwaway
places, and use it from outside the source tree. Slow (a full build each):
deselect with -m "not install". Skipped when the tools are missing."""
import glob
import json
import os
import shutil
import subprocess

import pytest

from pyvexa_tools import __version__
from toolsupport import ROOT

pytestmark = pytest.mark.install

CPYTHON = "/usr/bin/python3"
INTERPRETERS = {"cpython": CPYTHON, "pypy": "pypy3"}

# Imports the installed module from a neutral directory and reports where
# it came from, what a small protocol looks like, and where it was saved.
USE = """
import json, os, sys
import pyvexa
p = pyvexa.Protocol()
p.add_sine_signal(1.0, 10.0, 0.0, 0.5)
p.enable_channel(pyvexa.Channel.B)  # a route on a channel left off is a warning
p.set_modulation_source(pyvexa.Channel.B, True, 2)
p.save("installed.vexa")
print(json.dumps({"module": pyvexa.__file__, "text": str(p),
                  "file": os.path.abspath("installed.vexa")}))
"""


def run(cmd, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=1800, **kw)
    assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
    return proc.stdout


def require(interpreter, *modules):
    exe = shutil.which(interpreter)
    if exe is None:
        pytest.skip(f"{interpreter} is not installed")
    for tool in ("meson", "ninja"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed")
    probe = subprocess.run([exe, "-c", "import sys; " + "".join(f"import {m}; " for m in modules)],
                           capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"{interpreter} cannot import {', '.join(modules)}")
    return exe


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """A copy of the source tree: the build writes into it, and it must not
    race with builds in the working tree."""
    dst = tmp_path_factory.mktemp("src") / "pyvexa"
    shutil.copytree(ROOT, dst, ignore=shutil.ignore_patterns(
        ".git", "build", "build-*", "__pycache__", ".pytest_cache", ".mypy_cache", "*.vexa",
        ".mesonpy*"))
    return dst


def check_use(python, command, where, tmp_path, env=None):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    report = json.loads(run([python, "-c", USE], cwd=elsewhere, env=env).strip().splitlines()[-1])
    module_dir = os.path.dirname(report["module"])
    assert module_dir.startswith(str(where)), report["module"]
    with open(os.path.join(ROOT, "pyvexa", "pyvexa.pyi"), encoding="utf-8") as f:
        stub = f.read()
    for installed in ("pyvexa.pyi", os.path.join("pyvexa-stubs", "__init__.pyi")):
        with open(os.path.join(module_dir, installed), encoding="utf-8") as f:
            assert f.read() == stub, installed
    assert os.path.exists(os.path.join(module_dir, "pyvexa-stubs", "py.typed"))
    inspected = run([python, os.path.join(ROOT, "tools", "vexa_view.py"), report["file"]],
                    env=env)
    assert inspected == report["text"] + "\n"
    check_command(command, python, report, elsewhere, env)
    return module_dir


def check_command(command, python, report, cwd, env):
    """The installed vexa-view, run from outside the tree: the full text,
    the checker, and a picture (CPython) or the message why not (PyPy)."""
    assert run([command, report["file"]], cwd=cwd, env=env) == report["text"] + "\n"
    assert run([python, "-m", "pyvexa_tools", "--lint", report["file"]], cwd=cwd,
               env=env) == report["file"] + ": clean\n"
    assert run([command, "--version"], cwd=cwd, env=env).startswith(f"vexa-view {__version__} (")
    assert run([command, "diff", report["file"], report["file"]], cwd=cwd, env=env) == ""
    run([command, "codify", report["file"], "-o", "rebuild.py"], cwd=cwd, env=env)
    run([python, "rebuild.py", "rebuilt.vexa"], cwd=cwd, env=env)
    assert (cwd / "rebuilt.vexa").read_bytes() == open(report["file"], "rb").read()
    lint = subprocess.run([command, "--lint", "--json", report["file"], "absent.vexa"],
                          capture_output=True, text=True, cwd=cwd, env=env)
    assert lint.returncode == 2
    assert [r["status"] for r in json.loads(lint.stdout)] == ["clean", "unreadable"]
    plot = subprocess.run([command, "--plot", "p.png", report["file"]], capture_output=True,
                          text=True, cwd=cwd, env=env)
    has_matplotlib = subprocess.run([python, "-c", "import matplotlib.pyplot"], env=env,
                                    capture_output=True).returncode == 0
    if has_matplotlib:
        assert plot.returncode == 0, plot.stderr
        assert (cwd / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert plot.returncode == 2 and "needs matplotlib" in plot.stderr


def clean_env():
    env = dict(os.environ)
    for var in ("PYTHONPATH", "VEXA_TARGET_MACHINE"):
        env.pop(var, None)
    env["PIP_NO_INDEX"] = "1"
    return env


@pytest.mark.parametrize("kind", sorted(INTERPRETERS))
def test_pip_install_into_a_venv(kind, source, tmp_path):
    exe = require(INTERPRETERS[kind], "pip", "mesonpy")
    venv = tmp_path / "venv"
    env = clean_env()
    # The system's pip and meson-python serve the venv through its system
    # site-packages; nothing is downloaded.
    run([exe, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], env=env)
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", str(source)],
        env=env)
    module_dir = check_use(python, str(venv / "bin" / "vexa-view"), venv, tmp_path, env=env)

    mypy = subprocess.run([CPYTHON, "-c", "import mypy"], capture_output=True)
    if mypy.returncode == 0:
        # mypy must find the installed stubs with no help from MYPYPATH.
        (tmp_path / "typed.py").write_text(
            "import pyvexa\npyvexa.Protocol().set_session_duration('5')\n")
        check = subprocess.run(
            [CPYTHON, "-m", "mypy", "--python-executable", python, "--cache-dir", os.devnull,
             "--no-incremental", str(tmp_path / "typed.py")],
            capture_output=True, text=True, env=env, cwd=tmp_path)
        assert check.returncode == 1 and 'Argument 1 to "set_session_duration"' in check.stdout, (
            check.stdout + check.stderr)

    run([python, "-m", "pip", "uninstall", "-y", "pyvexa"], env=env)
    assert not glob.glob(os.path.join(module_dir, "pyvexa*")), os.listdir(module_dir)
    assert not os.path.exists(venv / "bin" / "vexa-view")


def test_meson_install_for_pypy_into_a_directory(source, tmp_path):
    exe = require("pypy3")
    build, site = tmp_path / "build", tmp_path / "site-packages"
    env = clean_env()
    setup = run(["meson", "setup", str(build), str(source), "-Dpython=" + exe,
                 "-Dmodel_tests=false", "-Dpython.platlibdir=" + str(site),
                 "--prefix=" + str(tmp_path / "prefix")], env=env)
    assert "WARNING" not in setup, setup
    run(["meson", "install", "-C", str(build), "--quiet"], env=env)
    assert len(glob.glob(str(site / "pyvexa.pypy*.so"))) == 1, os.listdir(site)
    env["PYTHONPATH"] = str(site)
    check_use(exe, str(tmp_path / "prefix" / "bin" / "vexa-view"), site, tmp_path, env=env)
    assert sorted(os.listdir(site / "pyvexa_tools")) == sorted(
        f for f in os.listdir(os.path.join(ROOT, "tools", "pyvexa_tools"))
        if f != "__pycache__")
    run(["ninja", "-C", str(build), "uninstall"], env=env)
    assert not os.path.exists(site / "pyvexa_tools")
    assert not os.path.exists(tmp_path / "prefix" / "bin" / "vexa-view")
