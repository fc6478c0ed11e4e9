"""Calls every operation of the module many times, on success and on each
way it can fail, and measures what stays behind. Run by test_leaks.py in
a fresh interpreter of its own, so that nothing else allocates meanwhile:

    python leakcheck.py DIRECTORY PLAN

DIRECTORY is an empty scratch directory (on tmpfs if possible: the
successful saves flush to disk). PLAN is a JSON object: "calls", the
cases to run with the number of calls each, and "numpy": "import" (the
cases that pass NumPy objects), "block" (behave as a process without
NumPy: its import fails) or "absent" (not imported; a full collection of
PyPy's heap is then several times cheaper). Prints one JSON object: per
case the outcomes seen, and the growth over its calls, after a warm-up,
of the resident set (anonymous memory), of the bytes in use in the C heap
and (CPython) of the interpreter's allocated blocks and of the reference
counts of the protocol and of every argument object. The resident set and
the heap are also read after each of PARTS equal parts of the loop: a leak
grows them in every part by the same amount, while an interpreter's
one-time steps (a new arena, JIT code, a huge page) fall into a few parts
only.
"""
import array
import ctypes
import ctypes.util
import gc
import json
import os
import resource
import signal
import sys
import time

import pyvexa
from pyvexa import Channel, Coil, Protocol

IS_PYPY = sys.implementation.name == "pypy"
SANITIZED = bool(os.environ.get("PYVEXA_SANITIZER"))
WARM_UP = 2000
PARTS = 12
# add_* calls on one protocol before it is replaced by a fresh one, so
# that a successful add costs the same memory on every call of the loop.
RENEW_EVERY = 1000

PAGE = os.sysconf("SC_PAGE_SIZE")


