"""Shared set-up for the inspector, example, stub and install tests.

The module-free tests need nothing but this directory. The others import
the built module from PYTHONPATH (the build directory's pyvexa/), e.g.
    PYTHONPATH=build/cpython/pyvexa python3 -m pytest tools/tests
and skip themselves when it cannot be imported.
"""
import pytest

from toolsupport import np


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "install: builds and installs the package into throwaway venvs (minutes)")


@pytest.fixture(autouse=True)
def _not_on_target(monkeypatch):
    monkeypatch.delenv("VEXA_TARGET_MACHINE", raising=False)


@pytest.fixture
def pyvexa():
    try:
        import pyvexa
    except ImportError as e:
        pytest.skip(f"the built module is not importable ({e}); set PYTHONPATH")
    return pyvexa


@pytest.fixture
def numpy():
    if np is None:
        pytest.skip("numpy cannot be imported")
    return np
