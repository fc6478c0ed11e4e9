"""Hostile inputs: argument objects that misbehave, NumPy arrays of every
shape the API admits, paths no file system likes, and file systems that
fail. Each ends in a clear error, or in the right result, with nothing
lost: the protocol as it was, an existing file as it was, and no stray
file. (Plain wrong types and the borrow rules have tests of their own in
test_conversion.py and test_borrow.py.)"""
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import warnings

import pytest

from pyvexa import Channel, Coil, Protocol
from conftest import (IS_PYPY, needs_numpy, np, raises_panic, run_python, settings_of, signals_of,
                      unwrap_message)
from golden import FRESH_FILE

OLD = b"the old protocol file"


def unchanged(p, before, directory=None, listing=None):
    assert str(p) == before
    # Both kinds of borrow can be taken again.
    assert p.get_num_samples() >= 0 and p.get_sampling_rate() == 5000.0
    if directory is not None:
        assert sorted(os.listdir(directory)) == sorted(listing)


# --- argument objects that misbehave ---------------------------------------

class Stop(BaseException):
    """Not an Exception: must pass through untouched all the same."""


class Behaves:
    """__float__ and __index__ both do `action()` and return its result."""
    def __init__(self, action):
        self.action = action

    def __float__(self):
        return self.action()

    def __index__(self):
        return self.action()


def raise_(exc):
    def action():
        raise exc
    return action


def two_frames_down():
    def inner():
        raise TypeError("refused two frames down")
    inner()


FLOAT_CALLS = [
    ("set_session_duration", lambda p, x: p.set_session_duration(x), "duration"),
    ("set_stimulation_intensity", lambda p, x: p.set_stimulation_intensity(x), "intensity"),
    ("add_constant_signal", lambda p, x: p.add_constant_signal(x), "value"),
    ("add_sine_signal", lambda p, x: p.add_sine_signal(1.0, 2.0, x, 0.5), "phase"),
    ("add_ramp_signal", lambda p, x: p.add_ramp_signal(1.0, 0.5, x), "down_duration"),
]
INDEX_CALLS = [
    ("set_amplitude_source", lambda p, x: p.set_amplitude_source(Coil.B2, True, x), "index"),
    ("set_modulation_source", lambda p, x: p.set_modulation_source(Channel.B, False, x), "index"),
    ("add_mixed_signal", lambda p, x: p.add_mixed_signal(0, x), "b_idx"),
]
ALL_CALLS = FLOAT_CALLS + INDEX_CALLS
ids = [c[0] for c in ALL_CALLS]


@pytest.mark.parametrize("name, call, param", ALL_CALLS, ids=ids)
@pytest.mark.parametrize("exc", [ValueError("bad value"), ZeroDivisionError("x"), Stop("stop"),
                                 KeyboardInterrupt(), SystemExit(3), MemoryError(),
                                 RuntimeError("Already borrowed")],
                         ids=lambda e: type(e).__name__)
def test_conversion_raises_passes_unchanged(proto, name, call, param, exc):
    before = str(proto)
    with pytest.raises(type(exc)) as info:
        call(proto, Behaves(raise_(exc)))
    assert info.value is exc            # the very object, not a copy or a wrapper
    unchanged(proto, before)


@pytest.mark.parametrize("name, call, param", ALL_CALLS, ids=ids)
def test_type_error_from_deep_inside_is_named(proto, name, call, param):
    before = str(proto)
    obj = Behaves(two_frames_down)
    for _ in range(3):      # and again: nothing of the first attempt stays
        with pytest.raises(TypeError) as info:
            call(proto, obj)
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument '{param}': refused two frames down"
    unchanged(proto, before)


@pytest.mark.parametrize("name, call, param", ALL_CALLS, ids=ids)
def test_type_error_cause_is_kept(proto, name, call, param):
    root = LookupError("the root")

    def action():
        raise TypeError("wrapped") from root

    with pytest.raises(TypeError) as info:
        call(proto, Behaves(action))
    assert str(info.value) == f"argument '{param}': wrapped"
    assert info.value.__cause__ is root


