"""Running out of memory inside an operation raises MemoryError and leaves
the protocol usable; the process goes on."""
import pytest

from conftest import IS_PYPY, SANITIZED, run_python


@pytest.mark.skipif(IS_PYPY, reason="PyPy's own heap growth makes an address-space limit unreliable")
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's shadow memory makes an address-space "
                    "limit meaningless")
def test_memory_exhaustion_raises_memory_error():
    result = run_python("""
        import resource
        import pyvexa

        def mapped_bytes():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        p = pyvexa.Protocol()
        for i in range(300000):
            p.add_constant_signal(float(i))     # its text is about 40 MB
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + 16 * 2**20, hard))
        rendering = outcome(lambda: len(str(p)))
        adding = ["ok", ""]
        for _ in range(20_000_000):
            adding = outcome(p.add_constant_signal, 0.5)
            if adding[0] != "ok":
                break
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        # Afterwards the protocol works and its signal list is consistent.
        position = p.add_constant_signal(0.25)
        text = str(p)
        print(json.dumps([rendering[0], adding[0], position, text.count("Constant("),
                          text.endswith("\\n}"), p.get_num_samples()]))
    """)
    rendering, adding, position, constants, complete, samples = result
    assert rendering == "builtins.MemoryError"
    assert adding == "builtins.MemoryError"
    assert position + 1 == constants and position > 300000
    assert complete and samples == 300000


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's shadow memory makes an address-space "
                    "limit meaningless")
def test_text_too_large_for_memory_is_memory_error():
    # MemoryError on both interpreters (PyPy's C layer words it as a SystemError).
    assert run_python("""
        import resource
        import pyvexa
        p = pyvexa.Protocol()
        for i in range(300000):
            p.add_sine_signal(i, 1.0, 2.0, 3.0)     # its text is about 60 MB
        with open("/proc/self/status") as f:
            size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + 8 * 2**20, hard))
        rendering = outcome(lambda: len(str(p)))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(json.dumps([rendering[0], str(p).count("Sine(")]))
    """) == ["builtins.MemoryError", 300000]
