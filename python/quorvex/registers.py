"""Register access: the AP1302 ISP, the sensor behind it, and devices on the generic I2C buses."""

from ._library import qx
from ._feature import Feature


def _in_range(name: str, value: int, highest: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= highest:
        raise ValueError(f"{name} must be a whole number from 0 to {highest:#x}, not {value!r}")


class Registers(Feature):
    """Reads and writes; every failure raises (NotSupportedError on a camera without the chip)."""

    def ap1302_read(self, address: int) -> int:
        _in_range("address", address, 0xFFFF)
        return self._value(qx.QxAP1302I2CRead, address, detail=f"register {address:#06x}")

    def ap1302_write(self, address: int, value: int) -> None:
        _in_range("address", address, 0xFFFF)
        _in_range("value", value, 0xFFFF)
        self._call(qx.QxAP1302I2CWrite, address, value, detail=f"register {address:#06x}")

    def sensor_read(self, sensor_address: int, register: int) -> int:
        """A register of the image sensor at I2C address `sensor_address` behind the AP1302."""
        _in_range("sensor_address", sensor_address, 0x7F)
        _in_range("register", register, 0xFFFF)
        detail = f"sensor {sensor_address:#04x} register {register:#06x}"
        return self._value(qx.QxAP1302SensorRegisterRead, sensor_address, register, detail=detail)

    def sensor_write(self, sensor_address: int, register: int, value: int) -> None:
        _in_range("sensor_address", sensor_address, 0x7F)
        _in_range("register", register, 0xFFFF)
        _in_range("value", value, 0xFFFF)
        detail = f"sensor {sensor_address:#04x} register {register:#06x}"
        self._call(qx.QxAP1302SensorRegisterWrite, sensor_address, register, value, detail=detail)

    def i2c_read(self, bus: int, device: int, register: int, count: int = 1) -> int:
        """`count` (1 or 2) bytes from `register` on; two bytes read as a big-endian number."""
        if count not in (1, 2):
            raise ValueError(f"count must be 1 or 2, not {count!r}")
        _in_range("device", device, 0x7F)
        _in_range("register", register, 0xFF)
        detail = f"bus {bus} device {device:#04x} register {register:#04x}"
        value = self._value(qx.QxGenericI2CRead, bus, device, register, count, detail=detail)
        return value if count == 2 else value >> 8

    def i2c_write(self, bus: int, device: int, register: int, value: int) -> None:
        """One byte to `register`."""
        _in_range("device", device, 0x7F)
        _in_range("register", register, 0xFF)
        _in_range("value", value, 0xFF)
        detail = f"bus {bus} device {device:#04x} register {register:#04x}"
        self._call(qx.QxGenericI2CWrite, bus, device, register, 1, value, detail=detail)
