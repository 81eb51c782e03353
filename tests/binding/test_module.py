import glob
import importlib
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import pyQuorvexSDK as qx

from conftest import run_python
from test_enumerations import ENUMERATIONS

# Docstrings of the bound functions, in registration order.
FUNCTION_DOCS = {
    "HelloQuorvexSDK": "A function that prints Hello QuorvexSDK and version",
    "QxSetLogFile": "Set log file path",
    "QxSetLogLevel": "Set log level",
    "QxDiscoverCameraDevices": "Discover available camera devices",
    "QxInitialCameraDevice": "Initialize camera device by index",
    "QxOpen": "Open camera device",
    "QxClose": "Close camera device",
    "QxIsQuorvexCamera": "Check if camera is Quorvex camera",
    "QxGetDeviceName": "Get camera device name",
    "QxGetDevicePath": "Get camera device path",
    "QxGetDeviceInterfaceType": "Get camera device interface type",
    "QxGetDeviceProductType": "Get camera device product type",
    "QxGetHardwareID": "Get camera hardware ID",
    "QxGetUSBDeviceSpeed": "Get USB device speed",
    "QxGetFormatList": "Get supported format list",
    "QxSetFormat": "Set camera format",
    "QxStartStreaming": "Start camera streaming",
    "QxStopStreaming": "Stop camera streaming",
    "QxGetImage": "Get camera image",
    "QxResetUVC": "UVC reset",
    "QxGetUSBFirmwareVersion": "Get USB firmware version",
    "QxGetZENAFirmwareVersion": "Get ZENA firmware version",
    "QxGetSensorFirmwareVersion": "Get Sensor firmware version",
    "QxGenericI2CRead": "Generic I2C read",
    "QxGenericI2CWrite": "Generic I2C write",
    "QxAP1302I2CRead": "AP1302 I2C read",
    "QxAP1302I2CWrite": "AP1302 I2C write",
    "QxAP1302SensorRegisterRead": "AP1302 sensor register read",
    "QxAP1302SensorRegisterWrite": "AP1302 sensor register write",
    "QxGetSensorUniqueID": "Get sensor unique ID",
    "QxGetHeaderVersion": "Get header version",
    "QxGotoUSBProgramMode": "Go to USB program mode",
    "QxUpgradeFX3FW": "Upgrade FX3 firmware",
    "QxUpgradeSensorFW": "Upgrade sensor firmware",
    "QxGetBootdataHeaderV2": "Get bootdata header v2",
    "QxGetBootdataHeaderV3": "Get bootdata header v3",
    "QxGetBootdataHeaderV2FromFile": "Get bootdata header v2 from file",
    "QxGetBootdataHeaderV3FromFile": "Get bootdata header v3 from file",
    "QxSetUVCImageProcessing": "Set UVC image processing",
    "QxGetUVCImageProcessing": "Get UVC image processing",
    "QxGetUVCImageProcessingRange": "Get UVC image processing range",
    "QxSetISPImageProcessing": "Set ISP image processing",
    "QxSetISPImageProcessingDefault": "Set ISP image processing to default",
    "QxGetISPImageProcessing": "Get ISP image processing",
    "QxGetISPImageProcessingRange": "Get ISP image processing range",
    "QxGetCurrentGain": "Get current gain",
    "QxGetCurrentExposure": "Get current exposure",
    "QxGetMaxFPS": "Get maximum FPS",
    "QxSetMaxFPS": "Set maximum FPS",
    "QxGetThroughPut": "Get throughput",
    "QxSetThroughPut": "Set throughput",
    "QxGetOSPProfileFlag": "Get OSP profile flag",
    "QxSetOSPProfileFlag": "Set OSP profile flag",
    "QxGetOSPProfileConfig": "Get OSP profile config",
    "QxLoadProfileConfig": "Load profile config",
    "QxActivateProfileStreaming": "Activate profile streaming",
    "QxActivateProfileImageProcessing": "Activate profile image processing",
    "QxGetTimestamp": "Get Timestamp",
    "QxResetTimestamp": "Reset Timestamp",
    "QxGetFrameCount": "Get Frame Count",
    "QxResetFrameCount": "Reset Frame Count",
    "QxExportSensorConfig": "Save sensor config to binary file",
    "QxDecodeSensorConfig": "Decode sensor binary file to json format",
    "QxResetActiveRoutes": "Reset active routes from media entities",
    "QxLoadRouteYaml": "Load the routes from yaml file",
    "QxActivateYamlRoutes": "Activate the routes from yaml file",
    "QxGetSensorWorkMode": "Get sensor work mode",
    "QxEnableIMUMode": "Enable IMU mode",
    "QxRebootIMUMode": "Reboot IMU mode",
    "QxGetIMUAccData": "Get IMU Accelerometer data",
    "QxGetIMUGyrData": "Get IMU Gyroscope data",
    "QxGetISPUData": "Get IMU ISPU data",
    "QxGetIMUTemperature": "Get IMU Temperature data",
    "QxGetIMUSensorTime": "Get IMU Sensor timestamp",
    "QxFlashProductInfo": "Flash product info from image file",
    "QxWriteIntrinsics": "Write intrinsics calibration data to camera",
    "QxGetIntrinsics": "Get intrinsics calibration data from camera",
}

