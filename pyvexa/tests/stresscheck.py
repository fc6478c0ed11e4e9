"""Many threads on one Protocol, and many protocols on many threads, with
argument objects that run Python code (so that the interpreter switches
threads in the middle of a call) or call back into the protocol they are
being converted for. Run by test_stress.py in a fresh interpreter:

    python stresscheck.py DIRECTORY THREADS CALLS_PER_THREAD

Prints one JSON object with what every call gave and what the protocols
hold afterwards. A crash or a deadlock shows as the child failing or
timing out (faulthandler then prints every thread's stack).
"""
import faulthandler
import json
import os
import random
import sys
import threading
import time

import pyvexa
from pyvexa import Channel, Coil, Protocol

try:
    import numpy as np
except ImportError:
    np = None

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
DEADLINE = 600          # seconds for the whole run; a deadlock ends it


class Yields:
    """A number whose conversion lets other threads run (sleep(0) gives up
    the interpreter lock) while the protocol is borrowed."""
    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return float(self.value)

    def __index__(self):
        time.sleep(0)
        return int(self.value)


class ReEnters:
    """A number whose conversion calls back into its own protocol: every
    such inner call must be refused with one of the borrow errors."""
    def __init__(self, protocol, value, log):
        self.protocol, self.value, self.log = protocol, value, log

    def _run(self):
        for inner in (lambda: self.protocol.add_constant_signal(-1.0),
                      lambda: str(self.protocol),
                      lambda: self.protocol.get_sampling_rate(),
                      lambda: self.protocol.save("/nonexistent-directory/x.vexa")):
            try:
                inner()
                self.log["inner_succeeded"] += 1
            except RuntimeError as e:
                self.log["inner_refused"] += 1
                if str(e) not in BORROW_ERRORS:
                    self.log["unexpected"].append(f"inner: {e!r}")
            except BaseException as e:
                self.log["unexpected"].append(f"inner: {e!r}")
        time.sleep(0)
        return self.value

    def __float__(self):
        return float(self._run())

    def __index__(self):
        return int(self._run())


def new_log():
    return {"calls": 0, "ok": 0, "refused": 0, "inner_refused": 0, "inner_succeeded": 0,
            "unexpected": [], "added": []}


def operations(p, rng, log, tag, path, samples):
    """One random call on p; returns (name, call, added) where added is
    what a success appends: the constant's value, or a signal kind."""
    k = rng.randrange(14)
    value = float(tag)
    if k == 0:
        return lambda: p.add_constant_signal(value), ("Constant", value)
    if k == 1:
        return lambda: p.add_constant_signal(Yields(value)), ("Constant", value)
    if k == 2:
        return lambda: p.add_constant_signal(ReEnters(p, value, log)), ("Constant", value)
    if k == 3:
        return lambda: p.add_sine_signal(Yields(1.0), 2.0, Yields(0.5), 0.25), ("Sine", None)
    if k == 4:
        return lambda: p.add_mixed_signal(Yields(tag), ReEnters(p, 1, log)), ("MixedSignal", None)
    if k == 5:
        return lambda: p.add_ramp_signal(0.5, ReEnters(p, 0.25, log), 0.125), ("Ramp", None)
    if k == 6:
        return lambda: p.set_stimulation_intensity(Yields(0.5)), None
    if k == 7:
        return lambda: p.set_session_duration(0.01), None       # keeps 50 samples
    if k == 8:
        return lambda: p.set_amplitude_source(Coil.B1, True, Yields(3)), None
    if k == 9:
        return lambda: p.set_modulation_source(Channel.A, False, ReEnters(p, 2, log)), None
    if k == 10:
        return lambda: p.enable_channel(Channel.B), None
    if k == 11:
        return (lambda: len(str(p))), None
    if k == 12:
        if samples is not None:
            return lambda: p.add_arbitrary_signal(samples), ("Arbitrary", None)
        return lambda: p.get_num_samples(), None
    return lambda: p.save(path), None


def worker(p, seed, calls, log, path, start, samples):
    rng = random.Random(seed)
    start.wait()
    for i in range(calls):
        call, added = operations(p, rng, log, seed * 1_000_000 + i, path, samples)
        log["calls"] += 1
        try:
            call()
        except RuntimeError as e:
            if str(e) in BORROW_ERRORS:
                log["refused"] += 1
            else:
                log["unexpected"].append(repr(e))
            continue
        except BaseException as e:
            log["unexpected"].append(repr(e))
            continue
        log["ok"] += 1
        if added is not None:
            log["added"].append(added)


