"""Answers a real camera library could give, scripted through the emulator: exceptions, values
left unwritten, text that is not UTF-8, byte counts out of bounds, progress reported from a
thread of the library's own. The module stays usable after each."""

import struct
import threading

import numpy
import pytest

import pyQuorvexSDK as qx

from test_module import FUNCTION_DOCS


def format_record(camera, emu, width=64, height=48, pixel_format=9):
    emu.script("QxGetFormatList", outs={"formats": [struct.pack("<HHHHi", 1, width, height, 30, pixel_format)]})
    return qx.QxGetFormatList(camera)[1][0]


def valid_calls(camera, fmt):
    """One well-formed call of every function."""
    return {
        "HelloQuorvexSDK": (), "QxSetLogFile": ("sdk.log",), "QxSetLogLevel": (qx.QX_LOG_LEVEL_WARN,),
        "QxDiscoverCameraDevices": (), "QxInitialCameraDevice": (0,), "QxOpen": (camera,), "QxClose": (camera,),
        "QxIsQuorvexCamera": (camera,), "QxGetDeviceName": (camera,), "QxGetDevicePath": (camera,),
        "QxGetDeviceInterfaceType": (camera,), "QxGetDeviceProductType": (camera,), "QxGetHardwareID": (camera,),
        "QxGetUSBDeviceSpeed": (camera,), "QxGetFormatList": (camera,), "QxSetFormat": (camera, fmt),
        "QxStartStreaming": (camera,), "QxStopStreaming": (camera,), "QxGetImage": (camera, 10, fmt),
        "QxResetUVC": (camera,), "QxGetUSBFirmwareVersion": (camera,), "QxGetZENAFirmwareVersion": (camera,),
        "QxGetSensorFirmwareVersion": (camera,), "QxGenericI2CRead": (camera, 0, 0x48, 0, 2),
        "QxGenericI2CWrite": (camera, 0, 0x50, 0, 1, 1), "QxAP1302I2CRead": (camera, 0),
        "QxAP1302I2CWrite": (camera, 0x6000, 1), "QxAP1302SensorRegisterRead": (camera, 0x36, 0x3000),
        "QxAP1302SensorRegisterWrite": (camera, 0x36, 0x3012, 1), "QxGetSensorUniqueID": (camera,),
        "QxGetHeaderVersion": (camera,), "QxGotoUSBProgramMode": (camera,),
        "QxUpgradeFX3FW": (qx.FW_TARGET_RAM, "fx3.img", None), "QxUpgradeSensorFW": (camera, "sensor.img", None),
        "QxGetBootdataHeaderV2": (camera,), "QxGetBootdataHeaderV3": (camera,),
        "QxGetBootdataHeaderV2FromFile": ("boot.bin",), "QxGetBootdataHeaderV3FromFile": ("boot.bin",),
        "QxSetUVCImageProcessing": (camera, qx.UVC_IMAGE_GAIN, 1, 2),
        "QxGetUVCImageProcessing": (camera, qx.UVC_IMAGE_GAIN),
        "QxGetUVCImageProcessingRange": (camera, qx.UVC_IMAGE_GAIN),
        "QxSetISPImageProcessing": (camera, qx.ISP_IMAGE_GAMMA, 200), "QxSetISPImageProcessingDefault": (camera,),
        "QxGetISPImageProcessing": (camera, qx.ISP_IMAGE_GAMMA),
        "QxGetISPImageProcessingRange": (camera, qx.ISP_IMAGE_GAMMA), "QxGetCurrentGain": (camera,),
        "QxGetCurrentExposure": (camera,), "QxGetMaxFPS": (camera,), "QxSetMaxFPS": (camera, 30),
        "QxGetThroughPut": (camera,), "QxSetThroughPut": (camera, 50), "QxGetOSPProfileFlag": (camera,),
        "QxSetOSPProfileFlag": (camera, qx.ENABLED), "QxGetOSPProfileConfig": (camera,),
        "QxLoadProfileConfig": (camera, "profile.yaml"), "QxActivateProfileStreaming": (camera,),
        "QxActivateProfileImageProcessing": (camera,), "QxGetTimestamp": (camera,), "QxResetTimestamp": (camera,),
        "QxGetFrameCount": (camera,), "QxResetFrameCount": (camera,), "QxExportSensorConfig": (camera, "s.bin"),
        "QxDecodeSensorConfig": ("s.bin", "s.json"), "QxResetActiveRoutes": (),
        "QxLoadRouteYaml": ("routes.yaml",), "QxActivateYamlRoutes": (None,), "QxGetSensorWorkMode": (camera,),
        "QxEnableIMUMode": (camera, qx.ISPU), "QxRebootIMUMode": (camera, qx.ISPU),
        "QxGetIMUAccData": (camera, qx.NORMAL), "QxGetIMUGyrData": (camera, qx.NORMAL), "QxGetISPUData": (camera,),
        "QxGetIMUTemperature": (camera,), "QxGetIMUSensorTime": (camera,),
        "QxFlashProductInfo": (camera, "info.bin"), "QxWriteIntrinsics": (camera, qx.QxIntrinsics()),
        "QxGetIntrinsics": (camera,),
    }


@pytest.fixture
def calls(emu, camera, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return valid_calls(camera, format_record(camera, emu))


def still_usable(camera):
    assert qx.QxIsQuorvexCamera(camera) == 1
    assert qx.QxGetDeviceName(camera)[0] == 0


@pytest.mark.parametrize("name", list(FUNCTION_DOCS))
def test_exception_from_the_library_reaches_the_caller(emu, camera, calls, name):
    assert list(calls) == list(FUNCTION_DOCS)
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


WRAPPERS = [name for name in FUNCTION_DOCS
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
    fmt = format_record(camera, emu)
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
