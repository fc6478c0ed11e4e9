"""No call leaks: every operation, on success and on each way it fails,
called thousands of times in a loop (leakcheck.py, in fresh interpreters),
leaves the resident set, the C heap and, on CPython, the interpreter's
allocated blocks where they were, and every argument object's reference
count unchanged. `make check-stress` calls each one 100,000 times."""
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import leakcheck
from conftest import ENV_VAR, IS_PYPY, MODULE_DIR, SANITIZED, STRESS, has_numpy, np

# A leak grows memory by the same amount in every part of the loop; the
# interpreters' own growth does not, and is counted in calls, not time
# (huge pages, assembled whenever the kernel gets round to it, are off).
# Bounded: the growth per call of the median pair of consecutive parts
# after WARM_PARTS parts in which PyPy's JIT and collector settle; a pair
# spans a whole swing of PyPy's collector between its two levels (the lower
# of the two pairings counts), and a one-time step moves one pair only.
# C heap (small chunks; the fixed mmap threshold keeps arenas out): a
# leaked allocation, even of one byte, holds 32 bytes or more. Resident
# set (anonymous, 4 KiB pages). CPython's allocated blocks: a leaked
# object a call is 1.
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
NO_NUMPY_CASE = leakcheck.NO_NUMPY_CASE

# How many calls a case needs. The statistic divides the growth of the
# median pair by the calls in a pair, 2 * calls / PARTS. A leak grows a
# pair in proportion to its calls; the interpreter's own noise does not (a
# one-time step, a collector's swing, the reading itself: PyPy's ctypes
# keeps some 100 bytes of every heap reading), so its share per call falls
# as the calls grow. A case makes enough calls that the largest noise seen
# in a median pair is MARGIN times under each bound:
#     2 * calls / PARTS >= MARGIN * NOISE / BOUND
# NOISE: the largest median pair of any case in 12 runs of 1,200 to 6,000
# calls a case, half of them beside scripts/memory_neighbour.py, and no
# less than one step (a page; a block in each part of the pair). A leak
# stands out whatever the calls: one malloc(1) a call holds 32 bytes of
# heap (glibc's smallest chunk), 8 times the heap bound; an object a call
# is 100 times the blocks bound.
MARGIN = 8
NOISE = {  # (measure, bound): (PyPy, CPython)
    ("C heap", HEAP_PER_CALL): (376, 0),
    ("resident set", RSS_PER_CALL): (4096, 4096),
    ("allocated blocks", BLOCKS_PER_CALL): (0, 2),
    ("excess over the import", SLOW_EXCESS_PER_CALL): (8192, 4096),
}
# The noise was measured no lower.
MIN_CALLS = 1200


def calls_needed(excess):
    """Calls for the cases (excess: the one bounded beyond the import)."""
    pair = max(MARGIN * NOISE[m][0 if IS_PYPY else 1] / m[1] for m in NOISE
               if (m[0] == "excess over the import") == excess)
    parts = leakcheck.PARTS
    return max(MIN_CALLS, parts * math.ceil(pair / 2))


# The sanitizer build checks no growth (see checked_measures): the
# outcomes, the reference counts and LeakSanitizer's report at exit need
# no more than the fewest calls.
CALLS = 100_000 if STRESS else MIN_CALLS if SANITIZED else calls_needed(excess=False)
# Each call imports NumPy anew and fails: PyPy here finds CPython's NumPy
# and cannot load its C part.
NO_NUMPY_CALLS = 8000 if STRESS else calls_needed(excess=True)

HERE = os.path.dirname(os.path.abspath(__file__))


def case_groups():
    """{name: group}. Each group runs in an interpreter of its own, short
    enough for one test's time; NumPy is imported only where a case passes
    NumPy objects (a full collection of PyPy's heap costs several times
    more with it), and blocked for the case without it."""
    def names(numpy):
        scratch = tempfile.mkdtemp(prefix="pyvexa-leak-names-")
        try:
            return [c[0] for c in leakcheck.cases(scratch, numpy)]
        finally:
            shutil.rmtree(scratch)
    plain = names(None)
    with_np = names(np) if np is not None else []
    out = {}
    for name in plain + [n for n in with_np if n not in plain]:
        if name == NO_NUMPY_CASE:
            out[name] = "block"
        elif name not in plain:
            out[name] = "import"
        elif name.endswith("(borrowed)"):
            out[name] = "borrowed"
        elif name.startswith("save"):
            out[name] = "save"
        elif name.startswith("set_session_duration"):
            out[name] = "set_session_duration"
        else:
            out[name] = "construct, set" if name.startswith(("Protocol", "set_")) else "other"
    return out


GROUPS = case_groups()
RUNS = {}


def run_leakcheck(group):
    """The results of the cases of `group`, run once per session."""
    if group in RUNS:
        return RUNS[group]
    names = [n for n, g in GROUPS.items() if g == group]
    plan = {"numpy": group if group in ("import", "block") else "absent",
            "calls": {n: NO_NUMPY_CALLS if n == NO_NUMPY_CASE else CALLS for n in names}}
    # Successful saves flush the file to disk; on tmpfs that costs nothing.
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    scratch = tempfile.mkdtemp(prefix="pyvexa-leaks-", dir=base)
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_=str(128 << 10))
    env.pop(ENV_VAR, None)
    env["PYTHONPATH"] = os.pathsep.join(
        [MODULE_DIR] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep)
                        if p and (group != "block" or not has_numpy(p))])
    try:
        # stderr: one report line per failing call, a few hundred MB in all.
        proc = subprocess.run([sys.executable, os.path.join(HERE, "leakcheck.py"), scratch,
                               json.dumps(plan)], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, timeout=1800)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    assert proc.returncode == 0, f"leakcheck.py failed ({proc.returncode})"
    RUNS[group] = json.loads(proc.stdout)["cases"]
    return RUNS[group]


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


@pytest.mark.parametrize("name", GROUPS)
def test_no_leak(name, reliability_figures):
    r = run_leakcheck(GROUPS[name])[name]
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
