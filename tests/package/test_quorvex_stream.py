"""quorvex end to end on the emulated cameras: discovery, opening, formats, streams, frames,
context managers that close on exceptions, and the exceptions of failing statuses."""

import builtins
import gc
import itertools
import os
import weakref

import numpy as np
import pytest

import pyQuorvexSDK as qx
import quorvex
from quorvex.errors import STATUS_NAMES

from conftest import run_python


def test_cameras_describe_the_built_in_cameras(emu):
    infos = quorvex.cameras()
    assert [info.index for info in infos] == [0, 1, 2]
    zena, zenm, webcam = infos
    assert (zena.name, zena.path, zena.hardware_id) == ("Quorvex ZenA 13MP USB3 Camera", "/dev/video0", "3F1D:A013")
    assert (zena.interface, zena.product, zena.usb_speed, zena.is_quorvex) == ("USB", "ZENA", "SUPER", True)
    assert (zenm.interface, zenm.product, zenm.usb_speed) == ("MIPI_CSI2", "ZENM", "UNKNOWN")
    assert (webcam.product, webcam.usb_speed, webcam.is_quorvex) == ("GENERIC_CAMERA", "HIGH", False)


def test_cameras_leave_every_camera_closed_and_list_an_open_one(emu):
    with quorvex.open(1):
        assert quorvex.cameras()[1].hardware_id == "10-003c"
    for index in range(3):
        handle = qx.QxInitialCameraDevice(index)
        assert qx.QxOpen(handle) == 0
        qx.QxClose(handle)


@pytest.mark.parametrize("which, index", [(0, 0), (2, 2), ("10-003c", 1), ("/dev/video4", 2), ("3F1D:A013", 0)])
def test_open_by_index_hardware_id_or_path(emu, which, index):
    with quorvex.open(which) as camera:
        assert camera.is_open and camera.index == index
        assert camera.info.index == index
    assert not camera.is_open


@pytest.mark.parametrize(
    "which, exception, message",
    [(3, LookupError, "no camera 3 \\(3 found\\)"), (-1, LookupError, "no camera -1"),
     ("/dev/video9", LookupError, "no camera with hardware ID or path '/dev/video9'"),
     (1.5, TypeError, "camera index"), (True, TypeError, "camera index")],
)
def test_open_refuses_cameras_that_are_not_there(emu, which, exception, message):
    with pytest.raises(exception, match=message):
        quorvex.open(which)


TWO_HANDLES = """
cameras:
  - {name: Front, path: /dev/video9, interface: usb, product: zeni, hardware_id: F1}
  - {name: Front again, path: /dev/video9, interface: usb, product: zeni, hardware_id: F1}
"""


def test_a_camera_open_twice_is_already_open_or_busy(emu):
    with quorvex.open(0):
        with pytest.raises(quorvex.QuorvexError, match="QXE_ALREADY_OPEN"):
            quorvex.open(0)
    emu.configure(TWO_HANDLES)
    # The device held through another handle, as another program would hold it.
    other = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(other) == 0
    try:
        with pytest.raises(quorvex.BusyError) as raised:
            quorvex.open(1)
        assert (raised.value.status, raised.value.status_name, raised.value.function) == (-5, "QXE_BUSY", "QxOpen")
    finally:
        qx.QxClose(other)


def test_formats_and_find_format(emu):
    with quorvex.open(0) as camera:
        formats = camera.formats
        assert len(formats) == 29
        assert str(formats[0]) == "YUY2:640x480@60" and formats[0].qx_format.format == qx.QX_IMAGE_FORMAT_YUY2
        assert str(camera.find_format("yuy2")) == "YUY2:3840x2160@15"
        assert str(camera.find_format("MJPG", 1920, 1080)) == "MJPG:1920x1080@60"
        assert str(camera.find_format(width=640, fps=30)) == "YUY2:640x480@30"  # equals: the first listed
        assert str(camera.find_format(fps=15)) == "YUY2:3840x2160@15"
        with pytest.raises(LookupError, match="no format matches NV12 640x480; the camera offers: YUY2:640x480@60, "):
            camera.find_format("NV12", 640, 480)
        with pytest.raises(LookupError, match="unknown pixel format 'H264'"):
            camera.find_format("H264")
        assert str(camera.find_format("MJPG:1920x1080@30")) == str(camera.find_format("MJPG", 1920, 1080, 30))
        assert str(camera.find_format("MJPG@30", width=1280)) == "MJPG:1280x720@30"
        with pytest.raises(ValueError, match="asks for width 1920, the call for 640"):
            camera.find_format("MJPG:1920x1080", width=640)


