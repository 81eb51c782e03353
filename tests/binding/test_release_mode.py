"""QX_RELEASE_GIL: what each mode lets run at the same time, re-entry from progress callbacks,
Ctrl-C during a long frame wait and interpreter exit during an upgrade. The mode is read once
at import, so every case runs in a fresh interpreter with the variable set."""

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from conftest import run_python

pytest.importorskip("qx_emulator", reason="needs the emulated QuorvexSDK")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
RELEASED = ["library", "camera"]
EVERY_MODE = ["0"] + RELEASED

# Two slow cameras of their own (one frame a second), so that a wait for the next frame is long,
# and upgrades that take a while, so that other calls can land inside one.
PRELUDE = f"""
import json, os, sys, threading, time
# Imported now, not by the first frame: that import takes a tenth of a second or more, which
# would set the two cameras' frame schedules apart and lengthen a timed wait.
import numpy
sys.path.insert(0, {str(EXAMPLES)!r})
import pyQuorvexSDK as qx
import qx_emulator as emu
from firmware_image import TARGET_SENSOR, firmware_image

CAMERA = '''
  - name: Slow Camera {{i}}
    path: /dev/video{{i}}
    interface: usb
    product: zena
    hardware_id: "SLOW-{{i}}"
    formats:
      - {{{{format: YUY2, sizes: ["64x32"], fps: [1]}}}}
'''
assert emu.configure("upgrade_time_ms: 600\\ncameras:\\n" + CAMERA.format(i=0) + CAMERA.format(i=1))
cameras = [qx.QxInitialCameraDevice(i) for i in range(2)]
if not os.environ.get("LEAVE_CLOSED"):
    for camera in cameras:
        assert qx.QxOpen(camera) == 0
    fmt = qx.QxGetFormatList(cameras[0])[1][0]

def stream(camera):
    # Frame 0 comes at once; the next one a second later.
    assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
    assert qx.QxGetImage(camera, 1000, fmt)[0] == qx.QX_SUCCESS

def sync(camera):
    # Waits for frame 1: the next one is then a whole second away.
    assert qx.QxGetImage(camera, 2000, fmt)[0] == qx.QX_SUCCESS

def sensor_image(tmp):
    path = os.path.join(tmp, f"sensor-{{os.getpid()}}.img")
    with open(path, "wb") as file:
        file.write(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.1.0"))
    return path

def report(**values):
    print(json.dumps(values))
"""


def run_in_mode(mode, code, tmp_path=None, **kwargs):
    env = dict(os.environ, QX_RELEASE_GIL=mode)
    result = run_python(PRELUDE + textwrap.dedent(code), env=env, cwd=tmp_path, **kwargs)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("value", ["2", "yes", "Camera", "camera ", "held", "-1"])
def test_a_value_that_names_no_mode_fails_the_import(value):
    result = run_python("import pyQuorvexSDK", env=dict(os.environ, QX_RELEASE_GIL=value))
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError:") and repr(value) in last
    for accepted in ("'0'", "'1'", "'library'", "'camera'"):
        assert accepted in last


@pytest.mark.parametrize("value, mode", [(None, "held"), ("", "held"), ("0", "held"), ("1", "library"),
                                         ("library", "library"), ("camera", "camera")])
def test_the_mode_in_force_is_logged_at_import(value, mode):
    env = {k: v for k, v in os.environ.items() if k != "QX_RELEASE_GIL"}
    if value is not None:
        env["QX_RELEASE_GIL"] = value
    result = run_python(
        "import logging; logging.basicConfig(level=logging.DEBUG, format='%(name)s %(message)s')\n"
        "import pyQuorvexSDK", env=env)
    assert result.returncode == 0, result.stderr
    assert f"pyQuorvexSDK release mode {mode} " in result.stderr


