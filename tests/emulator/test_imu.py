import numpy
import pytest

import pyQuorvexSDK as qx
import math


def test_modes_and_samples(emu, camera):
    assert qx.QxGetSensorWorkMode(camera) == (0, qx.STANDBY)
    assert qx.QxGetIMUAccData(camera, qx.NORMAL)[0] == emu.QXE_IMU_DISABLED
    assert qx.QxEnableIMUMode(camera, qx.ISPU) == 0
    assert qx.QxGetSensorWorkMode(camera) == (0, qx.WORK)
    status, acc = qx.QxGetIMUAccData(camera, qx.NORMAL)
    assert status == 0 and acc.shape == (3,)
    assert abs(numpy.linalg.norm(acc) - 9.80665) < 0.1
    status, gyr = qx.QxGetIMUGyrData(camera, qx.NORMAL)
    assert status == 0 and numpy.abs(gyr).max() < 0.5
    assert qx.QxGetIMUAccData(camera, qx.POSITIVE)[0] == emu.QXE_WRONG_IMU_MODE
    assert qx.QxGetIMUAccData(camera, qx.NOT_ALLOWED)[0] == emu.QXE_INVALID_ARGUMENT


def test_self_test_shifts_the_samples(emu, camera):
    assert qx.QxEnableIMUMode(camera, qx.SELF_TEST) == 0
    normal = qx.QxGetIMUAccData(camera, qx.NORMAL)[1]
    positive = qx.QxGetIMUAccData(camera, qx.POSITIVE)[1]
    negative = qx.QxGetIMUAccData(camera, qx.NEGATIVE)[1]
    assert numpy.all(positive - normal > 4) and numpy.all(normal - negative > 4)


def test_ispu_orientation_is_consistent(emu, camera):
    assert qx.QxGetISPUData(camera)[0] == emu.QXE_IMU_DISABLED
    assert qx.QxEnableIMUMode(camera, qx.ISPU) == 0
    status, ispu = qx.QxGetISPUData(camera)
    assert status == 0
    assert abs(math.hypot(ispu.x, ispu.y, ispu.z, ispu.w) - 1) < 1e-5
    # ZYX angles from the quaternion.
    yaw = math.degrees(math.atan2(2 * (ispu.w * ispu.z + ispu.x * ispu.y), 1 - 2 * (ispu.y**2 + ispu.z**2)))
    pitch = math.degrees(math.asin(max(-1.0, min(1.0, 2 * (ispu.w * ispu.y - ispu.z * ispu.x)))))
    roll = math.degrees(math.atan2(2 * (ispu.w * ispu.x + ispu.y * ispu.z), 1 - 2 * (ispu.x**2 + ispu.y**2)))
    assert (yaw, pitch, roll) == pytest.approx((ispu.yaw, ispu.pitch, ispu.roll), abs=0.01)
    status, temperature = qx.QxGetIMUTemperature(camera)
    assert status == 0 and 20 < temperature < 50
    status, seconds = qx.QxGetIMUSensorTime(camera)
    assert status == 0 and seconds >= 0


def test_camera_without_an_imu(emu):
    other = qx.QxInitialCameraDevice(1)
    assert qx.QxOpen(other) == 0
    assert qx.QxEnableIMUMode(other, qx.ISPU) == emu.QXE_NOT_SUPPORTED
    assert qx.QxGetIMUGyrData(other, qx.NORMAL)[0] == emu.QXE_NOT_SUPPORTED
    qx.QxClose(other)
