import numpy
import pytest

import pyQuorvexSDK as qx


@pytest.mark.parametrize("function", ["QxGetIMUAccData", "QxGetIMUGyrData"])
def test_failed_sample_read_gives_an_empty_float32_array(emu, camera, function):
    emu.script(function, result=-7, outs={"data": [1.0, 2.0, 3.0]})
    status, samples = getattr(qx, function)(camera, qx.NORMAL)
    assert status == -7
    assert samples.shape == (0,) and samples.dtype == numpy.float32


@pytest.mark.parametrize("function", ["QxGetIMUAccData", "QxGetIMUGyrData"])
@pytest.mark.parametrize("values", [[], [0.5], [1.0, -2.0, 9.80665, 4.0, 5.0, 6.0, 7.0]])
def test_samples_are_copied_whatever_their_number(emu, camera, function, values):
    emu.script(function, outs={"data": values}, times=2)
    status, samples = getattr(qx, function)(camera, qx.POSITIVE)
    assert status == 0 and samples.dtype == numpy.float32 and samples.flags.owndata
    assert samples.tolist() == [float(numpy.float32(v)) for v in values]
    samples[...] = 42
    assert getattr(qx, function)(camera, qx.POSITIVE)[1].tolist() == [float(numpy.float32(v)) for v in values]
    assert emu.journal(function)[0][1] == {"camera": 0, "selfTest": 1}


@pytest.mark.parametrize("function, out, value", [
    ("QxGetIMUTemperature", "temperature", 36.6), ("QxGetIMUSensorTime", "sensorTime", 1234.5),
])
def test_float_getters(emu, camera, function, out, value):
    emu.script(function, result=-1, outs={out: value})
    assert getattr(qx, function)(camera) == (-1, float(numpy.float32(value)))


def test_sensor_work_mode(emu, camera):
    emu.script("QxGetSensorWorkMode", outs={"mode": 1})
    assert qx.QxGetSensorWorkMode(camera) == (0, qx.WORK)
    emu.script("QxGetSensorWorkMode", result=-1)
    assert qx.QxGetSensorWorkMode(camera) == (-1, qx.STANDBY)


@pytest.mark.parametrize("function", ["QxEnableIMUMode", "QxRebootIMUMode"])
def test_imu_mode_switches(emu, camera, function):
    emu.script(function, result=-4)
    assert getattr(qx, function)(camera, qx.ISPU) == -4
    assert emu.journal(function) == [(function, {"camera": 0, "mode": 1})]
    for bad in (1, None, qx.NORMAL):
        with pytest.raises(TypeError):
            getattr(qx, function)(camera, bad)
    assert len(emu.journal(function)) == 1


# End to end against the emulated IMU of camera 0.

import math  # noqa: E402


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