@pytest.mark.parametrize("mode, runs", [("0", False), ("library", True), ("camera", True)])
def test_other_threads_run_while_one_waits_for_a_frame(mode, runs):
    outcome = run_in_mode(mode, """
        stream(cameras[0])
        ticks, stop = [], threading.Event()
        def tick():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.002)
        ticker = threading.Thread(target=tick)
        ticker.start()
        time.sleep(0.05)
        start = time.monotonic()
        result, frame = qx.QxGetImage(cameras[0], 3000, fmt)
        end = time.monotonic()
        stop.set()
        ticker.join()
        # Ticks well inside the wait: a thread held back by the lock may still tick as the call
        # is entered or left, the more so on a busy machine.
        report(result=int(result), size=frame.size, wait=end - start,
               inside=sum(start + 0.1 < t < end - 0.1 for t in ticks))
    """)
    assert outcome["result"] == 0 and outcome["size"] == 64 * 32 * 2
    assert outcome["wait"] > 0.5
    if runs:
        assert outcome["inside"] >= 5
    else:
        assert outcome["inside"] == 0


# Thread A waits for a frame a second away; once it is inside the library, thread B polls a
# camera without waiting. Side by side, B's poll returns at once (0.3 s after A started);
# serialised, not before A's frame is due (a second after the last one), since A holds the
# camera until then. The order is what counts: a busy machine can only make B later, and the
# limit between leaves 0.35 s on the side-by-side side. (Which thread appends to a list first
# after both returns is no witness: in a release mode both then wait for the interpreter lock.)
@pytest.mark.parametrize("mode, same_camera, overlap", [
    ("0", False, False), ("0", True, False),
    ("library", False, False), ("library", True, False),
    ("camera", False, True), ("camera", True, False),
])
def test_which_waits_overlap(mode, same_camera, overlap):
    outcome = run_in_mode(mode, f"""
        pair = [cameras[0], cameras[0 if {same_camera} else 1]]
        for camera in set(pair):
            stream(camera)
        for camera in set(pair):
            sync(camera)
        started = time.monotonic()
        results = {{}}
        def wait():
            results["a"] = int(qx.QxGetImage(pair[0], 3000, fmt)[0])
        def poll():
            time.sleep(0.3)
            results["b"] = int(qx.QxGetImage(pair[1], 0, fmt)[0])
            results["b_returned"] = time.monotonic() - started
        threads = [threading.Thread(target=wait), threading.Thread(target=poll)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        report(**results)
    """)
    assert outcome["a"] == 0 and outcome["b"] in (-1, 0)  # QX_SUCCESS, QX_TIMEOUT
    assert (outcome["b_returned"] < 0.65) == overlap, outcome


# While camera 0 upgrades (progress reports 0..100 over 0.6 s), another thread calls the library:
# on the same camera, on another camera, or naming no camera. Which of those calls finish while
# the upgrade runs shows what the mode serialises.
@pytest.mark.parametrize("mode, target, inside", [
    ("0", "same", True), ("0", "other", True), ("0", "none", True),
    ("library", "same", False), ("library", "other", False), ("library", "none", False),
    ("camera", "same", False), ("camera", "other", True), ("camera", "none", False),
])
def test_calls_during_an_upgrade(tmp_path, mode, target, inside):
    outcome = run_in_mode(mode, f"""
        calls = {{"same": lambda: qx.QxGetDeviceName(cameras[0]),
                  "other": lambda: qx.QxGetDeviceName(cameras[1]),
                  "none": lambda: qx.QxDiscoverCameraDevices()}}
        reports, finished, done = [], [], threading.Event()
        def upgrade():
            reports.append(qx.QxUpgradeSensorFW(cameras[0], sensor_image("."),
                                                lambda value: reports.append(time.monotonic())))
            done.set()
        def other():
            while not done.is_set():
                calls[{target!r}]()
                finished.append(time.monotonic())
                time.sleep(0.002)
        upgrader = threading.Thread(target=upgrade)
        caller = threading.Thread(target=other)
        upgrader.start()
        caller.start()
        upgrader.join()
        caller.join()
        result, times = reports[-1], reports[:-1]
        first, last = times[10], times[-10]
        report(result=int(result), reports=len(times), inside=sum(first < t < last for t in finished))
    """, tmp_path)
    assert outcome["result"] == 0 and outcome["reports"] == 101
    if inside:
        assert outcome["inside"] > 5
    else:
        assert outcome["inside"] == 0


