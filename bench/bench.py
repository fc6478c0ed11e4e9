"""Benchmarks of pyvexa against floors measured in the same run.

Every row times one pyvexa operation and a floor: the cheapest thing this
interpreter and this machine can do that has to move the same data (a NumPy
cast, a plain file write, an ASCII decode of the same length, the cheapest
str of that length native code can make, a call of a native method that
does nothing but what every pyvexa method must do, a NumPy script that
writes the same bytes). Op and floor runs alternate, so a
change in machine load hits both; the table shows the median of each, the
median of the ratios of side-by-side runs, which is held against the
target, and the spread of the op runs ((max - min) / median). Times are
this thread's CPU time (`--clock wall` for wall-clock time), see `clock`.

    PYTHONPATH=<build>/pyvexa:<build>/bench python bench.py [--runs 7] [--json out.json]

`make bench` builds and runs it for CPython and PyPy (PyPy with the NumPy
built for it first on PYTHONPATH; without NumPy the rows that need it show
N/A). Before anything is timed the process allocates, touches and frees a
few hundred MB, as any real script has done before it prints or saves a
large protocol: a fresh process gets memory (and huge pages) that a used
one does not, and figures taken in a fresh one flatter whatever depends on
that. Memory rows run in a child process that churns the same way.

The header names the processor, how much memory was faulted in and freed
before the runs (--churn), the huge-page settings and whether the kernel
takes MADV_POPULATE_WRITE.

Rows: the 9,000,000-sample protocol (1800 s at 5000 samples/s: the
longest session) added, saved and printed (each str() against both the
decode and the native str, see TEXT_GOALS); 1,000,000 small signals
(constants and sines) saved and printed; the whole script (Protocol, add
the curve, save, str) against a NumPy script that writes the same file and
builds the same text; and single calls. Call rows alternate at least 21
pairs of op and floor runs of 200,000 calls each (a fifth of `--calls`),
20 calls per loop iteration; add_constant_signal appends to a new protocol
every 10,000 calls. The last two rows are not pyvexa operations: the
interpreter's own cost for making a bare native object and for the
keyword-accepting convention that pyvexa's methods use.
"""
import argparse
import datetime
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

IS_PYPY = sys.implementation.name == "pypy"
INTERPRETER = "%s %s" % (sys.implementation.name, platform.python_version())
if IS_PYPY:
    INTERPRETER = "PyPy %d.%d.%d (Python %s)" % (sys.pypy_version_info[:3] + (platform.python_version(),))
else:
    INTERPRETER = "CPython " + platform.python_version()

try:
    import numpy
except ImportError:
    numpy = None

import pyvexa
import noop

LONGEST_SESSION = 1800.0   # seconds; 9,000,000 samples at 5000 samples/s
SMALL_SIGNALS = 1_000_000
TMPFS = "/dev/shm"
SAMPLE_SCALE = 32767.0     # a level of 1.0 is this sample


# --- timing -------------------------------------------------------------------

# The CPU time of this thread, page faults and file writes included (the
# kernel charges them to the thread), by default: on a machine shared with
# other work a wall-clock run is stretched by every time slice it loses,
# and a long op run loses more of them than the short floor run beside it,
# which skews the ratio however many runs are taken. --clock wall for
# wall-clock time.
clock = time.thread_time

# How much memory is faulted in and freed before anything is timed
# (--churn; 0 measures a fresh process's memory).
CHURN_MB = 400