@pytest.mark.parametrize("name, call, param", ALL_CALLS, ids=ids)
@pytest.mark.parametrize("result", ["1.0", None, [1], b"1", 1j, object()],
                         ids=["str", "None", "list", "bytes", "complex", "object"])
def test_conversion_returns_wrong_type(proto, name, call, param, result):
    before = str(proto)
    with pytest.raises(TypeError) as info:
        call(proto, Behaves(lambda: result))
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{param}': ")
    unchanged(proto, before)


@pytest.mark.parametrize("name, call, param", FLOAT_CALLS, ids=[c[0] for c in FLOAT_CALLS])
def test_float_returning_int_is_refused(proto, name, call, param):
    # __float__ must return a float; an int is the interpreter's TypeError.
    before = str(proto)
    with pytest.raises(TypeError) as info:
        call(proto, Behaves(lambda: 3))
    assert str(info.value).startswith(f"argument '{param}': ")
    unchanged(proto, before)


@pytest.mark.parametrize("name, call, param", INDEX_CALLS, ids=[c[0] for c in INDEX_CALLS])
@pytest.mark.parametrize("result, error", [(-1, OverflowError), (2**64, OverflowError),
                                           (-(2**100), OverflowError), (1.0, TypeError),
                                           ("1", TypeError)])
def test_index_out_of_range_or_wrong(proto, name, call, param, result, error):
    before = str(proto)
    with pytest.raises(error) as info:
        call(proto, Behaves(lambda: result))
    assert type(info.value) is error
    if error is TypeError:
        assert str(info.value).startswith(f"argument '{param}': ")
    else:
        assert not str(info.value).startswith("argument")      # the interpreter's own
    unchanged(proto, before)


@pytest.mark.skipif(IS_PYPY, reason="PyPy 3.9 takes a float subclass from __float__ silently")
def test_float_subclass_result_warning_as_error(proto):
    class F(float):
        pass

    before = str(proto)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            proto.set_session_duration(Behaves(lambda: F(2.0)))
    unchanged(proto, before)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        proto.set_session_duration(Behaves(lambda: F(2.0)))
    assert settings_of(proto)["session_duration"] == "2.0"


@pytest.mark.parametrize("value, message", [
    (float("nan"), "assertion failed: duration <= config::MAX_SESSION_DURATION"),
    (float("inf"), "assertion failed: duration <= config::MAX_SESSION_DURATION"),
    (float("-inf"), "assertion failed: duration >= 0.01"),
    (-0.0, "assertion failed: duration >= 0.01"),
])
def test_conversion_gives_a_value_the_check_refuses(proto, value, message):
    before = str(proto)
    with raises_panic(message):
        proto.set_session_duration(Behaves(lambda: value))
    unchanged(proto, before)


def test_reentry_from_deep_inside(proto):
    # The argument of an inner call on another protocol calls back into the
    # first one: still refused, and the other protocol still takes its call.
    other = Protocol()
    seen = []

    def innermost():
        try:
            proto.add_constant_signal(9.0)
        except RuntimeError as e:
            seen.append(str(e))
        return 4.0

    def inner():
        other.add_constant_signal(Behaves(innermost))
        try:
            str(proto)
        except RuntimeError as e:
            seen.append(str(e))
        return 0.75

    assert proto.add_constant_signal(Behaves(inner)) == 0
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert signals_of(proto) == [("Constant", {"value": "0.75"})]
    assert signals_of(other) == [("Constant", {"value": "4.0"})]


def test_reentry_recursing_into_itself(proto):
    # Each level's argument converts by calling the same method again.
    depth = []

    def again():
        depth.append(len(depth))
        if len(depth) < 50:
            try:
                proto.set_session_duration(Behaves(again))
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
        return 2.0

    proto.set_session_duration(Behaves(again))
    assert depth == [0]         # the inner call is refused before it converts
    assert settings_of(proto)["session_duration"] == "2.0"