@pytest.mark.parametrize("mode", EVERY_MODE)
@pytest.mark.parametrize("library_thread", [False, True], ids=["calling-thread", "library-thread"])
def test_progress_reports_from_either_thread(mode, library_thread):
    outcome = run_in_mode(mode, f"""
        emu.script("QxUpgradeSensorFW", result=0, outs={{"progress": [1, 2, 3]}},
                   callback_thread={library_thread})
        caller, seen = threading.get_ident(), []
        result = qx.QxUpgradeSensorFW(cameras[0], "/fw/sensor.img",
                                      lambda value: seen.append((value, threading.get_ident() != caller)))
        report(result=int(result), seen=seen)
    """)
    assert outcome == {"result": 0, "seen": [[v, library_thread] for v in (1, 2, 3)]}


# Calls from inside a progress report: (mode, thread the report comes on, camera the call names)
# -> the error it raises, or None when it runs.
REFUSED = "a progress callback may call the library only for the camera being upgraded"


@pytest.mark.parametrize("mode, library_thread, target, refused", [
    ("0", True, "same", False), ("0", False, "other", False), ("0", False, "none", False),
    ("library", False, "same", False), ("library", False, "other", False), ("library", False, "none", False),
    ("library", True, "same", True), ("library", True, "other", True), ("library", True, "none", True),
    ("camera", False, "same", False), ("camera", False, "other", True), ("camera", False, "none", True),
    ("camera", True, "same", True), ("camera", True, "other", False), ("camera", True, "none", True),
])
def test_calls_from_a_progress_callback(mode, library_thread, target, refused):
    outcome = run_in_mode(mode, f"""
        calls = {{"same": lambda: qx.QxGetDeviceName(cameras[0])[0],
                  "other": lambda: qx.QxGetDeviceName(cameras[1])[0],
                  "none": lambda: len(qx.QxDiscoverCameraDevices()[1])}}
        emu.script("QxUpgradeSensorFW", result=0, outs={{"progress": [7]}}, callback_thread={library_thread})
        seen = []
        def progress(value):
            try:
                seen.append(calls[{target!r}]())
            except RuntimeError as error:
                seen.append(str(error))
        result = qx.QxUpgradeSensorFW(cameras[0], "/fw/sensor.img", progress)
        # Nothing is left locked: the next calls run as usual.
        report(result=int(result), seen=seen, after=[calls[name]() for name in ("same", "other", "none")])
    """)
    assert outcome["result"] == 0 and outcome["after"] == [0, 0, 2]
    [seen] = outcome["seen"]
    if refused:
        assert isinstance(seen, str) and REFUSED in seen and f"QX_RELEASE_GIL={mode}" in seen
    else:
        assert seen in (0, 2)


@pytest.mark.parametrize("mode", EVERY_MODE)
@pytest.mark.parametrize("library_thread", [False, True], ids=["calling-thread", "library-thread"])
def test_a_raising_progress_callable_reaches_the_caller(mode, library_thread):
    outcome = run_in_mode(mode, f"""
        emu.script("QxUpgradeSensorFW", result=0, outs={{"progress": [1, 2]}}, callback_thread={library_thread})
        def progress(value):
            raise ValueError(f"stop at {{value}}")
        try:
            qx.QxUpgradeSensorFW(cameras[0], "/fw/sensor.img", progress)
            raised = None
        except ValueError as error:
            raised = str(error)
        report(raised=raised, after=qx.QxGetDeviceName(cameras[0])[0])
    """)
    assert outcome == {"raised": "stop at 1", "after": 0}


