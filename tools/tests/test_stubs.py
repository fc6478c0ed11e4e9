"""The type stubs against the module and against the calls they must allow
or reject. (stubtest, run by `make check-stubs`, compares signatures; it
does not notice a class attribute the stub invents.)"""
import ast
import os
import sys
import textwrap

import pytest

from toolsupport import ROOT

STUB = os.path.join(ROOT, "pyvexa", "pyvexa.pyi")
SLOTS = {"__str__", "__repr__", "__int__"}  # __new__: PyPy lists one for every class


def stub_tree():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read())


def stub_classes():
    classes = {}
    for node in stub_tree().body:
        if isinstance(node, ast.ClassDef):
            names = set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name != "__new__":
                    names.add(item.name)
                elif isinstance(item, ast.AnnAssign):
                    names.add(item.target.id)
            classes[node.name] = names
    return classes


def test_stub_names_match_the_module(pyvexa):
    classes = stub_classes()
    assert set(classes) == set(pyvexa.__all__) == {"Protocol", "Channel", "Coil"}
    for name, stub_names in classes.items():
        runtime = {n for n in vars(getattr(pyvexa, name))
                   if not n.startswith("__") or n in SLOTS}
        assert stub_names == runtime, name


def test_every_stub_member_is_documented():
    for node in ast.walk(stub_tree()):
        if isinstance(node, ast.ClassDef):
            assert ast.get_docstring(node), node.name
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name != "__new__":
                    assert ast.get_docstring(item), f"{node.name}.{item.name}"


# Lines marked "# E" must be rejected; every other line must pass.
USAGE = '''\
import pathlib
import numpy as np
from pyvexa import Channel, Coil, Protocol

p = Protocol()
p.set_session_duration(60)
p.set_session_duration(duration=1.5)
p.set_stimulation_intensity(np.float64(0.5))
p.enable_channel(Channel.B)
p.set_amplitude_source(Coil.B2, True, 7)
p.set_amplitude_source(coil=Coil.A1, external=np.bool_(False), index=np.int64(3))
p.set_modulation_source(Channel.A, False, True)
i: int = p.add_sine_signal(1.0, 10.0, 0.0, 0.5)
j: int = p.add_mixed_signal(i, i)
k: int = p.add_arbitrary_signal(np.zeros(p.get_num_samples()))
rate: float = p.get_sampling_rate()
n: int = int(Coil.A1) + int(Channel.B)
text: str = str(p) + repr(Coil.A1)
p.save(str(pathlib.Path("x.vexa")))
routes = {Coil.A1: 1}
Coil.A1 < Coil.A2  # E: no ordering
[10, 20][Channel.B]  # E: not an index
p.save(pathlib.Path("x.vexa"))  # E: str only
p.save(b"x.vexa")  # E
p.set_amplitude_source(Coil.A1, 1, 0)  # E: bool only
p.set_amplitude_source(Channel.A, True, 0)  # E: a Coil
p.enable_channel(Coil.A1)  # E
p.set_modulation_source(Channel.A, True, 1.0)  # E: an index, not a float
p.set_session_duration("5")  # E
p.add_arbitrary_signal([0.0, 1.0])  # E: an array
p.add_arbitrary_signal(np.arange(3))  # E: float64 only (numpy's typing lets float32 pass)
none: None = p.add_constant_signal(0.0)  # E: returns the position
p.get_num_samples(1)  # E
Protocol(1)  # E
x = Coil.A3  # E
class Mine(Protocol): ...  # E: final
'''


def test_stubs_accept_and_reject_the_right_calls(tmp_path):
    # What mypy reads of the stubs does not depend on the interpreter that
    # runs it; under PyPy mypy runs uncompiled, 20 s instead of 1.5.
    if sys.implementation.name != "cpython":
        pytest.skip("mypy checks the stubs once, under CPython")
    api = pytest.importorskip("mypy.api", reason="mypy is not installed")
    pytest.importorskip("numpy")
    source = tmp_path / "usage.py"
    source.write_text(USAGE)
    env_before = os.environ.get("MYPYPATH")
    os.environ["MYPYPATH"] = os.path.dirname(STUB)
    try:
        out, err, status = api.run([
            "--strict", "--no-incremental", "--cache-dir", os.devnull, "--show-error-codes",
            "--no-error-summary", str(source)])
    finally:
        if env_before is None:
            del os.environ["MYPYPATH"]
        else:
            os.environ["MYPYPATH"] = env_before
    expected = {i for i, line in enumerate(USAGE.splitlines(), 1) if "# E" in line}
    reported = {int(line.split(":")[1]) for line in out.splitlines()
                if line.startswith(str(source)) and ": error:" in line}
    assert reported == expected, textwrap.indent(out + err, "  ")
