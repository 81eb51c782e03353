"""The camera's IMU: accelerometer, gyroscope, ISPU orientation, temperature and clock."""

from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal

from ._library import qx
from .errors import check, checked

if TYPE_CHECKING:
    from .camera import Camera

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


class Imu:
    """Start it with enable() (ISPU mode by default); readings raise while it is disabled."""

    def __init__(self, camera: "Camera") -> None:
        self._camera = camera

    def enable(self, mode: ImuMode = "ispu", restart: bool = False) -> None:
        """Starts or switches the IMU; `restart` starts it over (clock and motion from zero)."""
        _choice("mode", mode, _MODES)
        if restart:
            check("QxRebootIMUMode", qx.QxRebootIMUMode(self._camera.handle, _MODES[mode]), mode)
        else:
            check("QxEnableIMUMode", qx.QxEnableIMUMode(self._camera.handle, _MODES[mode]), mode)

    def disable(self) -> None:
        self.enable("disable")

    @property
    def running(self) -> bool:
        return checked("QxGetSensorWorkMode", qx.QxGetSensorWorkMode(self._camera.handle)) == qx.WORK

    def acceleration(self, self_test: SelfTest = "normal") -> tuple[float, float, float]:
        """m/s², x, y, z."""
        _choice("self_test", self_test, _SELF_TESTS)
        xyz = checked("QxGetIMUAccData", qx.QxGetIMUAccData(self._camera.handle, _SELF_TESTS[self_test]))
        return float(xyz[0]), float(xyz[1]), float(xyz[2])

    def rotation_rate(self, self_test: SelfTest = "normal") -> tuple[float, float, float]:
        """°/s, x, y, z."""
        _choice("self_test", self_test, _SELF_TESTS)
        xyz = checked("QxGetIMUGyrData", qx.QxGetIMUGyrData(self._camera.handle, _SELF_TESTS[self_test]))
        return float(xyz[0]), float(xyz[1]), float(xyz[2])

    def orientation(self) -> Orientation:
        """The ISPU's orientation (ISPU mode)."""
        ispu = checked("QxGetISPUData", qx.QxGetISPUData(self._camera.handle))
        return Orientation(ispu.x, ispu.y, ispu.z, ispu.w, ispu.yaw, ispu.pitch, ispu.roll)

    @property
    def temperature(self) -> float:
        """°C."""
        return checked("QxGetIMUTemperature", qx.QxGetIMUTemperature(self._camera.handle))

    @property
    def sensor_time(self) -> float:
        """Seconds since the IMU started."""
        return checked("QxGetIMUSensorTime", qx.QxGetIMUSensorTime(self._camera.handle))
