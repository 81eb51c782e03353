"""States of an emulated device that refuse calls: an upgrade running, USB program mode, and an
upgrade whose camera is replaced before it ends (emulator/README.md, "Device states")."""

import pytest

import pyQuorvexSDK as qx
from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, firmware_image


@pytest.fixture
def zena(emu):
    """Camera 0 (ZenA on USB), open, with upgrades short enough to act during one."""
    assert emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 50\n")
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    yield camera
    qx.QxClose(camera)


def sensor_upgrade(camera, tmp_path, progress):
    image = tmp_path / "sensor.img"
    image.write_bytes(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.2.0"))
    return qx.QxUpgradeSensorFW(camera, str(image), progress)


def fx3_upgrade(camera, tmp_path, progress):
    assert qx.QxGotoUSBProgramMode(camera) == 0
    image = tmp_path / "fx3.img"
    image.write_bytes(firmware_image(TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENA, "3.13.0"))
    return qx.QxUpgradeFX3FW(qx.FW_TARGET_RAM, str(image), progress)


UPGRADES = {
    "sensor": (sensor_upgrade, qx.QX_UPGRADE_SUCCESS, qx.QX_UPGRADE_OTHER_ERROR),
    "fx3": (fx3_upgrade, 0, "QXE_NO_DEVICE"),
}


def during(value, act, seen):
    """A progress function that runs `act` once, halfway, and keeps what it returns."""
    def progress(percent):
        if percent == value and not seen:
            seen.append(act())
    return progress


@pytest.mark.parametrize("kind", UPGRADES)
@pytest.mark.parametrize("call, status", [
    (qx.QxClose, "QXE_BUSY"),
    (qx.QxStartStreaming, "QXE_BUSY"),
    (qx.QxResetUVC, "QXE_BUSY"),
    (qx.QxGotoUSBProgramMode, "QXE_BUSY"),
    (lambda camera: qx.QxGetSensorFirmwareVersion(camera)[0], "QXE_BUSY"),
    (lambda camera: qx.QxGetDeviceName(camera)[0], 0),  # what the host knows answers
], ids=["close", "start-streaming", "reset-uvc", "program-mode", "firmware-version", "device-name"])
def test_calls_during_an_upgrade(emu, zena, tmp_path, kind, call, status):
    upgrade, success, _ = UPGRADES[kind]
    seen = []
    assert upgrade(zena, tmp_path, during(50, lambda: call(zena), seen)) == success
    assert seen == [getattr(emu, status) if isinstance(status, str) else status]
    # The refused close left the camera open and usable once the upgrade ended.
    assert qx.QxStartStreaming(zena) == 0
    assert qx.QxGetImage(zena, 1000, qx.QxGetFormatList(zena)[1][0])[0] == qx.QX_SUCCESS


def test_no_streaming_in_usb_program_mode(emu, zena):
    assert qx.QxGotoUSBProgramMode(zena) == 0
    assert qx.QxStartStreaming(zena) == emu.QXE_BUSY
    assert qx.QxGetImage(zena, 10, qx.QxGetFormatList(zena)[1][0])[0] == qx.QX_OTHER_ERROR
    assert qx.QxResetUVC(zena) == 0  # back to the UVC firmware
    assert qx.QxStartStreaming(zena) == 0


@pytest.mark.parametrize("replace", ["reset", "configure"])
@pytest.mark.parametrize("kind", UPGRADES)
def test_upgrade_of_a_replaced_camera_is_not_reported_done(emu, zena, tmp_path, kind, replace):
    upgrade, _, failure = UPGRADES[kind]
    seen = []
    replaced = emu.reset if replace == "reset" else (lambda: emu.configure(""))
    result = upgrade(zena, tmp_path, during(30, replaced, seen))
    assert seen and result == (getattr(emu, failure) if isinstance(failure, str) else failure)
    assert qx.QxClose(zena) == emu.QXE_NO_DEVICE
    fresh = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(fresh) == 0
    assert qx.QxGetSensorFirmwareVersion(fresh) == (0, "1.0.9")
    assert qx.QxGetUSBFirmwareVersion(fresh) == (0, "3.12.0")
    assert qx.QxClose(fresh) == 0


def test_second_upgrade_of_one_device_waits_its_turn(emu, zena, tmp_path):
    seen = []
    again = lambda: sensor_upgrade(zena, tmp_path, None)  # noqa: E731
    assert sensor_upgrade(zena, tmp_path, during(50, again, seen)) == qx.QX_UPGRADE_SUCCESS
    assert seen == [qx.QX_UPGRADE_INIT_FAIL]
    assert qx.QxUpgradeSensorFW(zena, "/no/such/file", None) == qx.QX_UPGRADE_OTHER_ERROR  # free again
