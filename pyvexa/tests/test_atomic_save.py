"""save replaces the target as a whole: a failed save leaves the old file
as it was and no temporary file behind."""
import os
import shutil
import stat
import tempfile

import pytest

from conftest import raises_panic, run_python, signals_of, unwrap_message
from golden import FRESH_FILE

OLD = b"old protocol bytes"


@pytest.mark.parametrize("mode", [0o640, 0o600, 0o604, 0o755])
def test_existing_permissions_kept(proto, in_tmp, mode):
    target = in_tmp / "kept.vexa"
    target.write_bytes(OLD)
    target.chmod(mode)
    proto.save("kept.vexa")
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert target.read_bytes() == FRESH_FILE
    assert os.listdir(in_tmp) == ["kept.vexa"]


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002, 0o000])
def test_new_file_permissions_follow_umask(proto, in_tmp, umask):
    old = os.umask(umask)
    try:
        proto.save("new.vexa")
    finally:
        os.umask(old)
    assert stat.S_IMODE((in_tmp / "new.vexa").stat().st_mode) == 0o666 & ~umask


def test_symlink_is_followed(proto, in_tmp):
    (in_tmp / "real").mkdir()
    (in_tmp / "links").mkdir()
    target = in_tmp / "real" / "target.bin"
    target.write_bytes(OLD)
    link = in_tmp / "links" / "link.vexa"
    link.symlink_to("../real/target.bin")   # relative to the link's directory
    proto.save(str(link))
    assert link.is_symlink() and os.readlink(link) == "../real/target.bin"
    assert target.read_bytes() == FRESH_FILE
    assert os.listdir(in_tmp / "real") == ["target.bin"]
    assert os.listdir(in_tmp / "links") == ["link.vexa"]


def test_device_written_in_place(proto, in_tmp):
    (in_tmp / "null.vexa").symlink_to("/dev/null")
    proto.save("null.vexa")
    assert (in_tmp / "null.vexa").is_symlink()
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert os.listdir(in_tmp) == ["null.vexa"]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_device_full(proto, in_tmp):
    (in_tmp / "full.vexa").symlink_to("/dev/full")
    with raises_panic(unwrap_message(
            'Os { code: 28, kind: StorageFull, message: "No space left on device" }')):
        proto.save("full.vexa")
    assert signals_of(proto) == [("Constant", {"value": "0.0"})]
    assert os.listdir(in_tmp) == ["full.vexa"]
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)


def test_file_size_limit_keeps_old_file(tmp_path):
    (tmp_path / "limited.vexa").write_bytes(FRESH_FILE)
    failed, old_kept, listing, retried = run_python("""
        import resource, signal
        import pyvexa
        p = pyvexa.Protocol()
        for _ in range(2000):
            p.add_sine_signal(1.0, 2.0, 3.0, 0.5)      # 33 bytes each in the file
        with open("limited.vexa", "rb") as f:
            old = f.read()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (8192, resource.RLIM_INFINITY))
        failed = outcome(p.save, "limited.vexa")
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
        with open("limited.vexa", "rb") as f:
            old_kept = f.read() == old
        listing = os.listdir(".")
        print(json.dumps([failed, old_kept, listing, outcome(p.save, "limited.vexa")]))
    """, cwd=tmp_path)
    assert failed == ["pyo3_runtime.PanicException", unwrap_message(
        'Os { code: 27, kind: FileTooLarge, message: "File too large" }')]
    assert old_kept and listing == ["limited.vexa"]
    assert retried == ["ok", "None"]
    assert (tmp_path / "limited.vexa").stat().st_size == 200 - 10 + 2 + 2000 * 33
    assert os.listdir(tmp_path) == ["limited.vexa"]


# --- permissions: root may write anywhere, so these run in a child that
# has given root up.

NOBODY = 65534


def drop_root():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


@pytest.fixture
def shared_dir():
    """A directory outside the root-only pytest area, for an unprivileged child."""
    path = tempfile.mkdtemp(prefix="pyvexa-perm-")
    os.chmod(path, 0o755)
    try:
        yield path
    finally:
        shutil.rmtree(path)


def save_unprivileged(directory, name):
    return run_python(f"""
        import pyvexa
        p = pyvexa.Protocol()
        result = outcome(p.save, {os.path.join(directory, name)!r})
        print(json.dumps([result, str(p).count("Constant(")]))
    """, cwd="/", preexec_fn=drop_root if os.geteuid() == 0 else None)


PERMISSION_DENIED = ["pyo3_runtime.PanicException", unwrap_message(
    'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }')]


def test_directory_without_write_permission(shared_dir):
    existing = os.path.join(shared_dir, "old.vexa")
    with open(existing, "wb") as f:
        f.write(OLD)
    os.chmod(existing, 0o666)
    if os.geteuid() != 0:
        os.chmod(shared_dir, 0o555)
    result, constants = save_unprivileged(shared_dir, "new.vexa")
    assert result == PERMISSION_DENIED
    assert constants == 1      # the fill-in happened all the same
    os.chmod(shared_dir, 0o755)
    assert sorted(os.listdir(shared_dir)) == ["old.vexa"]
    with open(existing, "rb") as f:
        assert f.read() == OLD


def test_read_only_target(shared_dir):
    target = os.path.join(shared_dir, "ro.vexa")
    with open(target, "wb") as f:
        f.write(OLD)
    os.chmod(target, 0o444)
    if os.geteuid() == 0:
        os.chown(shared_dir, NOBODY, NOBODY)
        os.chown(target, NOBODY, NOBODY)
    result, _ = save_unprivileged(shared_dir, "ro.vexa")
    assert result == PERMISSION_DENIED
    assert os.listdir(shared_dir) == ["ro.vexa"]
    with open(target, "rb") as f:
        assert f.read() == OLD
