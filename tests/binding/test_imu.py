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

