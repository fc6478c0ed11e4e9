"""Field kinds. One table per record drives decoding, encoding and both text
forms, so the four cannot disagree about order or kind."""
from __future__ import annotations

import struct
from typing import Any, Dict, Sequence, Tuple, Type

from .records import (ArbitrarySignalParams, ChannelSettings, Coil, ConstantSignalParams,
                      LCSetting, MachineConfig, MixedSignalParams, RampSignalParams, Settings,
                      Signal, SignalSourceSelection, SineSignalParams)


class Kind:
    min_size = 1  # fewest bytes one value can take; bounds claimed counts


class Scalar(Kind):
    def __init__(self, name: str, min_size: int) -> None:
        self.name = name
        self.min_size = min_size


BOOL = Scalar("boolean", 1)
U64 = Scalar("unsigned varint", 1)
I16 = Scalar("zigzag sample", 1)
F64 = Scalar("double", 8)
STR = Scalar("string", 1)

DOUBLE = struct.Struct("<d")  # how F64 is stored: little-endian IEEE 754
_BITS = struct.Struct("<Q")


def double_bits(x: float) -> int:
    """The 64 bits that store x: what tells NaNs apart, and -0.0 from 0.0."""
    return int(_BITS.unpack(DOUBLE.pack(x))[0])


class Seq(Kind):
    def __init__(self, item: Kind) -> None:
        self.item = item


class Fixed(Kind):
    def __init__(self, item: Kind, count: int) -> None:
        self.item = item
        self.count = count
        self.min_size = item.min_size * count


class Record(Kind):
    def __init__(self, cls: Type[Any], fields: Sequence[Tuple[str, Kind]]) -> None:
        self.cls = cls
        self.fields = tuple(fields)
        self.min_size = sum(k.min_size for _, k in fields)


class Choice(Kind):
    """A tagged union: the variant index as a varint, then that variant."""

    def __init__(self, variants: Sequence[Record]) -> None:
        self.variants = tuple(variants)
        self.min_size = 1 + min(v.min_size for v in variants)


SELECTION = Record(SignalSourceSelection, [
    ("internal", U64), ("external", U64), ("external_selected", BOOL)])
CHANNEL = Record(ChannelSettings, [
    ("enabled", BOOL), ("amplitude1_source", SELECTION), ("amplitude2_source", SELECTION),
    ("modulation_source", SELECTION), ("coil_idx", U64), ("coil_setting_idx", U64)])
LCSETTING = Record(LCSetting, [
    ("capacitance", F64), ("carrier_frequency", F64),
    ("clk_ticks_per_sample", U64), ("capacitor_bank_setting", U64)])
COIL = Record(Coil, [
    ("name", STR), ("inductance", F64), ("max_current", F64),
    ("max_carrier_frequency", F64), ("settings", Seq(LCSETTING))])
MACHINE = Record(MachineConfig, [
    ("supply_voltage", F64), ("num_coils", U64), ("coils", Seq(COIL)),
    ("capacitors", Seq(F64)), ("possible_capacitances", Seq(F64)),
    ("num_external_signal_sources", U64), ("smbus_psu_connected", BOOL),
    ("num_temperature_sensors", U64), ("num_flow_rate_sensors", U64),
    ("safety_checks_enabled", BOOL), ("max_intensity_setpoint", F64), ("max_current", F64),
    ("max_carrier_frequency", F64), ("max_temperature", F64), ("min_flowrate", F64),
    ("max_power", F64)])
SIGNAL = Choice([
    Record(ConstantSignalParams, [("value", F64)]),
    Record(SineSignalParams, [("amplitude", F64), ("frequency", F64), ("phase", F64),
                              ("depth", F64)]),
    Record(RampSignalParams, [("peak", F64), ("up_duration", F64), ("down_duration", F64)]),
    Record(MixedSignalParams, [("a_idx", U64), ("b_idx", U64)]),
    Record(ArbitrarySignalParams, [("samples", Seq(I16))]),
])
SETTINGS = Record(Settings, [
    ("running_on_target_machine", BOOL), ("machine_config", MACHINE), ("intensity", F64),
    ("session_duration", F64), ("signals", Seq(SIGNAL)), ("channel_a_settings", CHANNEL),
    ("channel_b_settings", CHANNEL), ("monitor_trace_visible", Fixed(BOOL, 16))])

# The description of each record type, for the single-line text form.
KIND_OF: Dict[type, Kind] = {
    Settings: SETTINGS, MachineConfig: MACHINE, Coil: COIL, LCSetting: LCSETTING,
    ChannelSettings: CHANNEL, SignalSourceSelection: SELECTION, Signal: SIGNAL,
}
KIND_OF.update({rec.cls: rec for rec in SIGNAL.variants})