def test_last_reference_dropped_during_the_call():
    # The conversion drops the script's only reference to the protocol and
    # collects: the call holds its own, finishes, and the protocol goes when
    # it returns. (Under the sanitizer build a use after free would report.)
    holder = {"p": Protocol()}

    def drop():
        holder.clear()
        gc.collect()
        for _ in range(100):
            Protocol().add_constant_signal(1.0)     # reuse freed memory, if any
        return 5.0

    assert holder["p"].add_constant_signal(Behaves(drop)) == 0
    assert holder == {}
    gc.collect()


def test_last_reference_dropped_through_bound_method():
    p = Protocol()
    method = p.add_mixed_signal
    del p
    state = {}

    def drop():
        state["method"] = None      # nothing else holds the protocol now
        gc.collect()
        return 7
    state["method"] = method
    del method
    assert state["method"](Behaves(drop), 1) == 0


def test_unprintable_type_name(proto):
    # The class's __qualname__ cannot be read: that error comes out, not a
    # crash, whatever the message would have been.
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise LookupError("no name for you")
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    before = str(proto)
    with pytest.raises(LookupError):
        proto.enable_channel(Odd())
    unchanged(proto, before)


def test_unexpected_keyword_with_lone_surrogate(proto):
    before = str(proto)
    with pytest.raises(TypeError) as info:
        proto.set_session_duration(**{"\udcff": 1.0})
    assert str(info.value) == ("Protocol.set_session_duration() got an unexpected keyword "
                               "argument '\udcff'")
    unchanged(proto, before)


# --- NumPy arrays ------------------------------------------------------------

LOW_MSG = "assertion failed: *sample >= 0.0"
HIGH_MSG = "assertion failed: *sample <= 1.0"
COUNT_MSG = "assertion failed: samples.len() == self.get_num_samples()"


@pytest.fixture
def short(numpy):
    p = Protocol()
    p.set_session_duration(0.01)      # 50 samples
    return p


def stored(p, position=-1):
    variant, payload = signals_of(p)[position]
    assert variant == "Arbitrary"
    return [int(s) for s in payload["samples"]]


def levels(n):
    """n values (n up to 327) that scale exactly to 0, 100, 200, ..."""
    return np.arange(n) * 100 / 32767.0


def scaled(n):
    return [100 * k for k in range(n)]


@needs_numpy
@pytest.mark.parametrize("mode", ["r", "r+", "c"])
def test_memory_mapped(short, tmp_path, mode):
    path = tmp_path / "levels.f8"
    levels(80).tofile(path)
    mapped = np.memmap(path, dtype=np.float64, mode=mode)
    assert short.add_arbitrary_signal(mapped[10:60]) == 0
    assert short.add_arbitrary_signal(mapped[::-1][::1][20:70]) == 1     # reversed view
    assert stored(short, 0) == scaled(80)[10:60]
    assert stored(short, 1) == scaled(80)[::-1][20:70]
    del mapped


@needs_numpy
def test_memory_mapped_with_offset_and_stride(short, tmp_path):
    path = tmp_path / "levels.f8"
    with open(path, "wb") as f:
        f.write(b"\0" * 3)                    # not even aligned
        f.write(levels(100).tobytes())
    mapped = np.memmap(path, dtype=np.float64, mode="r", offset=3)
    assert short.add_arbitrary_signal(mapped[::2]) == 0
    assert stored(short) == scaled(100)[::2]


