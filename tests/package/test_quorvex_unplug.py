"""quorvex with cameras unplugged and plugged in again: DisconnectedError, reconnecting streams,
watch() and `quorvex watch`."""

import asyncio
import math
import threading
import time

import pytest

import pyQuorvexSDK as qx
import quorvex
from quorvex.cli import main

ZENA_PATH = "/dev/video0"

# Two cameras of one model, told apart by path and unique ID only.
TWINS = """
cameras:
  - {name: Rig Camera, path: /dev/video20, interface: usb, product: zeni, hardware_id: RIG-1, formats: [{format: YUY2, sizes: ["320x240"], fps: [30]}]}
  - {name: Rig Camera, path: /dev/video21, interface: usb, product: zeni, hardware_id: RIG-1, formats: [{format: YUY2, sizes: ["320x240"], fps: [30]}]}
"""


def in_thread(function):
    """Runs `function` on a thread; returns (thread, outcome), outcome[0] being its result or error."""
    outcome = []

    def run():
        try:
            outcome.append(function())
        except BaseException as error:
            outcome.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def read_on(stream, how):
    """Reads frames without a timeout until a read fails (returns its error)."""
    async def aread_on():
        while True:
            await stream.aread(None)

    def run():
        if how == "aread":
            asyncio.run(aread_on())
        while True:
            stream.read(None)

    return run


@pytest.mark.parametrize("how", ["read", "aread"])
def test_a_read_waiting_when_the_camera_is_unplugged_raises_and_everything_closes(emu, how):
    camera = quorvex.open(ZENA_PATH)
    stream = camera.stream().start()
    stream.read()
    thread, outcome = in_thread(read_on(stream, how))  # only the unplugging ends it
    emu.unplug(ZENA_PATH)
    thread.join(20)
    assert not thread.is_alive()
    assert isinstance(outcome[0], quorvex.DisconnectedError) and ZENA_PATH in str(outcome[0])
    assert not stream.is_streaming and not camera.is_connected
    stream.stop()
    camera.close()
    emu.plug(ZENA_PATH)
    with quorvex.open(ZENA_PATH) as again, again.stream() as fresh:
        assert fresh.read().data.size > 0


def test_open_cameras_are_told_apart_after_the_indexes_shift(emu):
    with quorvex.open(1) as zenm:  # camera 1 becomes camera 0 when camera 0 is unplugged
        emu.unplug(ZENA_PATH)
        infos = quorvex.cameras()
        assert [info.path for info in infos] == [zenm.info.path, "/dev/video4"]
        assert infos[1].hardware_id is not None  # camera 1 now is not the one open: opened to be read
        with quorvex.open(1) as webcam:
            assert webcam.info.path == "/dev/video4"
    assert qx.QxOpen(qx.QxInitialCameraDevice(0)) == 0  # closed for real


def plug_later(emu, camera, path):
    """Plugs `path` in again from another thread once `camera`'s stream waits for it, and a
    while later, longer than the stream's own timeout."""
    def plug():
        while camera.is_connected:
            time.sleep(0.01)
        time.sleep(0.5)
        emu.plug(path)

    return in_thread(plug)


@pytest.mark.parametrize("how", ["read", "aread"])
def test_a_reconnecting_stream_gets_the_same_camera_back_as_it_was(emu, how):
    emu.configure(TWINS)
    with quorvex.open("/dev/video21") as camera:
        brightness = camera.controls["brightness"]
        with camera.stream(timeout=0.2, reconnect=True, reconnect_timeout=None) as stream:
            stream.read()
            brightness.value = brightness.default + brightness.step
            camera.max_fps = 10
            emu.unplug("/dev/video21")
            plugger, _ = plug_later(emu, camera, "/dev/video21")
            frame = asyncio.run(stream.aread()) if how == "aread" else stream.read()
            plugger.join(20)
            assert frame.format == stream.format and stream.reconnects == 1
            assert camera.is_connected and camera.info.path == "/dev/video21"
            assert brightness.value == brightness.default + brightness.step and camera.max_fps == 10
            stream.read()
    assert not camera.is_open