@pytest.mark.parametrize(
    "text, fields",
    [("MJPG:1920x1080@30", ("MJPG", 1920, 1080, 30)), ("yuy2", ("YUY2", None, None, None)),
     ("1280x720", (None, 1280, 720, None)), ("NV12@30", ("NV12", None, None, 30)), ("@15", (None, None, None, 15)),
     ("RGB16:640x480", ("RGB16", 640, 480, None))],
)
def test_format_text(text, fields):
    query = quorvex.FormatQuery.parse(text)
    assert (query.pixel_format, query.width, query.height, query.fps) == fields


@pytest.mark.parametrize("text", ["", "MJPG:", "MJPG:1920", "1920x", "MJPG 1920x1080", "x@30", "MJPG:1920x1080@",
                                  "@", "MJPG:@30", "MJPG:1920x1080@30@30"])
def test_format_text_refused(text):
    with pytest.raises(ValueError, match="cannot read format"):
        quorvex.FormatQuery.parse(text)


def test_stream_reads_counted_owned_frames(emu):
    with quorvex.open(0) as camera, camera.stream("RGB:640x480@30") as stream:
        assert stream.is_streaming
        first = stream.read()
        kept = first.data.copy()
        frames = [first, *itertools.islice(stream, 3)]
    assert [frame.index for frame in frames] == [0, 1, 2, 3]
    assert all(a.timestamp < b.timestamp for a, b in zip(frames, frames[1:]))
    for frame in frames:
        assert frame.data.flags.owndata and frame.data.base is None
        assert (frame.width, frame.height, frame.pixel_format) == (640, 480, "RGB")
        assert frame.data.nbytes == 640 * 480 * 3
    # Later reads wrote into arrays of their own: the first frame is as it came.
    np.testing.assert_array_equal(first.data, kept)
    assert not stream.is_streaming and stream.frames_read == 4


def test_stream_sets_its_format_and_fetches_with_it(emu):
    with quorvex.open(0) as camera:
        chosen = camera.find_format("BGRA", 640, 480)
        emu.clear_journal()
        with camera.stream(chosen) as stream:
            frame = stream.read()
    (set_call,) = emu.journal("QxSetFormat")
    assert frame.format == chosen and frame.data.nbytes == 640 * 480 * 4
    assert [call[0] for call in emu.journal() if call[0] in ("QxSetFormat", "QxStartStreaming", "QxGetImage",
                                                             "QxStopStreaming", "QxClose")] == [
        "QxSetFormat", "QxStartStreaming", "QxGetImage", "QxStopStreaming", "QxClose"]


def test_stream_refuses_a_format_of_another_camera(emu):
    with quorvex.open(1) as zenm:
        foreign = zenm.find_format("RGB16")
    with quorvex.open(2) as webcam:
        with pytest.raises(LookupError, match="does not offer RGB16:640x480@60"):
            webcam.stream(foreign)


class Boom(Exception):
    pass


def test_context_managers_close_on_exceptions(emu):
    with pytest.raises(Boom):
        with quorvex.open(0) as camera, camera.stream("YUY2:640x480@30") as stream:
            stream.read()
            raise Boom
    assert not stream.is_streaming and not camera.is_open
    calls = [call[0] for call in emu.journal()]
    assert calls.index("QxStopStreaming") < calls.index("QxClose")
    # The device is free again.
    handle = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(handle) == 0
    qx.QxClose(handle)


def test_closing_the_camera_stops_its_stream(emu):
    camera = quorvex.open(0)
    stream = camera.stream().start()
    camera.close()
    assert not stream.is_streaming and not camera.streams
    # What was read while it was open stays.
    assert camera.info.hardware_id == "3F1D:A013" and len(camera.formats) == 29
    with pytest.raises(RuntimeError, match="stream is stopped"):
        stream.read()
    stream.stop()  # nothing left to stop, and no error
    with pytest.raises(quorvex.NotOpenError, match="camera 0 is closed"):
        camera.gain  # noqa: B018


def test_dropped_camera_and_stream_are_released_and_closed(emu):
    camera = quorvex.open(0)
    stream = camera.stream().start()
    frame = stream.read()
    references = [weakref.ref(camera), weakref.ref(stream)]
    del camera, stream
    gc.collect()
    assert [reference() for reference in references] == [None, None]
    assert frame.data.nbytes > 0
    handle = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(handle) == 0
    qx.QxClose(handle)


def test_timeout_is_both_quorvex_and_builtin(emu):
    emu.configure("cameras:\n  - {name: Slow, path: /dev/video9, interface: usb, product: zeni, hardware_id: S1,"
                  " formats: [{format: YUY2, sizes: ['64x32'], fps: [1]}]}\n")
    with quorvex.open(0) as camera, camera.stream(timeout=0.05) as stream:
        stream.read()
        with pytest.raises(builtins.TimeoutError) as raised:
            stream.read()  # the stream's own timeout
    assert isinstance(raised.value, quorvex.TimeoutError)
    assert (raised.value.function, raised.value.status_name) == ("QxGetImage", "QX_TIMEOUT")


