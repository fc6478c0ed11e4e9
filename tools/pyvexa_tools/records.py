"""The records a protocol file holds, as plain dataclasses. Field order is
the file's order and the text form's; `fields` describes each field's kind.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, List, Tuple, Type, Union

__all__ = [
    "ArbitrarySignalParams", "ChannelSettings", "Coil", "ConstantSignalParams", "LCSetting",
    "MachineConfig", "MixedSignalParams", "RampSignalParams", "Settings", "Signal",
    "SignalSourceSelection", "SineSignalParams", "SAMPLING_RATE", "VARIANTS", "num_samples",
    "MIN_SESSION_DURATION", "MAX_SESSION_DURATION", "FULL_SCALE",
]

SAMPLING_RATE = 5000.0
# What the module's calls accept: a session of MIN to MAX seconds, and
# curve levels from 0.0 to 1.0, stored as 0 to FULL_SCALE.
MIN_SESSION_DURATION = 0.01
MAX_SESSION_DURATION = 1800.0
FULL_SCALE = 32767
U64_MAX = (1 << 64) - 1


@dataclass
class LCSetting:
    capacitance: float
    carrier_frequency: float
    clk_ticks_per_sample: int
    capacitor_bank_setting: int


@dataclass
class Coil:
    name: str
    inductance: float
    max_current: float
    max_carrier_frequency: float
    settings: List[LCSetting]


@dataclass
class MachineConfig:
    supply_voltage: float
    num_coils: int
    coils: List[Coil]
    capacitors: List[float]
    possible_capacitances: List[float]
    num_external_signal_sources: int
    smbus_psu_connected: bool
    num_temperature_sensors: int
    num_flow_rate_sensors: int
    safety_checks_enabled: bool
    max_intensity_setpoint: float
    max_current: float
    max_carrier_frequency: float
    max_temperature: float
    min_flowrate: float
    max_power: float


@dataclass
class ConstantSignalParams:
    value: float


@dataclass
class SineSignalParams:
    amplitude: float
    frequency: float
    phase: float
    depth: float


@dataclass
class RampSignalParams:
    peak: float
    up_duration: float
    down_duration: float


@dataclass
class MixedSignalParams:
    a_idx: int
    b_idx: int


@dataclass
class ArbitrarySignalParams:
    samples: List[int]


SignalParams = Union[ConstantSignalParams, SineSignalParams, RampSignalParams,
                     MixedSignalParams, ArbitrarySignalParams]

# The position in this tuple is the variant index the file stores.
VARIANTS: Tuple[Tuple[str, Type[Any]], ...] = (
    ("Constant", ConstantSignalParams),
    ("Sine", SineSignalParams),
    ("Ramp", RampSignalParams),
    ("MixedSignal", MixedSignalParams),
    ("Arbitrary", ArbitrarySignalParams),
)
VARIANT_INDEX = {name: i for i, (name, _) in enumerate(VARIANTS)}


@dataclass
class Signal:
    """One signal: `variant` is "Constant", "Sine", "Ramp", "MixedSignal" or
    "Arbitrary", `params` the matching *SignalParams record."""
    variant: str
    params: SignalParams

    @property
    def index(self) -> int:
        """The variant index stored in the file (0 to 4)."""
        return VARIANT_INDEX[self.variant]


@dataclass
class SignalSourceSelection:
    internal: int = 0
    external: int = 0
    external_selected: bool = False


@dataclass
class ChannelSettings:
    enabled: bool
    amplitude1_source: SignalSourceSelection
    amplitude2_source: SignalSourceSelection
    modulation_source: SignalSourceSelection
    coil_idx: int
    coil_setting_idx: int


@dataclass
class Settings:
    running_on_target_machine: bool
    machine_config: MachineConfig
    intensity: float
    session_duration: float
    signals: List[Signal]
    channel_a_settings: ChannelSettings
    channel_b_settings: ChannelSettings
    monitor_trace_visible: List[bool] = field(default_factory=lambda: [False] * 16)



def num_samples(duration: float) -> int:
    """The session's sample count as the module computes it:
    ceil(duration x 5000), 0 for a duration that is not positive, 2**64 - 1
    for one whose count does not fit (the conversion saturates)."""
    if not duration > 0.0:
        return 0
    x = duration * SAMPLING_RATE  # inf for a duration above about 3.6e304
    return min(math.ceil(x), U64_MAX) if math.isfinite(x) else U64_MAX
