"""Benchmarks of pyvexa against floors measured in the same run.

Every row times one pyvexa operation and a floor: the cheapest thing this
interpreter and this machine can do that has to move the same data (a NumPy
cast, a plain file write, an ASCII decode of the same length, a call of a
native method that does nothing). Op and floor runs alternate, so a change
in machine load hits both; the table shows the median of each and the
median of the ratios of side-by-side runs, which is held against the
target.

    PYTHONPATH=<build>/pyvexa:<build>/bench python bench.py [--runs 7] [--json out.json]

`make bench` builds and runs it for PyPy and CPython. Runs under both; rows
that need NumPy (arbitrary signals, so the 9,000,000-sample protocol) show
N/A under PyPy, which has no NumPy here. In their place the save() and str()
rows are also run on the largest protocol PyPy can build without NumPy:
enough small signals for a text of the same size. That protocol takes the
general record path (a double formatted per field), not the sample lines,
and is measured under CPython too, for comparison.

Call rows alternate at least 21 pairs of op and floor runs of 200,000 calls
each (a fifth of `--calls`), 20 calls per loop iteration; add_constant_signal
appends to a new protocol every 10,000 calls. The last row is not a pyvexa
operation: it is the interpreter's own cost for the keyword-accepting
convention that pyvexa's methods use.
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
TMPFS = "/dev/shm"


# --- timing -------------------------------------------------------------------

def timed(fn):
    """Seconds taken by one call of fn(); the garbage collector is held off
    so that its pauses land on neither side of a comparison."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    finally:
        if enabled:
            gc.enable()


class Row:
    def __init__(self, operation, floor, target, limit, unit="ms", note=""):
        self.operation, self.floor, self.target, self.limit = operation, floor, target, limit
        self.unit, self.note = unit, note
        self.op_times, self.floor_times = [], []
        self.error = None
        self.ratio_override = None  # rows whose ratio is not time over time

    @property
    def op_median(self):
        return statistics.median(self.op_times)

    @property
    def floor_median(self):
        return statistics.median(self.floor_times)

    @property
    def ratio(self):
        """The median of the ratios of runs taken side by side, when the
        runs came in pairs (load that drifts during a row then cancels);
        otherwise the ratio of the medians."""
        if self.ratio_override is not None:
            return self.ratio_override
        if len(self.op_times) == len(self.floor_times) > 1:
            return statistics.median(o / f for o, f in zip(self.op_times, self.floor_times))
        return self.op_median / self.floor_median

    def met(self):
        if self.error or self.limit is None:
            return None
        return self.ratio <= self.limit

    def as_dict(self):
        d = dict(operation=self.operation, floor=self.floor, target=self.target,
                 unit=self.unit, note=self.note, error=self.error)
        if not self.error:
            d.update(op=self.op_median, floor_value=self.floor_median, ratio=self.ratio,
                     met=self.met(), op_runs=self.op_times, floor_runs=self.floor_times)
        return d


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
        if isinstance(e, KeyboardInterrupt):
            raise
        row.error = "%s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else "")
    return row


# --- the big protocols --------------------------------------------------------

def levels(n, step=1):
    """n levels in 0..1 as a script would pass them, as a view with the
    given step over an array step times as long."""
    rng = numpy.random.default_rng(20240501)
    base = rng.random(n * step)
    return base[::step] if step != 1 else base


def longest_protocol(curve):
    p = session_protocol()
    p.add_arbitrary_signal(curve)
    return p


def add_small_signals(p, count):
    """A cycle of the four parameter signals with everyday values."""
    for i in range(count):
        k = i & 3
        if k == 0:
            p.add_sine_signal(1.0, 10.0 + (i % 50), 0.0, 0.5)
        elif k == 1:
            p.add_ramp_signal(1.0, 0.25, 0.5)
        elif k == 2:
            p.add_constant_signal(0.5)
        else:
            p.add_mixed_signal(i - 3, i - 1)


def many_signals_protocol(text_size):
    """The largest protocol PyPy builds without NumPy: small signals, as
    many as give a text of about `text_size` bytes."""
    probe = pyvexa.Protocol()
    add_small_signals(probe, 4000)
    per_signal = (len(str(probe)) - len(str(pyvexa.Protocol()))) / 4000.0
    count = int(text_size / per_signal) // 4 * 4
    p = pyvexa.Protocol()
    add_small_signals(p, count)
    return p, count