def no_huge_pages():
    """The kernel assembles transparent huge pages in the background, when
    a loaded machine gets round to it: 2 MiB more resident at any moment.
    This process does without them (prctl PR_SET_THP_DISABLE)."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(41, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def settle():
    """Collects the garbage, and empties CPython's method cache first: it
    holds the last attribute name looked up in each of its slots, and a
    name made afresh for a lookup (as PyObject_GetAttrString makes one)
    stays there until another lookup takes the slot: a few allocated
    blocks now and then, in any part of any loop."""
    clear_type_cache = getattr(sys, "_clear_type_cache", None)
    if clear_type_cache is not None:
        clear_type_cache()
    gc.collect()


def resident_bytes():
    """The anonymous part of the resident set: what a leak grows. Pages of
    mapped files (the interpreter's own code) come and go as the kernel
    reclaims them under a neighbour's memory pressure."""
    with open("/proc/self/statm") as f:
        fields = f.read().split()
    return (int(fields[1]) - int(fields[2])) * PAGE


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_reader():
    """Bytes the C heap has handed out and not had back (glibc's
    mallinfo2), or None where it cannot be read (the sanitizer's allocator
    replaces glibc's)."""
    if SANITIZED:
        return None
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        # Small chunks only: with the mmap threshold fixed (test_leaks.py
        # sets it), a collector's arenas are mapped, not in this count.
        return mallinfo2().uordblks
    return in_use


heap_in_use = heap_reader()


def refcount(obj):
    return None if IS_PYPY else sys.getrefcount(obj)


# --- argument objects ----------------------------------------------------

class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    def __float__(self):
        raise ValueError("no number here")

    __index__ = __float__


def _refuse(value):
    big = [value] * 1000        # frames that hold something
    raise TypeError("no number in here")


class RaisesDeep:
    """A TypeError from two frames down, with a traceback that holds them:
    fetched by C code on PyPy, such an exception was never freed."""
    def __float__(self):
        _refuse(self)

    __index__ = __float__


class ReEnters:
    """A number whose conversion calls back into the protocol that is
    converting it; that inner call must be refused."""
    def __init__(self, inner, value):
        self.inner, self.value, self.refused = inner, value, 0

    def _run(self):
        try:
            self.inner()
        except RuntimeError:
            self.refused += 1
        return self.value

    def __float__(self):
        return float(self._run())

    def __index__(self):
        return int(self._run())


# --- the cases -----------------------------------------------------------

NO_NUMPY_CASE = "add_arbitrary_signal without NumPy"


def cases(scratch, np):
    """(name, callable, args, kwargs, expected outcome, renew, owner) for
    every path: with NumPy objects where `np` is the NumPy module, and the
    call that finds no NumPy where it is None. `renew` marks add_*
    successes: their protocol is replaced every RENEW_EVERY calls."""
    p = Protocol()
    out = []

    def case(name, fn, args=(), kwargs=None, expect="ok", renew=False, owner=None):
        out.append((name, fn, tuple(args), dict(kwargs or {}), expect, renew, owner or p))

    # Distinct objects, so that their reference counts are theirs alone.
    ten = float("10.0")
    half = float("0.5")
    big_index = int("1000003")

    case("Protocol()", Protocol)
    case("Protocol(1)", Protocol, [big_index], expect="TypeError")
    case("Protocol(x=1)", Protocol, kwargs={"x": big_index}, expect="TypeError")

    m = p.set_session_duration
    case("set_session_duration ok", m, [ten])
    case("set_session_duration ok int", m, [int("30")])
    case("set_session_duration ok __float__", m, [HasFloat(ten)])
    case("set_session_duration ok keyword", m, kwargs={"duration": ten})
    case("set_session_duration too short", m, [float("0.001")], expect="PanicException")
    case("set_session_duration too long", m, [float("1e9")], expect="PanicException")
    case("set_session_duration NaN", m, [float("nan")], expect="PanicException")
    case("set_session_duration str", m, ["10"], expect="TypeError")
    case("set_session_duration missing", m, expect="TypeError")
    case("set_session_duration too many", m, [ten, ten], expect="TypeError")
    case("set_session_duration unknown keyword", m, kwargs={"seconds": ten}, expect="TypeError")
    case("set_session_duration repeated keyword", m, [ten], {"duration": ten}, expect="TypeError")
    case("set_session_duration __float__ raises", m, [Raises()], expect="ValueError")
    case("set_session_duration __float__ wrong type", m, [HasFloat("10")], expect="TypeError")
    case("set_session_duration __float__ TypeError deep", m, [RaisesDeep()], expect="TypeError")

    m = p.set_stimulation_intensity
    case("set_stimulation_intensity ok", m, [half])
    case("set_stimulation_intensity out of range", m, [float("2.0")], expect="PanicException")
    case("set_stimulation_intensity None", m, [None], expect="TypeError")

    m = p.enable_channel
    case("enable_channel ok", m, [Channel.B])
    case("enable_channel int", m, [big_index], expect="TypeError")
    case("enable_channel Coil", m, [Coil.A1], expect="TypeError")

    m = p.set_amplitude_source
    case("set_amplitude_source ok", m, [Coil.B2, True, big_index])
    case("set_amplitude_source ok __index__", m, [Coil.A1, False, HasIndex(big_index)])
    case("set_amplitude_source external int", m, [Coil.A1, big_index, big_index],
         expect="TypeError")
    case("set_amplitude_source negative index", m, [Coil.A1, True, int("-5")],
         expect="OverflowError")
    case("set_amplitude_source index 2**64", m, [Coil.A1, True, 2**64], expect="OverflowError")
    case("set_amplitude_source float index", m, [Coil.A1, True, half], expect="TypeError")
    case("set_amplitude_source Channel as coil", m, [Channel.A, True, big_index],
         expect="TypeError")
    case("set_amplitude_source __index__ raises", m, [Coil.A2, True, Raises()],
         expect="ValueError")
    case("set_amplitude_source __index__ TypeError deep", m, [Coil.A2, True, RaisesDeep()],
         expect="TypeError")
    if np is not None:
        case("set_amplitude_source ok numpy bool", m, [Coil.B1, np.bool_(True), big_index])

    m = p.set_modulation_source
    case("set_modulation_source ok", m, [Channel.A, False, big_index])
    case("set_modulation_source Coil as channel", m, [Coil.A1, False, big_index],
         expect="TypeError")
    case("set_modulation_source negative index", m, [Channel.B, True, int("-1")],
         expect="OverflowError")

    q = Protocol()
    case("add_constant_signal ok", q.add_constant_signal, [half], renew=True, owner=q)
    case("add_constant_signal str", p.add_constant_signal, ["0.5"], expect="TypeError")
    case("add_constant_signal missing", p.add_constant_signal, expect="TypeError")
    q = Protocol()
    case("add_sine_signal ok", q.add_sine_signal, [half, ten, half, half], renew=True, owner=q)
    case("add_sine_signal bad third", p.add_sine_signal, [half, ten, "x", half],
         expect="TypeError")
    case("add_sine_signal missing three", p.add_sine_signal, [half], expect="TypeError")
    q = Protocol()
    case("add_ramp_signal ok", q.add_ramp_signal, [half, ten, half], renew=True, owner=q)
    case("add_ramp_signal bad keyword", p.add_ramp_signal, [half, ten], {"down": half},
         expect="TypeError")
    q = Protocol()
    case("add_mixed_signal ok", q.add_mixed_signal, [big_index, 2**64 - 1], renew=True, owner=q)
    case("add_mixed_signal negative", p.add_mixed_signal, [big_index, int("-2")],
         expect="OverflowError")
    case("add_mixed_signal float", p.add_mixed_signal, [half, big_index], expect="TypeError")

    if np is not None:
        short = Protocol()
        short.set_session_duration(0.01)      # 50 samples
        case("add_arbitrary_signal ok", short.add_arbitrary_signal,
             [np.linspace(0.0, 1.0, 50)], renew=True, owner=short)
        case("add_arbitrary_signal ok strided view", short.add_arbitrary_signal,
             [np.linspace(0.0, 1.0, 100)[::-2]], renew=True, owner=short)
        case("add_arbitrary_signal wrong count", short.add_arbitrary_signal,
             [np.full(49, 0.5)], expect="PanicException", owner=short)
        low = np.full(50, 0.5)
        low[30] = -0.25
        case("add_arbitrary_signal sample below 0", short.add_arbitrary_signal, [low],
             expect="PanicException", owner=short)
        high = np.full(50, 0.5)
        high[49] = 1.5
        case("add_arbitrary_signal sample above 1", short.add_arbitrary_signal, [high],
             expect="PanicException", owner=short)
        case("add_arbitrary_signal list", short.add_arbitrary_signal, [[0.5] * 50],
             expect="TypeError", owner=short)
        case("add_arbitrary_signal float32", short.add_arbitrary_signal,
             [np.full(50, 0.5, dtype=np.float32)], expect="TypeError", owner=short)
        case("add_arbitrary_signal 2-D", short.add_arbitrary_signal, [np.full((50, 1), 0.5)],
             expect="TypeError", owner=short)
    else:
        case(NO_NUMPY_CASE, p.add_arbitrary_signal, [[0.5] * 50], expect="PanicException")

    case("get_num_samples ok", p.get_num_samples)
    case("get_sampling_rate ok", p.get_sampling_rate)
    case("get_sampling_rate argument", p.get_sampling_rate, [big_index], expect="TypeError")
    case("str ok", str, [p])
    case("repr Coil", repr, [Coil.B1])
    case("int Channel", int, [Channel.B])
    case("Coil()", Coil, expect="TypeError")
    case("Channel()", Channel, expect="TypeError")

    # Every method refused while the protocol is busy converting an
    # argument of its own: the outer call succeeds, the inner one raises.
    inner_calls = {
        "set_session_duration": lambda: p.set_session_duration(ten),
        "set_stimulation_intensity": lambda: p.set_stimulation_intensity(half),
        "enable_channel": lambda: p.enable_channel(Channel.A),
        "set_amplitude_source": lambda: p.set_amplitude_source(Coil.A1, True, 1),
        "set_modulation_source": lambda: p.set_modulation_source(Channel.A, True, 1),
        "add_constant_signal": lambda: p.add_constant_signal(half),
        "add_sine_signal": lambda: p.add_sine_signal(half, half, half, half),
        "add_ramp_signal": lambda: p.add_ramp_signal(half, half, half),
        "add_mixed_signal": lambda: p.add_mixed_signal(0, 1),
        "add_arbitrary_signal": lambda: p.add_arbitrary_signal(None),
        "get_num_samples": lambda: p.get_num_samples(),
        "get_sampling_rate": lambda: p.get_sampling_rate(),
        "save": lambda: p.save(os.path.join(scratch, "never.vexa")),
        "str": lambda: str(p),
    }
    for name, inner in inner_calls.items():
        case(f"{name} refused (borrowed)", p.set_stimulation_intensity,
             [ReEnters(inner, half)])

    # save: on success to tmpfs where there is one, and every failure.
    target = os.path.join(scratch, "saved.vexa")
    case("save ok", p.save, [target])
    case("save ok keyword", p.save, kwargs={"filepath": target})
    case("save wrong extension", p.save, [os.path.join(scratch, "saved.txt")],
         expect="PanicException")
    case("save bytes", p.save, [target.encode()], expect="TypeError")
    case("save missing", p.save, expect="TypeError")
    case("save NUL", p.save, [os.path.join(scratch, "a\0b.vexa")], expect="PanicException")
    case("save lone surrogate", p.save, [os.path.join(scratch, "\udcff.vexa")],
         expect="UnicodeEncodeError")
    case("save no such directory", p.save, [os.path.join(scratch, "no", "x.vexa")],
         expect="PanicException")
    os.mkdir(os.path.join(scratch, "dir.vexa"))
    case("save onto a directory", p.save, [os.path.join(scratch, "dir.vexa")],
         expect="PanicException")
    case("save name too long", p.save, [os.path.join(scratch, "n" * 300 + ".vexa")],
         expect="PanicException")
    os.symlink("loop2.vexa", os.path.join(scratch, "loop1.vexa"))
    os.symlink("loop1.vexa", os.path.join(scratch, "loop2.vexa"))
    case("save symlink loop", p.save, [os.path.join(scratch, "loop1.vexa")],
         expect="PanicException")
    if os.path.exists("/dev/full"):
        os.symlink("/dev/full", os.path.join(scratch, "full.vexa"))
        case("save disk full", p.save, [os.path.join(scratch, "full.vexa")],
             expect="PanicException")
    case("save file size limit", p.save, [target], expect="PanicException")
    return out


def loop(fn, args, kwargs, n, renew, owner_slot):
    """Calls fn n times; the outcome names with their counts."""
    seen = {}
    method_name = fn.__name__ if renew else None
    for i in range(n):
        if renew and i % RENEW_EVERY == 0:
            fresh = Protocol()
            if owner_slot[0].get_num_samples() != fresh.get_num_samples():
                fresh.set_session_duration(0.01)
            owner_slot[0] = fresh
            fn = getattr(fresh, method_name)
        try:
            fn(*args, **kwargs)
            outcome = "ok"
        except BaseException as e:      # noqa: B036 - PanicException is one
            outcome = type(e).__name__
        seen[outcome] = seen.get(outcome, 0) + 1
    return seen


class Profile:
    """The resident set, the heap and the blocks read after each part, in
    storage made beforehand: a tuple per reading would itself be a few
    allocated blocks a part, the whole bound of a short loop on CPython."""
    def __init__(self):
        self.values = array.array("q", [0]) * (3 * (PARTS + 1))

    def take(self, i):
        heap = heap_in_use() if heap_in_use else 0
        self.values[3 * i] = resident_bytes()
        self.values[3 * i + 1] = heap
        self.values[3 * i + 2] = 0 if IS_PYPY else sys.getallocatedblocks()

    def parts(self, measure):
        """Growth of one measure (0, 1, 2) in each part."""
        v = self.values[measure::3]
        return [b - a for a, b in zip(v, v[1:])]


def measure(name, fn, args, kwargs, expect, renew, owner, calls):
    owner_slot = [owner]
    # None, True and False are everybody's: their counts move with anything.
    watched = [o for o in [owner] + list(args) + list(kwargs.values())
               if o is not None and o is not True and o is not False]
    limit = name == "save file size limit"
    if limit:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, resource.RLIM_INFINITY))
    profile = Profile()
    seen = {}
    try:
        warm = loop(fn, args, kwargs, WARM_UP, renew, owner_slot)
        owner_slot[0] = owner
        settle()
        refs_before = [refcount(o) for o in watched]
        profile.take(0)
        for part in range(PARTS):
            n = calls // PARTS + (calls % PARTS if part == PARTS - 1 else 0)
            for outcome, count in loop(fn, args, kwargs, n, renew, owner_slot).items():
                seen[outcome] = seen.get(outcome, 0) + count
            owner_slot[0] = owner
            settle()
            profile.take(part + 1)
        refs_after = [refcount(o) for o in watched]
    finally:
        if limit:
            resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
    # The protocol is free again and whole.
    owner.get_num_samples()
    str(owner)
    refused = sum(getattr(a, "refused", 0) for a in args)
    rss, heap, blocks = (profile.parts(m) for m in range(3))
    return {
        "expect": expect,
        "calls": calls,
        "seen": seen,
        "warm_up": warm,
        "refused_inside": refused,
        "rss_delta": sum(rss),
        "heap_delta": sum(heap) if heap_in_use else None,
        # Growth in each part.
        "rss_parts": rss,
        "heap_parts": heap if heap_in_use else None,
        "blocks_delta": None if IS_PYPY else sum(blocks),
        "blocks_parts": None if IS_PYPY else blocks,
        "refcount_deltas": None if IS_PYPY else [a - b for a, b in zip(refs_after, refs_before)],
    }


