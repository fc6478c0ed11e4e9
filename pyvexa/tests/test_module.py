"""The module object, its classes and the failure exception."""
import ast
import importlib
import inspect
import os
import pickle
import sys
import weakref

import pytest

import pyvexa
from pyvexa import Channel, Coil, Protocol
from conftest import IS_PYPY, check_panic, raises_panic, run_python


def test_import_is_cached_and_reimport_gives_same_module():
    saved = sys.modules.pop("pyvexa")
    try:
        again = importlib.import_module("pyvexa")
        if IS_PYPY:
            # PyPy does not run the entry function again: it makes a new
            # module object from a copy of the first one's attributes.
            assert again is not saved
        else:
            assert again is saved
        assert again.__all__ == saved.__all__
        assert (again.Protocol, again.Channel, again.Coil) == (Protocol, Channel, Coil)
    finally:
        sys.modules["pyvexa"] = saved


def test_module_contents():
    assert pyvexa.__name__ == "pyvexa"
    assert pyvexa.__all__ == ["Protocol", "Channel", "Coil"]
    public = {name for name in dir(pyvexa) if not name.startswith("_")}
    assert public == {"Protocol", "Channel", "Coil"}
    if IS_PYPY:
        # PyPy drops an empty module doc string, so the attribute lookup
        # falls through to the doc of the module type itself.
        assert vars(pyvexa).get("__doc__", "") == ""
    else:
        assert pyvexa.__doc__ == ""


def test_import_touches_nothing_else():
    # Importing and using everything but add_arbitrary_signal never imports
    # NumPy and never reads the environment before a Protocol is made.
    result = run_python("""
        import os, tempfile
        os.environ["VEXA_TARGET_MACHINE"] = "1"
        import pyvexa
        before = "numpy" in sys.modules
        del os.environ["VEXA_TARGET_MACHINE"]
        p = pyvexa.Protocol()
        p.set_session_duration(1.0)
        p.add_constant_signal(0.5)
        p.set_amplitude_source(pyvexa.Coil.B1, False, 0)
        str(p)
        p.save(os.path.join(tempfile.mkdtemp(), "x.vexa"))
        print(json.dumps([before, "numpy" in sys.modules, str(p).split("\\n")[2]]))
    """)
    assert result == [False, False, "        running_on_target_machine: false,"]


def test_other_interpreters_leave_the_module_whole():
    # Subinterpreters (CPython) are refused, before and after the main
    # interpreter's import, leaving its module whole; a first conversion under
    # an exec's own builtins does not lend them to later calls.
    refusal = "<class 'ImportError'>: module pyvexa does not support loading in subinterpreters"
    assert run_python("""
        def in_subinterpreter():
            import _xxsubinterpreters as sub
            i = sub.create()
            try:
                sub.run_string(i, "import pyvexa")
            except Exception as e:
                return str(e)
            finally:
                sub.destroy(i)
        refused = [in_subinterpreter()] if sys.implementation.name == "cpython" else []
        import pyvexa
        refused += [in_subinterpreter()] if refused else []
        class One:
            __float__ = lambda self: 1.0
        class Refuses:
            def __float__(self):
                raise TypeError("no")
        exec("p.add_constant_signal(One())", {"__builtins__": {}, "p": pyvexa.Protocol(), "One": One})
        print(json.dumps([refused, [getattr(pyvexa, name).__name__ for name in pyvexa.__all__],
                          outcome(pyvexa.Protocol().add_constant_signal, Refuses())]))
    """) == [[] if IS_PYPY else [refusal] * 2, ["Protocol", "Channel", "Coil"],
             ["builtins.TypeError", "argument 'value': no"]]


