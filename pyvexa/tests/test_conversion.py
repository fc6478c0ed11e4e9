"""Conversion of argument values: which objects each kind of parameter
accepts, and which errors carry the "argument 'name': " prefix."""
import decimal
import fractions
import os
import pathlib
import subprocess
import sys

import pytest

from pyvexa import Channel, Coil, Protocol
from conftest import IS_PYPY, SANITIZED, module_builds, settings_of, signals_of


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    """__float__ and __index__ both raise the given exception."""
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    __index__ = __float__


class MyTypeError(TypeError):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize("value, text", [
    (0.25, "0.25"),
    (5, "5.0"),
    (True, "1.0"),
    (IntSub(3), "3.0"),
    (HasFloat(0.75), "0.75"),
    (fractions.Fraction(1, 8), "0.125"),
    (decimal.Decimal("2.5"), "2.5"),
    (2**53 + 1, "9007199254740992.0"),
])
def test_float_rule_accepts(proto, value, text):
    proto.add_constant_signal(value)
    assert signals_of(proto) == [("Constant", {"value": text})]


@pytest.mark.parametrize("value", ["5", None, b"1.0", [1.0], HasFloat("1.0"), 1j])
def test_float_rule_refuses_with_prefix(proto, value):
    with pytest.raises(TypeError) as info:
        proto.set_session_duration(value)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'duration': ")
    assert settings_of(proto)["session_duration"] == "60.0"


def test_float_rule_and_index_only_objects(proto):
    # CPython's float conversion falls back to __index__; PyPy 3.9's does not.
    if IS_PYPY:
        with pytest.raises(TypeError) as info:
            proto.add_constant_signal(HasIndex(7))
        assert str(info.value).startswith("argument 'value': ")
        assert signals_of(proto) == []
    else:
        proto.add_constant_signal(HasIndex(7))
        assert signals_of(proto) == [("Constant", {"value": "7.0"})]


def test_float_overflow_has_no_prefix(proto):
    with pytest.raises(OverflowError) as info:
        proto.add_constant_signal(10**400)
    assert not str(info.value).startswith("argument")
    assert signals_of(proto) == []


def test_prefixed_error_keeps_cause(proto):
    root = ValueError("root")
    inner = TypeError("bad number")
    inner.__cause__ = root
    with pytest.raises(TypeError) as info:
        proto.add_sine_signal(1.0, 2.0, Raises(inner), 0.5)
    assert str(info.value) == "argument 'phase': bad number"
    assert info.value is not inner
    assert info.value.__cause__ is root


@pytest.mark.parametrize("exc", [MyTypeError("sub"), ValueError("val"), ZeroDivisionError("zero")])
def test_other_errors_pass_unchanged(proto, exc):
    with pytest.raises(BaseException) as info:
        proto.add_constant_signal(Raises(exc))
    assert info.value is exc
    with pytest.raises(BaseException) as info:
        proto.add_mixed_signal(Raises(exc), 0)
    assert info.value is exc
    assert signals_of(proto) == []


@pytest.mark.parametrize("value, text", [
    (0, "0"),
    (True, "1"),
    (False, "0"),
    (IntSub(9), "9"),
    (HasIndex(12), "12"),
    (2**64 - 1, "18446744073709551615"),
])
def test_unsigned_rule_accepts(proto, value, text):
    proto.add_mixed_signal(value, value)
    assert signals_of(proto) == [("MixedSignal", {"a_idx": text, "b_idx": text})]


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), HasIndex(-5), HasIndex(2**64)])
def test_unsigned_rule_overflow_has_no_prefix(proto, value):
    with pytest.raises(OverflowError) as info:
        proto.set_amplitude_source(Coil.A1, False, value)
    assert not str(info.value).startswith("argument")
    assert settings_of(proto) == settings_of(Protocol())


@pytest.mark.parametrize("value", [1.0, "3", None, HasFloat(1.0), HasIndex(1.5)])
def test_unsigned_rule_refuses_with_prefix(proto, value):
    with pytest.raises(TypeError) as info:
        proto.set_modulation_source(Channel.A, True, value)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'index': ")


# A stand-in for NumPy's boolean scalar: the boolean rule goes by the name
# of the type and of its module only.
FakeNumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: self.flag})
FakeNumpyBoolNoSlot = type("bool", (), {"__module__": "numpy"})


def fake_bool(flag):
    obj = FakeNumpyBool()
    obj.flag = flag
    return obj


