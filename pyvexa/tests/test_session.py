"""Session duration, intensity, channel enabling and source routing."""
import math

import pytest

from pyvexa import Channel, Coil, Protocol
from conftest import raises_panic, settings_of

INF, NAN = math.inf, math.nan
MAX_MSG = "assertion failed: duration <= config::MAX_SESSION_DURATION"
MIN_MSG = "assertion failed: duration >= 0.01"
INTENSITY_MSG = "assertion failed: intensity >= 0.0 && intensity <= 1.0"


def test_fresh_protocol(proto):
    assert proto.get_num_samples() == 300000
    rate = proto.get_sampling_rate()
    assert rate == 5000.0 and type(rate) is float


@pytest.mark.parametrize("duration, text, samples", [
    (0.01, "0.01", 50),
    (1800.0, "1800.0", 9000000),
    (60, "60.0", 300000),
    (0.1, "0.1", 500),
    (0.3, "0.3", 1500),
    # The product is rounded to double before rounding up: no tolerance.
    (0.07, "0.07", 351),
    (0.035, "0.035", 176),
    (0.101, "0.101", 506),
    (0.0123, "0.0123", 62),
    (math.nextafter(0.01, INF), "0.010000000000000002", 51),
    (math.nextafter(1800.0, 0.0), "1799.9999999999998", 9000000),
])
def test_duration_accepted(proto, duration, text, samples):
    proto.set_session_duration(duration)
    assert settings_of(proto)["session_duration"] == text
    assert proto.get_num_samples() == samples
    assert proto.get_sampling_rate() == 5000.0


@pytest.mark.parametrize("duration, message", [
    (math.nextafter(1800.0, INF), MAX_MSG),
    (2000.0, MAX_MSG),
    (NAN, MAX_MSG),
    (INF, MAX_MSG),
    (math.nextafter(0.01, 0.0), MIN_MSG),
    (0.0, MIN_MSG),
    (-0.0, MIN_MSG),
    (-5.0, MIN_MSG),
    (-INF, MIN_MSG),
    (0, MIN_MSG),
])
def test_duration_refused(proto, duration, message):
    proto.set_session_duration(30.0)
    before = str(proto)
    with raises_panic(message):
        proto.set_session_duration(duration)
    assert str(proto) == before
    assert proto.get_num_samples() == 150000


@pytest.mark.parametrize("intensity, text", [
    (0.0, "0.0"), (1.0, "1.0"), (0.5, "0.5"), (-0.0, "-0.0"), (1, "1.0"),
    (5e-324, "5e-324"), (math.nextafter(1.0, 0.0), "0.9999999999999999"),
])
def test_intensity_accepted(proto, intensity, text):
    proto.set_stimulation_intensity(intensity)
    expected = settings_of(Protocol())
    expected["intensity"] = text
    assert settings_of(proto) == expected


@pytest.mark.parametrize("intensity", [
    1.5, -0.25, NAN, INF, -INF, math.nextafter(1.0, 2.0), -5e-324, 2,
])
def test_intensity_refused(proto, intensity):
    proto.set_stimulation_intensity(0.25)
    before = str(proto)
    with raises_panic(INTENSITY_MSG):
        proto.set_stimulation_intensity(intensity)
    assert str(proto) == before


def test_enable_channel(proto):
    fresh = settings_of(proto)
    proto.enable_channel(Channel.A)
    assert settings_of(proto) == fresh
    proto.enable_channel(channel=Channel.B)
    expected = settings_of(Protocol())
    expected["channel_b_settings"]["enabled"] = "true"
    assert settings_of(proto) == expected
    proto.enable_channel(Channel.B)
    assert settings_of(proto) == expected


def source(internal, external, selected):
    return {"internal": str(internal), "external": str(external), "external_selected": selected}


AMPLITUDE_FIELDS = [
    (Coil.A1, "channel_a_settings", "amplitude1_source"),
    (Coil.A2, "channel_a_settings", "amplitude2_source"),
    (Coil.B1, "channel_b_settings", "amplitude1_source"),
    (Coil.B2, "channel_b_settings", "amplitude2_source"),
]
MODULATION_FIELDS = [
    (Channel.A, "channel_a_settings", "modulation_source"),
    (Channel.B, "channel_b_settings", "modulation_source"),
]


def check_routing(p, set_source, channel_key, field):
    # Only the selected source changes, and it is overwritten as a whole.
    expected = settings_of(Protocol())
    set_source(True, 7)
    expected[channel_key][field] = source(0, 7, "true")
    assert settings_of(p) == expected
    set_source(False, 3)
    expected[channel_key][field] = source(3, 0, "false")
    assert settings_of(p) == expected
    set_source(True, 0)
    expected[channel_key][field] = source(0, 0, "true")
    assert settings_of(p) == expected
    set_source(False, 2**64 - 1)
    expected[channel_key][field] = source(2**64 - 1, 0, "false")
    assert settings_of(p) == expected


@pytest.mark.parametrize("coil, channel_key, field", AMPLITUDE_FIELDS, ids=repr)
def test_amplitude_routing(proto, coil, channel_key, field):
    check_routing(proto, lambda ext, idx: proto.set_amplitude_source(coil, ext, idx),
                  channel_key, field)


@pytest.mark.parametrize("channel, channel_key, field", MODULATION_FIELDS, ids=repr)
def test_modulation_routing(proto, channel, channel_key, field):
    check_routing(proto, lambda ext, idx: proto.set_modulation_source(channel, ext, idx),
                  channel_key, field)


def test_routing_by_keyword_and_unchecked_index(proto):
    proto.set_amplitude_source(index=3, external=False, coil=Coil.B2)
    proto.set_modulation_source(external=False, index=12, channel=Channel.A)
    s = settings_of(proto)
    assert s["channel_b_settings"]["amplitude2_source"] == source(3, 0, "false")
    assert s["channel_a_settings"]["modulation_source"] == source(12, 0, "false")
    assert s["signals"] == []
    # External inputs are not checked against the machine's six either.
    proto.set_modulation_source(Channel.B, True, 99)
    assert settings_of(proto)["channel_b_settings"]["modulation_source"] == source(0, 99, "true")


def test_failed_routing_changes_nothing(proto):
    proto.set_amplitude_source(Coil.A1, True, 5)
    before = str(proto)
    for bad in [lambda: proto.set_amplitude_source(Coil.A1, 1, 6),
                lambda: proto.set_amplitude_source(Coil.A1, False, -6),
                lambda: proto.set_amplitude_source(Channel.A, False, 6),
                lambda: proto.set_modulation_source(Channel.A, False, 1.0)]:
        with pytest.raises((TypeError, OverflowError)):
            bad()
        assert str(proto) == before
