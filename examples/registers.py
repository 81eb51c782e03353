"""Reads and writes registers: the AP1302 ISP, the image sensor behind it, an I2C device.

    python examples/registers.py [--camera 0]

Reads the AP1302's chip version and revision; writes a writable AP1302 register (the preview
width), reads it back and restores it; reads the sensor's chip ID through the AP1302; reads
the temperature sensor on I2C bus 0 with the generic I2C pair and converts it to degrees
Celsius. Needs a camera with an AP1302 ISP, such as camera 0 of the emulated library.
"""

import argparse

import pyQuorvexSDK as qx

from open_camera import add_camera_option, check, opened_camera

# AP1302 registers: 16-bit values at 16-bit addresses.
CHIP_VERSION = 0x0000
CHIP_REVISION = 0x0002
PREVIEW_WIDTH = 0x2000

# The image sensor behind the AP1302: its 7-bit I2C address and its chip ID register.
SENSOR_ADDRESS = 0x36
SENSOR_CHIP_ID = 0x3000

# A temperature sensor on generic I2C bus 0; its temperature register holds 13 bits of
# 1/16 degC, left-aligned in 16 bits.
I2C_BUS = 0
TEMPERATURE_SENSOR = 0x48
TEMPERATURE = 0x00
DEVICE_ID = 0x0B


def read_ap1302(camera: qx.QxCamera, address: int, name: str) -> int:
    status, value = qx.QxAP1302I2CRead(camera, address)
    check(status, f"QxAP1302I2CRead of {name} (0x{address:04X})")
    return value


def celsius(raw: int) -> float:
    """The temperature register's 16 bits, two's complement, to degrees Celsius."""
    signed = raw - 0x10000 if raw & 0x8000 else raw
    return (signed >> 3) / 16


def ap1302_registers(camera: qx.QxCamera) -> None:
    version = read_ap1302(camera, CHIP_VERSION, "CHIP_VERSION")
    revision = read_ap1302(camera, CHIP_REVISION, "CHIP_REVISION")
    print(f"AP1302 chip version 0x{version:04X}, revision 0x{revision:04X}")

    width = read_ap1302(camera, PREVIEW_WIDTH, "PREVIEW_WIDTH")
    new_width = 1280 if width != 1280 else 640
    check(qx.QxAP1302I2CWrite(camera, PREVIEW_WIDTH, new_width), "QxAP1302I2CWrite of PREVIEW_WIDTH")
    written = read_ap1302(camera, PREVIEW_WIDTH, "PREVIEW_WIDTH")
    check(qx.QxAP1302I2CWrite(camera, PREVIEW_WIDTH, width), "QxAP1302I2CWrite restoring PREVIEW_WIDTH")
    if written != new_width:
        raise SystemExit(f"PREVIEW_WIDTH reads back {written} after writing {new_width}")
    print(f"AP1302 PREVIEW_WIDTH: {width}, wrote {new_width}, read back {written}, restored {width}")


def sensor_register(camera: qx.QxCamera) -> None:
    status, chip_id = qx.QxAP1302SensorRegisterRead(camera, SENSOR_ADDRESS, SENSOR_CHIP_ID)
    check(status, f"QxAP1302SensorRegisterRead of the sensor at 0x{SENSOR_ADDRESS:02X}")
    print(f"Sensor at I2C address 0x{SENSOR_ADDRESS:02X}: chip ID 0x{chip_id:04X}")


def temperature(camera: qx.QxCamera) -> None:
    # The binding returns the first two bytes read as one big-endian number, so a one-byte
    # register comes back in the high byte.
    status, value = qx.QxGenericI2CRead(camera, I2C_BUS, TEMPERATURE_SENSOR, DEVICE_ID, 1)
    check(status, "QxGenericI2CRead of the temperature sensor's ID")
    device_id = value >> 8
    status, raw = qx.QxGenericI2CRead(camera, I2C_BUS, TEMPERATURE_SENSOR, TEMPERATURE, 2)
    check(status, "QxGenericI2CRead of the temperature")
    print(f"Temperature sensor (bus {I2C_BUS}, address 0x{TEMPERATURE_SENSOR:02X}, ID 0x{device_id:02X}): "
          f"raw 0x{raw:04X} = {celsius(raw):.2f} °C")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_camera_option(parser)
    args = parser.parse_args()

    with opened_camera(args.camera) as (camera, _):
        ap1302_registers(camera)
        sensor_register(camera)
        temperature(camera)


if __name__ == "__main__":
    main()