# The module's registration sequence: types (enumerations followed by their exported members),
# the docstring, then functions and handle types.
TYPES = [
    "QxStringList", "QX_LOG_LEVEL", "QX_CAMERA_PRODUCT_TYPE", "QX_CAPTURE_RESULT",
    "QX_CAMERA_INTERFACE_TYPE", "QX_USB_DEVICE_SPEED", "QxFormat", "QX_IMAGE_FORMAT",
    "QxHeaderV2", "QxHeaderV3", "QX_UVC_IMAGE_PROPERTIES", "QX_ISP_IMAGE_PROPERTIES",
    "QX_OSP_PROFILE_FLAG", "QX_FX3_FW_TARGET", "QX_SENSOR_MODE", "QX_UPGRADE_RESULT",
    "QX_IMU_MODE", "QX_IMU_SELF_TEST_MODE", "QxImuIspu", "QX_DISTORTION_MODEL", "QxIntrinsics",
]
_FUNCTIONS = list(FUNCTION_DOCS)
_ROUTES = _FUNCTIONS.index("QxResetActiveRoutes")
FUNCTIONS_AND_HANDLES = (
    _FUNCTIONS[:3] + ["QxCamera"] + _FUNCTIONS[3:_ROUTES] + ["QxRoute"] + _FUNCTIONS[_ROUTES:]
)


def expected_attribute_order():
    names = []
    for name in TYPES:
        names.append(name)
        names.extend(member for member, _ in ENUMERATIONS.get(name, []))
    return names + FUNCTIONS_AND_HANDLES


def test_docstring():
    assert qx.__doc__ == "Python bindings for QuorvexSDK"


def test_attributes_follow_the_registration_order():
    names = list(vars(qx))
    first_own = names.index("QxStringList")
    assert all(name.startswith("__") for name in names[:first_own])
    assert names[first_own:] == expected_attribute_order()


@pytest.mark.parametrize("name, doc", FUNCTION_DOCS.items())
def test_function_docstring_and_positional_signature(name, doc):
    signature, _, text = getattr(qx, name).__doc__.partition("\n")
    assert signature.startswith(name + "(")
    assert "arg" not in signature or "arg0" in signature
    assert text.strip() == doc


def test_signatures_name_types_by_their_python_names():
    assert "pyQuorvexSDK.QxCamera" in qx.QxOpen.__doc__
    assert "pyQuorvexSDK.QX_LOG_LEVEL" in qx.QxSetLogLevel.__doc__
    assert "pyQuorvexSDK.QxStringList" in qx.QxDiscoverCameraDevices.__doc__


def other_python():
    """Some CPython that is not 3.13, to load the module into, or None."""
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates = sorted(glob.glob(os.path.join(pyenv_root, "versions", "3.1[0-2]*", "bin", "python3")))
    candidates += filter(None, (shutil.which(f"python3.{minor}") for minor in (12, 11, 10)))
    for candidate in reversed(candidates):
        probe = subprocess.run([candidate, "-c", "import sys; sys.exit(sys.version_info[:2] == (3, 13))"],
                               capture_output=True, timeout=60)
        if probe.returncode == 0:
            return candidate
    return None


def test_other_interpreter_versions_are_refused():
    python = other_python()
    if python is None:
        pytest.skip("no Python other than 3.13 on this machine")
    loader = f"""
import importlib.machinery, importlib.util, os, platform, sys
sys.setdlopenflags(os.RTLD_LAZY)
path = {qx.__file__!r}
spec = importlib.util.spec_from_file_location(
    "pyQuorvexSDK", path, loader=importlib.machinery.ExtensionFileLoader("pyQuorvexSDK", path))
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(error)
    print(sys.version)
"""
    result = subprocess.run([python, "-c", loader], capture_output=True, text=True, timeout=60)
    message, version = result.stdout.splitlines()[:2]
    assert message == (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version}."
    )