def failed_import():
    try:
        import numpy  # noqa: F401
    except ImportError:
        pass


def measure_import_baseline(calls):
    """The same failed import of NumPy done by Python code alone, with
    what it leaves behind per part: on PyPy a failed import retains memory
    of its own, which the module's failure path cannot be asked to avoid."""
    for _ in range(WARM_UP):
        failed_import()
    profile = Profile()
    settle()
    profile.take(0)
    for part in range(PARTS):
        for _ in range(calls // PARTS + (calls % PARTS if part == PARTS - 1 else 0)):
            failed_import()
        settle()
        profile.take(part + 1)
    return profile.parts(0), profile.parts(1)


def load_numpy(mode):
    """NumPy as the plan asks: "import" it, "block" its import (where it is
    on the path, as CPython's is), or leave it "absent"."""
    if mode == "block":
        sys.modules["numpy"] = None
    if mode != "import":
        return None
    import numpy
    return numpy


def main():
    no_huge_pages()
    scratch, plan = sys.argv[1], json.loads(sys.argv[2])
    np = load_numpy(plan["numpy"])
    wanted = plan["calls"]
    results = {}
    for name, fn, args, kwargs, expect, renew, owner in cases(scratch, np):
        if name not in wanted:
            continue
        started = time.process_time()
        results[name] = measure(name, fn, args, kwargs, expect, renew, owner, wanted[name])
        results[name]["cpu_seconds"] = round(time.process_time() - started, 3)
        if name == NO_NUMPY_CASE:
            rss, heap = measure_import_baseline(wanted[name])
            results[name]["baseline_rss_parts"] = rss
            results[name]["baseline_heap_parts"] = heap
    missing = set(wanted) - set(results)
    assert not missing, f"no such case here: {sorted(missing)}"
    print(json.dumps({"interpreter": sys.implementation.name, "numpy": np is not None,
                      "sanitized": SANITIZED, "cases": results}))


if __name__ == "__main__":
    # The failure reports of PanicException go to stderr, one line each.
    main()
