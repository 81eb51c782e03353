"""Upgrades a camera's USB controller (FX3) and sensor firmware, showing progress bars.

    python examples/upgrade_firmware.py [--camera 0] [--output out/firmware]

Opens the camera and prints its firmware versions; writes firmware images for it (the
emulated library's format, see firmware_image.py) carrying the next patch versions into the
`--output` folder; puts the camera in USB program mode and programs the USB controller's SPI
flash, then programs the sensor, with tqdm progress bars; prints the old and new versions.
Firmware a camera does not have (USB controller firmware on a MIPI camera, anything on a
generic webcam) is skipped.
"""

import argparse
import contextlib
import pathlib
import sys
from collections.abc import Callable, Iterator

from tqdm import tqdm

import pyQuorvexSDK as qx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, make_firmware_image  # noqa: E402


@contextlib.contextmanager
def progress_bar(label: str) -> Iterator[Callable[[int], None]]:
    """Shows a progress bar while the block runs; gives the function that moves it."""
    with tqdm(total=100, desc=label, unit="%", bar_format="{desc:<7}{percentage:3.0f}%|{bar}| {elapsed}") as bar:

        def report(percent: int) -> None:
            # The library may report from a thread of its own; tqdm's updates are thread-safe.
            bar.update(percent - bar.n)

        yield report


def next_version(version: str) -> str:
    """The next patch version, 3.12.0 -> 3.12.1; a version not ending in a number gets ".1"."""
    head, _, last = version.rpartition(".")
    bumped = f"{head}.{int(last) + 1}" if head and last.isdigit() else f"{version}.1"
    return bumped[:16]


def check(status: int, what: str) -> None:
    if status != 0:
        raise SystemExit(f"{what} failed with status {status}")


def upgrade_usb_firmware(camera: qx.QxCamera, product: qx.QX_CAMERA_PRODUCT_TYPE, folder: pathlib.Path) -> None:
    status, old = qx.QxGetUSBFirmwareVersion(camera)
    if status != 0:
        print(f"USB firmware:    none to upgrade (status {status})")
        return
    new = next_version(old)
    image = make_firmware_image(folder / "usb.img", TARGET_USB_CONTROLLER, product, new)
    check(qx.QxGotoUSBProgramMode(camera), "QxGotoUSBProgramMode")
    print(f"Programming USB firmware {new} into SPI flash")
    with progress_bar("USB") as report:
        status = qx.QxUpgradeFX3FW(qx.FW_TARGET_SPI, str(image), report)
    if status != 0:
        qx.QxResetUVC(camera)  # back to the old firmware out of the bootloader
        raise SystemExit(f"QxUpgradeFX3FW failed with status {status}")
    status, now = qx.QxGetUSBFirmwareVersion(camera)
    check(status, "QxGetUSBFirmwareVersion")
    print(f"USB firmware:    {old} -> {now}")


def upgrade_sensor_firmware(camera: qx.QxCamera, product: qx.QX_CAMERA_PRODUCT_TYPE, folder: pathlib.Path) -> None:
    status, old = qx.QxGetSensorFirmwareVersion(camera)
    if status != 0:
        print(f"Sensor firmware: none to upgrade (status {status})")
        return
    new = next_version(old)
    image = make_firmware_image(folder / "sensor.img", TARGET_SENSOR, product, new)
    print(f"Programming sensor firmware {new}")
    with progress_bar("Sensor") as report:
        result = qx.QxUpgradeSensorFW(camera, str(image), report)
    if result != qx.QX_UPGRADE_SUCCESS:
        raise SystemExit(f"QxUpgradeSensorFW failed: {result}")
    status, now = qx.QxGetSensorFirmwareVersion(camera)
    check(status, "QxGetSensorFirmwareVersion")
    print(f"Sensor firmware: {old} -> {now}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--camera", type=int, default=0, help="camera index (default 0)")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out/firmware"),
                        help="folder for the firmware images (default out/firmware)")
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
        args.output.mkdir(parents=True, exist_ok=True)
        upgrade_usb_firmware(camera, product, args.output)
        upgrade_sensor_firmware(camera, product, args.output)
    finally:
        qx.QxClose(camera)


if __name__ == "__main__":
    main()