@pytest.mark.parametrize("cls", [Protocol, Coil, Channel])
def test_class_identity(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert type(cls) is type


def test_doc_strings():
    # The class doc string is a bare call signature: the interpreters strip
    # it and expose it as the text signature instead (PyPy leaves no doc).
    assert Protocol.__doc__ == (None if IS_PYPY else "")
    assert Protocol.__text_signature__ == "()"
    assert Coil.__doc__ is None
    assert Channel.__doc__ is None


SIGNATURES = {
    "set_stimulation_intensity": "($self, intensity)",
    "set_session_duration": "($self, duration)",
    "enable_channel": "($self, channel)",
    "set_amplitude_source": "($self, coil, external, index)",
    "set_modulation_source": "($self, channel, external, index)",
    "add_constant_signal": "($self, value)",
    "add_sine_signal": "($self, amplitude, frequency, phase, depth)",
    "add_ramp_signal": "($self, peak, up_duration, down_duration)",
    "add_mixed_signal": "($self, a_idx, b_idx)",
    "add_arbitrary_signal": "($self, samples)",
    "save": "($self, filepath)",
}


def test_protocol_members():
    own = {name for name in vars(Protocol) if not name.startswith("__")}
    assert own == set(SIGNATURES) | {"get_num_samples", "get_sampling_rate"}
    assert "__repr__" not in vars(Protocol)
    assert "__str__" in vars(Protocol)


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_method_signatures(name, signature):
    method = getattr(Protocol, name)
    # The doc string is only the signature, which the interpreter strips.
    assert method.__doc__ is None
    if IS_PYPY:
        # PyPy gives built-in methods no text signature at all.
        assert not hasattr(method, "__text_signature__")
        return
    assert method.__text_signature__ == signature
    params = list(inspect.signature(method).parameters)
    assert params == ["self"] + signature[8:-1].split(", ")


def test_stub_signatures_match():
    # The stubs spell every parameter name once more, for editors; they
    # must name what the module binds (under both interpreters: the stubs
    # are read, not the module).
    stub = os.path.join(os.path.dirname(__file__), os.pardir, "pyvexa.pyi")
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Protocol")
    stubbed = {f.name: "(%s)" % ", ".join(["$self"] + [a.arg for a in f.args.args[1:]])
               for f in cls.body if isinstance(f, ast.FunctionDef) and f.name in SIGNATURES}
    assert stubbed == SIGNATURES


@pytest.mark.parametrize("cls", [Protocol, Coil, Channel])
def test_classes_are_final(cls):
    if not IS_PYPY:
        with pytest.raises(TypeError):
            class Refused(cls):
                pass
        return
    # PyPy's C-API layer accepts any type as a base. Such a subclass gets
    # nowhere: its instances are refused by every operation.
    class Sub(cls):
        pass
    with pytest.raises(TypeError):
        Sub()
    if cls is Protocol:
        sub = object.__new__(Sub)
        for call in (str, lambda s: s.add_constant_signal(1.0), lambda s: s.get_num_samples()):
            with pytest.raises(TypeError) as info:
                call(sub)
            assert str(info.value) == f"'{Sub.__qualname__}' object cannot be cast as 'Protocol'"


@pytest.mark.parametrize("obj", [Protocol(), Coil.A1, Channel.B], ids=repr)
def test_no_instance_dict_or_weakrefs(obj):
    name = f"builtins.{type(obj).__name__}"
    for assign, message in [(lambda: setattr(obj, "extra", 1), "has no attribute 'extra'"),
                            (lambda: delattr(obj, "extra"), "has no attribute 'extra'"),
                            (lambda: setattr(obj, "__repr__", 1), "attribute '__repr__' is read-only")]:
        with pytest.raises(AttributeError) as info:
            assign()
        assert str(info.value) == f"'{name}' object {message}"
    if IS_PYPY:
        # PyPy gives every object of a C type weak references.
        return
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_protocol_object_behaviour(proto):
    assert repr(proto).startswith("<builtins.Protocol object at 0x")
    assert repr(proto) != str(proto)
    other = Protocol()
    assert proto == proto and proto != other
    assert hash(proto) == hash(proto)
    with pytest.raises(TypeError):
        proto < other
    with pytest.raises(TypeError):
        pickle.dumps(proto)


def test_panic_exception_type(proto, capfd):
    with raises_panic("assertion failed: duration >= 0.01") as first:
        proto.set_session_duration(0.0)
    with pytest.raises(BaseException) as second:
        proto.set_stimulation_intensity(2.0)
    check_panic(second.value, "assertion failed: intensity >= 0.0 && intensity <= 1.0")
    cls = type(first.value)
    assert type(second.value) is cls
    assert cls.__mro__ == (cls, BaseException, object)
    assert cls.__qualname__ == "PanicException"
    assert isinstance(cls.__doc__, str) and cls.__doc__.strip()
    assert not any(vars(pyvexa)[n] is cls for n in vars(pyvexa))
    # Each failure is reported on standard error as well.
    err = capfd.readouterr().err
    assert "assertion failed: duration >= 0.01" in err
    assert "assertion failed: intensity >= 0.0 && intensity <= 1.0" in err


def test_panic_not_caught_by_except_exception(proto):
    caught = None
    try:
        try:
            proto.set_session_duration(-1.0)
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as e:
        caught = type(e).__name__
    assert caught == "PanicException"


def test_wrong_self_is_refused():
    # Unbound methods called on a foreign object must not touch its memory.
    with pytest.raises(TypeError):
        Protocol.set_session_duration(object(), 1.0)
    with pytest.raises(TypeError):
        Protocol.get_num_samples(Coil.A1)
    with pytest.raises(TypeError):
        Protocol.__str__(Channel.A)
