import pathlib
import subprocess
import sys
import textwrap

import pytest

import pyQuorvexSDK as qx

try:
    import qx_emulator
except ImportError:  # built against a vendor library: no emulator to script
    qx_emulator = None


def _restart_emulator():
    # A profile saved to a camera survives a reset of the library; a new configuration does not.
    qx_emulator.reset()
    qx_emulator.configure("")


@pytest.fixture(autouse=True)
def _fresh_emulator():
    """Every test starts from a freshly loaded emulated library and leaves no camera open."""
    if qx_emulator is not None:
        _restart_emulator()
    yield
    if qx_emulator is not None:
        _restart_emulator()


@pytest.fixture
def emu():
    """The emulator's test control; tests that need it are skipped against a vendor library."""
    if qx_emulator is None:
        pytest.skip("needs the emulated QuorvexSDK")
    return qx_emulator


@pytest.fixture
def camera(emu):
    """The first emulated camera, opened, and always closed again."""
    handle = qx.QxInitialCameraDevice(0)
    assert handle is not None
    assert qx.QxOpen(handle) == 0
    yield handle
    qx.QxClose(handle)


def run_python(code, **kwargs):
    """Runs code in a fresh interpreter, so that a crash shows as a failure, not a dead run."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )


# The examples' frame conversion serves the tests too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
