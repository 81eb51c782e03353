"""The camera's IMU: accelerometer, gyroscope, ISPU orientation, temperature and clock."""

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal

from ._library import qx
from ._feature import Feature

ImuMode = Literal["ispu", "self_test", "disable"]
SelfTest = Literal["normal", "positive", "negative"]
_MODES = {"ispu": qx.ISPU, "self_test": qx.SELF_TEST, "disable": qx.DISABLE}
_SELF_TESTS = {"normal": qx.NORMAL, "positive": qx.POSITIVE, "negative": qx.NEGATIVE}


@dataclass(frozen=True)
class Orientation:
    """A unit quaternion x, y, z, w, and yaw, pitch, roll in degrees."""

    x: float
    y: float
    z: float
    w: float
    yaw: float
    pitch: float
    roll: float


def _choice(name: str, value: str, choices: Mapping[str, object]) -> None:
    if value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(choices)}, not {value!r}")


class Imu(Feature):
    """Start it with enable() (ISPU mode by default); readings raise while it is disabled."""

    def enable(self, mode: ImuMode = "ispu", restart: bool = False) -> None:
        """Starts or switches the IMU; `restart` starts it over (clock and motion from zero)."""
        _choice("mode", mode, _MODES)
        self._call(qx.QxRebootIMUMode if restart else qx.QxEnableIMUMode, _MODES[mode], detail=mode)

    def disable(self) -> None:
        self.enable("disable")

    @property
    def running(self) -> bool:
        return self._value(qx.QxGetSensorWorkMode) == qx.WORK

    def acceleration(self, self_test: SelfTest = "normal") -> tuple[float, float, float]:
        """m/s², x, y, z."""
        _choice("self_test", self_test, _SELF_TESTS)
        xyz = self._value(qx.QxGetIMUAccData, _SELF_TESTS[self_test])
        return float(xyz[0]), float(xyz[1]), float(xyz[2])

    def rotation_rate(self, self_test: SelfTest = "normal") -> tuple[float, float, float]:
        """°/s, x, y, z."""
        _choice("self_test", self_test, _SELF_TESTS)
        xyz = self._value(qx.QxGetIMUGyrData, _SELF_TESTS[self_test])
        return float(xyz[0]), float(xyz[1]), float(xyz[2])

    def orientation(self) -> Orientation:
        """The ISPU's orientation (ISPU mode)."""
        ispu = self._value(qx.QxGetISPUData)
        return Orientation(ispu.x, ispu.y, ispu.z, ispu.w, ispu.yaw, ispu.pitch, ispu.roll)

    @property
    def temperature(self) -> float:
        """°C."""
        return self._value(qx.QxGetIMUTemperature)

    @property
    def sensor_time(self) -> float:
        """Seconds since the IMU started."""
        return self._value(qx.QxGetIMUSensorTime)
