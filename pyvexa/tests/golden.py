"""Reference artefacts of a default protocol: its text form and its file."""

# str(Protocol()) with VEXA_TARGET_MACHINE unset: 103 lines, 3062 bytes,
# no newline after the closing brace.
FRESH_TEXT = """\
Protocol {
    settings: Settings {
        running_on_target_machine: false,
        machine_config: MachineConfig {
            supply_voltage: 80.0,
            num_coils: 2,
            coils: [
                Coil {
                    name: "Default",
                    inductance: 150.0,
                    max_current: 0.1,
                    max_carrier_frequency: 40.0,
                    settings: [
                        LCSetting {
                            capacitance: 330.0,
                            carrier_frequency: 22.624434389140273,
                            clk_ticks_per_sample: 221,
                            capacitor_bank_setting: 1,
                        },
                    ],
                },
            ],
            capacitors: [
                330.0,
            ],
            possible_capacitances: [
                330.0,
            ],
            num_external_signal_sources: 6,
            smbus_psu_connected: false,
            num_temperature_sensors: 0,
            num_flow_rate_sensors: 0,
            safety_checks_enabled: true,
            max_intensity_setpoint: 0.3,
            max_current: 0.5,
            max_carrier_frequency: 40.0,
            max_temperature: 40.0,
            min_flowrate: 70.0,
            max_power: 520.0,
        },
        intensity: 0.0,
        session_duration: 60.0,
        signals: [],
        channel_a_settings: ChannelSettings {
            enabled: true,
            amplitude1_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            amplitude2_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            modulation_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            coil_idx: 0,
            coil_setting_idx: 0,
        },
        channel_b_settings: ChannelSettings {
            enabled: false,
            amplitude1_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            amplitude2_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            modulation_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            coil_idx: 0,
            coil_setting_idx: 0,
        },
        monitor_trace_visible: [
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
        ],
    },
}"""

# The `signals` lines of a protocol holding a sine, a ramp, a constant, a
# mixed signal and an arbitrary signal of three samples (in that order).
FIVE_SIGNALS_TEXT = """\
        signals: [
            Sine(
                SineSignalParams {
                    amplitude: 1.0,
                    frequency: 10.0,
                    phase: 0.0,
                    depth: 0.5,
                },
            ),
            Ramp(
                RampSignalParams {
                    peak: 1.0,
                    up_duration: 0.25,
                    down_duration: 2e-5,
                },
            ),
            Constant(
                ConstantSignalParams {
                    value: 0.5,
                },
            ),
            MixedSignal(
                MixedSignalParams {
                    a_idx: 0,
                    b_idx: 1,
                },
            ),
            Arbitrary(
                ArbitrarySignalParams {
                    samples: [
                        0,
                        16384,
                        32767,
                    ],
                },
            ),
        ],"""

# The file written by save() on a fresh protocol (VEXA_TARGET_MACHINE unset).
# One row per field group, offsets in decimal.
FRESH_FILE = bytes.fromhex(
    "00"                          # 0    running_on_target_machine
    "0000000000005440"            # 1    supply_voltage 80.0
    "02"                          # 9    num_coils
    "01"                          # 10   one coil
    "07 44656661756c74"           # 11   name "Default"
    "0000000000c06240"            # 19   inductance 150.0
    "9a9999999999b93f"            # 27   max_current 0.1
    "0000000000004440"            # 35   max_carrier_frequency 40.0
    "01"                          # 43   one LC setting
    "0000000000a07440"            # 44   capacitance 330.0
    "efda9feeda9f3640"            # 52   carrier_frequency 22.624434389140273
    "dd01"                        # 60   clk_ticks_per_sample 221
    "01"                          # 62   capacitor_bank_setting
    "01 0000000000a07440"         # 63   capacitors [330.0]
    "01 0000000000a07440"         # 72   possible_capacitances [330.0]
    "06"                          # 81   num_external_signal_sources
    "00"                          # 82   smbus_psu_connected
    "00"                          # 83   num_temperature_sensors
    "00"                          # 84   num_flow_rate_sensors
    "01"                          # 85   safety_checks_enabled
    "333333333333d33f"            # 86   max_intensity_setpoint 0.3
    "000000000000e03f"            # 94   max_current 0.5
    "0000000000004440"            # 102  max_carrier_frequency 40.0
    "0000000000004440"            # 110  max_temperature 40.0
    "0000000000805140"            # 118  min_flowrate 70.0
    "0000000000408040"            # 126  max_power 520.0
    "0000000000000000"            # 134  intensity 0.0
    "0000000000004e40"            # 142  session_duration 60.0
    "01 00 0000000000000000"      # 150  signals: [Constant 0.0]
    "01 000000 000000 000000 00 00"   # 160  channel A: enabled
    "00 000000 000000 000000 00 00"   # 172  channel B: disabled
    "00000000000000000000000000000000"  # 184  monitor_trace_visible
)
SIGNALS_OFFSET = 150     # where the signal count starts
SIGNALS_END = 160        # first byte after the filled-in Constant 0.0
CHANNEL_A_OFFSET = 160