@needs_numpy
def test_views(short):
    base = levels(200)
    cases = [
        (base[37:87], scaled(200)[37:87]),                      # offset into the buffer
        (base[::4][:50], scaled(200)[::4][:50]),
        (base.reshape(50, 4)[:, 3], scaled(200)[3::4]),         # a column
        (base.reshape(4, 50)[2], scaled(200)[100:150]),         # a row
        (np.broadcast_to(base[7:8], (50,)), [scaled(200)[7]] * 50),
        (np.lib.stride_tricks.as_strided(base, shape=(50,), strides=(0,)), [0] * 50),
        (base[199:149:-1], scaled(200)[199:149:-1]),
        (np.asfortranarray(base.reshape(50, 4))[:, 1], scaled(200)[1::4]),
    ]
    for position, (array, want) in enumerate(cases):
        assert short.add_arbitrary_signal(array) == position
        assert stored(short, position) == want


@needs_numpy
def test_views_of_a_read_only_buffer(short):
    raw = levels(50).tobytes()                # bytes: read-only memory
    array = np.frombuffer(raw, dtype=np.float64)
    assert not array.flags.writeable
    assert short.add_arbitrary_signal(array) == 0
    assert short.add_arbitrary_signal(array[::-1]) == 1
    assert stored(short, 1) == scaled(50)[::-1]


@needs_numpy
def test_subclasses_that_lie(short):
    class Lies(np.ndarray):
        # What Python code sees is not what the array holds: the module
        # reads the array itself.
        shape = (49,)
        size = 7

        def __len__(self):
            return 3

        def __getitem__(self, key):
            raise AssertionError("not to be indexed")

    lying = levels(50).view(Lies)
    assert short.add_arbitrary_signal(lying) == 0
    assert stored(short) == scaled(50)

    masked = np.ma.masked_array(levels(50), mask=[True] * 50)
    assert short.add_arbitrary_signal(masked) == 1           # the data, mask or not
    assert stored(short) == scaled(50)


@needs_numpy
@pytest.mark.parametrize("make", [
    lambda: np.array([0.5] * 50, dtype=object),
    lambda: np.zeros(50, dtype=np.float16),
    lambda: np.zeros(50, dtype=np.longdouble),
    lambda: np.zeros((1, 50)),
    lambda: np.zeros((50, 0)),
    lambda: np.array([(0.5,)] * 50, dtype=[("x", "f8")]),
], ids=["object", "float16", "longdouble", "2-D", "empty 2-D", "structured"])
def test_arrays_of_other_kinds_refused(short, make):
    before = str(short)
    with pytest.raises(TypeError) as info:
        short.add_arbitrary_signal(make())
    assert str(info.value) == "argument 'samples': 'ndarray' object cannot be cast as 'ndarray'"
    unchanged(short, before)


@needs_numpy
def test_huge_longest_session(tmp_path):
    p = Protocol()
    p.set_session_duration(1800.0)
    assert p.get_num_samples() == 9_000_000
    before = str(p)
    # One sample too many, and one bad sample at the very end: refused,
    # nothing appended.
    with raises_panic(COUNT_MSG):
        p.add_arbitrary_signal(np.ones(9_000_001))
    bad = np.ones(9_000_000)
    bad[-1] = 1.5
    with raises_panic(HIGH_MSG):
        p.add_arbitrary_signal(bad)
    bad[-1] = np.nan
    with raises_panic(LOW_MSG):
        p.add_arbitrary_signal(bad)
    del bad
    assert str(p) == before
    # The full curve, and the same as a stride-0 view of one value.
    assert p.add_arbitrary_signal(np.ones(9_000_000)) == 0
    assert p.add_arbitrary_signal(np.broadcast_to(np.float64(0.0), (9_000_000,))) == 1
    p.save(str(tmp_path / "long.vexa"))
    # 9,000,000 samples of 32767 take 3 bytes each, of 0 one byte: the
    # fresh file's one filled-in signal (10 bytes) becomes two signals with
    # a count of 2, kind bytes and 4-byte sample counts.
    size = (tmp_path / "long.vexa").stat().st_size
    assert size == 200 - 10 + 1 + (1 + 4 + 3 * 9_000_000) + (1 + 4 + 9_000_000)