# Scripted failing statuses and the exception each must raise.
FAILURES = [
    ("QxOpen", -5, lambda camera: quorvex.open(0), quorvex.BusyError, "QXE_BUSY"),
    ("QxGetCurrentExposure", -3, lambda camera: camera.exposure_us, quorvex.NotOpenError, "QXE_NOT_OPEN"),
    ("QxGetUSBFirmwareVersion", -7, lambda camera: camera.firmware.usb_version, quorvex.NotSupportedError,
     "QXE_NOT_SUPPORTED"),
    ("QxGetImage", qx.QX_CAM_OCCUPIED, lambda camera: camera.stream().start().read(), quorvex.BusyError,
     "QX_CAM_OCCUPIED"),
    ("QxGetImage", qx.QX_TIMEOUT, lambda camera: camera.stream().start().read(timeout=0), quorvex.TimeoutError,
     "QX_TIMEOUT"),
    ("QxGetImage", qx.QX_BUFFER_CORRUPTED, lambda camera: camera.stream().start().read(), quorvex.QuorvexError,
     "QX_BUFFER_CORRUPTED"),
    ("QxStartStreaming", -5, lambda camera: camera.stream().start(), quorvex.BusyError, "QXE_BUSY"),
    ("QxGetCurrentGain", -9, lambda camera: camera.gain, quorvex.DisconnectedError, "QXE_NO_DEVICE"),
    ("QxGetIntrinsics", -99, lambda camera: camera.calibration.intrinsics, quorvex.QuorvexError, None),
]


@pytest.mark.parametrize("function, status, action, exception, name", FAILURES,
                         ids=[f"{entry[0]}-{entry[4]}" for entry in FAILURES])
def test_failing_statuses_raise_their_exception(emu, function, status, action, exception, name):
    with quorvex.open(1) as camera:
        emu.script(function, result=status if isinstance(status, int) else status.value)
        with pytest.raises(exception) as raised:
            action(camera)
    error = raised.value
    assert type(error) is exception
    assert (error.function, error.status_name) == (function, name)
    assert error.status == (status if isinstance(status, int) else status.value)
    assert function in str(error) and (name or str(status)) in str(error)


def test_status_names_are_the_emulated_library_s(emu):
    documented = {getattr(emu, name): name for name in dir(emu) if name.startswith("QXE_")}
    assert STATUS_NAMES == {status: name for status, name in documented.items() if status != 0}


FORK_WHILE_READING = """
    import asyncio, os, signal, threading, time
    import quorvex

    def child(stream):
        signal.alarm(20)  # a child stuck on a lock dies instead of hanging the test
        try:
            os._exit(0 if stream.read(timeout=2.0).index == 1 else 3)
        except quorvex.TimeoutError:
            os._exit(4)

    def fork_and_wait(stream):
        pid = os.fork()
        if pid == 0:
            child(stream)
        return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

    async def reading_async(stream):
        waiting = asyncio.ensure_future(stream.aread(timeout=5))
        await asyncio.sleep(0.2)
        status = fork_and_wait(stream)
        await waiting
        return status

    with quorvex.open(0) as camera, camera.stream() as stream:
        stream.read()  # frame 1 comes a second later: the parent's read waits, holding the stream
        if os.environ["PARENT_READS_IN"] == "thread":
            reader = threading.Thread(target=stream.read, kwargs={"timeout": 5})
            reader.start()
            time.sleep(0.2)
            status = fork_and_wait(stream)
            reader.join()
        else:
            status = asyncio.run(reading_async(stream))
    print(status)
"""


@pytest.mark.parametrize("parent_reads_in", ["thread", "aread"])
def test_a_forked_child_reads_a_stream_the_parent_was_reading(emu, tmp_path, parent_reads_in):
    config = tmp_path / "cameras.yaml"
    config.write_text("cameras:\n  - {name: Slow, path: /dev/video9, interface: usb, product: zeni,"
                      " hardware_id: S1, formats: [{format: YUY2, sizes: ['64x32'], fps: [1]}]}\n")
    result = run_python(FORK_WHILE_READING,
                        env=dict(os.environ, QX_EMULATOR_CONFIG=str(config), PARENT_READS_IN=parent_reads_in))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"], result.stderr


def test_only_the_process_that_opened_a_camera_closes_it_unasked():
    # A forked child that ends, or drops its copy, leaves the parent's device alone; the parent
    # still closes its camera at exit.
    result = run_python("""
        import os, sys
        import quorvex, pyQuorvexSDK

        def closing(handle, real=pyQuorvexSDK.QxClose):
            print(f"QxClose in {'child' if os.getpid() != parent else 'parent'}", flush=True)
            return real(handle)

        parent = os.getpid()
        pyQuorvexSDK.QxClose = closing
        camera = quorvex.open(0)
        if os.fork() == 0:
            del camera
            sys.exit(0)
        os.wait()
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["QxClose in parent"]
