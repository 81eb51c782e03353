"""The camera's OSP profile: a stored format and ISP settings it can switch to."""

import os
from typing import TYPE_CHECKING, Literal

from ._library import qx
from .errors import check, checked

if TYPE_CHECKING:
    from .camera import Camera

ProfileFlag = Literal["disabled", "enabled", "enabled_and_save"]
_FLAGS = {"disabled": qx.DISABLED, "enabled": qx.ENABLED, "enabled_and_save": qx.ENABLED_AND_SAVE}


class Profile:
    """Enable it (`flag`), load a profile file, then activate its format or ISP values."""

    def __init__(self, camera: "Camera") -> None:
        self._camera = camera

    @property
    def flag(self) -> ProfileFlag:
        flag = checked("QxGetOSPProfileFlag", qx.QxGetOSPProfileFlag(self._camera.handle))
        for name, member in _FLAGS.items():
            if member == flag:
                return name  # type: ignore[return-value]  # the keys are the literal's values
        raise ValueError(f"unknown profile flag {flag!r}")

    @flag.setter
    def flag(self, flag: ProfileFlag) -> None:
        if flag not in _FLAGS:
            raise ValueError(f"flag must be one of {', '.join(_FLAGS)}, not {flag!r}")
        check("QxSetOSPProfileFlag", qx.QxSetOSPProfileFlag(self._camera.handle, _FLAGS[flag]), flag)

    @property
    def config(self) -> str:
        """The profile as text."""
        return checked("QxGetOSPProfileConfig", qx.QxGetOSPProfileConfig(self._camera.handle))

    def load(self, path: str | os.PathLike[str]) -> None:
        check("QxLoadProfileConfig", qx.QxLoadProfileConfig(self._camera.handle, os.fspath(path)), os.fspath(path))

    def activate_streaming(self) -> None:
        """Selects the profile's format for the next stream."""
        check("QxActivateProfileStreaming", qx.QxActivateProfileStreaming(self._camera.handle))

    def activate_image_processing(self) -> None:
        check("QxActivateProfileImageProcessing", qx.QxActivateProfileImageProcessing(self._camera.handle))

    def export_sensor_config(self, path: str | os.PathLike[str]) -> None:
        """Saves the sensor's registers to a binary file (decode it with decode_sensor_config)."""
        check("QxExportSensorConfig", qx.QxExportSensorConfig(self._camera.handle, os.fspath(path)), os.fspath(path))


def decode_sensor_config(binary_path: str | os.PathLike[str], json_path: str | os.PathLike[str]) -> None:
    """Writes a sensor configuration file as JSON."""
    status = qx.QxDecodeSensorConfig(os.fspath(binary_path), os.fspath(json_path))
    check("QxDecodeSensorConfig", status, os.fspath(binary_path))