# --- rows -----------------------------------------------------------------------

def session_protocol():
    """A new protocol set to the longest session, ready for its curve."""
    p = pyvexa.Protocol()
    p.set_session_duration(LONGEST_SESSION)
    return p


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


def rows_save_str(runs, p, what, text_size=None):
    rows = []
    directory = tempfile.mkdtemp(prefix="pyvexa-bench-", dir=TMPFS)
    target = os.path.join(directory, "bench.vexa")
    plain = os.path.join(directory, "plain.bin")
    try:
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
            r.error = "%s: %s" % (type(e).__name__, e)
        rows.append(r)
    finally:
        for name in (target, plain):
            if os.path.exists(name):
                os.unlink(name)
        os.rmdir(directory)

    r = Row("`str()` of %s" % what,
            "`bytes.decode('ascii')` of a buffer of the same length", "<= 1.5x", 1.5)
    try:
        size = len(str(p))
        r.note = "%.1f MB text" % (size / 1e6)
        unit = b"                        12345,\n"
        buf = unit * (size // len(unit)) + b" " * (size % len(unit))
        compare(r, runs, lambda: str(p), lambda: buf.decode("ascii"))
        del buf
    except BaseException as e:
        r.error = "%s: %s" % (type(e).__name__, e)
    rows.append(r)
    return rows


# Run in a child so that the high-water mark is this operation's alone: the
# protocol is built, the array dropped, the mark reset to the current RSS,
# then str() runs and the mark is read.
MEMORY_CHILD = r"""
import gc, json, sys
sys.path[:0] = %(path)r
import pyvexa
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
kind = %(kind)r
if kind == "arbitrary":
    import numpy
    p = pyvexa.Protocol()
    p.set_session_duration(1800.0)
    p.add_arbitrary_signal(numpy.random.default_rng(20240501).random(9000000))
else:
    sys.path.insert(0, %(here)r)
    import bench
    p, _ = bench.many_signals_protocol(%(size)d)
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")                       # VmHWM := VmRSS
before = status("VmRSS")
t = str(p)
peak = status("VmHWM")
print(json.dumps({"before": before, "peak": peak, "size": len(t)}))
"""


def peak_memory(kind, size):
    code = MEMORY_CHILD % dict(path=[os.path.dirname(pyvexa.__file__), os.path.dirname(noop.__file__)],
                               kind=kind, here=os.path.dirname(os.path.abspath(__file__)),
                               size=size)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=900)
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr.strip() else "child failed")
    return json.loads(out.stdout.strip().splitlines()[-1])


def row_memory(kind, what, size, runs=3):
    r = Row("peak memory of `str()` of %s" % what,
            "the text's size", "<= 1.3x", 1.3, unit="MB")
    try:
        got = [peak_memory(kind, size) for _ in range(runs)]
        growth = [g["peak"] - g["before"] for g in got]
        r.op_times = [x / 1e6 for x in growth]
        r.floor_times = [got[0]["size"] / 1e6]
        r.note = "high-water mark above the RSS before the call"
    except BaseException as e:
        r.error = "%s: %s" % (type(e).__name__, e)
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
            t0 = time.perf_counter()
            loop(x, range(k))
            total += time.perf_counter() - t0
            done += k
            del x
        return total
    finally:
        if enabled:
            gc.enable()