@pytest.mark.parametrize("value, text", [
    (True, "true"), (False, "false"), (fake_bool(True), "true"), (fake_bool(False), "false"),
])
def test_bool_rule_accepts(proto, value, text):
    proto.set_amplitude_source(Coil.A2, value, 0)
    assert settings_of(proto)["channel_a_settings"]["amplitude2_source"]["external_selected"] == text


def test_bool_rule_accepts_real_numpy_bool(proto, numpy):
    proto.set_modulation_source(Channel.B, numpy.bool_(True), 4)
    assert settings_of(proto)["channel_b_settings"]["modulation_source"] == {
        "internal": "0", "external": "4", "external_selected": "true"}


@pytest.mark.parametrize("value, type_name", [
    (1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float"),
])
def test_bool_rule_refuses(proto, value, type_name):
    with pytest.raises(TypeError) as info:
        proto.set_amplitude_source(Coil.A1, value, 0)
    assert str(info.value) == f"argument 'external': '{type_name}' object cannot be cast as 'bool'"


def test_numpy_bool_without_truth_slot(proto):
    with pytest.raises(TypeError) as info:
        proto.set_amplitude_source(Coil.A1, FakeNumpyBoolNoSlot(), 0)
    message = str(info.value)
    assert message.startswith("argument 'external': object of type '")
    assert message.endswith("' does not define a '__bool__' conversion")


@pytest.mark.parametrize("call, message", [
    (lambda p: p.enable_channel(0), "argument 'channel': 'int' object cannot be cast as 'Channel'"),
    (lambda p: p.enable_channel(Coil.A1),
     "argument 'channel': 'Coil' object cannot be cast as 'Channel'"),
    (lambda p: p.enable_channel(Channel),
     "argument 'channel': 'type' object cannot be cast as 'Channel'"),
    (lambda p: p.set_amplitude_source(Channel.A, False, 0),
     "argument 'coil': 'Channel' object cannot be cast as 'Coil'"),
    (lambda p: p.set_modulation_source(Coil.B1, False, 0),
     "argument 'channel': 'Coil' object cannot be cast as 'Channel'"),
    (lambda p: p.set_modulation_source(None, False, 0),
     "argument 'channel': 'NoneType' object cannot be cast as 'Channel'"),
    (lambda p: p.save(b"x.vexa"), "argument 'filepath': 'bytes' object cannot be cast as 'str'"),
    (lambda p: p.save(pathlib.Path("x.vexa")),
     "argument 'filepath': 'PosixPath' object cannot be cast as 'str'"),
    (lambda p: p.save(bytearray(b"x.vexa")),
     "argument 'filepath': 'bytearray' object cannot be cast as 'str'"),
])
def test_class_and_text_rules_refuse(proto, in_tmp, call, message):
    before = str(proto)
    with pytest.raises(TypeError) as info:
        call(proto)
    assert str(info.value) == message
    assert str(proto) == before
    assert list(in_tmp.iterdir()) == []


def test_text_rule_accepts_str_subclass(proto, in_tmp):
    proto.save(StrSub("sub.vexa"))
    assert (in_tmp / "sub.vexa").stat().st_size == 200


def test_unencodable_text_is_not_prefixed(proto, in_tmp):
    with pytest.raises(UnicodeEncodeError):
        proto.save("\udcff.vexa")
    assert signals_of(proto) == []
    assert list(in_tmp.iterdir()) == []


# A float subclass is its own value for a float parameter, whatever its
# __float__ says (CPython's reading): the same script, the same file on both.
LIARS = """
import sys, warnings
import pyvexa
warnings.simplefilter("ignore", DeprecationWarning)
class F(float):
    __float__ = lambda self: 9.0
class Gives:
    def __init__(self, value): self.value = value
    def __float__(self): return self.value
p = pyvexa.Protocol()
p.set_stimulation_intensity(F(0.25))
p.add_sine_signal(F(-0.0), F(3), Gives(F(0.5)), F("nan"))
p.save(sys.argv[1])
"""


@pytest.mark.skipif(SANITIZED, reason="the other interpreter's build is not sanitized")
def test_same_script_same_file_on_both_interpreters(tmp_path):
    builds = module_builds()
    if len(builds) < 2:
        pytest.skip("the module is built for one interpreter only here")
    for kind, (interpreter, module_dir) in builds.items():
        subprocess.run([interpreter, "-c", LIARS, str(tmp_path / f"{kind}.vexa")], check=True,
                       env=dict(os.environ, PYTHONPATH=module_dir))
    assert (tmp_path / "pypy.vexa").read_bytes() == (tmp_path / "cpython.vexa").read_bytes()
