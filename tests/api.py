"""The module's interface, one row per function, in registration order: what the tests, the stub
fix-ups and the benchmarks read instead of keeping their own lists.

A row is (name, family, docstring, result, sample). `family` names the binding file
(src/bindings/<family>.cpp) and the test files. `result` is the shape of what the function
returns: a kind, or a tuple of kinds for a status tuple. A kind is "int", "str", "float", "list",
a NumPy element type ("uint8[]" for a one-dimensional array of it), a type of the module, or
such a type followed by "?" when the function may return None in its place. `sample` is the
arguments of one well-formed call, as Python source over the names `camera` (an open camera),
`fmt` (a QxFormat of it), `route` (a route set or None), `progress` (a progress callable or None)
and `qx`; relative paths are meant for a scratch folder.

This file reads nothing but the standard library, so scripts outside the test run load it too.
"""

import ast
from typing import NamedTuple


class Function(NamedTuple):
    name: str
    family: str
    doc: str
    result: object
    sample: str


I, S, F = "int", "str", "float"

FUNCTIONS = [Function(*row) for row in [
    ("HelloQuorvexSDK", "discovery", "A function that prints Hello QuorvexSDK and version", None, ""),
    ("QxSetLogFile", "discovery", "Set log file path", I, "'sdk.log'"),
    ("QxSetLogLevel", "discovery", "Set log level", None, "qx.QX_LOG_LEVEL_WARN"),
    ("QxDiscoverCameraDevices", "discovery", "Discover available camera devices", (I, "QxStringList"), ""),
    ("QxInitialCameraDevice", "discovery", "Initialize camera device by index", "QxCamera?", "0"),
    ("QxOpen", "discovery", "Open camera device", I, "camera"),
    ("QxClose", "discovery", "Close camera device", I, "camera"),
    ("QxIsQuorvexCamera", "discovery", "Check if camera is Quorvex camera", I, "camera"),
    ("QxGetDeviceName", "discovery", "Get camera device name", (I, S), "camera"),
    ("QxGetDevicePath", "discovery", "Get camera device path", (I, S), "camera"),
    ("QxGetDeviceInterfaceType", "discovery", "Get camera device interface type",
     (I, "QX_CAMERA_INTERFACE_TYPE"), "camera"),
    ("QxGetDeviceProductType", "discovery", "Get camera device product type",
     (I, "QX_CAMERA_PRODUCT_TYPE"), "camera"),
    ("QxGetHardwareID", "discovery", "Get camera hardware ID", (I, S), "camera"),
    ("QxGetUSBDeviceSpeed", "discovery", "Get USB device speed", (I, "QX_USB_DEVICE_SPEED"), "camera"),
    ("QxGetFormatList", "formats", "Get supported format list", (I, "list"), "camera"),
    ("QxSetFormat", "formats", "Set camera format", I, "camera, fmt"),
    ("QxStartStreaming", "formats", "Start camera streaming", I, "camera"),
    ("QxStopStreaming", "formats", "Stop camera streaming", I, "camera"),
    ("QxGetImage", "formats", "Get camera image", ("QX_CAPTURE_RESULT", "uint8[]"), "camera, 10, fmt"),
    ("QxResetUVC", "firmware", "UVC reset", I, "camera"),
    ("QxGetUSBFirmwareVersion", "firmware", "Get USB firmware version", (I, S), "camera"),
    ("QxGetZENAFirmwareVersion", "firmware", "Get ZENA firmware version", (I, S), "camera"),
    ("QxGetSensorFirmwareVersion", "firmware", "Get Sensor firmware version", (I, S), "camera"),
    ("QxGenericI2CRead", "registers", "Generic I2C read", (I, I), "camera, 0, 0x48, 0, 2"),
    ("QxGenericI2CWrite", "registers", "Generic I2C write", I, "camera, 0, 0x50, 0, 1, 1"),
    ("QxAP1302I2CRead", "registers", "AP1302 I2C read", (I, I), "camera, 0"),
    ("QxAP1302I2CWrite", "registers", "AP1302 I2C write", I, "camera, 0x6000, 1"),
    ("QxAP1302SensorRegisterRead", "registers", "AP1302 sensor register read", (I, I), "camera, 0x36, 0x3000"),
    ("QxAP1302SensorRegisterWrite", "registers", "AP1302 sensor register write", I, "camera, 0x36, 0x3012, 1"),
    ("QxGetSensorUniqueID", "firmware", "Get sensor unique ID", (I, S), "camera"),
    ("QxGetHeaderVersion", "firmware", "Get header version", I, "camera"),
    ("QxGotoUSBProgramMode", "firmware", "Go to USB program mode", I, "camera"),
    ("QxUpgradeFX3FW", "firmware", "Upgrade FX3 firmware", I, "qx.FW_TARGET_RAM, 'fx3.img', progress"),
    ("QxUpgradeSensorFW", "firmware", "Upgrade sensor firmware", "QX_UPGRADE_RESULT",
     "camera, 'sensor.img', progress"),
    ("QxGetBootdataHeaderV2", "firmware", "Get bootdata header v2", (I, "QxHeaderV2?"), "camera"),
    ("QxGetBootdataHeaderV3", "firmware", "Get bootdata header v3", (I, "QxHeaderV3?"), "camera"),
    ("QxGetBootdataHeaderV2FromFile", "firmware", "Get bootdata header v2 from file", (I, S, "QxHeaderV2?"),
     "'boot.bin'"),
    ("QxGetBootdataHeaderV3FromFile", "firmware", "Get bootdata header v3 from file", (I, S, "QxHeaderV3?"),
     "'boot.bin'"),
    ("QxSetUVCImageProcessing", "controls", "Set UVC image processing", I, "camera, qx.UVC_IMAGE_GAIN, 1, 2"),
    ("QxGetUVCImageProcessing", "controls", "Get UVC image processing", (I, I, I), "camera, qx.UVC_IMAGE_GAIN"),
    ("QxGetUVCImageProcessingRange", "controls", "Get UVC image processing range", (I, I, I, I, I),
     "camera, qx.UVC_IMAGE_GAIN"),
    ("QxSetISPImageProcessing", "controls", "Set ISP image processing", I, "camera, qx.ISP_IMAGE_GAMMA, 200"),
    ("QxSetISPImageProcessingDefault", "controls", "Set ISP image processing to default", I, "camera"),
    ("QxGetISPImageProcessing", "controls", "Get ISP image processing", (I, I, I), "camera, qx.ISP_IMAGE_GAMMA"),
    ("QxGetISPImageProcessingRange", "controls", "Get ISP image processing range", (I, I, I, I, I),
     "camera, qx.ISP_IMAGE_GAMMA"),
    ("QxGetCurrentGain", "controls", "Get current gain", (I, I), "camera"),
    ("QxGetCurrentExposure", "controls", "Get current exposure", (I, I), "camera"),
    ("QxGetMaxFPS", "controls", "Get maximum FPS", (I, I), "camera"),
    ("QxSetMaxFPS", "controls", "Set maximum FPS", I, "camera, 30"),
    ("QxGetThroughPut", "controls", "Get throughput", (I, I), "camera"),
    ("QxSetThroughPut", "controls", "Set throughput", I, "camera, 50"),
    ("QxGetOSPProfileFlag", "profiles", "Get OSP profile flag", (I, "QX_OSP_PROFILE_FLAG"), "camera"),
    ("QxSetOSPProfileFlag", "profiles", "Set OSP profile flag", I, "camera, qx.ENABLED"),
    ("QxGetOSPProfileConfig", "profiles", "Get OSP profile config", (I, S), "camera"),
    ("QxLoadProfileConfig", "profiles", "Load profile config", I, "camera, 'profile.yaml'"),
    ("QxActivateProfileStreaming", "profiles", "Activate profile streaming", I, "camera"),
    ("QxActivateProfileImageProcessing", "profiles", "Activate profile image processing", I, "camera"),
    ("QxGetTimestamp", "profiles", "Get Timestamp", (I, F), "camera"),
    ("QxResetTimestamp", "profiles", "Reset Timestamp", I, "camera"),
    ("QxGetFrameCount", "profiles", "Get Frame Count", (I, I), "camera"),
    ("QxResetFrameCount", "profiles", "Reset Frame Count", I, "camera"),
    ("QxExportSensorConfig", "profiles", "Save sensor config to binary file", I, "camera, 's.bin'"),
    ("QxDecodeSensorConfig", "profiles", "Decode sensor binary file to json format", I, "'s.bin', 's.json'"),
    ("QxResetActiveRoutes", "routes", "Reset active routes from media entities", I, ""),
    ("QxLoadRouteYaml", "routes", "Load the routes from yaml file", "QxRoute?", "'routes.yaml'"),
    ("QxActivateYamlRoutes", "routes", "Activate the routes from yaml file", I, "route"),
    ("QxGetSensorWorkMode", "imu", "Get sensor work mode", (I, "QX_SENSOR_MODE"), "camera"),
    ("QxEnableIMUMode", "imu", "Enable IMU mode", I, "camera, qx.ISPU"),
    ("QxRebootIMUMode", "imu", "Reboot IMU mode", I, "camera, qx.ISPU"),
    ("QxGetIMUAccData", "imu", "Get IMU Accelerometer data", (I, "float32[]"), "camera, qx.NORMAL"),
    ("QxGetIMUGyrData", "imu", "Get IMU Gyroscope data", (I, "float32[]"), "camera, qx.NORMAL"),
    ("QxGetISPUData", "imu", "Get IMU ISPU data", (I, "QxImuIspu"), "camera"),
    ("QxGetIMUTemperature", "imu", "Get IMU Temperature data", (I, F), "camera"),
    ("QxGetIMUSensorTime", "imu", "Get IMU Sensor timestamp", (I, F), "camera"),
    ("QxFlashProductInfo", "calibration", "Flash product info from image file", I, "camera, 'info.bin'"),
    ("QxWriteIntrinsics", "calibration", "Write intrinsics calibration data to camera", I,
     "camera, qx.QxIntrinsics()"),
    ("QxGetIntrinsics", "calibration", "Get intrinsics calibration data from camera", (I, "QxIntrinsics"), "camera"),
]]

