"""Targets an attacker would pick for save. Each save runs in a child
interpreter (as an ordinary user where the case needs one) and ends either
with the whole new file in place or with the designed error, the old file
byte for byte as it was, and nothing else in its directory."""
import fcntl
import json
import os
import re
import signal
import stat
import subprocess
import sys
import time

import pytest

import pyvexa
from conftest import MODULE_DIR, run_python, unwrap_message
from golden import FRESH_FILE
from test_hostile import NOBODY, drop_root, panic_os, world_dir  # noqa: F401 (a fixture)

OLD = b"the old protocol file"
ROOT = os.geteuid() == 0
OK = ["ok", "None"]
FORKED = unwrap_message('Error { kind: Other, message: "save abandoned in a process forked '
                        'during it: the file belongs to the process that began the save" }')


def os_error(code, kind, message):
    return ["pyo3_runtime.PanicException", panic_os(code, kind, message)]


def old_file(path, mode=0o644):
    with open(path, "wb") as f:
        f.write(OLD)
    os.chmod(path, mode)
    return path


# Each set-up returns (path to save to, the directory to inspect, the file
# whose content is checked).
def read_only_dir(d):
    sub = os.path.join(d, "ro")
    os.mkdir(sub)
    target = old_file(os.path.join(sub, "open.vexa"), 0o666)    # writable for anyone
    os.chmod(sub, 0o555)
    return target, sub, target


def fifo(d):
    os.mkfifo(os.path.join(d, "pipe.vexa"))
    return os.path.join(d, "pipe.vexa"), d, None


def long_path(d):
    # 4,085 bytes, as open() accepts: the temporary must not make it longer.
    path = d
    while 4085 - len(path) > 250:
        path = os.path.join(path, "d" * 200)
        os.mkdir(path)
        os.chmod(path, 0o777)
    name = "n" * (4085 - len(path) - 1 - 5) + ".vexa"
    target = old_file(os.path.join(path, name), 0o666)
    assert len(target) == 4085
    return target, path, target


def long_name(d):
    os.chmod(d, 0o777)
    target = old_file(os.path.join(d, "n" * 250 + ".vexa"), 0o666)
    return target, d, target


def sticky_dir(d):
    # /tmp-like: a writable file of another user may not be renamed over.
    os.chmod(d, 0o1777)
    return old_file(os.path.join(d, "theirs.vexa"), 0o666), d, os.path.join(d, "theirs.vexa")


def dev_full(d):
    os.symlink("/dev/full", os.path.join(d, "full.vexa"))
    return os.path.join(d, "full.vexa"), d, None


def symlink(d):
    os.chmod(d, 0o777)
    real = old_file(os.path.join(d, "real.bin"), 0o666)
    os.symlink("real.bin", os.path.join(d, "link.vexa"))
    return os.path.join(d, "link.vexa"), d, real


def other_owner(d):
    # Root saving over another user's file: the owner stays.
    target = old_file(os.path.join(d, "nobody.vexa"), 0o640)
    os.chown(target, NOBODY, NOBODY)
    return target, d, target


CASES = [
    # set-up, as an ordinary user, size limit, send Ctrl-C, outcome, new content
    (read_only_dir, True, 8192, False, os_error(13, "PermissionDenied", "Permission denied"), OLD),
    (fifo, False, None, True, ["builtins.KeyboardInterrupt", ""], None),
    (long_path, True, None, False, OK, FRESH_FILE),
    (long_name, True, None, False, OK, FRESH_FILE),
    (sticky_dir, True, None, False, os_error(1, "PermissionDenied", "Operation not permitted"),
     OLD),
    (dev_full, False, None, False, os_error(28, "StorageFull", "No space left on device"), None),
    (symlink, True, None, False, OK, FRESH_FILE),
    (other_owner, False, None, False, OK, FRESH_FILE),
]

CHILD = """
    import resource, signal, threading, time
    import pyvexa
    p = pyvexa.Protocol()
    if {limit!r} is not None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit!r}, resource.RLIM_INFINITY))
    def ctrl_c():
        # Once save holds the protocol (and has let the interpreter lock
        # go, or this thread could not run), as a user's Ctrl-C.
        while True:
            try:
                p.get_num_samples()
            except RuntimeError:
                break
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGINT)
    if {interrupt!r}:
        threading.Thread(target=ctrl_c, daemon=True).start()
    result = outcome(p.save, {path!r})
    print(json.dumps([result, outcome(p.get_num_samples)[0]]))
"""


@pytest.mark.parametrize("setup, ordinary_user, limit, interrupt, result, content", CASES,
                         ids=[c[0].__name__ for c in CASES])
def test_hostile_target(world_dir, setup, ordinary_user, limit, interrupt, result, content):
    if not ROOT and setup in (sticky_dir, other_owner):
        pytest.skip("needs root to make another user's file")
    path, directory, checked = setup(world_dir)
    listing = sorted(os.listdir(directory))
    stat_before = os.stat(checked) if checked else None
    got, usable = run_python(CHILD.format(path=path, limit=limit, interrupt=interrupt),
                             cwd="/", preexec_fn=drop_root if ordinary_user and ROOT else None)
    assert got == result
    assert usable == "ok"                   # the borrow was given back
    assert sorted(os.listdir(directory)) == listing
    if checked:
        with open(checked, "rb") as f:
            assert f.read() == content
        after = os.stat(checked)
        assert stat.S_IMODE(after.st_mode) == stat.S_IMODE(stat_before.st_mode)
        assert (after.st_uid, after.st_gid) == (stat_before.st_uid, stat_before.st_gid) or (
            ordinary_user and content == FRESH_FILE)


CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, os.environ.get("PYTHONPATH", "")]))
KILLER = """
    import pyvexa, sys
    p = pyvexa.Protocol()
    for _ in range(200000):                 # 6.6 MB in the file
        p.add_sine_signal(1.0, 2.0, 3.0, 0.5)
    p.save("ref/full.vexa")
    print("ready", flush=True)
    while True:
        p.save("out/target.vexa")
"""


@pytest.mark.parametrize("delay", [0.0, 0.003, 0.01, 0.03, 0.1, 0.3])
def test_killed_during_a_large_save(tmp_path, delay):
    # kill -9 at moments spread over the save: the old file or the whole new
    # one. A kill between naming the new file and renaming it over the old
    # one leaves that name, which the next save of the target removes, as it
    # removes a dead saver's, but never a live saver's or anything else.
    (tmp_path / "ref").mkdir()
    out = tmp_path / "out"
    out.mkdir()
    target = out / "target.vexa"
    target.write_bytes(OLD)
    (out / ".target.vexa.tmp-0000000000000000").write_bytes(b"a dead saver's")
    kept = [".target.vexa.tmp-0000000000000001", ".target.vexa.tmp-0000000000000002", "link",
            "target.vexa"]
    live = open(out / kept[0], "wb")
    fcntl.flock(live, fcntl.LOCK_EX)
    os.symlink("target.vexa", out / kept[1])
    os.link(out / kept[0], out / kept[2])
    child = subprocess.Popen([sys.executable, "-c", KILLER.replace("\n    ", "\n")],
                             cwd=tmp_path, env=CHILD_ENV, stdout=subprocess.PIPE)
    assert child.stdout.readline() == b"ready\n"
    time.sleep(delay)
    child.send_signal(signal.SIGKILL)
    child.wait(timeout=60)
    left = set(os.listdir(out)) - set(kept)
    assert len(left) <= 1 and all(re.fullmatch(r"\.target\.vexa\.tmp-[0-9a-f]{16}", n) for n in left)
    assert target.read_bytes() in (OLD, (tmp_path / "ref" / "full.vexa").read_bytes())
    pyvexa.Protocol().save(str(target))
    assert sorted(os.listdir(out)) == kept


# A protocol whose file is 13 MB (written in 1 MiB pieces), saved to ref.vexa.
LARGE = """
    import signal, threading, time
    import pyvexa
    p = pyvexa.Protocol()
    for _ in range(400000):
        p.add_sine_signal(1.0, 2.0, 3.0, 0.5)
    p.save("ref.vexa")
"""
EXITING = LARGE + """
    class Naps:
        def __float__(self):
            while True: time.sleep(0.001)
    def work():
        {work}
    threading.Thread(target=work, daemon=True).start()
    while outcome(p.get_num_samples)[0] == "ok":    # until the thread is inside its call
        time.sleep(0.001)
    class Late:                             # the interpreter finalises a while
        def __del__(self, sleep=time.sleep):
            sleep(0.3)
    sys.late = Late()                       # (sys is cleared last)
    print(0)
"""


@pytest.mark.parametrize("work", ["while True: p.save('out/target.vexa')",
                                  "p.save('out/fifo.vexa')", "p.add_constant_signal(Naps())"])
def test_interpreter_ends_during_a_call_in_a_daemon_thread(tmp_path, work):
    # No abort: the thread stops quietly, leaving the old file or the whole new one.
    (tmp_path / "out").mkdir()
    old_file(tmp_path / "out" / "target.vexa")
    os.mkfifo(tmp_path / "out" / "fifo.vexa")
    run_python(EXITING.format(work=work), cwd=tmp_path)
    assert sorted(os.listdir(tmp_path / "out")) == ["fifo.vexa", "target.vexa"]
    assert (tmp_path / "out" / "target.vexa").read_bytes() in (OLD, (tmp_path / "ref.vexa").read_bytes())


FORKING = LARGE + """
    parent = os.getpid()
    signal.signal(signal.SIGUSR1, lambda *_: os.fork())
    def inside_the_save(frame, event, arg):     # the save runs Python code between pieces
        if event == "call" and frame.f_code.co_name != "outcome":
            sys.setprofile(None)
            os.kill(parent, signal.SIGUSR1)
    sys.setprofile(inside_the_save)
    saved = outcome(p.save, "out/target.vexa")
    if os.getpid() != parent:
        with open("child.json", "w") as f:
            f.write(json.dumps(saved))
        os._exit(0)
    os.wait()
    print(json.dumps(saved))
"""


def test_fork_in_a_signal_handler_during_a_save(tmp_path):
    # The parent's file is whole; the child, back in the same save, writes and removes nothing.
    (tmp_path / "out").mkdir()
    old_file(tmp_path / "out" / "target.vexa")
    assert run_python(FORKING, cwd=tmp_path) == OK
    assert os.listdir(tmp_path / "out") == ["target.vexa"]
    assert (tmp_path / "out" / "target.vexa").read_bytes() == (tmp_path / "ref.vexa").read_bytes()
    assert json.loads((tmp_path / "child.json").read_text()) == ["pyo3_runtime.PanicException", FORKED]


@pytest.mark.parametrize("link", ["/dev/stdout", "/proc/self/fd/1"])
def test_link_to_standard_output_that_is_a_pipe(tmp_path, link):
    # The link's text ("pipe:[N]") names no file: written to the pipe, as open() writes.
    os.symlink(link, tmp_path / "out.vexa")
    child = subprocess.run([sys.executable, "-c", "import pyvexa; pyvexa.Protocol().save('out.vexa')"],
                           cwd=tmp_path, env=CHILD_ENV, capture_output=True, timeout=60)
    assert (child.returncode, child.stdout, os.listdir(tmp_path)) == (0, FRESH_FILE, ["out.vexa"])
