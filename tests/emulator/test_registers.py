import pytest

import pyQuorvexSDK as qx


def test_ap1302_registers(emu, camera):
    assert qx.QxAP1302I2CRead(camera, 0x0000) == (0, 0x0265)
    assert qx.QxAP1302I2CWrite(camera, 0x0000, 1) == emu.QXE_READ_ONLY
    assert qx.QxAP1302I2CRead(camera, 0x0000) == (0, 0x0265)
    assert qx.QxAP1302I2CWrite(camera, 0x6000, 0xBEEF) == 0
    assert qx.QxAP1302I2CRead(camera, 0x6000) == (0, 0xBEEF)
    assert qx.QxAP1302I2CRead(camera, 0x7FFE)[0] == emu.QXE_NO_REGISTER


def test_sensor_registers(emu, camera):
    assert qx.QxAP1302SensorRegisterRead(camera, 0x36, 0x3000) == (0, 0x0153)
    assert qx.QxAP1302SensorRegisterWrite(camera, 0x36, 0x3012, 0x0400) == 0
    assert qx.QxAP1302SensorRegisterRead(camera, 0x36, 0x3012) == (0, 0x0400)
    assert qx.QxAP1302SensorRegisterRead(camera, 0x37, 0x3000)[0] == emu.QXE_NO_ACK


def test_generic_i2c_devices(emu, camera):
    assert qx.QxGenericI2CRead(camera, 0, 0x48, 0, 2) == (0, 0x1340)
    assert qx.QxGenericI2CWrite(camera, 0, 0x50, 0xF0, 1, 0x5A) == 0
    assert qx.QxGenericI2CRead(camera, 0, 0x50, 0xF0, 1) == (0, 0x5A00)
    assert qx.QxGenericI2CRead(camera, 0, 0x51, 0, 1)[0] == emu.QXE_NO_ACK


@pytest.mark.parametrize("d", [0, 2, 3])
def test_generic_write_of_other_than_one_byte_is_not_carried_out(emu, camera, d):
    before = qx.QxGenericI2CRead(camera, 0, 0x50, 0xF0, 2)
    assert qx.QxGenericI2CWrite(camera, 0, 0x50, 0xF0, d, 0x77) == emu.QXE_INVALID_ARGUMENT
    assert qx.QxGenericI2CRead(camera, 0, 0x50, 0xF0, 2) == before


@pytest.mark.parametrize("d", [0, 3, 65535])
def test_generic_read_longer_than_two_bytes_is_refused(emu, camera, d):
    assert qx.QxGenericI2CRead(camera, 0, 0x48, 0, d) == (emu.QXE_INVALID_ARGUMENT, 0)


def test_registers_persist_across_close_and_open(emu, camera):
    assert qx.QxAP1302I2CWrite(camera, 0x6134, 7) == 0
    assert qx.QxClose(camera) == 0 and qx.QxOpen(camera) == 0
    assert qx.QxAP1302I2CRead(camera, 0x6134) == (0, 7)