def rows_calls(runs, count, unroll=20):
    rows = []
    n = noop.Noop()
    cases = [
        ("`set_stimulation_intensity(0.5)`", "x.set_stimulation_intensity(0.5)", "x.call(0.5)",
         "`noop.call(0.5)`", "<= 1.3x", 1.3, lambda: pyvexa.Protocol(), False),
        ("`get_sampling_rate()`", "x.get_sampling_rate()", "x.call()",
         "`noop.call()`", "<= 1.3x", 1.3, lambda: pyvexa.Protocol(), False),
        # Appends go to new protocols, BATCH calls each (a large protocol,
        # the list's growth included), timed batch by batch; one protocol
        # of `count` signals would time the page faults of a list of tens
        # of MB rather than the call.
        ("`add_constant_signal(0.5)`", "x.add_constant_signal(0.5)", "x.call(0.5)",
         "`noop.call(0.5)`", "<= 1.3x", 1.3, lambda: pyvexa.Protocol(), True),
        ("`Protocol()`", "x()", "x.call()",
         "`noop.call()`", "report; aim <= 10x", 10.0, lambda: pyvexa.Protocol, False),
        # Not a pyvexa operation: what the interpreter alone charges for the
        # keyword-accepting convention that pyvexa's methods use.
        ("`noop.call_kw(0.5)` (METH_FASTCALL with METH_KEYWORDS, does nothing)", "x.call_kw(0.5)",
         "x.call(0.5)", "`noop.call(0.5)`", "report", None, lambda: noop.Noop(), False),
    ]
    # Short runs, many of them: op and floor alternate every few ms, so load
    # from elsewhere on the machine falls on both alike.
    pairs = max(3 * runs, 21)
    iterations = max(1, count // 5 // unroll)
    calls = iterations * unroll
    for name, stmt, floor_stmt, floor_name, target, limit, make, fresh in cases:
        r = Row("one call of " + name, "a no-op METH_FASTCALL method, " + floor_name,
                target, limit, unit="ns")
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
            if isinstance(e, KeyboardInterrupt):
                raise
            r.error = "%s: %s" % (type(e).__name__, e)
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
    lines = ["| operation | median | floor | floor median | ratio | target | met |",
             "|---|---:|---|---:|---:|---|---|"]
    for r in rows:
        op = r.operation + (" (%s)" % r.note if r.note else "")
        if r.error:
            lines.append("| %s | %s | %s | | | %s | |" % (op, r.error, r.floor, r.target))
            continue
        met = r.met()
        lines.append("| %s | %s | %s | %s | %.2fx | %s | %s |" % (
            op, fmt(r.op_median, r.unit), r.floor, fmt(r.floor_median, r.unit), r.ratio,
            r.target, {True: "yes", False: "**no**", None: ""}[met]))
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


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=7, help="runs per row (median is shown)")
    ap.add_argument("--calls", type=int, default=1_000_000, help="calls per run of the call rows")
    ap.add_argument("--only", choices=["arbitrary", "file", "text", "memory", "calls"],
                    action="append", help="run only these groups (repeatable)")
    ap.add_argument("--json", help="also write the rows to this file")
    args = ap.parse_args(argv)
    groups = set(args.only or ["arbitrary", "file", "text", "memory", "calls"])

    print("pyvexa benchmarks: %s, NumPy %s" % (INTERPRETER, numpy.__version__ if numpy else "absent"))
    print("machine: %s; load average %.2f %.2f %.2f" % ((machine(),) + os.getloadavg()))
    print("date: %s; %d runs per row, medians" % (datetime.datetime.now().isoformat(timespec="seconds"), args.runs))
    print()

    rows = []
    if "arbitrary" in groups:
        rows += rows_arbitrary(args.runs)

    text_size = 279_000_000
    if groups & {"file", "text", "memory"}:
        if numpy is not None:
            curve = levels(int(LONGEST_SESSION * 5000))
            p = longest_protocol(curve)
            del curve
            text_size = len(str(p))
            if groups & {"file", "text"}:
                for r in rows_save_str(args.runs, p, "the 9,000,000-sample protocol"):
                    if ("save" in r.operation and "file" in groups) or ("str" in r.operation and "text" in groups):
                        rows.append(r)
            del p
        else:
            na = "N/A: needs NumPy"
            for group, row in [("file", Row("`save()` of the 9,000,000-sample protocol into %s" % TMPFS,
                                               "a plain Python file write of the same bytes, same directory",
                                               "<= 2x", 2.0)),
                               ("text", Row("`str()` of the 9,000,000-sample protocol",
                                            "`bytes.decode('ascii')` of a buffer of the same length",
                                            "<= 1.5x", 1.5)),
                               ("memory", Row("peak memory of `str()` of the 9,000,000-sample protocol",
                                              "the text's size", "<= 1.3x", 1.3, unit="MB"))]:
                if group in groups:
                    row.error = na
                    rows.append(row)
        p, count = many_signals_protocol(text_size)
        what = "%d small signals (no NumPy needed)" % count
        if groups & {"file", "text"}:
            for r in rows_save_str(args.runs, p, what):
                if ("save" in r.operation and "file" in groups) or ("str" in r.operation and "text" in groups):
                    rows.append(r)
        del p
        gc.collect()
        if "memory" in groups:
            if numpy is not None:
                rows.append(row_memory("arbitrary", "the 9,000,000-sample protocol", text_size))
            rows.append(row_memory("many", what, text_size))

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
