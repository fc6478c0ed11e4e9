"""The README's figures that a file can contradict: the default machine in
"Device limits", read back from a fresh protocol's file."""
import os

from test_decoder import fresh
from toolsupport import ROOT


def test_device_limits_match_a_fresh_file():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = " ".join(f.read().split("## Device limits")[1].split("\n## ")[0].split())
    m = fresh().machine_config
    coil, row, n = m.coils[0], m.coils[0].settings[0], m.num_external_signal_sources
    shown = {f"| `max_intensity_setpoint` | {m.max_intensity_setpoint} |",
             f"| `num_external_signal_sources` | {n} (external inputs 0 to {n - 1}) |",
             f'| `coils` | one coil, `"{coil.name}"` |',
             f"one row: capacitance {row.capacitance}, carrier_frequency "
             f"{row.carrier_frequency!r}, clk_ticks_per_sample {row.clk_ticks_per_sample}, "
             f"capacitor_bank_setting {row.capacitor_bank_setting} |"}
    stored = {**vars(m), **vars(coil)}.items()
    shown |= {f"`{k}` {str(v).lower() if isinstance(v, (bool, list)) else v}" for k, v in stored
              if k not in ("coils", "name", "settings", "max_intensity_setpoint",
                           "num_external_signal_sources")}
    assert sorted(s for s in shown if s not in text) == []