@pytest.mark.parametrize("mode, prompt", [("0", False), ("library", True), ("camera", True)])
def test_ctrl_c_during_a_long_frame_wait(mode, prompt):
    outcome = run_in_mode(mode, """
        import signal
        # Counted from before streaming starts: frame 1 cannot come sooner than 1.0 s after.
        start = time.monotonic()
        stream(cameras[0])
        # Delivered by the kernel: no Python thread needs the interpreter lock to send it.
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            qx.QxGetImage(cameras[0], 5000, fmt)
            interrupted = None
        except KeyboardInterrupt:
            interrupted = time.monotonic() - start
        # A child forked while the abandoned wait is still in the library has none of its
        # threads or locks: a long wait on its main thread goes through a helper of its own.
        stream(cameras[1])
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)  # a deadlocked child dies instead of hanging the test
            status, frame = qx.QxGetImage(cameras[1], 3000, fmt)
            os._exit(0 if (status, frame.size) == (qx.QX_SUCCESS, 64 * 32 * 2) else 1)
        child = os.waitpid(pid, 0)[1]
        # The abandoned wait still owns its buffer and the camera until the library returns;
        # the next frames then arrive whole, also once the helper has gone back to sleep.
        sizes = []
        for pause in (0, 0.3):
            time.sleep(pause)
            result, frame = qx.QxGetImage(cameras[0], 3000, fmt)
            sizes.append((int(result), frame.size))
        report(interrupted=interrupted, child=child, sizes=sizes)
    """)
    assert outcome["interrupted"] is not None
    assert outcome["child"] == 0
    assert outcome["sizes"] == [[0, 64 * 32 * 2]] * 2
    if prompt:
        assert outcome["interrupted"] < 0.8  # Ctrl-C at 0.2 s, seen within 50 ms; the frame at 1.0 s
    else:
        assert outcome["interrupted"] > 0.95  # the wait holds the interpreter lock to its end


@pytest.mark.parametrize("mode", RELEASED)
def test_a_long_main_thread_wait_returns_what_the_library_returns(mode):
    # Waits above 100 ms on the main thread go through the helper thread in a release mode: the
    # caller must get the library's own result and frame, as with the lock held.
    code = """
        outcomes = []
        def read(timeout):
            result, frame = qx.QxGetImage(cameras[0], timeout, fmt)
            outcomes.append([int(result), frame.size])
        read(500)   # not streaming
        stream(cameras[0])
        read(200)   # the next frame is a second away
        read(2000)
        # The buffer is cleared before the library gets it, also where that is the helper's job:
        # memory a frame of 0xff bytes just gave back must not show through.
        import numpy
        junk = [numpy.full(64 * 32 * 3, 255, numpy.uint8) for _ in range(16)]
        del junk[::2]
        emu.script("QxGetImage", outs={"size": 64 * 32 * 3, "buffer": b"\\x01\\x02"})
        result, frame = qx.QxGetImage(cameras[0], 2000, fmt)
        outcomes.append([int(result), frame[:3].tolist(), int(frame[2:].any())])
        report(outcomes=outcomes)
    """
    held = run_in_mode("0", code)
    # QX_TIMEOUT, QX_SUCCESS, then the scripted bytes on zeros
    assert held["outcomes"][1:] == [[-1, 0], [0, 64 * 32 * 2], [0, [1, 2, 0], 0]]
    assert run_in_mode(mode, code) == held