def test_a_camera_that_stays_away_ends_the_reconnecting_read(emu):
    with quorvex.open(ZENA_PATH) as camera, camera.stream(reconnect=True, reconnect_timeout=0.3) as stream:
        emu.unplug(ZENA_PATH)
        with pytest.raises(quorvex.DisconnectedError, match="did not come back within 0.3 s"):
            stream.read(None)
        assert not stream.is_streaming and stream.reconnects == 0


def test_stop_ends_the_wait_for_an_unplugged_camera(emu):
    with quorvex.open(ZENA_PATH) as camera:
        stream = camera.stream(reconnect=True, reconnect_timeout=None).start()
        emu.unplug(ZENA_PATH)
        thread, outcome = in_thread(lambda: stream.read(None))
        while thread.is_alive() and camera.is_connected:  # the read has seen the camera gone
            thread.join(0.01)
        stream.stop()
        thread.join(20)
        assert not thread.is_alive() and isinstance(outcome[0], RuntimeError)


@pytest.mark.parametrize("interval", [0, -1, math.nan, math.inf, "1", True])
def test_watch_takes_a_positive_finite_interval(interval):
    with pytest.raises(ValueError, match="interval"):
        quorvex.watch(interval)


@pytest.mark.parametrize("how", ["for", "async for"])
def test_watch_reports_unplugging_and_plugging_only(emu, how):
    watcher = quorvex.watch(0.02)

    def next_event():
        if how == "for":
            return next(watcher)
        return asyncio.run(watcher.__anext__())

    emu.unplug("/dev/video4")
    removed = next_event()
    emu.plug("/dev/video4")
    added = next_event()
    assert removed == quorvex.CameraRemoved(removed.camera) and removed.camera.path == "/dev/video4"
    assert isinstance(added, quorvex.CameraAdded) and added.camera.hardware_id == removed.camera.hardware_id


def test_watch_does_not_take_a_camera_open_elsewhere_for_one_gone(emu):
    watcher = quorvex.watch(0.02)
    handle = qx.QxInitialCameraDevice(2)
    assert qx.QxOpen(handle) == 0  # as another program would hold it
    try:
        assert watcher.poll() == []
        with quorvex.open(0):
            assert watcher.poll() == []
    finally:
        qx.QxClose(handle)
    assert watcher.poll() == []


def test_watch_command_prints_each_change(emu, capsys, monkeypatch):
    from quorvex.commands import watch as command

    started = threading.Event()

    def watching(interval):
        made = quorvex.watch(interval)
        started.set()
        return made

    monkeypatch.setattr(command, "watch", watching)
    thread, outcome = in_thread(lambda: main(["watch", "--interval", "0.02", "--count", "2"]))
    assert started.wait(20)
    emu.unplug("/dev/video4")
    printed = ""
    while "removed" not in printed and thread.is_alive():
        thread.join(0.02)
        printed += capsys.readouterr().out
    emu.plug("/dev/video4")
    thread.join(20)
    printed += capsys.readouterr().out
    assert outcome == [0]
    removed, added = printed.splitlines()
    assert removed.startswith("removed [2] ") and "(/dev/video4, " in removed
    assert added.startswith("added [2] ") and added.removeprefix("added") == removed.removeprefix("removed")


@pytest.mark.parametrize("arguments, message", [(["--interval", "0"], "interval"), (["--count", "0"], "--count")])
def test_watch_command_refuses_bad_options(emu, capsys, arguments, message):
    assert main(["watch", *arguments]) == 1
    error = capsys.readouterr().err
    assert error.startswith("quorvex watch: ") and message in error and error.count("\n") == 1


def test_watch_command_ends_quietly_on_ctrl_c(emu, capsys, monkeypatch):
    from quorvex.commands import watch as command

    def interrupted(interval):
        raise KeyboardInterrupt

    monkeypatch.setattr(command, "watch", interrupted)
    assert main(["watch"]) == 0
    assert capsys.readouterr().err == ""
