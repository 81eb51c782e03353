"""Firmware versions and upgrades, and the boot-data header, of a camera."""

import os
from typing import Literal

from ._library import qx
from ._feature import Feature
from .errors import call, error, values
from .progress import Progress, as_callback

UsbTarget = Literal["ram", "i2c", "spi"]
_TARGETS = {"ram": qx.FW_TARGET_RAM, "i2c": qx.FW_TARGET_I2C, "spi": qx.FW_TARGET_SPI}


class Firmware(Feature):
    """Versions (NotSupportedError for firmware the camera lacks) and upgrades. Upgrades take a
    `progress` callable of the percentage done, or a tqdm bar (tqdm(total=100))."""

    @property
    def usb_version(self) -> str:
        """The USB (FX3) controller's firmware version."""
        return self._value(qx.QxGetUSBFirmwareVersion)

    @property
    def zena_version(self) -> str:
        return self._value(qx.QxGetZENAFirmwareVersion)

    @property
    def sensor_version(self) -> str:
        return self._value(qx.QxGetSensorFirmwareVersion)

    @property
    def sensor_unique_id(self) -> str:
        """The sensor's fuse ID, 32 hex digits."""
        return self._value(qx.QxGetSensorUniqueID)

    def reset_uvc(self) -> None:
        """Restarts the camera's UVC function (stops streaming, ends USB program mode)."""
        self._call(qx.QxResetUVC)

    def enter_program_mode(self) -> None:
        """Restarts the USB controller in its bootloader, ready for upgrade_usb()."""
        self._call(qx.QxGotoUSBProgramMode)

    def upgrade_usb(
        self, path: str | os.PathLike[str], target: UsbTarget = "ram", progress: Progress | None = None
    ) -> None:
        """Programs the USB controller from an image file; enters program mode first."""
        if target not in _TARGETS:
            raise ValueError(f"target must be one of {', '.join(_TARGETS)}, not {target!r}")
        self.enter_program_mode()
        call(qx.QxUpgradeFX3FW, _TARGETS[target], os.fspath(path), as_callback(progress, total=100), detail=os.fspath(path))

    def upgrade_sensor(self, path: str | os.PathLike[str], progress: Progress | None = None) -> None:
        """Programs the sensor firmware from an image file (the camera must not stream)."""
        result = qx.QxUpgradeSensorFW(self._camera.handle, os.fspath(path), as_callback(progress, total=100))
        if result != qx.QX_UPGRADE_SUCCESS:
            raise error(qx.QxUpgradeSensorFW.__name__, result, os.fspath(path))


class BootData(Feature):
    """The boot-data header kept in the camera's EEPROM (version 2 or 3)."""

    @property
    def version(self) -> int:
        version = qx.QxGetHeaderVersion(self._camera.handle)
        if version < 0:
            raise error(qx.QxGetHeaderVersion.__name__, version)
        return version

    def header(self) -> qx.QxHeaderV2 | qx.QxHeaderV3:
        """The header, as the record of its version."""
        read = qx.QxGetBootdataHeaderV2 if self.version == 2 else qx.QxGetBootdataHeaderV3
        header: qx.QxHeaderV2 | qx.QxHeaderV3 | None = self._value(read)
        if header is None:
            raise error(read.__name__, -1, "the library returned no header")
        return header

    @staticmethod
    def read_file(path: str | os.PathLike[str]) -> qx.QxHeaderV2 | qx.QxHeaderV3:
        """A header saved to a file; its first byte tells the version."""
        name = os.fspath(path)
        with open(name, "rb") as file:
            first = file.read(1)
        read = qx.QxGetBootdataHeaderV2FromFile if first == b"\x02" else qx.QxGetBootdataHeaderV3FromFile
        header: qx.QxHeaderV2 | qx.QxHeaderV3 | None
        _, header = values(read, name, detail=name)
        if header is None:
            raise error(read.__name__, -1, "the library returned no header")
        return header
