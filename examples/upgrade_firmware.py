"""Upgrades a camera's USB controller (FX3) and sensor firmware, showing progress bars.

    python examples/upgrade_firmware.py [--camera 0]

Opens the camera and prints its firmware versions; writes firmware images for it (the
emulated library's format, see firmware_image.py) carrying the next patch versions; puts the
camera in USB program mode and programs the USB controller's SPI flash, then programs the
sensor; prints the old and new versions. Firmware a camera does not have (USB controller
firmware on a MIPI camera, anything on a generic webcam) is skipped.
"""

import argparse
import pathlib
import sys
import tempfile

import pyQuorvexSDK as qx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, make_firmware_image  # noqa: E402

BAR_WIDTH = 40


def progress_bar(label):
    def report(percent):
        filled = percent * BAR_WIDTH // 100
        print(f"\r{label:<7}[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {percent:3d}%", end="", flush=True)
        if percent >= 100:
            print()

    return report


def next_version(version):
    """The next patch version, 3.12.0 -> 3.12.1; a version not ending in a number gets ".1"."""
    head, _, last = version.rpartition(".")
    bumped = f"{head}.{int(last) + 1}" if head and last.isdigit() else f"{version}.1"
    return bumped[:16]


def check(status, what):
    if status != 0:
        raise SystemExit(f"{what} failed with status {status}")


def upgrade_usb_firmware(camera, product, folder):
    status, old = qx.QxGetUSBFirmwareVersion(camera)
    if status != 0:
        print(f"USB firmware:    none to upgrade (status {status})")
        return
    new = next_version(old)
    image = make_firmware_image(folder / "usb.img", TARGET_USB_CONTROLLER, product, new)
    check(qx.QxGotoUSBProgramMode(camera), "QxGotoUSBProgramMode")
    print(f"Programming USB firmware {new} into SPI flash")
    status = qx.QxUpgradeFX3FW(qx.FW_TARGET_SPI, str(image), progress_bar("USB"))
    if status != 0:
        qx.QxResetUVC(camera)  # back to the old firmware out of the bootloader
        raise SystemExit(f"QxUpgradeFX3FW failed with status {status}")
    status, now = qx.QxGetUSBFirmwareVersion(camera)
    check(status, "QxGetUSBFirmwareVersion")
    print(f"USB firmware:    {old} -> {now}")


def upgrade_sensor_firmware(camera, product, folder):
    status, old = qx.QxGetSensorFirmwareVersion(camera)
    if status != 0:
        print(f"Sensor firmware: none to upgrade (status {status})")
        return
    new = next_version(old)
    image = make_firmware_image(folder / "sensor.img", TARGET_SENSOR, product, new)
    print(f"Programming sensor firmware {new}")
    result = qx.QxUpgradeSensorFW(camera, str(image), progress_bar("Sensor"))
    if result != qx.QX_UPGRADE_SUCCESS:
        raise SystemExit(f"QxUpgradeSensorFW failed: {result}")
    status, now = qx.QxGetSensorFirmwareVersion(camera)
    check(status, "QxGetSensorFirmwareVersion")
    print(f"Sensor firmware: {old} -> {now}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--camera", type=int, default=0, help="camera index (default 0)")
    args = parser.parse_args()

    status, devices = qx.QxDiscoverCameraDevices()
    check(status, "camera discovery")
    camera = qx.QxInitialCameraDevice(args.camera)
    if camera is None:
        raise SystemExit(f"no camera {args.camera} ({len(devices)} found)")
    check(qx.QxOpen(camera), "QxOpen")
    try:
        status, name = qx.QxGetDeviceName(camera)
        check(status, "QxGetDeviceName")
        status, product = qx.QxGetDeviceProductType(camera)
        check(status, "QxGetDeviceProductType")
        print(f"Camera {args.camera}: {name}")
        with tempfile.TemporaryDirectory() as folder:
            upgrade_usb_firmware(camera, product, pathlib.Path(folder))
            upgrade_sensor_firmware(camera, product, pathlib.Path(folder))
    finally:
        qx.QxClose(camera)


if __name__ == "__main__":
    main()
