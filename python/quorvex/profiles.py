"""The camera's OSP profile: a stored format and ISP settings it can switch to."""

import os
from typing import Literal

from ._library import qx
from ._feature import Feature
from .errors import call

ProfileFlag = Literal["disabled", "enabled", "enabled_and_save"]
_FLAGS = {"disabled": qx.DISABLED, "enabled": qx.ENABLED, "enabled_and_save": qx.ENABLED_AND_SAVE}


class Profile(Feature):
    """Enable it (`flag`), load a profile file, then activate its format or ISP values."""

    @property
    def flag(self) -> ProfileFlag:
        flag = self._value(qx.QxGetOSPProfileFlag)
        for name, member in _FLAGS.items():
            if member == flag:
                return name  # type: ignore[return-value]  # the keys are the literal's values
        raise ValueError(f"unknown profile flag {flag!r}")

    @flag.setter
    def flag(self, flag: ProfileFlag) -> None:
        if flag not in _FLAGS:
            raise ValueError(f"flag must be one of {', '.join(_FLAGS)}, not {flag!r}")
        self._call(qx.QxSetOSPProfileFlag, _FLAGS[flag], detail=flag)

    @property
    def config(self) -> str:
        """The profile as text."""
        return self._value(qx.QxGetOSPProfileConfig)

    def load(self, path: str | os.PathLike[str]) -> None:
        self._call(qx.QxLoadProfileConfig, os.fspath(path), detail=os.fspath(path))

    def activate_streaming(self) -> None:
        """Selects the profile's format for the next stream."""
        self._call(qx.QxActivateProfileStreaming)

    def activate_image_processing(self) -> None:
        self._call(qx.QxActivateProfileImageProcessing)

    def export_sensor_config(self, path: str | os.PathLike[str]) -> None:
        """Saves the sensor's registers to a binary file (decode it with decode_sensor_config)."""
        self._call(qx.QxExportSensorConfig, os.fspath(path), detail=os.fspath(path))


def decode_sensor_config(binary_path: str | os.PathLike[str], json_path: str | os.PathLike[str]) -> None:
    """Writes a sensor configuration file as JSON."""
    call(qx.QxDecodeSensorConfig, os.fspath(binary_path), os.fspath(json_path), detail=os.fspath(binary_path))
