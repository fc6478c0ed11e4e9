"""What a durable save costs, on a memory file system and on a disk one.

For each file system, three rows of median microseconds per save:

- pyvexa: Protocol.save over an existing file (a fresh protocol, 200 bytes;
  and 200,000 sine signals, 6.6 MB);
- replace: the same bytes written by Python the way save writes them
  (unnamed-file semantics aside): a file beside the target, written,
  fsync'ed, renamed over the target;
- replace + dir flush: that, and fsync of the directory after the rename,
  as save does so that a power cut cannot bring the old file back.

The difference of the last two rows is the directory flush's cost. Rows
alternate run by run, so a change of machine load hits all of them.

Then the rate of saves of a fresh protocol over an existing file on the
memory file system, in CPU time (user and system, so that other work on
the machine counts little) and wall-clock: the best of --runs blocks of
2000 saves. glibc maps a block of 128 KiB or more afresh on every malloc
unless a free of such a block has raised its threshold; to see a process
where the threshold stays (as in the leak test), set
MALLOC_MMAP_THRESHOLD_=131072.

    PYTHONPATH=<build>/pyvexa python bench/save_bench.py [--runs 7] [--disk DIR] [--memory DIR]
                                                         [--no-disk]
"""
import argparse
import os
import platform
import statistics
import sys
import tempfile
import time

import pyvexa


def python_replace(directory, data, flush_dir):
    target = os.path.join(directory, "py.vexa")
    temp = os.path.join(directory, ".py.vexa.tmp")
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
    try:
        os.write(fd, data)
        os.fsync(fd)
    finally:
        os.close(fd)
    os.rename(temp, target)
    if flush_dir:
        dfd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)


def timed(fn, repeat):
    start = time.perf_counter()
    for _ in range(repeat):
        fn()
    return (time.perf_counter() - start) / repeat * 1e6


def measure(directory, protocol, repeat, runs):
    target = os.path.join(directory, "pv.vexa")
    protocol.save(target)
    with open(target, "rb") as f:
        data = f.read()
    rows = {"pyvexa save": [], "replace": [], "replace + dir flush": []}
    for _ in range(runs):
        rows["pyvexa save"].append(timed(lambda: protocol.save(target), repeat))
        rows["replace"].append(timed(lambda: python_replace(directory, data, False), repeat))
        rows["replace + dir flush"].append(
            timed(lambda: python_replace(directory, data, True), repeat))
    return len(data), {k: statistics.median(v) for k, v in rows.items()}


def save_rate(directory, runs, block=2000):
    """Saves per second of a fresh protocol: (CPU time, wall-clock)."""
    protocol = pyvexa.Protocol()
    target = os.path.join(directory, "rate.vexa")
    protocol.save(target)
    cpu = wall = float("inf")
    for _ in range(runs):
        c, w = time.process_time(), time.perf_counter()
        for _ in range(block):
            protocol.save(target)
        cpu = min(cpu, (time.process_time() - c) / block)
        wall = min(wall, (time.perf_counter() - w) / block)
    return 1 / cpu, 1 / wall


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--memory", default="/dev/shm", help="a directory on tmpfs")
    ap.add_argument("--disk", default=os.path.dirname(os.path.abspath(__file__)),
                    help="a directory on a disk file system (default: beside this script)")
    ap.add_argument("--no-disk", action="store_true", help="the memory file system only")
    args = ap.parse_args()

    small = pyvexa.Protocol()
    large = pyvexa.Protocol()
    for _ in range(200000):
        large.add_sine_signal(1.0, 2.0, 3.0, 0.5)
    print(f"save durability, {sys.implementation.name} {platform.python_version()}, "
          f"median of {args.runs} runs, microseconds per save")
    print(f"{'file system':<26}{'bytes':>10}{'pyvexa save':>14}{'replace':>12}"
          f"{'+ dir flush':>14}{'flush cost':>12}")
    places = [("memory (" + args.memory + ")", args.memory)]
    if not args.no_disk:
        places.append(("disk (" + args.disk + ")", args.disk))
    for label, base in places:
        if not os.path.isdir(base):
            print(f"{label:<26}  not available")
            continue
        with tempfile.TemporaryDirectory(prefix="pyvexa-save-bench-", dir=base) as d:
            for protocol, repeat in ((small, 50), (large, 5)):
                size, r = measure(d, protocol, repeat, args.runs)
                flush = r["replace + dir flush"] - r["replace"]
                print(f"{label[:25]:<26}{size:>10}{r['pyvexa save']:>14.1f}{r['replace']:>12.1f}"
                      f"{r['replace + dir flush']:>14.1f}{flush:>12.1f}")

    if os.path.isdir(args.memory):
        with tempfile.TemporaryDirectory(prefix="pyvexa-save-bench-", dir=args.memory) as d:
            cpu, wall = save_rate(d, args.runs)
        threshold = os.environ.get("MALLOC_MMAP_THRESHOLD_", "dynamic")
        print(f"fresh protocol, {args.memory}: {cpu:.0f} saves/s of CPU time, {wall:.0f} saves/s "
              f"wall-clock (glibc mmap threshold {threshold}; load {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
