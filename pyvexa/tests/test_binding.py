"""Binding of positional and keyword arguments to parameter names."""
import pytest

from pyvexa import Coil, Protocol


def missing(method, text):
    return f"Protocol.{method}() missing {text}"


MISSING = [
    ("set_session_duration", (), {},
     missing("set_session_duration", "1 required positional argument: 'duration'")),
    ("save", (), {}, missing("save", "1 required positional argument: 'filepath'")),
    ("add_mixed_signal", (0,), {}, missing("add_mixed_signal", "1 required positional argument: 'b_idx'")),
    ("add_mixed_signal", (), {},
     missing("add_mixed_signal", "2 required positional arguments: 'a_idx' and 'b_idx'")),
    ("add_mixed_signal", (), {"b_idx": 1},
     missing("add_mixed_signal", "1 required positional argument: 'a_idx'")),
    ("add_sine_signal", (1.0,), {},
     missing("add_sine_signal", "3 required positional arguments: 'frequency', 'phase', and 'depth'")),
    ("add_sine_signal", (), {},
     missing("add_sine_signal",
             "4 required positional arguments: 'amplitude', 'frequency', 'phase', and 'depth'")),
    ("add_sine_signal", (1.0,), {"depth": 0.5},
     missing("add_sine_signal", "2 required positional arguments: 'frequency' and 'phase'")),
    ("add_ramp_signal", (), {"up_duration": 1.0},
     missing("add_ramp_signal", "2 required positional arguments: 'peak' and 'down_duration'")),
    ("set_amplitude_source", (Coil.A1,), {},
     missing("set_amplitude_source", "2 required positional arguments: 'external' and 'index'")),
    ("set_modulation_source", (), {},
     missing("set_modulation_source",
             "3 required positional arguments: 'channel', 'external', and 'index'")),
    ("add_arbitrary_signal", (), {},
     missing("add_arbitrary_signal", "1 required positional argument: 'samples'")),
]

TOO_MANY = [
    ("set_session_duration", (1.0, 2.0), {},
     "Protocol.set_session_duration() takes 1 positional arguments but 2 were given"),
    ("save", ("a.vexa", "b.vexa"), {}, "Protocol.save() takes 1 positional arguments but 2 were given"),
    ("add_mixed_signal", (0, 1, 2), {},
     "Protocol.add_mixed_signal() takes 2 positional arguments but 3 were given"),
    ("add_sine_signal", (1.0, 2.0, 3.0, 4.0, 5.0, 6.0), {},
     "Protocol.add_sine_signal() takes 4 positional arguments but 6 were given"),
    # Surplus positionals are reported before any keyword problem.
    ("set_session_duration", (1.0, 2.0), {"bogus": 1},
     "Protocol.set_session_duration() takes 1 positional arguments but 2 were given"),
]

KEYWORDS = [
    ("set_session_duration", (), {"seconds": 1.0},
     "Protocol.set_session_duration() got an unexpected keyword argument 'seconds'"),
    # Names match by their full length and exact bytes.
    ("set_session_duration", (), {"durations": 1.0},
     "Protocol.set_session_duration() got an unexpected keyword argument 'durations'"),
    ("set_session_duration", (), {"dur": 1.0},
     "Protocol.set_session_duration() got an unexpected keyword argument 'dur'"),
    ("set_session_duration", (), {"Duration": 1.0},
     "Protocol.set_session_duration() got an unexpected keyword argument 'Duration'"),
    ("save", (), {"self": "x.vexa"}, "Protocol.save() got an unexpected keyword argument 'self'"),
    ("set_session_duration", (1.0,), {"duration": 2.0},
     "Protocol.set_session_duration() got multiple values for argument 'duration'"),
    ("add_mixed_signal", (0,), {"b_idx": 1, "a_idx": 2},
     "Protocol.add_mixed_signal() got multiple values for argument 'a_idx'"),
    # Keywords are taken in the order given: the first problem is reported.
    ("add_mixed_signal", (0,), {"x": 1, "a_idx": 2},
     "Protocol.add_mixed_signal() got an unexpected keyword argument 'x'"),
    ("add_mixed_signal", (0,), {"a_idx": 2, "x": 1},
     "Protocol.add_mixed_signal() got multiple values for argument 'a_idx'"),
    # Keyword problems come before missing parameters and before conversion.
    ("add_sine_signal", (), {"x": 1},
     "Protocol.add_sine_signal() got an unexpected keyword argument 'x'"),
    ("set_session_duration", ("not a number",), {"y": 1},
     "Protocol.set_session_duration() got an unexpected keyword argument 'y'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", MISSING + TOO_MANY + KEYWORDS)
def test_binding_errors(proto, method, args, kwargs, message):
    before = str(proto)
    with pytest.raises(TypeError) as info:
        getattr(proto, method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert str(proto) == before


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "Protocol.__new__() takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, "Protocol.__new__() takes 0 positional arguments but 2 were given"),
    ((), {"x": 1}, "Protocol.__new__() got an unexpected keyword argument 'x'"),
])
def test_constructor_takes_nothing(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Protocol(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("call", [
    lambda p: p.get_num_samples(1),
    lambda p: p.get_sampling_rate(1),
    lambda p: p.get_num_samples(x=1),
    lambda p: p.get_sampling_rate(rate=1),
])
def test_getters_take_no_arguments(proto, call):
    with pytest.raises(TypeError):
        call(proto)


def test_conversion_follows_parameter_order(proto):
    # All three arguments are bad; the first parameter's is reported,
    # whatever order the keywords came in.
    with pytest.raises(TypeError) as info:
        proto.set_amplitude_source(index=-1, external=1, coil=0)
    assert str(info.value) == "argument 'coil': 'int' object cannot be cast as 'Coil'"
