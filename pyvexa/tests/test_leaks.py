"""No call leaks: every operation, on success and on each way it fails,
called 100,000 times in a loop (leakcheck.py, in a fresh interpreter),
leaves the resident set, the C heap and, on CPython, the interpreter's
allocated blocks where they were, and every argument object's reference
count unchanged."""
import json
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import leakcheck
from conftest import ENV_VAR, MODULE_DIR, SANITIZED, has_numpy

CALLS = 100_000

# A leak grows memory by the same amount in every part of the loop; the
# interpreters' own growth does not, and is counted in calls, not time
# (huge pages, assembled whenever the kernel gets round to it, are off).
# Bounded: the growth per call of the median pair of consecutive parts
# after WARM_PARTS parts in which PyPy's JIT and collector settle; a pair
# spans a whole swing of PyPy's collector between its two levels (the lower
# of the two pairings counts), and a one-time step moves one pair only.
# C heap (small chunks; the fixed mmap threshold keeps arenas out): a
# leaked allocation, even of one byte, holds 32 bytes or more; PyPy's own
# noise reached 0.4. Resident set (4 KiB pages): PyPy settling reached 20.
# CPython's allocated blocks: a leaked object a call is 1.
WARM_PARTS = 4
HEAP_PER_CALL = 4.0
RSS_PER_CALL = 64.0
BACKSTOP = 64 << 20
BLOCKS_PER_CALL = 0.01
# Each call without NumPy imports it anew, which PyPy pays for itself
# (some 2.5 KB a call, in Python code alone): the module's own share is the
# excess over the same import done by Python code. It was 60 KB a call
# when the module fetched the import's exception in C.
SLOW_EXCESS_PER_CALL = 2048
NO_NUMPY_CASE = "add_arbitrary_signal without NumPy"

HERE = os.path.dirname(os.path.abspath(__file__))


def run_leakcheck(*args, numpy_path=True):
    # Successful saves flush the file to disk; on tmpfs that costs nothing.
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    scratch = tempfile.mkdtemp(prefix="pyvexa-leaks-", dir=base)
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_=str(128 << 10))
    env.pop(ENV_VAR, None)
    env["PYTHONPATH"] = os.pathsep.join(
        [MODULE_DIR] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep)
                        if p and (numpy_path or not has_numpy(p))])
    try:
        # stderr: one report line per failing call, a few hundred MB in all.
        proc = subprocess.run([sys.executable, os.path.join(HERE, "leakcheck.py"), str(CALLS),
                               scratch, *args], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, timeout=1800)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    assert proc.returncode == 0, f"leakcheck.py failed ({proc.returncode})"
    return json.loads(proc.stdout)["cases"]


@pytest.fixture(scope="module")
def leak_results():
    # The case without NumPy runs in a process of its own without it: PyPy's
    # NumPy left off the path, CPython's blocked.
    results = run_leakcheck()
    results.update(run_leakcheck("--no-numpy", NO_NUMPY_CASE, numpy_path=False))
    return results


def names():
    # The case names, without running anything.
    scratch = tempfile.mkdtemp(prefix="pyvexa-leak-names-")
    try:
        return [c[0] for c in leakcheck.cases(scratch) if c[0] != NO_NUMPY_CASE] + [NO_NUMPY_CASE]
    finally:
        shutil.rmtree(scratch)


CASES = names()


def per_call(parts, calls):
    """Growth per call of the median pair of parts after the warm-up, in
    whichever of the two pairings (from an even or an odd part) is lower:
    a leak raises every pair of both."""
    def median_pair(settled):
        pairs = sorted(a + b for a, b in zip(settled[::2], settled[1::2]))
        return (pairs[len(pairs) // 2] + pairs[~(len(pairs) // 2)]) / 2
    lowest = min(median_pair(parts[WARM_PARTS:]), median_pair(parts[WARM_PARTS + 1:]))
    return lowest / (2 * calls / leakcheck.PARTS)


def checked_measures(r):
    """What this case's bounds apply to: {measure: (growth, bound)}."""
    if SANITIZED:
        # AddressSanitizer holds freed memory back for a while, so the
        # resident set grows there whatever happens; LeakSanitizer and the
        # reference counts do the work in that build.
        return {}
    calls = r["calls"]
    if "baseline_rss_parts" in r:
        out = {"resident set beyond the import's own, per call": (
            per_call(r["rss_parts"], calls) - per_call(r["baseline_rss_parts"], calls),
            SLOW_EXCESS_PER_CALL)}
        if r["heap_parts"] is not None:
            out["C heap beyond the import's own, per call"] = (
                per_call(r["heap_parts"], calls) - per_call(r["baseline_heap_parts"], calls),
                SLOW_EXCESS_PER_CALL)
        return out
    out = {"resident set, per call": (per_call(r["rss_parts"], calls), RSS_PER_CALL),
           "resident set, whole loop": (r["rss_delta"], BACKSTOP)}
    if r["heap_delta"] is not None:
        out["C heap, per call"] = (per_call(r["heap_parts"], calls), HEAP_PER_CALL)
        out["C heap, whole loop"] = (r["heap_delta"], BACKSTOP)
    if r["blocks_delta"] is not None:
        out["allocated blocks, per call"] = (per_call(r["blocks_parts"], calls), BLOCKS_PER_CALL)
    return out


@pytest.mark.parametrize("name", CASES)
def test_no_leak(leak_results, name, reliability_figures):
    r = leak_results[name]
    calls = r["calls"]
    measures = checked_measures(r)
    reliability_figures.leak(name, calls, measures)
    # The path under test is the one taken, every time.
    assert r["seen"] == {r["expect"]: calls}, r
    if name.endswith("refused (borrowed)"):
        assert r["refused_inside"] == calls + leakcheck.WARM_UP, r
    assert r["refcount_deltas"] is None or set(r["refcount_deltas"]) == {0}, r
    for measure, (growth, bound) in measures.items():
        assert growth <= bound, (measure, growth, bound, r["rss_parts"], r["heap_parts"])