def test_camera_has_no_constructor():
    with pytest.raises(TypeError, match="^pyQuorvexSDK.QxCamera: No constructor defined!$"):
        qx.QxCamera()


def test_reimport_returns_the_same_module_object():
    functions_before = qx.QxOpen
    del sys.modules["pyQuorvexSDK"]
    again = importlib.import_module("pyQuorvexSDK")
    assert again is qx
    assert again.QxOpen is functions_before


def test_subinterpreters_are_refused():
    result = run_python(
        """
        import _interpreters
        interpreter = _interpreters.create()
        error = _interpreters.exec(interpreter, "import pyQuorvexSDK")
        print(error.type.__name__ if error else "imported")
        print(error.msg if error else "")
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.splitlines()[:2]
    assert kind == "ImportError"
    assert "subinterpreters" in message


class TestStringList:
    def test_construction_repr_and_search(self):
        strings = qx.QxStringList(["a", "b"])
        assert len(strings) == 2 and "a" in strings
        assert repr(strings) == "QxStringList[a, b]"
        assert strings.count(x="a") == 1
        assert qx.QxStringList(strings) == strings
        assert qx.QxStringList() != strings and not qx.QxStringList()

    def test_modification(self):
        strings = qx.QxStringList(["a", "b", "c"])
        strings.append("d")
        strings.insert(0, "z")
        strings.extend(["e"])
        strings.extend(qx.QxStringList(["f"]))
        assert list(strings) == ["z", "a", "b", "c", "d", "e", "f"]
        assert strings.pop() == "f" and strings.pop(0) == "z"
        strings.remove("b")
        del strings[0]
        strings[-1] = "E"
        assert list(strings) == ["c", "d", "E"]
        assert type(strings[1:]) is qx.QxStringList and list(strings[::-1]) == ["E", "d", "c"]
        strings[0:2] = qx.QxStringList(["x", "y"])
        del strings[:1]
        assert list(strings) == ["y", "E"]
        strings.clear()
        assert len(strings) == 0

    def test_failures(self):
        strings = qx.QxStringList(["a", "b"])
        with pytest.raises(ValueError):
            strings.remove("c")
        with pytest.raises(IndexError):
            strings[2]
        with pytest.raises(RuntimeError, match="Left and right hand size of slice assignment"):
            strings[0:2] = qx.QxStringList(["x"])


def test_everything_is_bound():
    assert len(FUNCTION_DOCS) == 77
    # 15 enumerations, 5 records, QxStringList, and the two handle types.
    assert all(isinstance(getattr(qx, name), type) for name in TYPES + ["QxCamera", "QxRoute"])
    assert len(TYPES) == 21
    assert all(callable(getattr(qx, name)) for name in FUNCTION_DOCS)


def test_unpicklable_objects_raise_type_error_at_every_protocol(emu):
    # Run in a fresh interpreter: a regression here aborts the process.
    code = """
        import copy, pickle, struct
        import pyQuorvexSDK as qx
        import qx_emulator
        camera = qx.QxInitialCameraDevice(0)
        assert qx.QxOpen(camera) == 0
        qx_emulator.script("QxGetISPUData", outs={"ispu": struct.pack("<7f", *range(7))})
        samples = {
            "QxStringList": qx.QxStringList(["a"]),
            "QxCamera": camera,
            "QxFormat": qx.QxGetFormatList(camera)[1][0],
            "QxHeaderV2": qx.QxGetBootdataHeaderV2(camera)[1],
            "QxHeaderV3": qx.QxGetBootdataHeaderV3(camera)[1],
            "QxImuIspu": qx.QxGetISPUData(camera)[1],
            "QxIntrinsics": qx.QxIntrinsics(),
            "QxRoute": qx.QxLoadRouteYaml(ROUTE_FILE),
        }
        for name, sample in samples.items():
            assert type(sample).__name__ == name, (name, sample)
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                try:
                    pickle.dumps(sample, protocol=protocol)
                except TypeError as error:
                    assert str(error) == f"cannot pickle '{name}' object", error
                else:
                    raise AssertionError(f"{name} pickled at protocol {protocol}")
            try:
                copy.copy(sample)
            except TypeError:
                pass
            else:
                raise AssertionError(f"{name} copied")
        print("ok")
        """
    route_file = pathlib.Path(__file__).resolve().parent.parent / "examples" / "routes" / "sensor_to_video0.yaml"
    result = run_python(code.replace("ROUTE_FILE", repr(str(route_file))))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
