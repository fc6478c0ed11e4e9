"""Files written by the module, read back by the inspector: what it prints
must be str() of the protocol that saved the file, byte for byte."""
import importlib.util
import math
import os
import random
import struct
import subprocess
import sys

import pytest

import vexa_view as vi
from pyvexa_tools import lint
from toolsupport import ROOT, np

EXAMPLES = os.path.join(ROOT, "examples")
NEEDS_NUMPY = {"arbitrary_envelope"}


def saved(p, tmp_path, name="p.vexa"):
    path = str(tmp_path / name)
    p.save(path)
    with open(path, "rb") as f:
        return path, f.read()


def assert_round_trip(p, data):
    settings = vi.decode(data)
    assert vi.render(settings) == str(p)
    assert vi.encode(settings) == data


def is_panic(e):
    return type(e).__name__ == "PanicException" and not isinstance(e, Exception)


# --- examples ----------------------------------------------------------------

def load_example(name):
    found = importlib.util.spec_from_file_location(f"example_{name}",
                                                  os.path.join(EXAMPLES, name + ".py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run_example(name, out, pyvexa):
    env = dict(os.environ)
    env.pop("VEXA_TARGET_MACHINE", None)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(pyvexa.__file__)] + [p for p in env.get("PYTHONPATH", "").split(
            os.pathsep) if p])
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name + ".py"), out],
                          env=env, cwd=os.path.dirname(out), capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("name", ["am_two_channel", "external_routing", "arbitrary_envelope"])
def test_example_file_holds_what_it_built(name, pyvexa, tmp_path):
    out = str(tmp_path / f"{name}.vexa")
    proc = run_example(name, out, pyvexa)
    assert proc.returncode == 0, proc.stderr
    if name in NEEDS_NUMPY and np is None:
        assert "needs NumPy" in proc.stderr and not os.path.exists(out)
        return
    assert proc.stderr == "" and f"saved {out} (" in proc.stdout
    with open(out, "rb") as f:
        data = f.read()
    assert_round_trip(load_example(name).build(), data)
    assert lint(data) == []  # our own examples stay within the machine


def test_session_example_prints_what_it_saved(pyvexa, tmp_path):
    out = str(tmp_path / "session.vexa")
    proc = run_example("session", out, pyvexa)
    assert proc.returncode == 0, proc.stderr
    with open(out, "rb") as f:
        data = f.read()
    assert "\n" + vi.render(vi.decode(data)) + "\n" in proc.stdout
    assert [f for f in lint(data) if f.severity == "error"] == []


