"""The emulated library called from many threads at once, and fork() while its threads work.

The module holds the interpreter lock around most calls, so Python threads cannot make the
library run two calls at once; a C++ driver (emulator/testsupport/concurrency_stress.cpp), built
here against the installed library, does. scripts/tsan.sh runs the same driver under
ThreadSanitizer.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import pyQuorvexSDK as qx
from conftest import run_python
from firmware_image import TARGET_SENSOR, make_firmware_image

ROOT = pathlib.Path(__file__).resolve().parents[2]
DRIVER = ROOT / "emulator" / "testsupport" / "concurrency_stress.cpp"


def emulated_library():
    """The libQuorvexSDK.so this process loaded with the module."""
    for line in pathlib.Path("/proc/self/maps").read_text().splitlines():
        path = line.split()[-1]
        if path.endswith(".so") and pathlib.Path(path).name.startswith("libQuorvexSDK"):
            return pathlib.Path(path)
    pytest.skip("the emulated library is not loaded from a file")


@pytest.fixture(scope="module")
def stress_driver(tmp_path_factory):
    if os.environ.get("QX_SANITIZED_BUILD"):
        pytest.skip("the sanitizer run has its own instrumented build (scripts/tsan.sh for threads)")
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("needs g++")
    library = emulated_library()
    binary = tmp_path_factory.mktemp("stress") / "concurrency_stress"
    subprocess.run(
        [compiler, "-std=c++17", "-O1", "-pthread", str(DRIVER), "-o", str(binary),
         "-I", str(ROOT / "include"), "-I", str(ROOT / "emulator" / "include"),
         str(library), f"-Wl,-rpath,{library.parent}"],
        check=True, capture_output=True, timeout=300,
    )
    return binary


def firmware_folder(folder):
    for version in ("7.0.1", "7.0.2"):
        make_firmware_image(folder / f"sensor-{version}.img", TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, version)
    return folder


@pytest.mark.parametrize("seconds", [3])
def test_threads_on_every_camera_with_replacements(emu, stress_driver, tmp_path, seconds):
    """Two threads per handle (two handles share a device), an upgrading thread, a thread of
    camera-less calls and scripts, and configure() every 25 ms with every fourth a reset() first,
    all at once, from C++."""
    run = subprocess.run([str(stress_driver), str(seconds), str(firmware_folder(tmp_path))],
                         capture_output=True, text=True, timeout=seconds + 60)
    assert run.returncode == 0, run.stderr[-4000:]
    counts = dict((name, int(value)) for name, value in re.findall(r"(\w+)=(\d+)", run.stdout))
    # Every kind of work got done, so the run did exercise what it claims.
    assert counts["broken"] == 0
    assert all(counts[kind] > 0 for kind in ("frames", "upgrades", "replacements", "resets")), run.stdout
    assert "QxUpgradeSensorFW" in (tmp_path / "stress.log").read_text(errors="replace")


FORK_WHILE_LOGGING = """
    import os, sys, threading, time
    sys.path.insert(0, {examples!r})
    import pyQuorvexSDK as qx, qx_emulator
    from firmware_image import TARGET_SENSOR, make_firmware_image

    qx_emulator.configure(qx_emulator.builtin_configuration() + "\\nupgrade_time_ms: 0\\n")
    image = make_firmware_image({image!r}, TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.2.0")
    assert qx.QxSetLogFile({log!r}) == 0
    qx.QxSetLogLevel(qx.QX_LOG_LEVEL_TRACE)
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    stop = threading.Event()

    def upgrade():  # runs in the library without the interpreter lock, logging all the way
        while not stop.is_set():
            qx.QxUpgradeSensorFW(camera, {image!r}, None)

    worker = threading.Thread(target=upgrade)
    worker.start()
    hung = 0
    for _ in range({forks}):
        pid = os.fork()
        if pid == 0:
            qx.QxSetLogLevel(qx.QX_LOG_LEVEL_TRACE)
            status, names = qx.QxDiscoverCameraDevices()
            status, name = qx.QxGetDeviceName(qx.QxInitialCameraDevice(1))
            os._exit(0 if names else 3)
        deadline = time.monotonic() + 10
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.002)
        if done[0] == 0:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            hung += 1
        elif done[1] != 0:
            sys.exit(f"child failed: {{done[1]}}")
    stop.set()
    worker.join()
    print("hung", hung)
"""


@pytest.mark.parametrize("forks", [60])
def test_fork_while_another_thread_logs(emu, tmp_path, forks):
    """A child forked while another thread is inside the library, logging at trace level to a
    file, finds the library's locks free: it makes its calls and exits."""
    code = FORK_WHILE_LOGGING.format(examples=str(ROOT / "examples"), image=str(tmp_path / "sensor.img"),
                                     log=str(tmp_path / "library.log"), forks=forks)
    run = run_python(code, env={**os.environ, "PYTHONWARNINGS": "ignore::DeprecationWarning"})
    assert run.returncode == 0, run.stderr[-4000:]
    assert run.stdout.split() == ["hung", "0"]
