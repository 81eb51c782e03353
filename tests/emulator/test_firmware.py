import pytest

import pyQuorvexSDK as qx

from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, firmware_image
from support import Abort, header_v2, header_v3

@pytest.fixture
def quick_upgrades(emu):
    """The built-in cameras, with upgrades that take no time."""
    assert emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 0\n")


@pytest.fixture
def program_mode(quick_upgrades):
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    assert qx.QxGotoUSBProgramMode(camera) == 0
    yield camera
    qx.QxClose(camera)


def test_versions_and_identity(emu, camera):
    assert qx.QxGetUSBFirmwareVersion(camera) == (0, "3.12.0")
    assert qx.QxGetZENAFirmwareVersion(camera) == (0, "1.4.2")
    assert qx.QxGetSensorFirmwareVersion(camera) == (0, "1.0.9")
    status, unique_id = qx.QxGetSensorUniqueID(camera)
    assert status == 0 and len(unique_id) == 32 and int(unique_id, 16) >= 0
    assert qx.QxGetHeaderVersion(camera) == 3


def test_fx3_upgrade_reports_progress_and_changes_the_version(emu, program_mode, tmp_path):
    image = tmp_path / "fx3.img"
    image.write_bytes(firmware_image(TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENA, "3.12.7"))
    seen = []
    assert qx.QxUpgradeFX3FW(qx.FW_TARGET_SPI, str(image), seen.append) == 0
    assert seen[0] == 0 and seen[-1] == 100 and seen == sorted(seen)
    assert qx.QxGetUSBFirmwareVersion(program_mode) == (0, "3.12.7")


def test_fx3_upgrade_needs_a_camera_in_program_mode(emu, quick_upgrades, tmp_path):
    image = tmp_path / "fx3.img"
    image.write_bytes(firmware_image(TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENA, "3.12.7"))
    assert qx.QxUpgradeFX3FW(qx.FW_TARGET_RAM, str(image), None) == emu.QXE_NO_FX3_DEVICE


def corrupt(kind, good):
    if kind == "truncated":
        return good[:-10]
    if kind == "bad-magic":
        return b"XXXX" + good[4:]
    if kind == "bad-checksum":
        return good[:-1] + bytes([good[-1] ^ 0xFF])
    return good


FX3_REFUSALS = [
    ("missing", None, "QXE_IO_ERROR"),
    ("truncated", None, "QXE_IMAGE_TRUNCATED"),
    ("bad-magic", None, "QXE_BAD_IMAGE"),
    ("bad-checksum", None, "QXE_BAD_CHECKSUM"),
    ("wrong-target", (TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA), "QXE_WRONG_TARGET"),
    ("wrong-product", (TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENM), "QXE_WRONG_PRODUCT"),
]


@pytest.mark.parametrize("kind, image_for, status_name", FX3_REFUSALS, ids=[k for k, *_ in FX3_REFUSALS])
def test_invalid_fx3_images_keep_the_old_firmware(emu, program_mode, tmp_path, kind, image_for, status_name):
    target, product = image_for or (TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENA)
    image = tmp_path / "fx3.img"
    if kind != "missing":
        image.write_bytes(corrupt(kind, firmware_image(target, product, "9.9.9")))
    seen = []
    assert qx.QxUpgradeFX3FW(qx.FW_TARGET_I2C, str(image), seen.append) == getattr(emu, status_name)
    assert qx.QxGetUSBFirmwareVersion(program_mode)[0] == emu.QXE_BUSY  # still in the bootloader
    assert qx.QxResetUVC(program_mode) == 0
    assert qx.QxGetUSBFirmwareVersion(program_mode) == (0, "3.12.0")


def test_fx3_target_none_is_refused(emu, program_mode, tmp_path):
    image = tmp_path / "fx3.img"
    image.write_bytes(firmware_image(TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENA, "3.12.7"))
    assert qx.QxUpgradeFX3FW(qx.FW_TARGET_NONE, str(image), None) == emu.QXE_INVALID_ARGUMENT


SENSOR_REFUSALS = [
    ("missing", None, "QX_UPGRADE_OTHER_ERROR"),
    ("truncated", None, "QX_UPGRADE_INVALID_FIRMWARE"),
    ("bad-checksum", None, "QX_UPGRADE_INVALID_FIRMWARE"),
    ("wrong-target", (TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENA), "QX_UPGRADE_INVALID_FIRMWARE"),
    ("wrong-product", (TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENI), "QX_UPGRADE_MCU_MISMATCH"),
]


@pytest.mark.parametrize("kind, image_for, result_name", SENSOR_REFUSALS, ids=[k for k, *_ in SENSOR_REFUSALS])
def test_sensor_upgrade(emu, quick_upgrades, tmp_path, kind, image_for, result_name):
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    target, product = image_for or (TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA)
    image = tmp_path / "sensor.img"
    if kind != "missing":
        image.write_bytes(corrupt(kind, firmware_image(target, product, "1.1.0")))
    assert qx.QxUpgradeSensorFW(camera, str(image), None) == getattr(qx, result_name)
    assert qx.QxGetSensorFirmwareVersion(camera) == (0, "1.0.9")
    image.write_bytes(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.1.0"))
    seen = []
    assert qx.QxUpgradeSensorFW(camera, str(image), seen.append) == qx.QX_UPGRADE_SUCCESS
    assert qx.QxGetSensorFirmwareVersion(camera) == (0, "1.1.0") and seen[-1] == 100
    qx.QxClose(camera)


def test_exception_in_progress_aborts_and_keeps_the_old_firmware(emu, quick_upgrades, tmp_path):
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    image = tmp_path / "sensor.img"
    image.write_bytes(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.1.0"))

    def progress(value):
        if value >= 30:
            raise Abort(value)

    with pytest.raises(Abort):
        qx.QxUpgradeSensorFW(camera, str(image), progress)
    assert qx.QxGetSensorFirmwareVersion(camera) == (0, "1.0.9")
    assert qx.QxUpgradeSensorFW(camera, str(image), None) == qx.QX_UPGRADE_SUCCESS
    qx.QxClose(camera)


def test_camera_boot_data(emu, camera):
    status, header = qx.QxGetBootdataHeaderV3(camera)
    assert status == 0 and header.headerVersion == 3
    assert header.productName == "Quorvex ZenA 13MP USB3 Camera" and header.kmFwVersion == "0107"
    status, other = qx.QxGetBootdataHeaderV2(camera)
    assert status == emu.QXE_INVALID_ARGUMENT and other.headerVersion == 0


def test_boot_data_files(emu, tmp_path):
    good = tmp_path / "boot.bin"
    good.write_bytes(header_v2(productName=b"From File", productVersion=4) + b"content")
    status, path, header = qx.QxGetBootdataHeaderV2FromFile(str(good))
    assert (status, path, header.productName, header.productVersion) == (0, str(good), "From File", 4)
    assert qx.QxGetBootdataHeaderV3FromFile(str(good))[0] == emu.QXE_INVALID_ARGUMENT
    short = tmp_path / "short.bin"
    short.write_bytes(header_v3()[:100])
    status, _, header = qx.QxGetBootdataHeaderV3FromFile(str(short))
    assert status == emu.QXE_INVALID_ARGUMENT and header.headerVersion == 0
    assert qx.QxGetBootdataHeaderV3FromFile(str(tmp_path / "missing.bin"))[0] == emu.QXE_IO_ERROR