def run_threads(targets):
    threads = [threading.Thread(target=t, args=a) for t, a in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(DEADLINE)
    return sum(t.is_alive() for t in threads)


def contents(p):
    """(constants' values sorted, count per kind) read from str(p)."""
    text = str(p)
    kinds = {kind: text.count(f"\n            {kind}(\n") for kind in
             ("Constant", "Sine", "Ramp", "MixedSignal", "Arbitrary")}
    values = sorted(float(line.split(": ")[1].rstrip(","))
                    for line in text.split("\n") if line.startswith("                    value: "))
    return values, kinds, text


def expected(logs):
    values = sorted(v for log in logs for kind, v in log["added"] if kind == "Constant")
    kinds = {kind: 0 for kind in ("Constant", "Sine", "Ramp", "MixedSignal", "Arbitrary")}
    for log in logs:
        for kind, _ in log["added"]:
            kinds[kind] += 1
    return values, kinds


def summary(logs):
    keys = ("calls", "ok", "refused", "inner_refused", "inner_succeeded")
    out = {k: sum(log[k] for log in logs) for k in keys}
    out["unexpected"] = [u for log in logs for u in log["unexpected"]][:20]
    return out


def shared_protocol(directory, threads, calls, samples):
    p = Protocol()
    p.set_session_duration(0.01)
    # A signal from the start, so that no save fills in its Constant 0.0.
    p.add_constant_signal(-2.0)
    logs = [new_log() for _ in range(threads)]
    logs[0]["added"].append(("Constant", -2.0))
    start = threading.Barrier(threads)
    path = os.path.join(directory, "shared.vexa")
    stuck = run_threads([(worker, (p, seed, calls, logs[seed], path, start, samples))
                         for seed in range(threads)])
    got_values, got_kinds, text = contents(p)
    want_values, want_kinds = expected(logs)
    final = os.path.join(directory, "shared-final.vexa")
    p.save(final)
    return {
        "stuck_threads": stuck,
        **summary(logs),
        "signals_match": got_values == want_values and got_kinds == want_kinds,
        "kinds": got_kinds,
        "expected_kinds": want_kinds,
        "text_lines": text.count("\n") + 1,
        "saved": final,
    }


def own_protocol(seed, calls, log, path, start, samples, out):
    p = Protocol()
    p.set_session_duration(0.01)
    worker(p, seed, calls, log, path, start, samples)
    p.save(path)
    out[seed] = p


def replay(seed, calls, path, samples):
    """The same calls on a fresh protocol, one thread: what an independent
    protocol must hold afterwards."""
    p = Protocol()
    p.set_session_duration(0.01)
    log = new_log()
    worker(p, seed, calls, log, path, threading.Barrier(1), samples)
    p.save(path)
    return p, log


def many_protocols(directory, threads, calls, samples):
    logs = [new_log() for _ in range(threads)]
    start = threading.Barrier(threads)
    made = {}
    paths = [os.path.join(directory, f"own-{seed}.vexa") for seed in range(threads)]
    stuck = run_threads([(own_protocol, (seed, calls, logs[seed], paths[seed], start, samples,
                                         made))
                         for seed in range(threads)])
    identical = 0
    for seed in range(threads):
        with open(paths[seed], "rb") as f:
            saved_by_thread = f.read()
        again, again_log = replay(seed, calls, paths[seed], samples)
        with open(paths[seed], "rb") as f:
            saved_by_replay = f.read()
        if (str(made[seed]) == str(again) and saved_by_thread == saved_by_replay
                and again_log["ok"] == logs[seed]["ok"]):
            identical += 1
    return {"stuck_threads": stuck, **summary(logs), "identical_to_replay": identical}


def main():
    directory, threads, calls = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    faulthandler.dump_traceback_later(DEADLINE + 60, exit=True)
    # Switch threads as often as the interpreter allows.
    sys.setswitchinterval(1e-6)
    samples = np.linspace(0.0, 1.0, 50) if np is not None else None
    started = time.monotonic()
    shared = shared_protocol(directory, threads, calls, samples)
    many = many_protocols(directory, threads * 2, calls // 4, samples)
    faulthandler.cancel_dump_traceback_later()
    print(json.dumps({"shared": shared, "many": many, "threads": threads,
                      "seconds": round(time.monotonic() - started, 1)}))


if __name__ == "__main__":
    main()
