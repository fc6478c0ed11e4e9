"""A memory-heavy neighbour, for timing the test tiers on a loaded machine:
it faults in a block of fresh memory (1 GiB by default), frees it, and
again, as a big build or a benchmark beside the tests would. Every round
maps the block afresh, touches each of its pages and unmaps it, so the
machine's page-fault and page-freeing paths stay busy and one core with
them.

    python3 scripts/memory_neighbour.py [--mib 1024] [--seconds S]
    python3 scripts/memory_neighbour.py [--mib 1024] -- COMMAND ...

The second form runs COMMAND beside the neighbour, stops the neighbour when
COMMAND ends, prints COMMAND's wall-clock time and the load average, and
exits with COMMAND's status (e.g. `-- make test`).
"""
import argparse
import os
import signal
import subprocess
import sys
import time


def churn(mib, seconds):
    """Fault in and free `mib` MiB until `seconds` have passed (forever if
    None); returns the rounds done."""
    end = None if seconds is None else time.monotonic() + seconds
    rounds = 0
    while end is None or time.monotonic() < end:
        # bytearray(n) takes a fresh mapping from malloc (far above its
        # mmap threshold) and zeroes it: every page is faulted in.
        block = bytearray(mib << 20)
        del block  # unmapped at once
        rounds += 1
    return rounds


def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def beside(mib, command):
    neighbour = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--mib", str(mib)])
    print(f"memory_neighbour: {mib} MiB churned by process {neighbour.pid}; load {load()}",
          flush=True)
    started = time.monotonic()
    try:
        status = subprocess.call(command)
        took = time.monotonic() - started
    finally:
        # It stops at the end of the round it is in.
        neighbour.send_signal(signal.SIGTERM)
        neighbour.wait()
    print(f"memory_neighbour: {' '.join(command)!r} exit {status} after {took:.0f} s; "
          f"load {load()}", flush=True)
    return status


def main():
    argv = sys.argv[1:]
    command = []
    if "--" in argv:
        at = argv.index("--")
        argv, command = argv[:at], argv[at + 1:]
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mib", type=int, default=1024, help="MiB faulted in per round")
    ap.add_argument("--seconds", type=float, help="stop after this long (default: never)")
    args = ap.parse_args(argv)
    if command:
        return beside(args.mib, command)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    rounds = churn(args.mib, args.seconds)
    print(f"memory_neighbour: {rounds} rounds of {args.mib} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
