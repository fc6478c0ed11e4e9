"""Misuse that PyPy's C layer lets through and CPython refuses, in a child
where it could crash: a wrong `self`, a foreign type given to `__new__`,
`object.__new__`, copying, and interrupts while NumPy or a boolean is
looked at."""
import copy
import pickle

import pytest

from pyvexa import Coil
from conftest import IS_PYPY, np, run_python

ARGS = {"set_stimulation_intensity": "0.5", "set_session_duration": "1.0",
        "enable_channel": "Channel.A", "set_amplitude_source": "Coil.A1, True, 0",
        "set_modulation_source": "Channel.A, True, 0", "add_constant_signal": "1.0",
        "add_sine_signal": "1, 1, 1, 1", "add_ramp_signal": "1, 1, 1", "add_mixed_signal": "0, 0",
        "add_arbitrary_signal": "None", "get_num_samples": "", "get_sampling_rate": "",
        "save": "'x.vexa'", "__str__": ""}
CHILD = f"""
    import copy
    from pyvexa import Protocol, Coil, Channel
    def calls(selves):
        for self in selves:
            for name, args in {ARGS!r}.items():
                yield f"Protocol.{{name}}({{self}}, {{args}})"
            yield from (f"{{c}}({{self}})" for c in ["Coil.__repr__", "Coil.__int__",
                        "Channel.__repr__", "Channel.__int__"] if c[:4] not in self)
        yield from (f"Protocol.__new__({{t}})" for t in ["Coil", "int", "5", "None"])
        yield from ["copy.copy(object.__new__(Protocol))", "object.__new__(Protocol)"]
    print(json.dumps([[c] + outcome(eval, c) for c in calls(["b'x'", "Channel.B", "Coil.A1",
                                                             "object.__new__(Protocol)"])]))
"""


def test_misuse_refused(tmp_path):
    results = run_python(CHILD, cwd=tmp_path)
    assert len(results) == 4 * 14 + 12 + 4 + 2
    made = results.pop()        # CPython refuses making it; under PyPy every operation refuses it
    assert made[1] == ("ok" if IS_PYPY else "builtins.TypeError")
    for call, kind, message in results:
        assert kind == "builtins.TypeError", (call, kind, message)
        assert "argument" not in message and "missing" not in message, (call, message)
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy] +
                         [lambda p, n=n: pickle.dumps(p, n) for n in range(6)])
def test_copying_refused(proto, how):
    with pytest.raises(TypeError, match=r"^cannot pickle '(builtins\.)?Protocol' object$"):
        how(proto)


PASS = ["KeyboardInterrupt", "SystemExit", "MemoryError", "RecursionError"]
MISSING = ["ImportError", "AttributeError", "RuntimeError"]


def test_numpy_lookup_lets_interrupts_pass(tmp_path):
    results = run_python(f"""
        import builtins, types, pyvexa
        class Numpy(types.ModuleType):
            def __getattr__(self, name):
                raise error
        p, results = pyvexa.Protocol(), []
        for name in {PASS + MISSING!r}:
            error, sys.modules["numpy"] = getattr(builtins, name)("boom"), Numpy("numpy")
            results.append(outcome(p.add_arbitrary_signal, None))
        del sys.modules["numpy"]          # the real one is found afterwards
        print(json.dumps(results + [outcome(p.add_arbitrary_signal, None)]))
    """, cwd=tmp_path)
    last = results.pop()
    assert np is None or last == [
        "builtins.TypeError", "argument 'samples': 'NoneType' object cannot be cast as 'ndarray'"]
    assert results == ([["builtins." + name, "boom"] for name in PASS] + [
        ["pyo3_runtime.PanicException", f"Failed to access NumPy array API capsule: {name}: boom"]
        for name in MISSING])


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_bool_check_lets_interrupts_pass(proto, error):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__name__":
                raise error("boom")
            return type.__getattribute__(cls, name)
    with pytest.raises(error, match="^boom$"):
        proto.set_amplitude_source(Coil.A1, Meta("bool_", (), {})(), 0)
    proto.set_amplitude_source(Coil.A1, True, 7)      # not left borrowed
