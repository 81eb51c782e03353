import pathlib
import signal
import sys

import pytest

import pyQuorvexSDK as qx

try:
    import qx_emulator
except ImportError:  # built against a vendor library: no emulator to script
    qx_emulator = None

# A suite started in the background of a script inherits Ctrl-C ignored, and so would the
# commands it starts; the tests that interrupt them need it back.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


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


# Test files are imported by path (importlib mode), so that tests/binding/test_formats.py and
# tests/emulator/test_formats.py can both exist; the shared modules here (api.py, support.py) and
# the examples' frame conversion, which serves the tests too, are found through sys.path.
_TESTS = pathlib.Path(__file__).resolve().parent
for _folder in (_TESTS, _TESTS.parent / "examples"):
    if str(_folder) not in sys.path:
        sys.path.insert(0, str(_folder))

from support import run_python  # noqa: E402,F401  (kept importable from conftest)
