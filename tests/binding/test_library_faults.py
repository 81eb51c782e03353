"""Answers a real camera library could give, scripted through the emulator: exceptions, values
left unwritten, text that is not UTF-8, byte counts out of bounds, progress reported from a
thread of the library's own. The module stays usable after each."""

import threading

import numpy
import pytest

import pyQuorvexSDK as qx

import api
from support import scripted_format


@pytest.fixture
def calls(emu, camera, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fmt = scripted_format(emu, camera, 64, 48, 9)
    # No route set and no progress callable: each call is meant to be answered by a script.
    return {function.name: api.sample_arguments(function, camera=camera, fmt=fmt, qx=qx)
            for function in api.FUNCTIONS}


def still_usable(camera):
    assert qx.QxIsQuorvexCamera(camera) == 1
    assert qx.QxGetDeviceName(camera)[0] == 0


@pytest.mark.parametrize("name", api.NAMES)
def test_exception_from_the_library_reaches_the_caller(emu, camera, calls, name):
    emu.script(name, exception=f"{name} failed inside the library")
    with pytest.raises(RuntimeError, match=f"^{name} failed inside the library$"):
        getattr(qx, name)(*calls[name])
    still_usable(camera)


def is_zero(value):
    if isinstance(value, (qx.QxHeaderV2, qx.QxHeaderV3)):
        return (value.headerVersion, value.contentOffset, value.productName) == (0, 0, "")
    if isinstance(value, qx.QxImuIspu):
        return (value.x, value.y, value.z, value.w, value.yaw, value.pitch, value.roll) == (0,) * 7
    if isinstance(value, qx.QxIntrinsics):
        return (value.w, value.h, value.fx, value.cy, int(value.model)) == (0, 0, 0, 0, 0) and not value.coeffs.any()
    if isinstance(value, (str, list, qx.QxStringList, numpy.ndarray)):
        return len(value) == 0
    return int(value) == 0 if hasattr(value, "__index__") or isinstance(value, (int, float)) else value == 0


WRAPPERS = [name for name in api.NAMES
            if name.startswith(("QxGet", "QxDiscover", "QxGeneric")) and name not in (
                "QxGetHeaderVersion", "QxGenericI2CWrite")]


@pytest.mark.parametrize("name", WRAPPERS)
def test_values_the_library_leaves_unwritten_read_zero(emu, camera, calls, name):
    emu.script(name, result=-1)
    result = getattr(qx, name)(*calls[name])
    assert type(result) is tuple and int(result[0]) == -1
    values = result[2:] if name.endswith("FromFile") else result[1:]  # past the echoed path
    assert all(is_zero(value) for value in values), result
    still_usable(camera)


TEXT_OUTS = [("QxGetDeviceName", "name"), ("QxGetDevicePath", "path"), ("QxGetHardwareID", "hardwareId"),
             ("QxGetUSBFirmwareVersion", "version"), ("QxGetZENAFirmwareVersion", "version"),
             ("QxGetSensorFirmwareVersion", "version"), ("QxGetSensorUniqueID", "uniqueId"),
             ("QxGetOSPProfileConfig", "config"), ("QxDiscoverCameraDevices", "devices")]


@pytest.mark.parametrize("name, out", TEXT_OUTS, ids=[name for name, _ in TEXT_OUTS])
def test_text_that_is_not_utf8_raises_after_the_call(emu, camera, calls, name, out):
    raw = [b"ok", b"\xc3\x28"] if out == "devices" else b"\xc3\x28"
    emu.script(name, outs={out: raw})
    if out == "devices":
        status, devices = qx.QxDiscoverCameraDevices()
        with pytest.raises(UnicodeDecodeError):
            devices[1]
        assert devices[0] == "ok"
    else:
        with pytest.raises(UnicodeDecodeError):
            getattr(qx, name)(*calls[name])
    assert len(emu.journal(name)) == 1
    still_usable(camera)


@pytest.mark.parametrize("size", [-1, 64 * 48 * 3 + 1, 2**31 - 1])
def test_byte_counts_outside_the_buffer_are_never_read(emu, camera, size):
    fmt = scripted_format(emu, camera, 64, 48, 9)
    emu.script("QxGetImage", outs={"size": size})
    result, frame = qx.QxGetImage(camera, 10, fmt)
    assert result == qx.QX_BUFFER_CORRUPTED and frame.shape == (0,)
    still_usable(camera)


@pytest.mark.parametrize("function", ["QxUpgradeFX3FW", "QxUpgradeSensorFW"])
def test_progress_from_a_library_thread_does_not_deadlock(emu, camera, calls, function):
    seen, threads = [], set()

    def progress(value):
        seen.append(value)
        threads.add(threading.get_ident())

    emu.script(function, result=0, outs={"progress": [0, 50, 100]}, callback_thread=True)
    arguments = calls[function][:-1] + (progress,)
    finished = []
    caller = threading.Thread(target=lambda: finished.append(getattr(qx, function)(*arguments)), daemon=True)
    caller.start()
    caller.join(timeout=20)
    assert not caller.is_alive(), "the upgrade deadlocked"
    assert seen == [0, 50, 100] and caller.ident not in threads
    assert int(finished[0]) == 0
    still_usable(camera)
