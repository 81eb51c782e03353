"""Register access: the AP1302 ISP, the sensor behind it, and devices on the generic I2C buses."""

from typing import TYPE_CHECKING

from ._library import qx
from .errors import check, checked

if TYPE_CHECKING:
    from .camera import Camera


def _in_range(name: str, value: int, highest: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= highest:
        raise ValueError(f"{name} must be a whole number from 0 to {highest:#x}, not {value!r}")


class Registers:
    """Reads and writes; every failure raises (NotSupportedError on a camera without the chip)."""

    def __init__(self, camera: "Camera") -> None:
        self._camera = camera

    def ap1302_read(self, address: int) -> int:
        _in_range("address", address, 0xFFFF)
        return checked("QxAP1302I2CRead", qx.QxAP1302I2CRead(self._camera.handle, address), f"register {address:#06x}")

    def ap1302_write(self, address: int, value: int) -> None:
        _in_range("address", address, 0xFFFF)
        _in_range("value", value, 0xFFFF)
        check("QxAP1302I2CWrite", qx.QxAP1302I2CWrite(self._camera.handle, address, value), f"register {address:#06x}")

    def sensor_read(self, sensor_address: int, register: int) -> int:
        """A register of the image sensor at I2C address `sensor_address` behind the AP1302."""
        _in_range("sensor_address", sensor_address, 0x7F)
        _in_range("register", register, 0xFFFF)
        result = qx.QxAP1302SensorRegisterRead(self._camera.handle, sensor_address, register)
        return checked("QxAP1302SensorRegisterRead", result, f"sensor {sensor_address:#04x} register {register:#06x}")

    def sensor_write(self, sensor_address: int, register: int, value: int) -> None:
        _in_range("sensor_address", sensor_address, 0x7F)
        _in_range("register", register, 0xFFFF)
        _in_range("value", value, 0xFFFF)
        status = qx.QxAP1302SensorRegisterWrite(self._camera.handle, sensor_address, register, value)
        check("QxAP1302SensorRegisterWrite", status, f"sensor {sensor_address:#04x} register {register:#06x}")

    def i2c_read(self, bus: int, device: int, register: int, count: int = 1) -> int:
        """`count` (1 or 2) bytes from `register` on; two bytes read as a big-endian number."""
        if count not in (1, 2):
            raise ValueError(f"count must be 1 or 2, not {count!r}")
        _in_range("device", device, 0x7F)
        _in_range("register", register, 0xFF)
        result = qx.QxGenericI2CRead(self._camera.handle, bus, device, register, count)
        value = checked("QxGenericI2CRead", result, f"bus {bus} device {device:#04x} register {register:#04x}")
        return value if count == 2 else value >> 8

    def i2c_write(self, bus: int, device: int, register: int, value: int) -> None:
        """One byte to `register`."""
        _in_range("device", device, 0x7F)
        _in_range("register", register, 0xFF)
        _in_range("value", value, 0xFF)
        status = qx.QxGenericI2CWrite(self._camera.handle, bus, device, register, 1, value)
        check("QxGenericI2CWrite", status, f"bus {bus} device {device:#04x} register {register:#04x}")
