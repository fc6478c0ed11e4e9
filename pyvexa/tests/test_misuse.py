"""Misuse that PyPy's C layer lets through and CPython refuses: a wrong
`self`, a foreign type given to `__new__`, an object that no constructor
filled, copying, and interrupts while NumPy or a boolean is looked at.
Where a fault would crash the interpreter, the cases run in a child."""
import copy
import pickle

import pytest

from pyvexa import Coil
from conftest import run_python, settings_of

ARGS = {"set_stimulation_intensity": (0.5,), "set_session_duration": (1.0,),
        "enable_channel": ("Channel.A",), "set_amplitude_source": ("Coil.A1", True, 0),
        "set_modulation_source": ("Channel.A", True, 0), "add_constant_signal": (1.0,),
        "add_sine_signal": (1.0,) * 4, "add_ramp_signal": (1.0,) * 3, "add_mixed_signal": (0, 0),
        "add_arbitrary_signal": (None,), "get_num_samples": (), "get_sampling_rate": (),
        "save": ("'never.vexa'",)}


def test_wrong_self_refused(tmp_path):
    calls = [f"Protocol.{name}({{}}, {', '.join(map(str, args))})" for name, args in ARGS.items()]
    calls += ["Protocol.__str__({})", "Coil.__repr__({})", "Coil.__int__({})",
              "Channel.__repr__({})", "Channel.__int__({})"]
    selves = ["b'xxxx'", "Channel.B", "Coil.A1", "5", "object()"]
    names, results = run_python(f"""
        import pyvexa
        from pyvexa import Protocol, Coil, Channel
        results = []
        for call in {calls!r}:
            for self in {selves!r}:
                if call.split(".")[0] not in self:
                    results.append([call.format(self)] + outcome(eval, call.format(self)))
        for cls in ["Coil", "Channel", "int", "5", "None"]:
            results.append([cls] + outcome(eval, "Protocol.__new__(" + cls + ")"))
        print(json.dumps([sorted(n for n in dir(Protocol) if not n.startswith("_")), results]))
    """, cwd=tmp_path)
    assert names == sorted(ARGS)
    assert len(results) == (len(calls) - 4) * len(selves) + 4 * (len(selves) - 1) + 5
    for call, kind, message in results:
        assert kind == "builtins.TypeError", (call, kind, message)
        assert "argument" not in message and "missing" not in message, (call, message)
    assert not list(tmp_path.iterdir())


def test_object_new_gives_nothing_usable(tmp_path):
    made, results = run_python(f"""
        import copy
        from pyvexa import Protocol, Coil, Channel
        try:
            q = object.__new__(Protocol)
        except TypeError:
            print(json.dumps([False, []]))
            raise SystemExit
        calls = [lambda: getattr(q, name)(*[eval(str(a)) for a in args])
                 for name, args in {ARGS!r}.items()]
        print(json.dumps([True, [outcome(c) for c in calls + [lambda: str(q), lambda: copy.copy(q)]]]))
    """, cwd=tmp_path)
    assert made or results == []        # CPython refuses it being made
    assert all(kind == "builtins.TypeError" for kind, _ in results), results
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy] +
                         [lambda p, n=n: pickle.dumps(p, n) for n in range(6)])
def test_copying_refused(proto, how):
    proto.set_session_duration(5.0)
    with pytest.raises(TypeError, match=r"^cannot pickle '(builtins\.)?Protocol' object$"):
        how(proto)


PASS = ["KeyboardInterrupt", "SystemExit", "MemoryError", "RecursionError"]
MISSING = ["ImportError", "AttributeError", "RuntimeError"]


def test_numpy_lookup_lets_interrupts_pass(tmp_path):
    results = run_python(f"""
        import builtins, types
        import pyvexa
        class Numpy(types.ModuleType):
            def __getattr__(self, name):
                raise error
        p = pyvexa.Protocol()
        results = []
        for name in {PASS + MISSING!r}:
            error = getattr(builtins, name)("boom")
            sys.modules["numpy"] = Numpy("numpy")
            results.append(outcome(p.add_arbitrary_signal, None))
        del sys.modules["numpy"]          # the real one is found afterwards
        print(json.dumps(results + [outcome(p.add_arbitrary_signal, None)]))
    """, cwd=tmp_path)
    assert results[:len(PASS)] == [["builtins." + name, "boom"] for name in PASS]
    prefix = "Failed to access NumPy array API capsule: "
    assert results[len(PASS):-1] == [["pyo3_runtime.PanicException", f"{prefix}{name}: boom"]
                                     for name in MISSING]
    assert results[-1] == ["builtins.TypeError",
                           "argument 'samples': 'NoneType' object cannot be cast as 'ndarray'"]


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
    assert settings_of(proto)["channel_a_settings"]["amplitude1_source"]["external"] == "7"

