"""How fast vexa-view is on the heaviest protocol, against str() of the same
protocol under the same interpreter.

    PYTHONPATH=build/cpython/pyvexa /usr/bin/python3 bench/viewer_bench.py [--runs 5] [--json OUT]
        [--curve slow|fast]

Builds a 1800 s session with one 9,000,000-sample curve (needs NumPy to
build it; "slow" changes its number of digits rarely, "fast" every few
hundred samples), saves it, then alternates runs of str(protocol) with
runs of the command as a child process (`python -m pyvexa_tools`, output to /dev/null):
the full text, --summary, --lint, diff against a second such file and codify
(the script and its 18 MB .npy). str() is timed twice: as the first
call in a fresh process, which like the command's own process must first
obtain its memory from the system, and repeated in a warm process, whose
allocator hands back the pages of the last text. Reported: the medians,
the full text's ratio to both, and the command's peak resident memory
against the text's size. Targets: full text <= 3x str(); --summary, --lint
and diff <= 1 s under CPython with NumPy; memory <= 2x the text.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(os.path.dirname(HERE), "tools")


BUILD = """
import numpy as np, pyvexa
p = pyvexa.Protocol()
p.set_session_duration(1800.0)
t = np.arange(p.get_num_samples()) / p.get_sampling_rate()
p.add_arbitrary_signal({curve})
p.add_sine_signal(1.0, 10.0, 0.0, 0.5)
p.add_mixed_signal(0, 1)
"""
CURVES = {
    "slow": "0.5 + 0.45 * np.sin(t / 30.0) * np.exp(-t / 1200.0)",
    "fast": "(np.sin(np.arange(len(t)) * 1e-3) + 1) / 2",
}
# Run in a child so that this process stays small: a child's peak memory
# as the system reports it includes what it inherited at fork time.
STR_TIMES = BUILD + """
import json, sys, time
if len(sys.argv) > 2:  # the other side of `diff`: every 1000th sample at 0
    q = pyvexa.Protocol()
    q.set_session_duration(1800.0)
    c = {curve}
    c[::1000] = 0.0
    q.add_arbitrary_signal(c)
    q.save(sys.argv[2])
    del q, c
del t
if len(sys.argv) > 1:
    p.save(sys.argv[1])
times = []
for _ in range(4):
    start = time.perf_counter()
    text = str(p)
    times.append(time.perf_counter() - start)
    del text
print(json.dumps({"fresh": times[0], "warm": sorted(times[1:])[1], "size": len(str(p)) + 1}))
"""


def child(args, env):
    """Wall time and peak resident memory (bytes) of one command run."""
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        proc = subprocess.Popen(args, stdout=null, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode not in (0, 1):
        raise SystemExit(f"{args} failed with status {proc.returncode}")
    return elapsed, usage.ru_maxrss * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--curve", choices=sorted(CURVES), default="slow")
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="viewer-bench-")
    path = os.path.join(workdir, "heavy.vexa")
    other = os.path.join(workdir, "other.vexa")
    script = os.path.join(workdir, "rebuild.py")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([TOOLS] + env.get("PYTHONPATH", "").split(os.pathsep))

    def str_times(*extra):
        script = STR_TIMES.replace("{curve}", CURVES[args.curve])
        proc = subprocess.run([sys.executable, "-c", script, *extra], env=env,
                              capture_output=True, text=True)
        if proc.returncode:
            raise SystemExit(f"viewer_bench needs pyvexa and NumPy; set PYTHONPATH\n{proc.stderr}")
        return json.loads(proc.stdout)

    text_size = str_times(path, other)["size"]
    base = [sys.executable, "-m", "pyvexa_tools"]
    modes = {"full text": [], "--summary": ["--summary"], "--lint": ["--lint"],
             "diff": ["diff", other], "codify": ["codify", "-o", script]}
    times = {name: [] for name in ["str()", "str() fresh"] + list(modes)}
    memory = []
    for _ in range(args.runs):
        st = str_times()
        times["str()"].append(st["warm"])
        times["str() fresh"].append(st["fresh"])
        for name, extra in modes.items():
            elapsed, rss = child(base + extra + [path], env)
            times[name].append(elapsed)
            if name == "full text":
                memory.append(rss)
    for name in (path, other, script, script[:-3] + ".npy"):
        os.remove(name)
    os.rmdir(workdir)

    med = {name: statistics.median(v) for name, v in times.items()}
    ratio = med["full text"] / med["str() fresh"]
    warm = med["full text"] / med["str()"]
    mem = statistics.median(memory)
    fast = sys.implementation.name != "pypy"
    rows = [
        ("str(), first call in a fresh process", med["str() fresh"], "", ""),
        ("str(), repeated in a warm process", med["str()"], "", ""),
        ("vexa-view FILE (whole process)", med["full text"],
         f"{ratio:.2f}x fresh str() (<= 3x); {warm:.1f}x warm str()",
         "yes" if ratio <= 3 else "no"),
        ("vexa-view --summary", med["--summary"], "<= 1 s" if fast else "report",
         ("yes" if med["--summary"] <= 1 else "no") if fast else ""),
        ("vexa-view --lint", med["--lint"], "<= 1 s" if fast else "report",
         ("yes" if med["--lint"] <= 1 else "no") if fast else ""),
        ("vexa-view diff (two such files)", med["diff"], "<= 1 s" if fast else "report",
         ("yes" if med["diff"] <= 1 else "no") if fast else ""),
        ("vexa-view codify -o SCRIPT", med["codify"], "report", ""),
    ]
    impl = f"{sys.implementation.name} {sys.version.split()[0]}"
    print(f"viewer on 9,000,000 samples ({args.curve} curve, {text_size / 1e6:.1f} MB of "
          f"text), {impl}, medians of {args.runs} runs:")
    print("| what | median | target/ratio | met |\n|---|---:|---|---|")
    for what, secs, target, met in rows:
        print(f"| {what} | {secs * 1000:.0f} ms | {target} | {met} |")
    print(f"| peak memory of vexa-view FILE | {mem / 1e6:.0f} MB | "
          f"{mem / text_size:.2f}x the text (<= 2x) | {'yes' if mem <= 2 * text_size else 'no'} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"interpreter": impl, "curve": args.curve, "text_bytes": text_size,
                       "medians_s": med,
                       "ratio_full_text_to_fresh_str": ratio, "ratio_full_text_to_warm_str": warm,
                       "peak_rss_bytes": mem}, f, indent=2)


if __name__ == "__main__":
    main()
