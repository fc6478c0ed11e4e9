"""Arbitrary signals from NumPy arrays, and the module without NumPy."""
import math
import sys

import pytest

from pyvexa import Protocol
from conftest import IS_PYPY, needs_no_numpy, needs_numpy, np, raises_panic, run_python, signals_of

COUNT_MSG = "assertion failed: samples.len() == self.get_num_samples()"
LOW_MSG = "assertion failed: *sample >= 0.0"
HIGH_MSG = "assertion failed: *sample <= 1.0"
NUMPY_MISSING = "Failed to access NumPy array API capsule: "


@pytest.fixture
def short(numpy):
    """A protocol whose session has 50 samples."""
    p = Protocol()
    p.set_session_duration(0.01)
    return p


def stored(p, position=-1):
    variant, payload = signals_of(p)[position]
    assert variant == "Arbitrary"
    return [int(s) for s in payload["samples"]]


def steps(count, step=300):
    """Values that scale exactly to 0, step, 2*step, ..."""
    return np.arange(count) * step / 32767.0


def scaled_to(y):
    """A sample x whose product x * 32767.0 is exactly y."""
    x = y / 32767.0
    for candidate in (x, math.nextafter(x, 0.0), math.nextafter(x, 1.0)):
        if candidate * 32767.0 == y:
            return candidate
    raise AssertionError(f"no sample scales to {y!r}")


@needs_numpy
@pytest.mark.parametrize("duration, count", [(60.0, 299999), (60.0, 300001), (0.01, 49), (0.01, 51),
                                             (0.07, 350), (0.01, 0)])
@pytest.mark.parametrize("fill", [0.5, 2.0, -1.0, math.nan])
def test_count_is_checked_first(duration, count, fill):
    p = Protocol()
    p.set_session_duration(duration)
    before = str(p)
    with raises_panic(COUNT_MSG):
        p.add_arbitrary_signal(np.full(count, fill))
    assert str(p) == before


@needs_numpy
def test_full_session_and_later_duration_change():
    p = Protocol()
    assert p.add_arbitrary_signal(np.ones(300000)) == 0
    p.set_session_duration(0.01)
    # The stored signal keeps its length; a new one must match the new count.
    assert len(stored(p, 0)) == 300000
    with raises_panic(COUNT_MSG):
        p.add_arbitrary_signal(np.ones(300000))
    assert p.add_arbitrary_signal(np.zeros(50)) == 1


@needs_numpy
def test_rounding(short):
    cases = [
        (1.0, 32767), (0.0, 0), (-0.0, 0), (0.5, 16384), (0.25, 8192),
        (scaled_to(0.5), 1),                       # a half: away from zero
        (scaled_to(2.5), 3),
        (scaled_to(16382.5), 16383),               # not to even
        (scaled_to(0.4999999999999999), 0),        # just below a half
        (0.49999999999999994, 16383),              # scales to 16383.499999999998
        (scaled_to(16382.500000000002), 16383),
        (scaled_to(100.75), 101),
        (scaled_to(100.25), 100),
        (5e-324, 0),
        (math.nextafter(1.0, 0.0), 32767),
    ]
    values = [x for x, _ in cases] + [1.0] * (50 - len(cases))
    assert short.add_arbitrary_signal(np.array(values)) == 0
    assert stored(short) == [n for _, n in cases] + [32767] * (50 - len(cases))


@needs_numpy
@pytest.mark.parametrize("bad, message", [
    ({49: 1.0000001}, HIGH_MSG),
    ({3: -0.1, 7: 2.0}, LOW_MSG),
    ({3: 2.0, 7: -0.1}, HIGH_MSG),
    ({0: math.nan}, LOW_MSG),
    ({10: math.inf}, HIGH_MSG),
    ({10: -math.inf}, LOW_MSG),
    ({5: math.nextafter(1.0, 2.0), 6: math.nan}, HIGH_MSG),
    ({20: -5e-324}, LOW_MSG),
])
def test_first_bad_sample_decides(short, bad, message):
    values = np.full(50, 0.5)
    for i, v in bad.items():
        values[i] = v
    short.add_constant_signal(1.0)
    before = str(short)
    with raises_panic(message):
        short.add_arbitrary_signal(values)
    assert str(short) == before
    assert short.add_constant_signal(0.0) == 1


@needs_numpy
def test_views_and_strides(short):
    base = steps(100)
    expected = [300 * k for k in range(100)]
    column = np.zeros((50, 3))
    column[:, 1] = steps(50)
    raw = bytearray(50 * 8 + 1)
    unaligned = np.frombuffer(raw, dtype=np.float64, offset=1, count=50)
    unaligned[:] = steps(50)
    cases = [
        (base[:50][::-1], expected[:50][::-1]),     # negative stride
        (base[::2], expected[::2]),                 # step 2
        (base[::-2], expected[::-2]),               # step -2
        (column[:, 1], expected[:50]),              # stride of a row
        (np.broadcast_to(np.float64(0.5), (50,)), [16384] * 50),   # stride 0
        (unaligned, expected[:50]),
    ]
    for position, (array, samples) in enumerate(cases):
        assert short.add_arbitrary_signal(array) == position
        assert stored(short, position) == samples