BY_NAME = {function.name: function for function in FUNCTIONS}
NAMES = list(BY_NAME)

# Every enumeration with its members in registration order and their values.
ENUMERATIONS = {
    "QX_LOG_LEVEL": [
        ("QX_LOG_LEVEL_TRACE", 0), ("QX_LOG_LEVEL_DEBUG", 1), ("QX_LOG_LEVEL_INFO", 2),
        ("QX_LOG_LEVEL_WARN", 3), ("QX_LOG_LEVEL_ERROR", 4), ("QX_LOG_LEVEL_CRITICAL", 5),
        ("QX_LOG_LEVEL_OFF", 6),
    ],
    "QX_CAMERA_PRODUCT_TYPE": [
        ("QXCAM_PRODUCT_TYPE_NONE_CAMERA", 0), ("QXCAM_PRODUCT_TYPE_GENERIC_CAMERA", 1),
        ("QXCAM_PRODUCT_TYPE_ZENA", 2), ("QXCAM_PRODUCT_TYPE_ZENI", 3),
        ("QXCAM_PRODUCT_TYPE_OV5640", 4), ("QXCAM_PRODUCT_TYPE_ZENM", 5),
    ],
    "QX_CAPTURE_RESULT": [
        ("QX_SUCCESS", 0), ("QX_TIMEOUT", -1), ("QX_CAM_OCCUPIED", -2),
        ("QX_BUFFER_CORRUPTED", -4), ("QX_OTHER_ERROR", -3),
    ],
    "QX_CAMERA_INTERFACE_TYPE": [
        ("INTERFACE_USB", 0), ("INTERFACE_MIPI_CSI2", 1), ("INTERFACE_ETHERNET", 2),
    ],
    "QX_USB_DEVICE_SPEED": [
        ("USB_DEVICE_SPEED_LOW", 0), ("USB_DEVICE_SPEED_FULL", 1), ("USB_DEVICE_SPEED_HIGH", 2),
        ("USB_DEVICE_SPEED_SUPER", 3), ("USB_DEVICE_SPEED_SUPER_PLUS", 4),
        ("USB_DEVICE_SPEED_UNKNOWN", 5),
    ],
    "QX_IMAGE_FORMAT": [
        ("QX_IMAGE_FORMAT_MJPG", 4), ("QX_IMAGE_FORMAT_UYVY", 2), ("QX_IMAGE_FORMAT_YUY2", 1),
        ("QX_IMAGE_FORMAT_NV12", 3), ("QX_IMAGE_FORMAT_BGRA", 5), ("QX_IMAGE_FORMAT_BGRX", 6),
        ("QX_IMAGE_FORMAT_BGR", 7), ("QX_IMAGE_FORMAT_RGB16", 8), ("QX_IMAGE_FORMAT_RGB", 9),
        ("QX_IMAGE_FORMAT_NONE", 0),
    ],
    "QX_UVC_IMAGE_PROPERTIES": [
        ("UVC_IMAGE_" + name, value) for value, name in enumerate(
            "BRIGHTNESS CONTRAST HUE SATURATION SHARPNESS GAMMA COLORENABLE WHITEBALANCE "
            "BACKLIGHT_COMPENSATION GAIN PAN TILT ROLL ZOOM EXPOSURE IRIS FOCUS PROP_MAX".split())
    ],
    "QX_ISP_IMAGE_PROPERTIES": [
        ("ISP_IMAGE_BRIGHTNESS", 0), ("ISP_IMAGE_CONTRAST", 1), ("ISP_IMAGE_SATURATION", 2),
        ("ISP_IMAGE_WHITEBALANCE_MODE", 3), ("ISP_IMAGE_WHITEBALANCE_TEMPERATURE", 4),
        ("ISP_IMAGE_EXPOSURE_MODE", 5), ("ISP_IMAGE_EXPOSURE_TIME", 6),
        ("ISP_IMAGE_EXPOSURE_MIN_TIME", 7), ("ISP_IMAGE_EXPOSURE_MAX_TIME", 8),
        ("ISP_IMAGE_EXPOSURE_GAIN", 9), ("ISP_IMAGE_GAMMA", 10), ("ISP_IMAGE_SHARPNESS", 11),
        ("ISP_IMAGE_BACKLIGHT_COMPENSATION", 12), ("ISP_IMAGE_SPECIAL_EFFECT_MODE", 13),
        ("ISP_IMAGE_DENOISE", 14), ("ISP_IMAGE_FLIP_MODE", 15), ("ISP_IMAGE_PAN", 16),
        ("ISP_IMAGE_TILT", 17), ("ISP_IMAGE_ZOOM", 18), ("ISP_IMAGE_FLICK_MODE", 19),
        ("ISP_IMAGE_JPEG_QUALITY", 20), ("ISP_IMAGE_PROP_MAX", 30), ("ISP_IMAGE_TRIGGER_MODE", 21),
        ("ISP_IMAGE_EHDR_MODE", 22), ("ISP_EHDR_EXPOSURE_MIN_NUMBER", 23),
        ("ISP_EHDR_EXPOSURE_MAX_NUMBER", 24), ("ISP_EHDR_RATIO_MIN", 25), ("ISP_EHDR_RATIO_MAX", 26),
        ("ISP_EHDR_ATM_WEIGHT", 27), ("ISP_EHDR_ATM_MAX", 28),
    ],
    "QX_OSP_PROFILE_FLAG": [("ENABLED", 1), ("ENABLED_AND_SAVE", 2), ("DISABLED", 0)],
    "QX_FX3_FW_TARGET": [
        ("FW_TARGET_NONE", 0), ("FW_TARGET_RAM", 1), ("FW_TARGET_I2C", 2), ("FW_TARGET_SPI", 3),
    ],
    "QX_SENSOR_MODE": [("STANDBY", 0), ("WORK", 1)],
    "QX_UPGRADE_RESULT": [
        ("QX_UPGRADE_SUCCESS", 0), ("QX_UPGRADE_OTHER_ERROR", -1),
        ("QX_UPGRADE_INVALID_FIRMWARE", -2), ("QX_UPGRADE_MCU_READ_FAIL", -3),
        ("QX_UPGRADE_MCU_MISMATCH", -4), ("QX_UPGRADE_BSL_SWITCH_FAIL", -5),
        ("QX_UPGRADE_INIT_FAIL", -6), ("QX_UPGRADE_ERASE_FAIL", -7),
        ("QX_UPGRADE_PROGRAM_FAIL", -8), ("QX_UPGRADE_VERIFY_FAIL", -9),
        ("QX_UPGRADE_RESET_FAIL", -10), ("QX_UPGRADE_START_APP_FAIL", -12),
    ],
    "QX_IMU_MODE": [("DISABLE", 0), ("ISPU", 1), ("SELF_TEST", 2)],
    "QX_IMU_SELF_TEST_MODE": [("NORMAL", 0), ("POSITIVE", 1), ("NEGATIVE", 2), ("NOT_ALLOWED", 3)],
    "QX_DISTORTION_MODEL": [("QX_DIST_NONE", 0), ("QX_DIST_MODEL_RADTAN", 1)],
}