# --- paths -------------------------------------------------------------------

def panic_os(code, kind, message):
    return unwrap_message(f'Os {{ code: {code}, kind: {kind}, message: "{message}" }}')


@pytest.mark.parametrize("make_path, message", [
    (lambda d: os.path.join(d, "a\0b.vexa"),
     unwrap_message('Error { kind: InvalidInput, message: "file name contained an unexpected NUL '
                    'byte" }')),
    (lambda d: os.path.join(d, "\0.vexa"),
     unwrap_message('Error { kind: InvalidInput, message: "file name contained an unexpected NUL '
                    'byte" }')),
    (lambda d: os.path.join(d, "n" * 251 + ".vexa"),          # 256 bytes: one too many
     panic_os(36, "InvalidFilename", "File name too long")),
    (lambda d: os.path.join(d, "é" * 126 + ".vexa"),          # 257 bytes of UTF-8
     panic_os(36, "InvalidFilename", "File name too long")),
    (lambda d: os.path.join(d, *(["d" * 200] * 21), "x.vexa"),  # beyond PATH_MAX
     panic_os(36, "InvalidFilename", "File name too long")),
    (lambda d: os.path.join(d, "old.vexa", "x.vexa"),          # a file as a directory
     panic_os(20, "NotADirectory", "Not a directory")),
    (lambda d: os.path.join(d, "loop-a.vexa"),
     panic_os(40, "FilesystemLoop", "Too many levels of symbolic links")),
    (lambda d: os.path.join(d, "subdir.vexa"),
     panic_os(21, "IsADirectory", "Is a directory")),
], ids=["NUL", "only NUL", "256-byte name", "257 bytes of UTF-8", "path beyond PATH_MAX",
        "file as directory", "symlink loop", "directory"])
def test_hostile_paths(proto, tmp_path, make_path, message):
    (tmp_path / "old.vexa").write_bytes(OLD)
    (tmp_path / "subdir.vexa").mkdir()
    os.symlink("loop-b.vexa", tmp_path / "loop-a.vexa")
    os.symlink("loop-a.vexa", tmp_path / "loop-b.vexa")
    listing = os.listdir(tmp_path)
    proto.add_constant_signal(0.5)
    before = str(proto)
    with raises_panic(message):
        proto.save(make_path(str(tmp_path)))
    unchanged(proto, before, tmp_path, listing)
    assert (tmp_path / "old.vexa").read_bytes() == OLD
    assert os.listdir(tmp_path / "subdir.vexa") == []


@pytest.mark.parametrize("name", ["\udcff.vexa", "a\ud800b.vexa", "\udfff\udbff.vexa"])
def test_lone_surrogates(proto, in_tmp, name):
    # The interpreter's own error, from its UTF-8 encoding: not renamed.
    before = str(proto)
    with pytest.raises(UnicodeEncodeError) as info:
        proto.save(name)
    assert type(info.value) is UnicodeEncodeError
    assert not str(info.value).startswith("argument")
    unchanged(proto, before, in_tmp, [])


def test_longest_names_work(proto, in_tmp):
    # 255 bytes is the most a name may have; the temporary file beside it
    # must still fit.
    name = "n" * 250 + ".vexa"
    proto.save(name)
    assert (in_tmp / name).read_bytes() == FRESH_FILE
    proto.save(name)
    assert os.listdir(in_tmp) == [name]


# --- file system faults --------------------------------------------------------

@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_disk_full_device_written_directly(proto, in_tmp):
    # A character device is written in place, not replaced: the write
    # itself fails with ENOSPC.
    (in_tmp / "full.vexa").symlink_to("/dev/full")
    proto.add_sine_signal(1.0, 2.0, 0.0, 0.5)
    before = str(proto)
    for _ in range(3):
        with raises_panic(panic_os(28, "StorageFull", "No space left on device")):
            proto.save("full.vexa")
    unchanged(proto, before, in_tmp, ["full.vexa"])


