"""What the checker costs where its cost once grew out of proportion.

    PYTHONPATH=build/cpython/pyvexa /usr/bin/python3 bench/lint_bench.py [--runs 3] [--curves N]

1. Many small signals: a file of N empty curves (2,000,000 by default, a
   4 MB file), through `vexa-view --lint` and `--summary` as child
   processes, output to /dev/null: wall and CPU time, peak resident memory
   against the file's size. Each curve has two findings (its length and
   nothing routing to it), so the output is about 1 GB.
2. A live protocol: lint(p) of a 1800 s session with a 9,000,000-sample
   curve against lint() of its saved file, in one process, alternating;
   CPU time with the children's (the machine is shared), and the ratio
   (target: 2x). Needs the module and NumPy; skipped without them.

Figures depend on the machine's load: the load average is printed before
and after.
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(os.path.dirname(HERE), "tools")
sys.path.insert(0, TOOLS)

import pyvexa_tools as pt  # noqa: E402


def many_curves(path, n):
    with open(os.path.join(os.path.dirname(HERE), "testdata", "fresh_protocol.vexa"), "rb") as f:
        fresh = f.read()
    count = bytearray()
    v = n
    while v >= 0x80:
        count.append(v & 0x7F | 0x80)
        v >>= 7
    count.append(v)
    # Bytes 150..160 of a fresh file hold its one Constant signal.
    with open(path, "wb") as f:
        f.write(fresh[:150] + bytes(count) + b"\x04\x00" * n + fresh[160:])


def child(args, env):
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        proc = subprocess.Popen(args, stdout=null, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        raise SystemExit(f"{args} failed")
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def cpu():
    """CPU time of this process and its children (lint() of a Protocol
    saves it from a forked copy)."""
    own, children = (resource.getrusage(w) for w in (resource.RUSAGE_SELF,
                                                      resource.RUSAGE_CHILDREN))
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def live_protocol(runs):
    try:
        import numpy as np
        import pyvexa
    except ImportError as e:
        print(f"live protocol: skipped ({e})")
        return
    p = pyvexa.Protocol()
    p.set_session_duration(1800.0)
    t = np.arange(p.get_num_samples()) / p.get_sampling_rate()
    p.add_arbitrary_signal(0.5 + 0.45 * np.sin(t / 30.0) * np.exp(-t / 1200.0))
    del t
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "heavy.vexa")
        p.save(path)
        times = {"file": [], "protocol": []}
        for _ in range(runs):
            for what, source in (("file", path), ("protocol", p)):
                start = cpu()
                pt.lint(source)
                times[what].append(cpu() - start)
    f, q = (statistics.median(times[k]) for k in ("file", "protocol"))
    print(f"lint() of a 9,000,000-sample protocol, CPU medians of {runs}: saved file "
          f"{f * 1000:.0f} ms, live protocol {q * 1000:.0f} ms, {q / f:.2f}x (target 2x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--curves", type=int, default=2_000_000)
    args = parser.parse_args()
    print(f"{sys.implementation.name} {sys.version.split()[0]}, load average "
          f"{os.getloadavg()[0]:.1f}")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([TOOLS] + env.get("PYTHONPATH", "").split(os.pathsep))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "curves.vexa")
        many_curves(path, args.curves)
        size = os.path.getsize(path)
        print(f"{args.curves} empty curves, {size / 1e6:.1f} MB, medians of {args.runs}:")
        print("| mode | wall | CPU | peak memory |\n|---|---:|---:|---|")
        for mode in ("--lint", "--summary"):
            runs = [child([sys.executable, "-m", "pyvexa_tools", mode, path], env)
                    for _ in range(args.runs)]
            wall, cpu, rss = (statistics.median(r[k] for r in runs) for k in range(3))
            print(f"| {mode} | {wall:.1f} s | {cpu:.1f} s | {rss / 1e6:.0f} MB, "
                  f"{rss / size:.1f}x the file |")
    live_protocol(args.runs)
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
