"""Constant, sine, ramp and mixed signals: positions and stored values."""
import math

import pytest

from pyvexa import Coil
from conftest import signals_of


def constant(text):
    return ("Constant", {"value": text})


def test_positions_count_up(proto):
    assert proto.add_constant_signal(0.5) == 0
    assert proto.add_sine_signal(1.0, 10.0, 0.0, 0.5) == 1
    assert proto.add_ramp_signal(1.0, 0.25, 2e-5) == 2
    position = proto.add_mixed_signal(0, 1)
    assert position == 3 and type(position) is int
    assert signals_of(proto) == [
        constant("0.5"),
        ("Sine", {"amplitude": "1.0", "frequency": "10.0", "phase": "0.0", "depth": "0.5"}),
        ("Ramp", {"peak": "1.0", "up_duration": "0.25", "down_duration": "2e-5"}),
        ("MixedSignal", {"a_idx": "0", "b_idx": "1"}),
    ]


def test_keyword_arguments(proto):
    proto.add_sine_signal(depth=0.25, phase=3.0, frequency=2.0, amplitude=1.5)
    proto.add_ramp_signal(down_duration=3.0, peak=0.5, up_duration=1.0)
    proto.add_mixed_signal(b_idx=7, a_idx=6)
    proto.add_constant_signal(value=-1.0)
    assert signals_of(proto) == [
        ("Sine", {"amplitude": "1.5", "frequency": "2.0", "phase": "3.0", "depth": "0.25"}),
        ("Ramp", {"peak": "0.5", "up_duration": "1.0", "down_duration": "3.0"}),
        ("MixedSignal", {"a_idx": "6", "b_idx": "7"}),
        constant("-1.0"),
    ]


def test_values_are_not_checked(proto):
    proto.add_sine_signal(math.nan, -10.0, math.inf, 1.5)
    proto.add_ramp_signal(-1.0, 0.0, -0.0)
    proto.add_constant_signal(-math.inf)
    assert signals_of(proto) == [
        ("Sine", {"amplitude": "NaN", "frequency": "-10.0", "phase": "inf", "depth": "1.5"}),
        ("Ramp", {"peak": "-1.0", "up_duration": "0.0", "down_duration": "-0.0"}),
        constant("-inf"),
    ]


@pytest.mark.parametrize("existing, a_idx, b_idx, position", [
    (2, 5, 5, 2),                   # both past the end
    (0, 0, 0, 0),                   # names itself
    (1, 1, 0, 1),
    (3, 2**64 - 1, 2**63, 3),
])
def test_mixed_indices_stored_unchanged(proto, existing, a_idx, b_idx, position):
    for _ in range(existing):
        proto.add_constant_signal(0.0)
    assert proto.add_mixed_signal(a_idx, b_idx) == position
    assert signals_of(proto)[-1] == ("MixedSignal", {"a_idx": str(a_idx), "b_idx": str(b_idx)})
    assert len(signals_of(proto)) == existing + 1


@pytest.mark.parametrize("call", [
    lambda p: p.add_sine_signal(1.0, 2.0, 3.0, "x"),
    lambda p: p.add_ramp_signal(1.0, None, 1.0),
    lambda p: p.add_mixed_signal(0, -1),
    lambda p: p.add_mixed_signal(0.0, 1),
    lambda p: p.add_constant_signal(10**400),
])
def test_failed_add_appends_nothing(proto, call):
    proto.add_constant_signal(0.5)
    with pytest.raises((TypeError, OverflowError)):
        call(proto)
    assert signals_of(proto) == [constant("0.5")]
    assert proto.add_constant_signal(0.25) == 1


def test_many_signals(proto):
    for i in range(2000):
        assert proto.add_constant_signal(float(i)) == i
    signals = signals_of(proto)
    assert len(signals) == 2000
    assert signals[1999] == constant("1999.0")


def test_signals_independent_of_routing(proto):
    proto.add_constant_signal(1.0)
    proto.set_amplitude_source(Coil.A1, False, 0)
    proto.set_session_duration(1.0)
    assert proto.add_constant_signal(2.0) == 1
