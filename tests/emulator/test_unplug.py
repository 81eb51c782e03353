"""Unplugging and plugging in an emulated camera: the old handle is dead, discovery leaves it out,
a wait for its next frame ends at once, and plugging it in again gives a new, power-cycled camera."""

import json
import os

import pytest

import pyQuorvexSDK as qx
from firmware_image import TARGET_SENSOR, firmware_image
from recording_support import HEADER, START, frame, record
from support import UVC, run_python

PATH = "/dev/video0"  # the built-in camera 0
NAMES = ["Quorvex ZenA 13MP USB3 Camera", "Quorvex ZenM 5MP MIPI CSI-2 Camera", "Generic UVC HD Webcam"]


def names():
    status, devices = qx.QxDiscoverCameraDevices()
    assert status == 0
    return list(devices)


def open_and_stream(camera):
    assert qx.QxOpen(camera) == 0
    fmt = min(qx.QxGetFormatList(camera)[1], key=lambda f: f.width * f.height)
    assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
    assert qx.QxGetImage(camera, 1000, fmt)[0] == qx.QX_SUCCESS
    return fmt


@pytest.mark.parametrize("call", ["unplug", "plug"])
def test_a_path_no_camera_has_is_refused(emu, call):
    with pytest.raises(ValueError, match="/dev/nothing"):
        getattr(emu, call)("/dev/nothing")
    assert names() == NAMES


def test_discovery_leaves_an_unplugged_camera_out_until_it_is_plugged_in(emu):
    old = qx.QxInitialCameraDevice(0)
    emu.unplug(PATH)
    emu.unplug(PATH)
    assert names() == NAMES[1:]
    assert qx.QxGetDevicePath(qx.QxInitialCameraDevice(0)) == (emu.QXE_NOT_OPEN, "")
    assert qx.QxOpen(qx.QxInitialCameraDevice(0)) == 0
    assert qx.QxGetDevicePath(qx.QxInitialCameraDevice(0)) == (0, "/dev/video2")
    assert qx.QxInitialCameraDevice(2) is None
    emu.plug(PATH)
    new = qx.QxInitialCameraDevice(0)
    emu.plug(PATH)
    assert names() == NAMES
    assert new is not old and qx.QxInitialCameraDevice(0) is new


@pytest.mark.parametrize("state", ["closed", "open", "streaming"])
def test_old_handle_is_gone_and_the_plugged_in_one_streams(emu, state):
    old = qx.QxInitialCameraDevice(0)
    fmt = open_and_stream(old)
    if state != "streaming":
        assert qx.QxStopStreaming(old) == 0
    if state == "closed":
        assert qx.QxClose(old) == 0
    emu.unplug(PATH)
    assert qx.QxOpen(old) == emu.QXE_NO_DEVICE
    assert qx.QxClose(old) == emu.QXE_NO_DEVICE
    assert qx.QxGetDeviceName(old) == (emu.QXE_NO_DEVICE, "")
    assert qx.QxStartStreaming(old) == emu.QXE_NO_DEVICE
    assert qx.QxGetImage(old, 10, fmt)[0] == qx.QX_OTHER_ERROR
    emu.plug(PATH)
    assert qx.QxOpen(old) == emu.QXE_NO_DEVICE
    new = qx.QxInitialCameraDevice(0)
    open_and_stream(new)
    assert qx.QxClose(new) == 0


def test_plugging_in_again_restores_default_controls_and_keeps_the_firmware(emu, tmp_path):
    assert emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 0\n")
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    assert qx.QxSetUVCImageProcessing(camera, UVC.UVC_IMAGE_BRIGHTNESS, 40, 2) == 0
    image = tmp_path / "sensor.img"
    image.write_bytes(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.1.0"))
    assert qx.QxUpgradeSensorFW(camera, str(image), None) == qx.QX_UPGRADE_SUCCESS
    emu.unplug(PATH)
    assert qx.QxUpgradeSensorFW(camera, str(image), None) == qx.QX_UPGRADE_OTHER_ERROR
    emu.plug(PATH)
    new = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(new) == 0
    assert qx.QxGetUVCImageProcessing(new, UVC.UVC_IMAGE_BRIGHTNESS) == (0, 0, 2)
    assert qx.QxGetSensorFirmwareVersion(new) == (0, "1.1.0")
    assert qx.QxClose(new) == 0


def slow_replay(tmp_path):
    """A replaying camera whose second frame comes a minute after its first."""
    path = tmp_path / "slow.qxrec"
    path.write_bytes(HEADER + record(b"INFO", json.dumps(START).encode()) + frame(2 * 10**9, 0)
                     + frame(62 * 10**9, 1) + record(b"END ", b'{"frames": 2, "dropped": 0}'))
    return ("cameras:\n  - {name: Slow, path: /dev/video9, interface: usb, product: zeni, hardware_id: S-1,"
            f" replay: '{path}'}}\n")


# The default mode holds the interpreter lock while the library waits: the waiting thread and the
# one that takes the camera away run in an interpreter that releases it.
WAIT = """
import json, threading, time
import pyQuorvexSDK as qx, qx_emulator as emu
assert emu.configure(CONFIGURATION)
camera = qx.QxInitialCameraDevice(0)
assert qx.QxOpen(camera) == 0
fmt = qx.QxGetFormatList(camera)[1][0]
assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
assert qx.QxGetImage(camera, 1000, fmt)[0] == qx.QX_SUCCESS
emu.clear_journal()
results = []
waiter = threading.Thread(target=lambda: results.append(int(qx.QxGetImage(camera, 30000, fmt)[0])))
waiter.start()
while not emu.journal("QxGetImage"):  # the call is journalled before it waits
    time.sleep(0.005)
time.sleep(0.05)
began = time.monotonic()
END
waiter.join()
print(json.dumps([results, time.monotonic() - began]))
"""


@pytest.mark.parametrize("end", ["emu.unplug('/dev/video9')", "emu.configure('')"], ids=["unplug", "replace"])
def test_a_frame_wait_ends_soon_when_the_camera_goes(emu, tmp_path, end):
    code = WAIT.replace("CONFIGURATION", repr(slow_replay(tmp_path))).replace("END", end)
    result = run_python(code, env=dict(os.environ, QX_RELEASE_GIL="camera"))
    assert result.returncode == 0, result.stderr
    results, seconds = json.loads(result.stdout.splitlines()[-1])
    assert results == [int(qx.QX_OTHER_ERROR)]
    assert seconds < 5  # of a 30-second timeout