@needs_numpy
def test_read_only_and_subclass_and_copy(short):
    class Curve(np.ndarray):
        pass

    values = steps(50)
    values.setflags(write=False)
    assert short.add_arbitrary_signal(values) == 0
    curve = steps(50).view(Curve)
    references = None if IS_PYPY else sys.getrefcount(curve)
    assert short.add_arbitrary_signal(curve) == 1
    # The protocol holds a converted copy, not the array.
    curve[:] = 0.0
    assert stored(short, 1) == [300 * k for k in range(50)]
    if not IS_PYPY:
        assert sys.getrefcount(curve) == references


@needs_numpy
@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
@pytest.mark.parametrize("make, type_name", [
    (lambda: [0.5] * 50, "list"),
    (lambda: tuple([0.5] * 50), "tuple"),
    (lambda: np.float64(0.5), "float64"),
    (lambda: np.full(50, 0.5, dtype=np.float32), "ndarray"),
    (lambda: np.zeros(50, dtype=np.int64), "ndarray"),
    (lambda: np.zeros(49, dtype=np.int64), "ndarray"),     # form before count
    (lambda: np.zeros((50, 1)), "ndarray"),
    (lambda: np.array(0.5), "ndarray"),
    (lambda: np.zeros(50, dtype=">f8"), "ndarray"),          # not native byte order
    (lambda: np.zeros(50, dtype=np.complex128), "ndarray"),
    (lambda: np.matrix(np.zeros(50)), "matrix"),
    (lambda: None, "NoneType"),
])
def test_form_refused(short, make, type_name):
    before = str(short)
    with pytest.raises(TypeError) as info:
        short.add_arbitrary_signal(make())
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'samples': '{type_name}' object cannot be cast as 'ndarray'"
    assert str(short) == before


@needs_no_numpy
@pytest.mark.parametrize("samples", [[0.0] * 300000, None, "not an array"])
def test_without_numpy_fails_every_time(proto, samples):
    # Here NumPy really cannot be imported (PyPy on these machines).
    for _ in range(2):
        with raises_panic(prefix=NUMPY_MISSING) as info:
            proto.add_arbitrary_signal(samples)
        assert len(str(info.value)) > len(NUMPY_MISSING)
    assert signals_of(proto) == []
    assert proto.add_constant_signal(1.0) == 0


@pytest.mark.skipif(not IS_PYPY or np is None, reason="PyPy's NumPy is the one on PYTHONPATH")
def test_without_numpy_in_child(tmp_path):
    # PyPy without its own NumPy: the import finds CPython's and fails.
    first, second, other = run_python("""
        import pyvexa
        p = pyvexa.Protocol()
        print(json.dumps([outcome(p.add_arbitrary_signal, None),
                          outcome(p.add_arbitrary_signal, [0.0] * 300000),
                          outcome(p.add_constant_signal, 1.0)]))
    """, cwd=tmp_path, numpy_path=False)
    for failure in (first, second):
        assert failure[0] == "pyo3_runtime.PanicException"
        assert failure[1].startswith(NUMPY_MISSING + "ImportError: "), failure
    assert other == ["ok", "0"]


@needs_numpy
def test_numpy_blocked_then_available(tmp_path):
    result = run_python("""
        sys.modules["numpy"] = None          # import numpy now fails
        import pyvexa
        p = pyvexa.Protocol()
        p.set_session_duration(0.01)
        first = outcome(p.add_arbitrary_signal, [0.0] * 50)
        second = outcome(p.add_arbitrary_signal, None)
        others = [outcome(p.add_constant_signal, 1.0),
                  outcome(p.set_amplitude_source, pyvexa.Coil.B1, False, 0),
                  outcome(p.save, "blocked.vexa"),
                  outcome(lambda: str(p).count("Constant("))]
        del sys.modules["numpy"]             # a failed lookup is not kept
        import numpy
        third = outcome(p.add_arbitrary_signal, numpy.ones(50))
        print(json.dumps([first, second, others, third]))
    """, cwd=tmp_path)
    first, second, others, third = result
    for failure in (first, second):
        assert failure[0] == "pyo3_runtime.PanicException"
        assert failure[1].startswith(NUMPY_MISSING) and len(failure[1]) > len(NUMPY_MISSING)
    assert others == [["ok", "0"], ["ok", "None"], ["ok", "None"], ["ok", "1"]]
    assert third == ["ok", "1"]
    assert (tmp_path / "blocked.vexa").stat().st_size == 200
