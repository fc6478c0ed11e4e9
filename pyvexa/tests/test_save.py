"""Saving a protocol: the bytes of the file and how save fails."""
import os
import struct

import pytest

from pyvexa import Channel, Coil, Protocol
from conftest import ENV_VAR, raises_panic, signals_of, unwrap_message
from golden import CHANNEL_A_OFFSET, FRESH_FILE, SIGNALS_END, SIGNALS_OFFSET

EXTENSION_MSG = 'assertion failed: filepath.ends_with(".vexa")'
FILLED_IN = [("Constant", {"value": "0.0"})]


def with_signals(encoded, count, head=FRESH_FILE):
    """The fresh file with its signal list replaced."""
    return head[:SIGNALS_OFFSET] + bytes([count]) + encoded + head[SIGNALS_END:]


def test_fresh_protocol_file(proto, in_tmp):
    proto.save("fresh.vexa")
    assert (in_tmp / "fresh.vexa").read_bytes() == FRESH_FILE
    # The empty signal list was filled in, and stays so.
    assert signals_of(proto) == FILLED_IN
    proto.save("again.vexa")
    assert (in_tmp / "again.vexa").read_bytes() == FRESH_FILE
    assert proto.add_constant_signal(1.0) == 1


def test_target_machine_file(monkeypatch, in_tmp):
    monkeypatch.setenv(ENV_VAR, "")
    p = Protocol()
    p.save(str(in_tmp / "target.vexa"))
    data = (in_tmp / "target.vexa").read_bytes()
    assert data == b"\x01" + FRESH_FILE[1:]


SINE = bytes.fromhex("01 000000000000f03f 0000000000000040 0000000000000000 000000000000e03f")
RAMP = bytes.fromhex("02 000000000000f03f 000000000000e03f 000000000000d03f")


def test_signals_are_kept_and_not_filled(proto, in_tmp):
    proto.add_sine_signal(1.0, 2.0, 0.0, 0.5)
    proto.add_ramp_signal(1.0, 0.5, 0.25)
    proto.add_mixed_signal(0, 1)
    proto.add_mixed_signal(2**64 - 1, 300)
    before = str(proto)
    proto.save("signals.vexa")
    assert str(proto) == before
    mixed = bytes.fromhex("03 00 01") + bytes.fromhex("03 ffffffffffffffffff01 ac02")
    assert (in_tmp / "signals.vexa").read_bytes() == with_signals(SINE + RAMP + mixed, 4)


def test_settings_reach_the_file(proto, in_tmp):
    proto.set_stimulation_intensity(-0.0)
    proto.set_session_duration(0.125)
    proto.enable_channel(Channel.B)
    proto.set_amplitude_source(Coil.A2, True, 128)
    proto.set_amplitude_source(Coil.B1, False, 16384)
    proto.set_modulation_source(Channel.A, False, 2**63)
    proto.add_constant_signal(-0.0)
    proto.save("settings.vexa")
    expected = (
        FRESH_FILE[:134]
        + bytes.fromhex("0000000000000080")           # intensity -0.0
        + struct.pack("<d", 0.125)
        + bytes.fromhex("01 00 0000000000000080")     # Constant -0.0
        + bytes.fromhex("01 000000 00 8001 01 80808080808080808001 00 00 00 00")  # channel A
        + bytes.fromhex("01 808001 00 00 000000 000000 00 00")                # channel B
        + bytes(16))
    assert (in_tmp / "settings.vexa").read_bytes() == expected


@pytest.mark.parametrize("bits", ["000000000000f87f", "010000000000f87f", "000000000000f8ff",
                                  "0000000000000080", "000000000000f07f", "0100000000000000"])
def test_doubles_written_bit_for_bit(proto, in_tmp, bits):
    (value,) = struct.unpack("<d", bytes.fromhex(bits))
    proto.add_constant_signal(value)
    proto.save("bits.vexa")
    data = (in_tmp / "bits.vexa").read_bytes()
    assert data == with_signals(b"\x00" + bytes.fromhex(bits), 1)


def test_arbitrary_samples_encoding(in_tmp, numpy):
    p = Protocol()
    p.set_session_duration(0.01)
    levels = [0, 63, 64, 8191, 8192, 16384, 32767]
    p.add_arbitrary_signal(numpy.array([k / 32767.0 for k in levels] + [0.0] * 43))
    p.save("curve.vexa")
    encoded = bytes.fromhex("04 32 00 7e 8001 fe7f 808001 808002 feff03") + bytes(43)
    head = FRESH_FILE[:142] + struct.pack("<d", 0.01) + FRESH_FILE[150:]
    assert (in_tmp / "curve.vexa").read_bytes() == with_signals(encoded, 1, head)


def test_full_session_curve(proto, in_tmp, numpy):
    proto.add_arbitrary_signal(numpy.zeros(300000))
    proto.save("long.vexa")
    data = (in_tmp / "long.vexa").read_bytes()
    assert data == with_signals(bytes.fromhex("04 e0a712") + bytes(300000), 1)


@pytest.mark.parametrize("path", ["x.VEXA", "x.vex", "x.vexa.bak", "x.vexa ", "vexa", "", ".vexA",
                                  "x.vexa/", "dir.vexa/x"])
def test_wrong_extension_changes_nothing(proto, in_tmp, path):
    before = str(proto)
    with raises_panic(EXTENSION_MSG):
        proto.save(path)
    assert str(proto) == before
    assert signals_of(proto) == []
    assert list(in_tmp.iterdir()) == []


@pytest.mark.parametrize("name", [".vexa", "s\u00e9ance.vexa", "with space.vexa", "a\nb.vexa"])
def test_odd_but_valid_names(proto, in_tmp, name):
    proto.save(name)
    assert os.listdir(in_tmp) == [name]
    assert (in_tmp / name).read_bytes() == FRESH_FILE


def test_relative_to_working_directory(proto, in_tmp):
    (in_tmp / "sub").mkdir()
    os.chdir(in_tmp / "sub")
    proto.save("../up.vexa")
    assert (in_tmp / "up.vexa").read_bytes() == FRESH_FILE


def test_missing_directory(proto, in_tmp):
    with raises_panic(unwrap_message(
            'Os { code: 2, kind: NotFound, message: "No such file or directory" }')):
        proto.save(str(in_tmp / "missing" / "x.vexa"))
    assert signals_of(proto) == FILLED_IN
    assert proto.add_constant_signal(0.5) == 1
    assert list(in_tmp.iterdir()) == []


def test_path_is_a_directory(proto, in_tmp):
    (in_tmp / "d.vexa").mkdir()
    (in_tmp / "d.vexa" / "keep").write_bytes(b"k")
    with raises_panic(unwrap_message('Os { code: 21, kind: IsADirectory, message: "Is a directory" }')):
        proto.save("d.vexa")
    assert sorted(os.listdir(in_tmp)) == ["d.vexa"]
    assert os.listdir(in_tmp / "d.vexa") == ["keep"]


def test_nul_in_path(proto, in_tmp):
    with raises_panic(unwrap_message(
            'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }')):
        proto.save("a\0b.vexa")
    assert list(in_tmp.iterdir()) == []
    assert signals_of(proto) == FILLED_IN


def test_overwrites_longer_file(proto, in_tmp):
    (in_tmp / "old.vexa").write_bytes(b"\xaa" * 5000)
    proto.save("old.vexa")
    assert (in_tmp / "old.vexa").read_bytes() == FRESH_FILE
    assert os.listdir(in_tmp) == ["old.vexa"]