def test_fifo_written_in_place(proto, in_tmp):
    # A FIFO is written in place too. The save blocks (holding the
    # interpreter lock) until a reader opens it, so the reader is a process.
    os.mkfifo(in_tmp / "pipe.vexa")
    reader = subprocess.Popen(
        [sys.executable, "-c", "import sys; sys.stdout.buffer.write(open(sys.argv[1], 'rb').read())",
         str(in_tmp / "pipe.vexa")], stdout=subprocess.PIPE)
    proto.save("pipe.vexa")
    out, _ = reader.communicate(timeout=60)
    assert out == FRESH_FILE
    assert sorted(os.listdir(in_tmp)) == ["pipe.vexa"]


def test_file_size_limit_every_size(tmp_path):
    # RLIMIT_FSIZE at every few bytes from 0 to past the file's size: each
    # save either writes the whole file or fails with EFBIG and leaves the
    # old one byte for byte as it was, with no temporary file left.
    (tmp_path / "limited.vexa").write_bytes(OLD)
    results = run_python("""
        import resource, signal
        import pyvexa
        p = pyvexa.Protocol()
        p.add_ramp_signal(1.0, 0.5, 0.25)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        out = []
        for limit in list(range(0, 240, 7)) + [10**6]:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
            result = outcome(p.save, "limited.vexa")
            resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
            with open("limited.vexa", "rb") as f:
                out.append([limit, result, f.read().hex(), sorted(os.listdir("."))])
        print(json.dumps(out))
    """, cwd=tmp_path)
    size = 200 - (1 + 9) + (1 + 25)   # count and ramp instead of count and filled-in constant
    efbig = ["pyo3_runtime.PanicException", panic_os(27, "FileTooLarge", "File too large")]
    saved = None
    for limit, result, content, listing in results:
        assert listing == ["limited.vexa"]
        if limit < size:
            assert result == efbig, (limit, result)
            assert bytes.fromhex(content) == OLD
        else:
            assert result == ["ok", "None"]
            saved = bytes.fromhex(content)
    assert saved is not None and len(saved) == size


NOBODY = 65534


def drop_root():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def unprivileged():
    """preexec_fn for a child that runs as an unprivileged user, or a
    reason why there is none."""
    if os.geteuid() != 0:
        return None, None                   # this user is one already
    try:
        subprocess.run([sys.executable, "-c", "pass"], preexec_fn=drop_root, check=True,
                       timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        return None, f"root cannot become nobody here: {e}"
    return drop_root, None


@pytest.fixture
def world_dir():
    """A directory an unprivileged user can reach (pytest's own are root's)."""
    path = tempfile.mkdtemp(prefix="pyvexa-hostile-")
    os.chmod(path, 0o755)
    try:
        yield path
    finally:
        for root, dirs, _ in os.walk(path):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(path)


def test_read_only_directory_as_unprivileged_user(world_dir):
    preexec, why_not = unprivileged()
    if why_not:
        pytest.skip(why_not)
    directory = os.path.join(world_dir, "ro")
    os.mkdir(directory)
    old = os.path.join(directory, "old.vexa")
    with open(old, "wb") as f:
        f.write(OLD)
    os.chmod(old, 0o644)
    os.chmod(directory, 0o555)
    try:
        results = run_python(f"""
            import pyvexa
            p = pyvexa.Protocol()
            print(json.dumps([outcome(p.save, {old!r}),
                              outcome(p.save, {os.path.join(directory, 'new.vexa')!r}),
                              str(p).count("Constant(")]))
        """, cwd="/", preexec_fn=preexec)
    finally:
        os.chmod(directory, 0o755)
    denied = ["pyo3_runtime.PanicException", panic_os(13, "PermissionDenied", "Permission denied")]
    assert results == [denied, denied, 1]
    assert sorted(os.listdir(directory)) == ["old.vexa"]
    with open(old, "rb") as f:
        assert f.read() == OLD
