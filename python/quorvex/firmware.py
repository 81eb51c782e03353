"""Firmware versions and upgrades, and the boot-data header, of a camera."""

import os
from typing import TYPE_CHECKING, Literal

from ._library import qx
from .errors import check, checked, error
from .progress import Progress, percent_callback

if TYPE_CHECKING:
    from .camera import Camera

UsbTarget = Literal["ram", "i2c", "spi"]
_TARGETS = {"ram": qx.FW_TARGET_RAM, "i2c": qx.FW_TARGET_I2C, "spi": qx.FW_TARGET_SPI}


class Firmware:
    """Versions (NotSupportedError for firmware the camera lacks) and upgrades. Upgrades take a
    `progress` callable of the percentage done, or a tqdm bar (tqdm(total=100))."""

    def __init__(self, camera: "Camera") -> None:
        self._camera = camera

    @property
    def usb_version(self) -> str:
        """The USB (FX3) controller's firmware version."""
        return checked("QxGetUSBFirmwareVersion", qx.QxGetUSBFirmwareVersion(self._camera.handle))

    @property
    def zena_version(self) -> str:
        return checked("QxGetZENAFirmwareVersion", qx.QxGetZENAFirmwareVersion(self._camera.handle))

    @property
    def sensor_version(self) -> str:
        return checked("QxGetSensorFirmwareVersion", qx.QxGetSensorFirmwareVersion(self._camera.handle))

    @property
    def sensor_unique_id(self) -> str:
        """The sensor's fuse ID, 32 hex digits."""
        return checked("QxGetSensorUniqueID", qx.QxGetSensorUniqueID(self._camera.handle))

    def reset_uvc(self) -> None:
        """Restarts the camera's UVC function (stops streaming, ends USB program mode)."""
        check("QxResetUVC", qx.QxResetUVC(self._camera.handle))

    def enter_program_mode(self) -> None:
        """Restarts the USB controller in its bootloader, ready for upgrade_usb()."""
        check("QxGotoUSBProgramMode", qx.QxGotoUSBProgramMode(self._camera.handle))

    def upgrade_usb(
        self, path: str | os.PathLike[str], target: UsbTarget = "ram", progress: Progress | None = None
    ) -> None:
        """Programs the USB controller from an image file; enters program mode first."""
        if target not in _TARGETS:
            raise ValueError(f"target must be one of {', '.join(_TARGETS)}, not {target!r}")
        self.enter_program_mode()
        status = qx.QxUpgradeFX3FW(_TARGETS[target], os.fspath(path), percent_callback(progress))
        check("QxUpgradeFX3FW", status, os.fspath(path))

    def upgrade_sensor(self, path: str | os.PathLike[str], progress: Progress | None = None) -> None:
        """Programs the sensor firmware from an image file (the camera must not stream)."""
        result = qx.QxUpgradeSensorFW(self._camera.handle, os.fspath(path), percent_callback(progress))
        if result != qx.QX_UPGRADE_SUCCESS:
            raise error("QxUpgradeSensorFW", result, os.fspath(path))


class BootData:
    """The boot-data header kept in the camera's EEPROM (version 2 or 3)."""

    def __init__(self, camera: "Camera") -> None:
        self._camera = camera

    @property
    def version(self) -> int:
        version = qx.QxGetHeaderVersion(self._camera.handle)
        if version < 0:
            raise error("QxGetHeaderVersion", version)
        return version

    def header(self) -> qx.QxHeaderV2 | qx.QxHeaderV3:
        """The header, as the record of its version."""
        handle = self._camera.handle
        result: tuple[int, qx.QxHeaderV2 | qx.QxHeaderV3 | None]
        if self.version == 2:
            result = qx.QxGetBootdataHeaderV2(handle)
            function = "QxGetBootdataHeaderV2"
        else:
            result = qx.QxGetBootdataHeaderV3(handle)
            function = "QxGetBootdataHeaderV3"
        status, header = result
        check(function, status)
        if header is None:
            raise error(function, -1, "the library returned no header")
        return header

    @staticmethod
    def read_file(path: str | os.PathLike[str]) -> qx.QxHeaderV2 | qx.QxHeaderV3:
        """A header saved to a file; its first byte tells the version."""
        name = os.fspath(path)
        with open(name, "rb") as file:
            first = file.read(1)
        outcome: tuple[int, str, qx.QxHeaderV2 | qx.QxHeaderV3 | None]
        if first == b"\x02":
            outcome, function = qx.QxGetBootdataHeaderV2FromFile(name), "QxGetBootdataHeaderV2FromFile"
        else:
            outcome, function = qx.QxGetBootdataHeaderV3FromFile(name), "QxGetBootdataHeaderV3FromFile"
        status, _, header = outcome
        check(function, status, name)
        if header is None:
            raise error(function, -1, "the library returned no header")
        return header
