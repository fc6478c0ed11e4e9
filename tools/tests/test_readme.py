"""What the README shows that the code can contradict: the default machine in
"Device limits", read back from a fresh protocol's file, and the examples of
what the commands print."""
import os

import vexa_view as vi
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


def example(after):
    """The README's example block that follows `after`."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        return f.read().split(after, 1)[1].split("```", 1)[0]


def test_lint_example_is_what_the_command_prints(pyvexa, numpy, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    p = pyvexa.Protocol()  # the mistakes the README lists
    p.set_session_duration(2.0)
    p.add_arbitrary_signal(numpy.linspace(0.0, 1.0, p.get_num_samples()))
    p.add_sine_signal(1.0, 10.0, 0.0, 0.5)
    p.add_ramp_signal(1.0, 0.5, 0.5)
    p.set_session_duration(1.0)
    p.set_stimulation_intensity(0.5)
    p.enable_channel(pyvexa.Channel.B)
    p.set_amplitude_source(pyvexa.Coil.B1, False, 7)
    p.set_modulation_source(pyvexa.Channel.A, False, 1)
    p.save("bad.vexa")
    assert vi.main(["lint", "bad.vexa"]) == 1
    assert capsys.readouterr().out == example("$ vexa-view lint bad.vexa\n")
