"""Overlapping use of one Protocol is refused, never waited for, and a call
always gives its borrow back."""
import threading

import pytest

from pyvexa import Channel, Coil, Protocol
from conftest import settings_of, signals_of

SHARED_REFUSED = "Already mutably borrowed"
EXCLUSIVE_REFUSED = "Already borrowed"


class CallsBack:
    """A number whose conversion runs `action` and records what it raised."""
    def __init__(self, action, value=1.0):
        self.action, self.value, self.seen = action, value, None

    def _run(self):
        try:
            self.action()
        except BaseException as e:
            self.seen = e
        return self.value

    def __float__(self):
        return float(self._run())

    def __index__(self):
        return int(self._run())


INNER_CALLS = [
    ("get_sampling_rate", lambda p: p.get_sampling_rate(), SHARED_REFUSED),
    ("str", lambda p: str(p), SHARED_REFUSED),
    ("get_num_samples", lambda p: p.get_num_samples(), EXCLUSIVE_REFUSED),
    ("set_stimulation_intensity", lambda p: p.set_stimulation_intensity(0.5), EXCLUSIVE_REFUSED),
    ("enable_channel", lambda p: p.enable_channel(Channel.B), EXCLUSIVE_REFUSED),
    ("add_constant_signal", lambda p: p.add_constant_signal(1.0), EXCLUSIVE_REFUSED),
    ("save", lambda p: p.save("never-written.vexa"), EXCLUSIVE_REFUSED),
    # A borrow conflict comes before a bad argument value...
    ("bad value", lambda p: p.set_session_duration("x"), EXCLUSIVE_REFUSED),
]


@pytest.mark.parametrize("name, inner, message", INNER_CALLS, ids=[c[0] for c in INNER_CALLS])
def test_reentry_through_float(proto, in_tmp, name, inner, message):
    arg = CallsBack(lambda: inner(proto), 30.0)
    proto.set_session_duration(arg)
    assert type(arg.seen) is RuntimeError
    assert str(arg.seen) == message
    # The inner call changed nothing; the outer one took effect.
    expected = settings_of(Protocol())
    expected["session_duration"] = "30.0"
    assert settings_of(proto) == expected
    assert list(in_tmp.iterdir()) == []


def test_reentry_through_index(proto):
    arg = CallsBack(lambda: proto.add_constant_signal(2.0), 4)
    assert proto.add_mixed_signal(0, arg) == 0
    assert str(arg.seen) == EXCLUSIVE_REFUSED
    assert signals_of(proto) == [("MixedSignal", {"a_idx": "0", "b_idx": "4"})]


def test_binding_error_comes_before_borrow_conflict(proto):
    arg = CallsBack(lambda: proto.set_session_duration())
    proto.add_constant_signal(arg)
    assert type(arg.seen) is TypeError
    assert "missing 1 required positional argument" in str(arg.seen)


def test_conflict_raised_from_conversion_ends_outer_call(proto):
    class Propagates:
        def __float__(self):
            return proto.get_sampling_rate()

    with pytest.raises(RuntimeError) as info:
        proto.add_constant_signal(Propagates())
    assert type(info.value) is RuntimeError
    assert str(info.value) == SHARED_REFUSED
    assert signals_of(proto) == []
    assert proto.add_constant_signal(1.0) == 0


def test_other_objects_are_independent(proto):
    other = Protocol()
    arg = CallsBack(lambda: other.set_session_duration(2.0), 3.0)
    proto.set_session_duration(arg)
    assert arg.seen is None
    assert settings_of(other)["session_duration"] == "2.0"
    assert settings_of(proto)["session_duration"] == "3.0"


def test_members_passed_as_arguments_never_conflict(proto):
    other = Protocol()
    # Coil.B1 is held by the outer call while the inner one uses it too.
    arg = CallsBack(lambda: other.set_amplitude_source(Coil.B1, True, repr(Coil.B1) == "Coil.B1"), 5)
    proto.set_amplitude_source(Coil.B1, False, arg)
    assert arg.seen is None
    assert settings_of(proto)["channel_b_settings"]["amplitude1_source"]["internal"] == "5"
    assert settings_of(other)["channel_b_settings"]["amplitude1_source"]["external"] == "1"
    assert int(Coil.B1) == 2


FAILING_CALLS = [
    lambda p: p.set_session_duration(0.0),                 # assertion
    lambda p: p.set_stimulation_intensity(float("nan")),   # assertion
    lambda p: p.set_session_duration("x"),                 # TypeError
    lambda p: p.add_mixed_signal(-1, 0),                   # OverflowError
    lambda p: p.add_constant_signal(),                     # binding
    lambda p: p.enable_channel(Coil.A1),                   # class rule
    lambda p: p.save("wrong.txt"),                         # extension
    lambda p: p.save("no/such/dir/x.vexa"),                # file system
    lambda p: p.add_arbitrary_signal([0.0]),               # array form or no NumPy
    lambda p: p.add_constant_signal(type("F", (), {"__float__": lambda s: 1 / 0})()),
]


@pytest.mark.parametrize("call", FAILING_CALLS)
def test_borrow_released_after_failure(proto, in_tmp, call):
    with pytest.raises(BaseException):
        call(proto)
    # Both kinds of borrow can be taken again.
    assert proto.get_num_samples() == 300000
    assert str(proto).startswith("Protocol {")
    assert proto.get_sampling_rate() == 5000.0


def test_second_thread_is_refused_while_first_runs_python(proto):
    entered, release = threading.Event(), threading.Event()
    outcome = {}

    class Waits:
        def __float__(self):
            entered.set()
            release.wait(30)
            return 45.0

    def worker():
        try:
            proto.set_session_duration(Waits())
            outcome["worker"] = "ok"
        except BaseException as e:
            outcome["worker"] = repr(e)

    thread = threading.Thread(target=worker)
    thread.start()
    try:
        assert entered.wait(30)
        refused = {}
        for name, call in [("rate", lambda: proto.get_sampling_rate()),
                           ("str", lambda: str(proto)),
                           ("samples", lambda: proto.get_num_samples()),
                           ("add", lambda: proto.add_constant_signal(1.0)),
                           ("intensity", lambda: proto.set_stimulation_intensity(0.1))]:
            with pytest.raises(RuntimeError) as info:
                call()
            refused[name] = str(info.value)
        # Another protocol is usable meanwhile.
        other = Protocol()
        assert other.add_constant_signal(1.0) == 0
    finally:
        release.set()
        thread.join(30)
    assert refused == {"rate": SHARED_REFUSED, "str": SHARED_REFUSED, "samples": EXCLUSIVE_REFUSED,
                       "add": EXCLUSIVE_REFUSED, "intensity": EXCLUSIVE_REFUSED}
    assert outcome == {"worker": "ok"}
    expected = settings_of(Protocol())
    expected["session_duration"] = "45.0"
    assert settings_of(proto) == expected


def test_objects_move_between_threads():
    made = []
    thread = threading.Thread(target=lambda: made.append(Protocol()))
    thread.start()
    thread.join()
    p = made[0]
    assert p.add_constant_signal(0.5) == 0
    p.set_amplitude_source(Coil.A1, True, 1)
    assert signals_of(p) == [("Constant", {"value": "0.5"})]