# The module's registration sequence of types: enumerations (each followed by its exported
# members), records and QxStringList; the two handle types come with their families' functions.
TYPES = [
    "QxStringList", "QX_LOG_LEVEL", "QX_CAMERA_PRODUCT_TYPE", "QX_CAPTURE_RESULT",
    "QX_CAMERA_INTERFACE_TYPE", "QX_USB_DEVICE_SPEED", "QxFormat", "QX_IMAGE_FORMAT",
    "QxHeaderV2", "QxHeaderV3", "QX_UVC_IMAGE_PROPERTIES", "QX_ISP_IMAGE_PROPERTIES",
    "QX_OSP_PROFILE_FLAG", "QX_FX3_FW_TARGET", "QX_SENSOR_MODE", "QX_UPGRADE_RESULT",
    "QX_IMU_MODE", "QX_IMU_SELF_TEST_MODE", "QxImuIspu", "QX_DISTORTION_MODEL", "QxIntrinsics",
]


def sample_arguments(function, camera=None, fmt=None, route=None, progress=None, qx=None):
    """The arguments of the function's sample call, as a tuple."""
    names = {"camera": camera, "fmt": fmt, "route": route, "progress": progress, "qx": qx}
    return tuple(eval(f"[{function.sample}]", {"__builtins__": {}}, names))


def sample_names(function):
    """The placeholder names the function's sample call uses (camera, fmt, route, progress, qx)."""
    return {node.id for node in ast.walk(ast.parse(f"[{function.sample}]")) if isinstance(node, ast.Name)}
