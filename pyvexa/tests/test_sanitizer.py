"""The sanitizer build checks itself: its leak check sees a leak in an
extension module, and hides only what the interpreter and NumPy leave
behind at exit. Runs only in the sanitizer build (make check-sanitize)."""
import os
import subprocess
import sys

import pytest

from conftest import MODULE_DIR, SANITIZED, np

pytestmark = pytest.mark.skipif(not SANITIZED, reason="only in the sanitizer build")


def run_child(code, reports):
    """Runs `code` in a child interpreter with the suite's own sanitizer
    settings, except that reports go to `reports` instead of the
    directory that the check counts."""
    env = dict(os.environ)
    options = [o for o in env["ASAN_OPTIONS"].split(":") if not o.startswith("log_path=")]
    env["ASAN_OPTIONS"] = ":".join(options + ["log_path=" + str(reports / "asan")])
    env["PYTHONPATH"] = MODULE_DIR
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=300)
    texts = [p.read_text() for p in sorted(reports.iterdir())]
    return proc, texts


WORKLOAD = """
import pyvexa
p = pyvexa.Protocol()
p.add_sine_signal(1.0, 2.0, 0.0, 0.5)
text = str(p)
try:
    p.set_session_duration(0.0)
except BaseException:
    pass
"""
if np is not None:
    WORKLOAD += """
import numpy
p.set_session_duration(0.01)
p.add_arbitrary_signal(numpy.ones(50))
"""


def test_a_module_leak_is_reported(tmp_path):
    proc, reports = run_child(WORKLOAD + "import leak_canary\nleak_canary.leak_on_purpose()\n",
                              tmp_path)
    assert proc.returncode != 0, proc.stderr
    assert len(reports) == 1, reports
    report = reports[0]
    assert "ERROR: LeakSanitizer: detected memory leaks" in report
    # The lost string object (32 bytes) and its buffer (101 bytes), and
    # nothing else: the interpreter's and NumPy's leftovers are suppressed.
    assert report.count("Direct leak") == 1, report
    assert "Direct leak of 32 byte(s) in 1 object(s)" in report
    assert "leak_on_purpose" in report
    assert "SUMMARY: AddressSanitizer: 133 byte(s) leaked in 2 allocation(s)." in report


def test_the_suite_workload_alone_reports_nothing(tmp_path):
    proc, reports = run_child(WORKLOAD, tmp_path)
    assert reports == []
    assert proc.returncode == 0, proc.stderr


def test_an_out_of_bounds_read_is_reported(tmp_path):
    # The ASan runtime really is in the interpreter, and PYTHONMALLOC=malloc
    # gives every object a redzone: reading past the end of a bytes object
    # through ctypes is caught.
    # (16 bytes: the copy goes through memcpy, which the runtime checks;
    # a single byte would be read by the interpreter's own code.)
    code = """
import ctypes
b = bytes(1000)
ctypes.string_at(id(b) + sys.getsizeof(b) - 8, 16)   # 8 bytes past the end
"""
    proc, reports = run_child("import sys\n" + code, tmp_path)
    assert proc.returncode != 0
    assert len(reports) == 1 and "ERROR: AddressSanitizer: heap-buffer-overflow" in reports[0], reports
