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
from collections.abc import Callable, Iterator

from tqdm import tqdm

import pyQuorvexSDK as qx

from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, make_firmware_image
from open_camera import add_camera_option, check, opened_camera


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


def program_usb_firmware(camera: qx.QxCamera, image: pathlib.Path, new: str) -> None:
    check(qx.QxGotoUSBProgramMode(camera), "QxGotoUSBProgramMode")
    print(f"Programming USB firmware {new} into SPI flash")
    with progress_bar("USB") as report:
        status = qx.QxUpgradeFX3FW(qx.FW_TARGET_SPI, str(image), report)
    if status != 0:
        qx.QxResetUVC(camera)  # back to the old firmware out of the bootloader
        raise SystemExit(f"QxUpgradeFX3FW failed with status {status}")


def program_sensor_firmware(camera: qx.QxCamera, image: pathlib.Path, new: str) -> None:
    print(f"Programming sensor firmware {new}")
    with progress_bar("Sensor") as report:
        result = qx.QxUpgradeSensorFW(camera, str(image), report)
    if result != qx.QX_UPGRADE_SUCCESS:
        raise SystemExit(f"QxUpgradeSensorFW failed: {result}")


# Per firmware: its label, the getter of its version, its image's target and file name, and how
# it is programmed.
FIRMWARES = [
    ("USB", qx.QxGetUSBFirmwareVersion, TARGET_USB_CONTROLLER, "usb.img", program_usb_firmware),
    ("Sensor", qx.QxGetSensorFirmwareVersion, TARGET_SENSOR, "sensor.img", program_sensor_firmware),
]


def upgrade_firmware(camera: qx.QxCamera, product: qx.QX_CAMERA_PRODUCT_TYPE, folder: pathlib.Path,
                     label: str, get_version: Callable[[qx.QxCamera | None], tuple[int, str]], target: int,
                     file_name: str, program: Callable[[qx.QxCamera, pathlib.Path, str], None]) -> None:
    heading = f"{label + ' firmware:':<16}"
    status, old = get_version(camera)
    if status != 0:
        print(f"{heading} none to upgrade (status {status})")
        return
    new = next_version(old)
    program(camera, make_firmware_image(folder / file_name, target, product, new), new)
    status, now = get_version(camera)
    check(status, f"reading the {label} firmware version after the upgrade")
    print(f"{heading} {old} -> {now}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_camera_option(parser)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out/firmware"),
                        help="folder for the firmware images (default out/firmware)")
    args = parser.parse_args()
    args.output.mkdir(parents=True, exist_ok=True)

    with opened_camera(args.camera) as (camera, _):
        status, product = qx.QxGetDeviceProductType(camera)
        check(status, "QxGetDeviceProductType")
        for firmware in FIRMWARES:
            upgrade_firmware(camera, product, args.output, *firmware)


if __name__ == "__main__":
    main()