@pytest.mark.parametrize("flag, status", [("", 0), ("--envelope", 2), ("--no-envelope", 0)])
def test_session_example_without_numpy(pyvexa, tmp_path, flag, status):
    # A NumPy that cannot load, as CPython's does under PyPy.
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise ImportError('C part missing')\n")
    out = str(tmp_path / "session.vexa")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), os.path.dirname(
        pyvexa.__file__)]))
    proc = subprocess.run([sys.executable, os.path.join(EXAMPLES, "session.py")] + [flag] * (
        flag != "") + [out], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == status
    assert ("C part missing" in proc.stderr) == (flag != "--no-envelope")
    assert os.path.exists(out) == (status == 0)
    assert status or [x.variant for x in vi.decode(open(out, "rb").read()).signals] == ["Sine"]


def test_am_example_routes_every_coil_to_the_ramp(pyvexa, tmp_path):
    s = vi.decode(saved(load_example("am_two_channel").build(), tmp_path)[1])
    assert s.signals[0].variant == "Ramp"
    for ch in (s.channel_a_settings, s.channel_b_settings):
        assert ch.enabled
        assert ch.amplitude1_source == ch.amplitude2_source == vi.SignalSourceSelection(0, 0, False)
    assert [s.signals[i].params for i in (3, 4)] == [vi.MixedSignalParams(0, 1),
                                                     vi.MixedSignalParams(0, 2)]


def test_external_example_refuses_inputs_the_machine_lacks(pyvexa, tmp_path):
    example = load_example("external_routing")
    with pytest.raises(ValueError, match="external input 6 does not exist"):
        example.external(6)
    s = vi.decode(saved(example.build(), tmp_path)[1])
    n = s.machine_config.num_external_signal_sources
    assert n == example.EXTERNAL_INPUTS
    sources = [s.channel_a_settings.amplitude1_source, s.channel_a_settings.amplitude2_source,
               s.channel_a_settings.modulation_source, s.channel_b_settings.amplitude1_source]
    assert [(x.external_selected, x.external) for x in sources] == [(True, i) for i in range(4)]


# --- protocols built by random calls -----------------------------------------

SPECIAL = [0.0, -0.0, 1.0, 0.5, 1e16, 1e15, 1.5e-5, 0.0001, 5e-324, -1.7976931348623157e308,
           math.inf, -math.inf, math.nan, 22.624434389140273, 0.1]


def random_double(rng):
    roll = rng.random()
    if roll < 0.3:
        return rng.choice(SPECIAL)
    if roll < 0.6:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    return rng.uniform(-1e6, 1e6) * 10.0 ** rng.randint(-12, 12)


def random_index(rng):
    return rng.choice([0, 1, 5, 127, 128, 300, 2**63, 2**64 - 1, rng.getrandbits(64)])


def random_protocol(pyvexa, rng, tmp_path):
    if rng.random() < 0.2:
        os.environ["VEXA_TARGET_MACHINE"] = rng.choice(["", "0", "yes"])
    p = pyvexa.Protocol()
    os.environ.pop("VEXA_TARGET_MACHINE", None)
    coils = [pyvexa.Coil.A1, pyvexa.Coil.A2, pyvexa.Coil.B1, pyvexa.Coil.B2]
    channels = [pyvexa.Channel.A, pyvexa.Channel.B]
    ops = [
        lambda: p.set_session_duration(rng.choice(
            [0.01, 1800.0, 0.07, 0.035, rng.uniform(0.01, 0.5), 2000.0, 0.001, math.nan])),
        lambda: p.set_stimulation_intensity(rng.choice([0.0, -0.0, 1.0, rng.random(), 1.5, -0.25])),
        lambda: p.enable_channel(rng.choice(channels)),
        lambda: p.set_amplitude_source(rng.choice(coils), rng.random() < 0.5, random_index(rng)),
        lambda: p.set_modulation_source(rng.choice(channels), rng.random() < 0.5,
                                        random_index(rng)),
        lambda: p.add_constant_signal(random_double(rng)),
        lambda: p.add_sine_signal(*(random_double(rng) for _ in range(4))),
        lambda: p.add_ramp_signal(*(random_double(rng) for _ in range(3))),
        lambda: p.add_mixed_signal(random_index(rng), random_index(rng)),
        lambda: saved(p, tmp_path, "mid.vexa"),
    ]
    if np is not None:
        ops.append(lambda: add_arbitrary(p, rng))
    for _ in range(rng.randint(0, 25)):
        try:
            rng.choice(ops)()
        except BaseException as e:  # a failed check must leave a usable protocol
            if not is_panic(e):
                raise
    return p


def add_arbitrary(p, rng):
    n = p.get_num_samples()
    if n > 3000:
        p.set_session_duration(rng.uniform(0.01, 0.6))
        n = p.get_num_samples()
    values = np.array([rng.choice([0.0, 1.0, 0.5, 0.25, rng.random()]) for _ in range(n)])
    if rng.random() < 0.2:
        values[rng.randrange(n)] = rng.choice([1.0000001, -0.1, math.nan])  # refused
    p.add_arbitrary_signal(values[::-1] if rng.random() < 0.3 else values)


@pytest.mark.parametrize("seed", range(40))
def test_random_protocol_round_trips(pyvexa, tmp_path, seed):
    p = random_protocol(pyvexa, random.Random(seed), tmp_path)
    _, data = saved(p, tmp_path)
    assert_round_trip(p, data)


# --- refusals on real files ----------------------------------------------------

@pytest.fixture
def small_file(pyvexa, tmp_path):
    p = pyvexa.Protocol()
    p.add_sine_signal(1.0, 10.0, 0.0, 0.5)
    p.add_ramp_signal(1.0, 0.25, 2e-5)
    p.add_mixed_signal(0, 300)
    p.set_modulation_source(pyvexa.Channel.B, True, 2)
    return saved(p, tmp_path)[1]


def test_every_truncation_of_a_saved_file_is_refused(small_file, tmp_path, capsys):
    path = str(tmp_path / "cut.vexa")
    for k in range(len(small_file)):
        with open(path, "wb") as f:
            f.write(small_file[:k])
        assert vi.main([path]) == 2, k
        out, err = capsys.readouterr()
        assert out == "" and f"byte offset {k}: truncated input" in err, (k, err)


def test_trailing_byte_after_a_saved_file_is_refused(small_file, tmp_path, capsys):
    path = str(tmp_path / "long.vexa")
    with open(path, "wb") as f:
        f.write(small_file + b"\x00")
    assert vi.main([path]) == 2
    assert f"byte offset {len(small_file)}: 1 trailing byte" in capsys.readouterr().err


def test_fresh_protocol_file_is_the_reference(pyvexa, tmp_path):
    from test_decoder import FRESH_FILE
    p = pyvexa.Protocol()
    _, data = saved(p, tmp_path)
    assert data == FRESH_FILE
    assert_round_trip(p, data)


def test_target_machine_protocol(pyvexa, tmp_path, monkeypatch):
    monkeypatch.setenv("VEXA_TARGET_MACHINE", "0")
    p = pyvexa.Protocol()
    _, data = saved(p, tmp_path)
    assert vi.decode(data).running_on_target_machine is True
    assert_round_trip(p, data)


def test_long_arbitrary_signal(pyvexa, numpy, tmp_path):
    p = pyvexa.Protocol()
    p.add_arbitrary_signal(numpy.linspace(0.0, 1.0, p.get_num_samples()))
    _, data = saved(p, tmp_path)
    assert data[151:155].hex() == "04e0a712"  # 300000 samples
    assert_round_trip(p, data)
