"""diff: a protocol against itself is empty, and each single edit is found at
its path, on the examples, on random protocols and on hand-made edits."""
import dataclasses
import math
import random
import struct

import pytest

import vexa_view as vi
from pyvexa_tools import diff
from test_decoder import fresh, sig
from test_lint import setattr_path
from test_roundtrip import random_protocol, saved
from toolsupport import np


def leaves(v, path=""):
    """(owner, key, path) of every scalar field outside the curves."""
    if isinstance(v, vi.Signal):
        v = v.params
    if isinstance(v, vi.ArbitrarySignalParams):
        return
    items = ([(f.name, f"{path}.{f.name}".lstrip(".")) for f in dataclasses.fields(v)]
             if dataclasses.is_dataclass(v) else [(i, f"{path}[{i}]") for i in range(len(v))])
    for key, sub in items:
        x = getattr(v, key) if isinstance(key, str) else v[key]
        if dataclasses.is_dataclass(x) or isinstance(x, (list, vi.Signal)):
            yield from leaves(x, sub)
        else:
            yield v, key, sub


def changed(x, rng):
    if isinstance(x, bool):
        return not x
    if isinstance(x, float):  # any one bit: a NaN's payload and -0.0 count
        bits = struct.unpack("<Q", struct.pack("<d", x))[0] ^ (1 << rng.randrange(64))
        return struct.unpack("<d", struct.pack("<Q", bits))[0]
    if isinstance(x, str):
        return x + rng.choice(["x", "\u00e9", "\0"])
    return x - 1 if x else x + 1


@pytest.mark.parametrize("seed", range(12))
def test_random_protocol_against_itself_and_each_single_edit(pyvexa, tmp_path, seed):
    rng = random.Random(seed)
    p = random_protocol(pyvexa, rng, tmp_path)
    path, data = saved(p, tmp_path)
    assert diff(path, data) == [] and diff(p, data) == []
    for where in rng.sample([w for _, _, w in leaves(vi.decode(data))], 8):
        s = vi.decode(data)
        owner, key = next((o, k) for o, k, w in leaves(s) if w == where)
        old = getattr(owner, key) if isinstance(key, str) else owner[key]
        (setattr if isinstance(key, str) else type(owner).__setitem__)(owner, key,
                                                                         changed(old, rng))
        found = diff(data, vi.encode(s))
        assert [(d.path, d.kind) for d in found] == [(where, "changed")], (where, old)


def curve(*samples):
    return sig("Arbitrary", list(samples))


def params(i, **values):
    return lambda s: [setattr(s.signals[i].params, k, v) for k, v in values.items()]


def field(path, value):
    return lambda s: setattr_path(s, path, value)


NAN = struct.unpack("<d", bytes.fromhex("010000000000f87f"))[0]  # a NaN with a payload
BASE = [sig("Sine", 1.0, 10.0, float("nan"), 0.5), curve(*range(0, 5000, 50)),
        sig("MixedSignal", 0, 1)]
BUMPED = [v + 3 * (10 <= i < 15) - 40 * (i == 60) for i, v in enumerate(range(0, 5000, 50))]

# (an edit of a protocol holding BASE, the tolerance, the differences as text)
EDITS = {
    "intensity": (field("intensity", 0.25), 0, ["intensity: 0.0 -> 0.25"]),
    "negative zero": (field("intensity", -0.0), 0, ["intensity: 0.0 -> -0.0"]),
    "NaN": (params(0, depth=NAN), 0, ["signals[0].depth: 0.5 -> NaN"]),
    "NaN payload": (params(0, phase=NAN), 0,
                    ["signals[0].phase: NaN (0x7ff8000000000000) -> NaN (0x7ff8000000000001)"]),
    "route": (field("channel_b_settings.amplitude1_source", vi.SignalSourceSelection(0, 5, True)),
              0, ["channel_b_settings.amplitude1_source.external: 0 -> 5",
                  "channel_b_settings.amplitude1_source.external_selected: false -> true"]),
    "coil name": (lambda s: setattr(s.machine_config.coils[0], "name", 'Spule "2"'), 0,
                  ['machine_config.coils[0].name: "Default" -> "Spule \\"2\\""']),
    "kind": (lambda s: s.signals.__setitem__(2, sig("Constant", 1.0)), 0,
             ["signals[2]: MixedSignal(MixedSignalParams { a_idx: 0, b_idx: 1 }) -> "
              "Constant(ConstantSignalParams { value: 1.0 })"]),
    "added": (lambda s: s.signals.append(curve(1, 2)), 0,
              ["signals[3]: added Arbitrary(2 samples)"]),
    "removed": (lambda s: s.signals.__delitem__(slice(1, None)), 0,
                ["signals[1]: removed Arbitrary(100 samples)",
                 "signals[2]: removed MixedSignal(MixedSignalParams { a_idx: 0, b_idx: 1 })"]),
    "table row added": (lambda s: s.machine_config.capacitors.append(47.5), 0,
                        ["machine_config.capacitors[1]: added 47.5"]),
    "samples": (params(1, samples=BUMPED), 0,
                ["signals[1].samples: 6 of 100 samples differ, first at 10 (500 -> 503), "
                 "largest by 40 at 60 (3000 -> 2960)"]),
    "curve shorter": (params(1, samples=list(range(0, 3000, 50))), 0,
                      ["signals[1].samples: 100 -> 60 samples; the first 60 are the same"]),
    "curve longer, changed": (params(1, samples=list(range(1, 6000, 50))), 0, [
        "signals[1].samples: 100 -> 120 samples; 100 of the first 100 samples differ, first at "
        "0 (0 -> 1), largest by 1 at 0 (0 -> 1)"]),
    "within tolerance": (lambda s: (params(0, frequency=10.0 + 1e-9, phase=NAN)(s),
                                    setattr(s, "intensity", 1e-10)), 1e-9, []),
    "beyond tolerance": (params(0, frequency=10.1), 1e-3, ["signals[0].frequency: 10.0 -> 10.1"]),
    "NaN beyond tolerance": (params(0, amplitude=math.nan), 0.5,
                             ["signals[0].amplitude: 1.0 -> NaN"]),
}


def protocol(edit=lambda s: None, arrays=False):
    s = fresh()
    s.signals = [dataclasses.replace(x, params=dataclasses.replace(x.params)) for x in BASE]
    edit(s)
    for x in s.signals:
        if arrays and x.variant == "Arbitrary":
            x.params.samples = np.array(x.params.samples, dtype=np.int16)
    return s


@pytest.mark.parametrize("arrays", [False, True])
@pytest.mark.parametrize("edit, tolerance, expected", EDITS.values(), ids=list(EDITS))
def test_each_edit_is_found_at_its_path(edit, tolerance, expected, arrays):
    if arrays and np is None:
        pytest.skip("numpy cannot be imported")
    a, b = protocol(arrays=arrays), protocol(edit, arrays)
    assert [str(d) for d in diff(a, b, tolerance=tolerance)] == expected
    assert [str(d) for d in diff(vi.encode(a), vi.encode(b), tolerance)] == expected


def test_refuses_a_negative_tolerance():
    pytest.raises(ValueError, diff, fresh(), fresh(), tolerance=-1.0)