def churn(mb=None):
    """Allocates, touches and frees `mb` MB (by default CHURN_MB) in pieces
    of 4 MB, as a script that has worked a while has done."""
    if mb is None:
        mb = CHURN_MB
    junk = [bytearray(4 << 20) for _ in range(mb // 4)]
    for j in junk:
        j[::4096] = b"\1" * len(range(0, len(j), 4096))
    del junk
    gc.collect()


def timed(fn):
    """Seconds taken by one call of fn(); the garbage collector is held off
    so that its pauses land on neither side of a comparison."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        t0 = clock()
        fn()
        return clock() - t0
    finally:
        if enabled:
            gc.enable()


class Row:
    def __init__(self, operation, floor, target, limit, unit="ms", note="", spread_limit=None,
                 speedup=False):
        self.operation, self.floor, self.target, self.limit = operation, floor, target, limit
        self.unit, self.note, self.spread_limit = unit, note, spread_limit
        # speedup rows: the ratio is floor over op, held against a lower
        # bound in every pair of runs.
        self.speedup = speedup
        self.op_times, self.floor_times = [], []
        self.error = None

    @property
    def op_median(self):
        return statistics.median(self.op_times)

    @property
    def floor_median(self):
        return statistics.median(self.floor_times)

    def ratios(self):
        if len(self.op_times) == len(self.floor_times) > 1:
            pairs = zip(self.op_times, self.floor_times)
        else:
            pairs = [(self.op_median, self.floor_median)]
        return [f / o if self.speedup else o / f for o, f in pairs]

    @property
    def ratio(self):
        """The median of the ratios of runs taken side by side, when the
        runs came in pairs (load that drifts during a row then cancels);
        otherwise the ratio of the medians."""
        return statistics.median(self.ratios())

    @property
    def spread(self):
        return (max(self.op_times) - min(self.op_times)) / self.op_median

    def met(self):
        if self.error or self.limit is None:
            return None
        # Held to the figures as the table shows them (two decimals).
        if self.speedup:
            ok = round(min(self.ratios()), 2) >= self.limit
        else:
            ok = round(self.ratio, 2) <= self.limit
        if self.spread_limit is not None:
            ok = ok and self.spread <= self.spread_limit
        return ok

    def as_dict(self):
        d = dict(operation=self.operation, floor=self.floor, target=self.target,
                 unit=self.unit, note=self.note, error=self.error)
        if not self.error:
            d.update(op=self.op_median, floor_value=self.floor_median, ratio=self.ratio,
                     spread=self.spread, met=self.met(), op_runs=self.op_times,
                     floor_runs=self.floor_times)
        return d


def failed(row, e):
    if isinstance(e, KeyboardInterrupt):
        raise e
    row.error = "%s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else "")


def compare(row, runs, op, floor, setup=None):
    """Alternates floor and op runs. `setup`, when given, is called untimed
    before every op run and its result passed to op (a fresh protocol, so
    that runs do not pile up signals)."""
    try:
        for _ in range(runs):
            row.floor_times.append(timed(floor))
            if setup is None:
                row.op_times.append(timed(op))
            else:
                state = setup()
                row.op_times.append(timed(lambda: op(state)))
                del state
    except BaseException as e:  # a missing operation shows up in the table
        failed(row, e)
    return row


def compare_floors(rows, runs, op, floors):
    """One op against several floors: each round times every floor, then
    op; the rows share op's runs and each has its own floor's, so every
    ratio is of runs taken side by side."""
    shared = []
    for r in rows:
        r.op_times = shared
    try:
        for _ in range(runs):
            for r, floor in zip(rows, floors):
                r.floor_times.append(timed(floor))
            shared.append(timed(op))
    except BaseException as e:
        for r in rows:
            failed(r, e)
    return rows


# --- the protocols ------------------------------------------------------------

def levels(n, step=1):
    """n levels in 0..1 as a script would pass them, as a view with the
    given step over an array step times as long."""
    rng = numpy.random.default_rng(20240501)
    base = rng.random(n * step)
    return base[::step] if step != 1 else base


def session_protocol():
    """A new protocol set to the longest session, ready for its curve."""
    p = pyvexa.Protocol()
    p.set_session_duration(LONGEST_SESSION)
    return p


def longest_protocol(curve):
    p = session_protocol()
    p.add_arbitrary_signal(curve)
    return p


def small_signals_protocol(count=SMALL_SIGNALS):
    """`count` small signals, constants and sines alternating, with
    everyday values."""
    p = pyvexa.Protocol()
    for i in range(count // 2):
        p.add_constant_signal(0.5)
        p.add_sine_signal(1.0, 10.0 + (i % 50), 0.0, 0.5)
    return p


# --- the NumPy script -----------------------------------------------------------

class NumpyScript:
    """What a script would do without pyvexa to write the same file and
    the same text for a curve: convert the levels to samples with NumPy
    (rounding half away from zero, as the file needs), encode them as
    zigzag varints with NumPy, write head + samples + tail, and build the
    text from the sample lines. The parts around the samples (the settings,
    which do not depend on the curve) are taken once from pyvexa's own
    output, as such a script would carry them; check() proves that the
    bytes and the text are the same."""

    def __init__(self, curve, pyvexa_file, pyvexa_text):
        samples = self.samples(curve)
        encoded = self.encode(samples)
        at = pyvexa_file.index(encoded)
        self.file_head = pyvexa_file[:at - len(self.varint(len(samples)))]
        self.file_tail = pyvexa_file[at + len(encoded):]
        lines = self.lines(samples)
        at = pyvexa_text.index(lines)
        self.text_head, self.text_tail = pyvexa_text[:at], pyvexa_text[at + len(lines):]

    @staticmethod
    def samples(curve):
        if not ((curve >= 0.0).all() and (curve <= 1.0).all()):
            raise ValueError("levels out of range")
        y = curve * SAMPLE_SCALE
        t = y.astype(numpy.int32)
        t += (y - t) >= 0.5
        return t.astype(numpy.int16)

    @staticmethod
    def varint(n):
        out = bytearray()
        while True:
            b = n & 0x7F
            n >>= 7
            if n:
                out.append(b | 0x80)
            else:
                out.append(b)
                return bytes(out)

    @staticmethod
    def encode(samples):
        s = samples.astype(numpy.int32)
        z = ((s << 1) ^ (s >> 15)) & 0xFFFF
        length = 1 + (z >= 0x80) + (z >= 0x4000)
        parts = numpy.empty((len(z), 3), dtype=numpy.uint8)
        parts[:, 0] = (z & 0x7F) | ((z >= 0x80) << 7)
        parts[:, 1] = ((z >> 7) & 0x7F) | ((z >= 0x4000) << 7)
        parts[:, 2] = z >> 14
        return parts[numpy.arange(3) < length[:, None]].tobytes()

    @staticmethod
    def lines(samples):
        pad = " " * 24
        return "".join(["%s%d,\n" % (pad, v) for v in samples.tolist()])

    def run(self, curve, path):
        samples = self.samples(curve)
        with open(path, "wb") as f:
            f.write(self.file_head + self.varint(len(samples)) + self.encode(samples)
                    + self.file_tail)
        return self.text_head + self.lines(samples) + self.text_tail

    def check(self, curve, path, pyvexa_file, pyvexa_text):
        text = self.run(curve, path)
        with open(path, "rb") as f:
            if f.read() != pyvexa_file or text != pyvexa_text:
                raise AssertionError("the NumPy script's output differs from pyvexa's")


def pyvexa_script(curve, path):
    p = session_protocol()
    p.add_arbitrary_signal(curve)
    p.save(path)
    return str(p)


# --- rows -----------------------------------------------------------------------

def rows_arbitrary(runs):
    rows = []
    n = int(LONGEST_SESSION * 5000)
    cases = [
        (Row("`add_arbitrary_signal` of 9,000,000 contiguous float64 (1800 s session)",
             "`a.astype(numpy.int16)`", "<= 1.5x", 1.5), 1),
        (Row("the same with a step-2 view", "the same floor on the view", "<= 2x", 2.0), 2),
    ]
    for r, step in cases:
        if numpy is None:
            r.error = "N/A: needs NumPy"
        else:
            a = levels(n, step=step)
            compare(r, runs, lambda p: p.add_arbitrary_signal(a),
                    lambda: a.astype(numpy.int16), setup=session_protocol)
            del a
        rows.append(r)
    return rows


def text_floor(size):
    """A buffer of `size` ASCII bytes shaped like sample lines."""
    unit = b"                        12345,\n"
    return unit * (size // len(unit)) + b" " * (size % len(unit))


# The goals of str(). Against `bytes.decode` under CPython, where decoding
# ASCII bytes is one pass into a fresh str, as str() is. PyPy decodes ASCII
# bytes without copying them and copies every str a native module hands it,
# so there the goal is held against the cheapest str native code can make:
# PyUnicode_New of the same length filled with memset (`noop.native_str`).
# The other floor of each interpreter is shown beside it.
TEXT_GOALS = {  # (kind, interpreter is PyPy) -> (floor, limit)
    ("large", False): ("decode", 0.75), ("small", False): ("decode", 1.0),
    ("large", True): ("native", 0.85), ("small", True): ("native", 0.95),
}
DECODE_FLOOR = "`bytes.decode('ascii')` of a buffer of the same length"
NATIVE_FLOOR = "`noop.native_str(n)`: `PyUnicode_New(n, 127)` filled with `memset`"


def text_rows(what, kind):
    """The rows of one str(): against the decode floor and against the
    native floor, the goal on the one this interpreter is held to."""
    goal, limit = TEXT_GOALS[kind, IS_PYPY]
    rows = []
    for floor, name in (("decode", DECODE_FLOOR), ("native", NATIVE_FLOOR)):
        held = floor == goal
        rows.append(Row("`str()` of %s" % what, name, "<= %gx" % limit if held else "report",
                        limit if held else None))
    return rows


def rows_save_str(runs, p, what, groups, kind):
    rows = []
    if "file" in groups:
        directory = tempfile.mkdtemp(prefix="pyvexa-bench-", dir=TMPFS)
        target = os.path.join(directory, "bench.vexa")
        plain = os.path.join(directory, "plain.bin")
        r = Row("`save()` of %s into %s" % (what, TMPFS),
                "a plain Python file write of the same bytes, same directory", "<= 2x", 2.0)
        try:
            p.save(target)
            with open(target, "rb") as f:
                data = f.read()
            r.note = "%.1f MB file" % (len(data) / 1e6)

            def write_plain():
                with open(plain, "wb") as f:
                    f.write(data)
            compare(r, runs, lambda: p.save(target), write_plain)
            del data
        except BaseException as e:
            failed(r, e)
        finally:
            for name in (target, plain):
                if os.path.exists(name):
                    os.unlink(name)
            os.rmdir(directory)
        rows.append(r)
    if "text" in groups:
        rows_text = text_rows(what, kind)
        # What the kernel's one-call fault-in gains on the floor itself.
        populated = Row("`noop.native_str(n, True)`: the native floor, its pages faulted in "
                        "with one `madvise(MADV_POPULATE_WRITE)`", NATIVE_FLOOR, "report", None)
        try:
            # Under PyPy a full collection between building the protocol and
            # the first str() decides whether later calls fault their memory
            # in afresh (about 3x) or reuse it (about 2x); the runs collect
            # before every call, so collect here too and measure the first,
            # whatever groups ran before.
            gc.collect()
            size = len(str(p))
            for r in rows_text:
                r.note = "%.1f MB text" % (size / 1e6)
            buf = text_floor(size)
            churn(CHURN_MB)
            compare_floors(rows_text, runs, lambda: str(p),
                           [lambda: buf.decode("ascii"), lambda: noop.native_str(size)])
            if kind == "large":
                compare(populated, runs, lambda: noop.native_str(size, True),
                        lambda: noop.native_str(size))
                populated.note = "%.1f MB" % (size / 1e6)
            del buf
        except BaseException as e:
            for r in rows_text:
                failed(r, e)
        rows += rows_text
        if kind == "large":
            rows.append(populated)
    return rows


def row_end_to_end(runs, curve):
    r = Row("end to end: `Protocol()`, add the 9,000,000-sample curve, `save()`, `str()`",
            "a NumPy script writing the same file and the same text", ">= 4x faster, every run",
            4.0, speedup=True)
    if numpy is None:
        r.error = "N/A: needs NumPy"
        return r
    directory = tempfile.mkdtemp(prefix="pyvexa-bench-", dir=TMPFS)
    ours, theirs = os.path.join(directory, "ours.vexa"), os.path.join(directory, "theirs.vexa")
    try:
        text = pyvexa_script(curve, ours)
        with open(ours, "rb") as f:
            data = f.read()
        script = NumpyScript(curve, data, text)
        script.check(curve, theirs, data, text)
        del text, data
        churn()
        compare(r, runs, lambda: pyvexa_script(curve, ours), lambda: script.run(curve, theirs))
        r.note = "speed-up, the slowest pair %.1fx" % min(r.ratios()) if not r.error else ""
    except BaseException as e:
        failed(r, e)
    finally:
        for name in (ours, theirs):
            if os.path.exists(name):
                os.unlink(name)
        os.rmdir(directory)
    return r


# Run in a child so that the high-water mark is this operation's alone: the
# memory is churned, the protocol built, the array dropped, the mark reset
# to the current RSS, then str() runs and the mark is read.
MEMORY_CHILD = r"""
import gc, json, sys
sys.path[:0] = %(path)r
sys.path.insert(0, %(here)r)
import bench
bench.CHURN_MB = %(churn)d
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
bench.churn()
if %(kind)r == "arbitrary":
    p = bench.longest_protocol(bench.levels(9000000))
else:
    p = bench.small_signals_protocol()
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")                       # VmHWM := VmRSS
before = status("VmRSS")
t = str(p)
peak = status("VmHWM")
print(json.dumps({"before": before, "peak": peak, "size": len(t)}))
"""


def peak_memory(kind):
    code = MEMORY_CHILD % dict(path=[os.path.dirname(pyvexa.__file__), os.path.dirname(noop.__file__)]
                               + [d for d in sys.path if d],
                               kind=kind, churn=CHURN_MB, here=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=900)
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr.strip() else "child failed")
    return json.loads(out.stdout.strip().splitlines()[-1])


def row_memory(kind, what, limit, runs=3):
    r = Row("peak memory of `str()` of %s" % what,
            "the text's size", "<= %gx" % limit if limit else "report", limit, unit="MB")
    if kind == "arbitrary" and numpy is None:
        r.error = "N/A: needs NumPy"
        return r
    try:
        got = [peak_memory(kind) for _ in range(runs)]
        r.op_times = [(g["peak"] - g["before"]) / 1e6 for g in got]
        r.floor_times = [got[0]["size"] / 1e6]
        r.note = "high-water mark above the RSS before the call"
    except BaseException as e:
        failed(r, e)
    return r


def call_loop(stmt, unroll=20):
    """A function loop(x, r) that runs `stmt` (with `x` bound) `unroll`
    times per iteration of r, so that the loop's own cost is a small
    share."""
    body = "\n".join("        " + stmt for _ in range(unroll))
    src = "def loop(x, r):\n    for _ in r:\n%s\n" % body
    ns = {}
    exec(compile(src, "<bench %s>" % stmt, "exec"), ns)
    return ns["loop"]


BATCH = 10_000


def timed_batches(loop, make, iterations, unroll):
    """Seconds for `iterations` of loop, run on a new object every BATCH
    calls; making the objects is not timed."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        total = 0.0
        per_batch = max(1, BATCH // unroll)
        done = 0
        while done < iterations:
            k = min(per_batch, iterations - done)
            x = make()
            t0 = clock()
            loop(x, range(k))
            total += clock() - t0
            done += k
            del x
        return total
    finally:
        if enabled:
            gc.enable()


def rows_calls(runs, count, unroll=20):
    rows = []
    n = noop.Noop()
    atomic = "a no-op METH_FASTCALL method that takes and releases an atomic word, "
    plain = "a no-op METH_FASTCALL method, "
    cases = [
        ("`set_stimulation_intensity(0.5)`", "x.set_stimulation_intensity(0.5)", "x.call_atomic(0.5)",
         atomic + "`noop.call_atomic(0.5)`", "0.8-1.4x", 1.4, lambda: pyvexa.Protocol(), False),
        ("`get_sampling_rate()`", "x.get_sampling_rate()", "x.call_atomic_float()",
         atomic + "returning a new float, `noop.call_atomic_float()`", "0.8-1.4x", 1.4, lambda: pyvexa.Protocol(), False),
        # Appends go to new protocols, BATCH calls each (a large protocol,
        # the list's growth included), timed batch by batch; one protocol
        # of `count` signals would time the page faults of a list of tens
        # of MB rather than the call.
        ("`add_constant_signal(0.5)`", "x.add_constant_signal(0.5)", "x.call_atomic_index(0.5)",
         atomic + "returning a new int, `noop.call_atomic_index(0.5)`", "0.8-1.4x", 1.4, lambda: pyvexa.Protocol(), True),
        ("`Protocol()`", "x()", "x.call()",
         plain + "`noop.call()`", "<= 10x", 10.0, lambda: pyvexa.Protocol, False),
        # Not pyvexa operations: what the interpreter alone charges for
        # making a bare native object, and for the keyword-accepting
        # convention that pyvexa's methods use.
        ("`noop.Noop()` (a bare native object, PyType_GenericNew)", "x()", "x.call()",
         plain + "`noop.call()`", "report", None, lambda: noop.Noop, False),
        ("`noop.call_kw(0.5)` (METH_FASTCALL with METH_KEYWORDS, does nothing)", "x.call_kw(0.5)",
         "x.call(0.5)", plain + "`noop.call(0.5)`", "report", None, lambda: noop.Noop(), False),
    ]
    # Short runs, many of them: op and floor alternate every few ms, so load
    # from elsewhere on the machine falls on both alike.
    pairs = max(3 * runs, 21)
    iterations = max(1, count // 5 // unroll)
    calls = iterations * unroll
    for name, stmt, floor_stmt, floor_name, target, limit, make, fresh in cases:
        r = Row("one call of " + name, floor_name, target, limit, unit="ns")
        try:
            op, fl = call_loop(stmt, unroll), call_loop(floor_stmt, unroll)
            # Warm-up on objects of their own, long enough for PyPy's JIT.
            for _ in range(3 if IS_PYPY else 1):
                op(make(), range(iterations))
                fl(n, range(iterations))
            obj = make()
            for _ in range(pairs):
                r.floor_times.append(timed(lambda: fl(n, range(iterations))) / calls * 1e9)
                if fresh:
                    r.op_times.append(timed_batches(op, make, iterations, unroll) / calls * 1e9)
                else:
                    r.op_times.append(timed(lambda: op(obj, range(iterations))) / calls * 1e9)
        except BaseException as e:
            failed(r, e)
        rows.append(r)
    return rows


# --- report ---------------------------------------------------------------------

def fmt(value, unit):
    if unit == "ms":
        return "%.1f ms" % (value * 1e3)
    if unit == "ns":
        return "%.1f ns" % value
    if unit == "MB":
        return "%.1f MB" % value
    return "%g" % value


def table(rows):
    lines = ["| operation | median | floor | floor median | ratio | spread | target | met |",
             "|---|---:|---|---:|---:|---:|---|---|"]
    for r in rows:
        op = r.operation + (" (%s)" % r.note if r.note else "")
        if r.error:
            lines.append("| %s | %s | %s | | | | %s | |" % (op, r.error, r.floor, r.target))
            continue
        met = r.met()
        lines.append("| %s | %s | %s | %s | %.2fx%s | %.0f%% | %s | %s |" % (
            op, fmt(r.op_median, r.unit), r.floor, fmt(r.floor_median, r.unit), r.ratio,
            " faster" if r.speedup else "", 100 * r.spread, r.target,
            {True: "yes", False: "**no**", None: ""}[met]))
    return "\n".join(lines)


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores, %s" % (model, os.cpu_count() or 0, platform.platform())


def memory_settings():
    """The kernel settings that decide what a first touch of fresh memory
    costs: transparent huge pages, and whether one madvise call can fault
    a range in."""
    parts = []
    for name in ("enabled", "defrag"):
        try:
            with open("/sys/kernel/mm/transparent_hugepage/" + name) as f:
                line = f.read()
            parts.append("huge pages %s %s" % (name, line[line.index("[") + 1:line.index("]")]))
        except (OSError, ValueError):
            parts.append("huge pages %s unknown" % name)
    parts.append("MADV_POPULATE_WRITE %s" % ("taken" if noop.populate_offered() else "refused"))
    return ", ".join(parts)


GROUPS = ["arbitrary", "file", "text", "end-to-end", "memory", "calls"]


def main(argv=None):
    global clock, CHURN_MB
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=7, help="runs per row (median is shown)")
    ap.add_argument("--calls", type=int, default=1_000_000, help="calls per run of the call rows")
    ap.add_argument("--only", choices=GROUPS, action="append",
                    help="run only these groups (repeatable)")
    ap.add_argument("--json", help="also write the rows to this file")
    ap.add_argument("--clock", choices=["cpu", "wall"], default="cpu",
                    help="time the thread's CPU time (default) or wall-clock time")
    ap.add_argument("--churn", type=int, default=CHURN_MB, metavar="MB",
                    help="MB of memory to fault in and free before the runs (default %(default)s; "
                    "0: a fresh process)")
    args = ap.parse_args(argv)
    clock = time.thread_time if args.clock == "cpu" else time.perf_counter
    CHURN_MB = max(0, args.churn)
    groups = set(args.only or GROUPS)

    print("pyvexa benchmarks: %s, NumPy %s" % (INTERPRETER, numpy.__version__ if numpy else "absent"))
    print("machine: %s; load average %.2f %.2f %.2f" % ((machine(),) + os.getloadavg()))
    print("date: %s; %d runs per row, medians; %s time" % (
        datetime.datetime.now().isoformat(timespec="seconds"), args.runs,
        "the thread's CPU" if args.clock == "cpu" else "wall-clock"))
    print("memory: %s; %s" % (
        "%d MB faulted in and freed before the runs (and in each memory child)" % CHURN_MB
        if CHURN_MB else "a fresh process's, nothing faulted in before", memory_settings()))
    print()
    churn()

    rows = []
    if "arbitrary" in groups:
        rows += rows_arbitrary(args.runs)

    big = "the 9,000,000-sample protocol"
    if groups & {"file", "text"}:
        if numpy is not None:
            p = longest_protocol(levels(int(LONGEST_SESSION * 5000)))
            rows += rows_save_str(args.runs, p, big, groups, "large")
            del p
        else:
            if "file" in groups:
                rows.append(Row("`save()` of %s" % big, "a plain Python file write", "<= 2x", 2.0))
            if "text" in groups:
                rows += text_rows(big, "large")
            for r in rows[-len(groups & {"file", "text"}) - ("text" in groups):]:
                r.error = "N/A: needs NumPy"
        gc.collect()
        p = small_signals_protocol()
        rows += rows_save_str(args.runs, p, "1,000,000 small signals (constants and sines)", groups,
                             "small")
        del p
        gc.collect()
    if "end-to-end" in groups:
        curve = levels(int(LONGEST_SESSION * 5000)) if numpy is not None else None
        rows.append(row_end_to_end(args.runs, curve))
        del curve
        gc.collect()
    if "memory" in groups:
        rows.append(row_memory("arbitrary", big, 2.0 if IS_PYPY else 1.3))
        rows.append(row_memory("small", "1,000,000 small signals", None))
    if "calls" in groups:
        rows += rows_calls(args.runs, args.calls)

    print(table(rows))
    print()
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(interpreter=INTERPRETER, machine=machine(),
                           date=datetime.datetime.now().isoformat(timespec="seconds"),
                           runs=args.runs, rows=[r.as_dict() for r in rows]), f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