# The interpreter exits with cameras open, streaming, or with a daemon thread inside the library:
# an upgrade reporting progress to Python, or a frame wait. In 3.13 a thread that takes the
# interpreter lock during finalization is ended with pthread_exit, which aborts the process
# ("terminate called without an active exception") under C++ frames; a call made while the
# interpreter finalizes (a __del__) must not give up the lock it could never take back; and the
# library must outlive a thread of the program that is still inside it when the process ends.
# Cameras are opened through quorvex, which closes them before finalization; a handle held by
# an object of the program's own is closed by its __del__ during finalization.
EXIT_WITH_CAMERAS = """
    import atexit, random
    situation = sys.argv[1]
    def closed_at_exit():
        # Registered before quorvex is imported, so it runs after quorvex's hook: each camera can
        # be opened again (it was closed), except one an upgrade still holds.
        reopened = [qx.QxOpen(camera) for camera in cameras]
        asked = sorted(call[1]["camera"] for call in emu.journal("QxClose"))
        print(json.dumps({"reopened": reopened, "asked": asked}), flush=True)
    atexit.register(closed_at_exit)
    import quorvex
    opened = [quorvex.open(i) for i in range(2)]
    fmt = qx.QxGetFormatList(cameras[0])[1][0]
    inside = []
    def upgrade():
        path = sensor_image(os.environ["TMP_DIR"])
        inside.append("upgrade")
        qx.QxUpgradeSensorFW(cameras[0], path, lambda value: time.sleep(0.001))
    def wait():
        inside.append("wait")
        qx.QxGetImage(cameras[1], 5000, fmt)
    targets = {"upgrade": [upgrade], "wait": [wait], "both": [upgrade, wait]}.get(situation, [])
    if situation != "open":
        streaming = opened[1].stream()
        streaming.start()
        streaming.read(timeout=5)
    if situation == "finalizer":
        # A handle of the program's own, closed by __del__ while the modules are torn down.
        class Holder:
            def __init__(self, camera):
                self.camera = camera
            def __del__(self, qx=qx, fmt=fmt, write=os.write, fd=os.dup(1)):
                waited = qx.QxGetImage(self.camera, 2000, fmt)[0] == qx.QX_SUCCESS
                write(fd, f"finalizer {int(waited)} {qx.QxStopStreaming(self.camera)} {qx.QxClose(self.camera)}\\n".encode())
        opened[1].close()
        assert qx.QxOpen(cameras[1]) == 0 and qx.QxSetFormat(cameras[1], fmt) == 0
        assert qx.QxStartStreaming(cameras[1]) == 0
        holder = Holder(cameras[1])
    for target in targets:
        threading.Thread(target=target, daemon=True).start()
    deadline = time.monotonic() + 30
    while len(inside) < len(targets):
        assert time.monotonic() < deadline, "the work never got into the library"
        time.sleep(0.001)
    time.sleep(random.uniform(0.0, 0.6))
"""


@pytest.mark.parametrize("mode", EVERY_MODE)
@pytest.mark.parametrize("situation", ["open", "streaming", "finalizer", "wait", "upgrade", "both"])
def test_exit_with_cameras_open_or_a_daemon_thread_in_the_library(tmp_path, mode, situation):
    env = dict(os.environ, QX_RELEASE_GIL=mode, TMP_DIR=str(tmp_path), LEAVE_CLOSED="1")
    code = PRELUDE + textwrap.dedent(EXIT_WITH_CAMERAS)
    # Several interpreters at once: the races of exit show on a busy machine.
    runs = [subprocess.Popen([sys.executable, "-c", code, situation], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for _ in range(4)]
    for run in runs:
        try:
            out, err = run.communicate(timeout=120)  # a hang, not slowness: exit takes about a second
        except subprocess.TimeoutExpired:
            run.kill()
            pytest.fail(f"the interpreter did not exit: {run.communicate()}")
        assert run.returncode == 0, err
        assert "Fatal Python error" not in err and "terminate called" not in err, err
        lines = out.splitlines()
        outcome = json.loads(next(line for line in lines if line.startswith("{")))
        if situation == "finalizer":
            assert "finalizer 1 0 0" in lines, out
            assert outcome["asked"] == [0, 1] and outcome["reopened"][0] == 0
        else:
            assert outcome["asked"] == [0, 1]
            # Closed: opened again at once, but for a camera whose upgrade may still run (the
            # library refuses to close it then without the module's per-camera lock).
            upgrading = situation in ("upgrade", "both") and mode == "0"
            assert outcome["reopened"][1] == 0 and (upgrading or outcome["reopened"][0] == 0), outcome


@pytest.mark.parametrize("mode", RELEASED)
def test_fork_while_another_thread_holds_a_camera(mode):
    # The child has only the forking thread: the locks the waiting thread held in the parent
    # must not stay held in the child.
    outcome = run_in_mode(mode, """
        stream(cameras[0])
        waiting = threading.Thread(target=lambda: qx.QxGetImage(cameras[0], 3000, fmt))
        waiting.start()
        time.sleep(0.2)
        pid = os.fork()
        if pid == 0:
            signal_alarm = __import__("signal")
            signal_alarm.alarm(20)  # a deadlocked child dies instead of hanging the test
            os._exit(0 if qx.QxGetDeviceName(cameras[0]) == (0, "Slow Camera 0") else 1)
        _, status = os.waitpid(pid, 0)
        waiting.join()
        report(status=status)
    """)
    assert outcome == {"status": 0}
