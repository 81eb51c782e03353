import numpy
import pytest

import pyQuorvexSDK as qx


# The six device-information getters with the name of their out-parameter and a value of it.
GETTERS = [
    (qx.QxGetDeviceName, "name", b"cam", "cam"),
    (qx.QxGetDevicePath, "path", b"/dev/x", "/dev/x"),
    (qx.QxGetHardwareID, "hardwareId", b"ID", "ID"),
    (qx.QxGetDeviceInterfaceType, "type", 2, qx.INTERFACE_ETHERNET),
    (qx.QxGetDeviceProductType, "type", 3, qx.QXCAM_PRODUCT_TYPE_ZENI),
    (qx.QxGetUSBDeviceSpeed, "speed", 4, qx.USB_DEVICE_SPEED_SUPER_PLUS),
]
GETTER_IDS = [getter.__name__ for getter, *_ in GETTERS]


def test_greeting_names_the_library(emu, capfd):
    assert qx.HelloQuorvexSDK() is None
    assert "Hello QuorvexSDK" in capfd.readouterr().out


def test_same_index_gives_the_same_handle(emu):
    first = qx.QxInitialCameraDevice(1)
    assert qx.QxInitialCameraDevice(1) is first
    assert qx.QxInitialCameraDevice(numpy.int64(1)) is first
    assert qx.QxInitialCameraDevice(0) is not first


@pytest.mark.parametrize("index", [-1, 3, 2**31 - 1, -(2**31)])
def test_index_out_of_range_gives_none_and_reaches_the_library(emu, index):
    assert qx.QxInitialCameraDevice(index) is None
    assert emu.journal("QxInitialCameraDevice") == [("QxInitialCameraDevice", {"index": index})]


def test_none_handle_reaches_the_library_as_an_empty_handle(emu):
    assert qx.QxOpen(None) == emu.QXE_INVALID_HANDLE
    assert qx.QxClose(None) == emu.QXE_INVALID_HANDLE
    assert qx.QxIsQuorvexCamera(None) == 0
    assert qx.QxGetDeviceName(None) == (emu.QXE_INVALID_HANDLE, "")
    assert qx.QxGetUSBDeviceSpeed(None) == (emu.QXE_INVALID_HANDLE, qx.USB_DEVICE_SPEED_LOW)
    calls = emu.journal()
    assert [name for name, _ in calls] == [
        "QxOpen", "QxClose", "QxIsQuorvexCamera", "QxGetDeviceName", "QxGetUSBDeviceSpeed"]
    assert all(arguments == {"camera": None} for _, arguments in calls)


@pytest.mark.parametrize("getter, out_name, raw, value", GETTERS, ids=GETTER_IDS)
def test_getter_returns_what_the_library_wrote(emu, camera, getter, out_name, raw, value):
    emu.script(getter.__name__, result=0, outs={out_name: raw})
    result = getter(camera)
    assert result == (0, value)
    assert type(result[1]) is type(value)


@pytest.mark.parametrize("getter, out_name, raw, value", GETTERS, ids=GETTER_IDS)
def test_failing_getter_gives_a_full_tuple_with_zeroed_value(emu, camera, getter, out_name, raw, value):
    emu.script(getter.__name__, result=-7)
    status, out = getter(camera)
    assert status == -7
    assert out == ("" if isinstance(value, str) else type(value)(0))


def test_failing_discovery_keeps_what_the_library_left(emu):
    emu.script("QxDiscoverCameraDevices", result=-1, outs={"devices": [b"half", b"done"]})
    status, devices = qx.QxDiscoverCameraDevices()
    assert status == -1
    assert type(devices) is qx.QxStringList and list(devices) == ["half", "done"]


def test_unknown_enumeration_value_comes_back_as_an_instance(emu, camera):
    emu.script("QxGetDeviceProductType", outs={"type": 99})
    status, product = qx.QxGetDeviceProductType(camera)
    assert status == 0
    assert type(product) is qx.QX_CAMERA_PRODUCT_TYPE
    assert product.value == 99 and product.name == "???"


def test_non_utf8_name_raises_unicode_decode_error(emu, camera):
    emu.script("QxGetDeviceName", outs={"name": b"Cam\xff"})
    with pytest.raises(UnicodeDecodeError):
        qx.QxGetDeviceName(camera)
    assert len(emu.journal("QxGetDeviceName")) == 1


def test_scripted_handle_results(emu):
    emu.script("QxInitialCameraDevice", result=None)
    assert qx.QxInitialCameraDevice(0) is None
    emu.script("QxInitialCameraDevice", result=2)
    assert qx.QxInitialCameraDevice(0) is qx.QxInitialCameraDevice(2)
    emu.script("QxIsQuorvexCamera", result=7)
    assert qx.QxIsQuorvexCamera(None) == 7


def test_library_exception_reaches_the_caller(emu, camera):
    emu.script("QxOpen", exception="USB transfer failed")
    with pytest.raises(RuntimeError, match="USB transfer failed"):
        qx.QxOpen(camera)
    assert qx.QxClose(camera) == 0


BAD_CALLS = [
    pytest.param(lambda: qx.QxInitialCameraDevice(2**31), id="index-too-large"),
    pytest.param(lambda: qx.QxInitialCameraDevice(-(2**31) - 1), id="index-too-small"),
    pytest.param(lambda: qx.QxInitialCameraDevice(1.0), id="index-float"),
    pytest.param(lambda: qx.QxInitialCameraDevice("0"), id="index-str"),
    pytest.param(lambda: qx.QxInitialCameraDevice(index=0), id="keyword"),
    pytest.param(lambda: qx.QxInitialCameraDevice(), id="no-argument"),
    pytest.param(lambda: qx.QxOpen(qx.QxInitialCameraDevice, 1), id="two-arguments"),
    pytest.param(lambda: qx.QxOpen(0), id="open-int"),
    pytest.param(lambda: qx.QxOpen(camera=None), id="open-keyword"),
    pytest.param(lambda: qx.QxGetDeviceName("cam"), id="getter-str"),
    pytest.param(lambda: qx.QxSetLogLevel(3), id="level-int"),
    pytest.param(lambda: qx.QxSetLogLevel(None), id="level-none"),
    pytest.param(lambda: qx.QxSetLogLevel(qx.QX_SENSOR_MODE.WORK), id="level-other-enum"),
    pytest.param(lambda: qx.QxSetLogFile(None), id="log-file-none"),
    pytest.param(lambda: qx.QxDiscoverCameraDevices(qx.QxStringList()), id="discover-argument"),
]


@pytest.mark.parametrize("call", BAD_CALLS)
def test_bad_arguments_raise_type_error_before_the_library(emu, call):
    with pytest.raises(TypeError):
        call()
    assert emu.journal() == []


def test_log_level_reaches_the_library_as_its_value(emu):
    assert qx.QxSetLogLevel(qx.QX_LOG_LEVEL_WARN) is None
    assert qx.QxSetLogLevel(qx.QX_LOG_LEVEL(2)) is None
    assert emu.journal("QxSetLogLevel") == [
        ("QxSetLogLevel", {"level": 3}), ("QxSetLogLevel", {"level": 2})]


