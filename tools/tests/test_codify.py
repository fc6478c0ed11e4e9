"""codify and to_protocol: the examples and random protocols come back as the
same bytes, by script (also under VEXA_OTHER_PYTHON where set) and in memory;
what no call builds is refused or, when allowed, left out and listed."""
import importlib.util
import io
import json
import math
import os
import random
import subprocess
import sys

import pytest

import vexa_view as vi
from pyvexa_tools import CodifyError, codify, diff, to_protocol
from test_decoder import FRESH_FILE, fresh, sig
from test_lint import setattr_path
from test_roundtrip import random_protocol, run_example, saved
from toolsupport import np

RUN_ALL = """
import json, runpy, sys
for script, out in json.load(open(sys.argv[1])):
    sys.argv = [script, out]
    runpy.run_path(script, run_name="__main__")
"""


def curated(pyvexa, tmp_path):
    """Curves no session of the file has, inline and constant ones."""
    p = pyvexa.Protocol()
    p.add_sine_signal(vi._DOUBLE.unpack(bytes.fromhex("0100000000f0ff7f"))[0], -math.inf, 0, 0)
    for duration in (0.07, 0.01, 0.0125) if np is not None else ():
        p.set_session_duration(duration)
        p.add_arbitrary_signal(np.linspace(0.0, 1.0, p.get_num_samples()) ** 2)
        p.add_arbitrary_signal(np.full(p.get_num_samples(), 0.25))
    p.set_session_duration(1800.0)
    return saved(p, tmp_path, "curated.vexa")[0]


@pytest.fixture(scope="module")
def originals(tmp_path_factory):
    """Files the module saved: the examples, random protocols, one made by
    hand."""
    pyvexa = pytest.importorskip("pyvexa")
    tmp = tmp_path_factory.mktemp("originals")
    files = [curated(pyvexa, tmp)]
    for name in ("session", "am_two_channel", "external_routing", "arbitrary_envelope"):
        out = str(tmp / f"{name}.vexa")
        assert run_example(name, out, pyvexa).returncode == 0
        if os.path.exists(out):  # arbitrary_envelope needs NumPy
            files.append(out)
    for seed in range(30):
        rng = random.Random(seed)
        files.append(saved(random_protocol(pyvexa, rng, tmp), tmp, f"random{seed}.vexa")[0])
    return files, os.path.dirname(pyvexa.__file__)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def interpreters():
    other = os.environ.get("VEXA_OTHER_PYTHON")
    return [pytest.param(sys.executable, None, id="this")] + (
        [pytest.param(other, os.environ.get("VEXA_OTHER_PYTHONPATH", ""), id="other")]
        if other else [])


@pytest.mark.parametrize("python, path", interpreters())
def test_scripts_save_the_same_bytes(originals, tmp_path, python, path):
    files, module_dir = originals
    jobs = []
    for i, original in enumerate(files):
        script = str(tmp_path / f"rebuild{i}.py")
        codify(original, script)
        jobs.append((script, str(tmp_path / f"out{i}.vexa")))
    (tmp_path / "jobs.json").write_text(json.dumps(jobs))
    env = dict(os.environ, VEXA_TARGET_MACHINE="set, and the scripts must not mind")
    env["PYTHONPATH"] = os.pathsep.join(
        [module_dir, os.environ.get("PYTHONPATH", "")] if path is None else [path])
    proc = subprocess.run([python, "-c", RUN_ALL, str(tmp_path / "jobs.json")], env=env,
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    for original, (script, out) in zip(files, jobs):
        assert read(original) == read(out), (original, [str(d) for d in diff(original, out)])
    assert all(len(open(s).read()) < 9000 for s, _ in jobs)  # long curves went to .npy


def test_to_protocol_saves_the_same_bytes(originals, tmp_path):
    files, _ = originals
    for i, original in enumerate(files):
        to_protocol(original).save(str(tmp_path / f"p{i}.vexa"))
        assert read(original) == read(tmp_path / f"p{i}.vexa"), original
    assert "VEXA_TARGET_MACHINE" not in os.environ


# (a field to change in a fresh protocol, the value, whether allow_changes
# leaves it out instead of refusing)
REFUSALS = {
    "another machine": ("machine_config.supply_voltage", 24.0, True),
    "coil index": ("channel_b_settings.coil_idx", 1, True),
    "table row": ("channel_a_settings.coil_setting_idx", 3, True),
    "channel A off": ("channel_a_settings.enabled", False, True),
    "trace flags": ("monitor_trace_visible", [True] * 2 + [False] * 14, True),
    "both indices": ("channel_a_settings.modulation_source",
                     vi.SignalSourceSelection(3, 2, True), True),
    "intensity": ("intensity", 1.5, False),
    "NaN duration": ("session_duration", math.nan, False),
    "no signals": ("signals", [], False),
    "short curve": ("signals", [sig("Arbitrary", [0] * 49)], False),
    "negative levels": ("signals", [sig("Arbitrary", [-1] * 300000)], False),
}


@pytest.mark.parametrize("path, value, allowed", REFUSALS.values(), ids=list(REFUSALS))
def test_what_no_call_builds_is_refused_or_listed(path, value, allowed, tmp_path):
    s = fresh()
    setattr_path(s, path, value)
    with pytest.raises(CodifyError) as info:
        codify(s)
    assert path.split(".")[0] in str(info.value) and len(info.value.refused) == (not allowed)
    if not allowed:
        pytest.raises(CodifyError, codify, s, allow_changes=True)
        return
    listed = codify(s, allow_changes=True).split("# NOT the same protocol")[1].split("\nimport")[0]
    assert path.split(".")[-1] in listed
    if importlib.util.find_spec("pyvexa") is None:
        return
    rebuilt = vi.encode(s)
    to_protocol(rebuilt, allow_changes=True).save(str(tmp_path / "r.vexa"))
    left_out = [d.path for d in diff(rebuilt, str(tmp_path / "r.vexa"))]
    assert left_out and all(d.startswith(path) for d in left_out), left_out



@pytest.mark.parametrize("source, name", [
    (lambda tmp: str(tmp / "a.vexa"), "a.vexa"), (lambda tmp: FRESH_FILE, "protocol.vexa"),
    (lambda tmp: io.BytesIO(FRESH_FILE), "protocol.vexa"), (lambda tmp: fresh(), "protocol.vexa")])
def test_the_script_saves_under_the_files_name(tmp_path, source, name):
    (tmp_path / "a.vexa").write_bytes(FRESH_FILE)  # file bytes once named the output
    assert codify(source(tmp_path)).endswith(f'else "{name}")\n')


def test_the_readmes_script_is_what_codify_writes(originals, tmp_path):
    from test_readme import example
    session = next(f for f in originals[0] if f.endswith("/session.vexa"))
    codify(session, str(tmp_path / "rebuild.py"))
    shown = example("writes `rebuild.npy` (the curve) and this:\n\n```python\n")
    assert (tmp_path / "rebuild.py").read_text() == shown
