// The library's enumerations as classic pybind11 enumerations: members in the library's
// documented order (not always value order), each type's members exported into the module
// right after the type. Not arithmetic: comparisons are strict and no operators exist.
#include "module/convert.h"
#include "module/pickling.h"
#include "module/registration.h"

namespace pyqx {

void register_QX_LOG_LEVEL(py::module_& m) {
    using E = QX_LOG_LEVEL;
    py::enum_<E> type(m, "QX_LOG_LEVEL");
    type
        .value("QX_LOG_LEVEL_TRACE", E::QX_LOG_LEVEL_TRACE)
        .value("QX_LOG_LEVEL_DEBUG", E::QX_LOG_LEVEL_DEBUG)
        .value("QX_LOG_LEVEL_INFO", E::QX_LOG_LEVEL_INFO)
        .value("QX_LOG_LEVEL_WARN", E::QX_LOG_LEVEL_WARN)
        .value("QX_LOG_LEVEL_ERROR", E::QX_LOG_LEVEL_ERROR)
        .value("QX_LOG_LEVEL_CRITICAL", E::QX_LOG_LEVEL_CRITICAL)
        .value("QX_LOG_LEVEL_OFF", E::QX_LOG_LEVEL_OFF)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_CAMERA_PRODUCT_TYPE(py::module_& m) {
    using E = QX_CAMERA_PRODUCT_TYPE;
    py::enum_<E> type(m, "QX_CAMERA_PRODUCT_TYPE");
    type
        .value("QXCAM_PRODUCT_TYPE_NONE_CAMERA", E::QXCAM_PRODUCT_TYPE_NONE_CAMERA)
        .value("QXCAM_PRODUCT_TYPE_GENERIC_CAMERA", E::QXCAM_PRODUCT_TYPE_GENERIC_CAMERA)
        .value("QXCAM_PRODUCT_TYPE_ZENA", E::QXCAM_PRODUCT_TYPE_ZENA)
        .value("QXCAM_PRODUCT_TYPE_ZENI", E::QXCAM_PRODUCT_TYPE_ZENI)
        .value("QXCAM_PRODUCT_TYPE_OV5640", E::QXCAM_PRODUCT_TYPE_OV5640)
        .value("QXCAM_PRODUCT_TYPE_ZENM", E::QXCAM_PRODUCT_TYPE_ZENM)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_CAPTURE_RESULT(py::module_& m) {
    using E = QX_CAPTURE_RESULT;
    py::enum_<E> type(m, "QX_CAPTURE_RESULT");
    type
        .value("QX_SUCCESS", E::QX_SUCCESS)
        .value("QX_TIMEOUT", E::QX_TIMEOUT)
        .value("QX_CAM_OCCUPIED", E::QX_CAM_OCCUPIED)
        .value("QX_BUFFER_CORRUPTED", E::QX_BUFFER_CORRUPTED)
        .value("QX_OTHER_ERROR", E::QX_OTHER_ERROR)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_CAMERA_INTERFACE_TYPE(py::module_& m) {
    using E = QX_CAMERA_INTERFACE_TYPE;
    py::enum_<E> type(m, "QX_CAMERA_INTERFACE_TYPE");
    type
        .value("INTERFACE_USB", E::INTERFACE_USB)
        .value("INTERFACE_MIPI_CSI2", E::INTERFACE_MIPI_CSI2)
        .value("INTERFACE_ETHERNET", E::INTERFACE_ETHERNET)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_USB_DEVICE_SPEED(py::module_& m) {
    using E = QX_USB_DEVICE_SPEED;
    py::enum_<E> type(m, "QX_USB_DEVICE_SPEED");
    type
        .value("USB_DEVICE_SPEED_LOW", E::USB_DEVICE_SPEED_LOW)
        .value("USB_DEVICE_SPEED_FULL", E::USB_DEVICE_SPEED_FULL)
        .value("USB_DEVICE_SPEED_HIGH", E::USB_DEVICE_SPEED_HIGH)
        .value("USB_DEVICE_SPEED_SUPER", E::USB_DEVICE_SPEED_SUPER)
        .value("USB_DEVICE_SPEED_SUPER_PLUS", E::USB_DEVICE_SPEED_SUPER_PLUS)
        .value("USB_DEVICE_SPEED_UNKNOWN", E::USB_DEVICE_SPEED_UNKNOWN)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_IMAGE_FORMAT(py::module_& m) {
    using E = QX_IMAGE_FORMAT;
    py::enum_<E> type(m, "QX_IMAGE_FORMAT");
    type
        .value("QX_IMAGE_FORMAT_MJPG", E::QX_IMAGE_FORMAT_MJPG)
        .value("QX_IMAGE_FORMAT_UYVY", E::QX_IMAGE_FORMAT_UYVY)
        .value("QX_IMAGE_FORMAT_YUY2", E::QX_IMAGE_FORMAT_YUY2)
        .value("QX_IMAGE_FORMAT_NV12", E::QX_IMAGE_FORMAT_NV12)
        .value("QX_IMAGE_FORMAT_BGRA", E::QX_IMAGE_FORMAT_BGRA)
        .value("QX_IMAGE_FORMAT_BGRX", E::QX_IMAGE_FORMAT_BGRX)
        .value("QX_IMAGE_FORMAT_BGR", E::QX_IMAGE_FORMAT_BGR)
        .value("QX_IMAGE_FORMAT_RGB16", E::QX_IMAGE_FORMAT_RGB16)
        .value("QX_IMAGE_FORMAT_RGB", E::QX_IMAGE_FORMAT_RGB)
        .value("QX_IMAGE_FORMAT_NONE", E::QX_IMAGE_FORMAT_NONE)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_UVC_IMAGE_PROPERTIES(py::module_& m) {
    using E = QX_UVC_IMAGE_PROPERTIES;
    py::enum_<E> type(m, "QX_UVC_IMAGE_PROPERTIES");
    type
        .value("UVC_IMAGE_BRIGHTNESS", E::UVC_IMAGE_BRIGHTNESS)
        .value("UVC_IMAGE_CONTRAST", E::UVC_IMAGE_CONTRAST)
        .value("UVC_IMAGE_HUE", E::UVC_IMAGE_HUE)
        .value("UVC_IMAGE_SATURATION", E::UVC_IMAGE_SATURATION)
        .value("UVC_IMAGE_SHARPNESS", E::UVC_IMAGE_SHARPNESS)
        .value("UVC_IMAGE_GAMMA", E::UVC_IMAGE_GAMMA)
        .value("UVC_IMAGE_COLORENABLE", E::UVC_IMAGE_COLORENABLE)
        .value("UVC_IMAGE_WHITEBALANCE", E::UVC_IMAGE_WHITEBALANCE)
        .value("UVC_IMAGE_BACKLIGHT_COMPENSATION", E::UVC_IMAGE_BACKLIGHT_COMPENSATION)
        .value("UVC_IMAGE_GAIN", E::UVC_IMAGE_GAIN)
        .value("UVC_IMAGE_PAN", E::UVC_IMAGE_PAN)
        .value("UVC_IMAGE_TILT", E::UVC_IMAGE_TILT)
        .value("UVC_IMAGE_ROLL", E::UVC_IMAGE_ROLL)
        .value("UVC_IMAGE_ZOOM", E::UVC_IMAGE_ZOOM)
        .value("UVC_IMAGE_EXPOSURE", E::UVC_IMAGE_EXPOSURE)
        .value("UVC_IMAGE_IRIS", E::UVC_IMAGE_IRIS)
        .value("UVC_IMAGE_FOCUS", E::UVC_IMAGE_FOCUS)
        .value("UVC_IMAGE_PROP_MAX", E::UVC_IMAGE_PROP_MAX)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_ISP_IMAGE_PROPERTIES(py::module_& m) {
    using E = QX_ISP_IMAGE_PROPERTIES;
    py::enum_<E> type(m, "QX_ISP_IMAGE_PROPERTIES");
    type
        .value("ISP_IMAGE_BRIGHTNESS", E::ISP_IMAGE_BRIGHTNESS)
        .value("ISP_IMAGE_CONTRAST", E::ISP_IMAGE_CONTRAST)
        .value("ISP_IMAGE_SATURATION", E::ISP_IMAGE_SATURATION)
        .value("ISP_IMAGE_WHITEBALANCE_MODE", E::ISP_IMAGE_WHITEBALANCE_MODE)
        .value("ISP_IMAGE_WHITEBALANCE_TEMPERATURE", E::ISP_IMAGE_WHITEBALANCE_TEMPERATURE)
        .value("ISP_IMAGE_EXPOSURE_MODE", E::ISP_IMAGE_EXPOSURE_MODE)
        .value("ISP_IMAGE_EXPOSURE_TIME", E::ISP_IMAGE_EXPOSURE_TIME)
        .value("ISP_IMAGE_EXPOSURE_MIN_TIME", E::ISP_IMAGE_EXPOSURE_MIN_TIME)
        .value("ISP_IMAGE_EXPOSURE_MAX_TIME", E::ISP_IMAGE_EXPOSURE_MAX_TIME)
        .value("ISP_IMAGE_EXPOSURE_GAIN", E::ISP_IMAGE_EXPOSURE_GAIN)
        .value("ISP_IMAGE_GAMMA", E::ISP_IMAGE_GAMMA)
        .value("ISP_IMAGE_SHARPNESS", E::ISP_IMAGE_SHARPNESS)
        .value("ISP_IMAGE_BACKLIGHT_COMPENSATION", E::ISP_IMAGE_BACKLIGHT_COMPENSATION)
        .value("ISP_IMAGE_SPECIAL_EFFECT_MODE", E::ISP_IMAGE_SPECIAL_EFFECT_MODE)
        .value("ISP_IMAGE_DENOISE", E::ISP_IMAGE_DENOISE)
        .value("ISP_IMAGE_FLIP_MODE", E::ISP_IMAGE_FLIP_MODE)
        .value("ISP_IMAGE_PAN", E::ISP_IMAGE_PAN)
        .value("ISP_IMAGE_TILT", E::ISP_IMAGE_TILT)
        .value("ISP_IMAGE_ZOOM", E::ISP_IMAGE_ZOOM)
        .value("ISP_IMAGE_FLICK_MODE", E::ISP_IMAGE_FLICK_MODE)
        .value("ISP_IMAGE_JPEG_QUALITY", E::ISP_IMAGE_JPEG_QUALITY)
        .value("ISP_IMAGE_PROP_MAX", E::ISP_IMAGE_PROP_MAX)
        .value("ISP_IMAGE_TRIGGER_MODE", E::ISP_IMAGE_TRIGGER_MODE)
        .value("ISP_IMAGE_EHDR_MODE", E::ISP_IMAGE_EHDR_MODE)
        .value("ISP_EHDR_EXPOSURE_MIN_NUMBER", E::ISP_EHDR_EXPOSURE_MIN_NUMBER)
        .value("ISP_EHDR_EXPOSURE_MAX_NUMBER", E::ISP_EHDR_EXPOSURE_MAX_NUMBER)
        .value("ISP_EHDR_RATIO_MIN", E::ISP_EHDR_RATIO_MIN)
        .value("ISP_EHDR_RATIO_MAX", E::ISP_EHDR_RATIO_MAX)
        .value("ISP_EHDR_ATM_WEIGHT", E::ISP_EHDR_ATM_WEIGHT)
        .value("ISP_EHDR_ATM_MAX", E::ISP_EHDR_ATM_MAX)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_OSP_PROFILE_FLAG(py::module_& m) {
    using E = QX_OSP_PROFILE_FLAG;
    py::enum_<E> type(m, "QX_OSP_PROFILE_FLAG", "QX_OSP_PROFILE_FLAG enum for OSP profile flag");
    type
        .value("ENABLED", E::ENABLED)
        .value("ENABLED_AND_SAVE", E::ENABLED_AND_SAVE)
        .value("DISABLED", E::DISABLED)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_FX3_FW_TARGET(py::module_& m) {
    using E = QX_FX3_FW_TARGET;
    py::enum_<E> type(m, "QX_FX3_FW_TARGET");
    type
        .value("FW_TARGET_NONE", E::FW_TARGET_NONE)
        .value("FW_TARGET_RAM", E::FW_TARGET_RAM)
        .value("FW_TARGET_I2C", E::FW_TARGET_I2C)
        .value("FW_TARGET_SPI", E::FW_TARGET_SPI)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_SENSOR_MODE(py::module_& m) {
    using E = QX_SENSOR_MODE;
    py::enum_<E> type(m, "QX_SENSOR_MODE", "QX_SENSOR_MODE enum for sensor mode");
    type
        .value("STANDBY", E::STANDBY)
        .value("WORK", E::WORK)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_UPGRADE_RESULT(py::module_& m) {
    using E = QX_UPGRADE_RESULT;
    py::enum_<E> type(m, "QX_UPGRADE_RESULT");
    type
        .value("QX_UPGRADE_SUCCESS", E::QX_UPGRADE_SUCCESS)
        .value("QX_UPGRADE_OTHER_ERROR", E::QX_UPGRADE_OTHER_ERROR)
        .value("QX_UPGRADE_INVALID_FIRMWARE", E::QX_UPGRADE_INVALID_FIRMWARE)
        .value("QX_UPGRADE_MCU_READ_FAIL", E::QX_UPGRADE_MCU_READ_FAIL)
        .value("QX_UPGRADE_MCU_MISMATCH", E::QX_UPGRADE_MCU_MISMATCH)
        .value("QX_UPGRADE_BSL_SWITCH_FAIL", E::QX_UPGRADE_BSL_SWITCH_FAIL)
        .value("QX_UPGRADE_INIT_FAIL", E::QX_UPGRADE_INIT_FAIL)
        .value("QX_UPGRADE_ERASE_FAIL", E::QX_UPGRADE_ERASE_FAIL)
        .value("QX_UPGRADE_PROGRAM_FAIL", E::QX_UPGRADE_PROGRAM_FAIL)
        .value("QX_UPGRADE_VERIFY_FAIL", E::QX_UPGRADE_VERIFY_FAIL)
        .value("QX_UPGRADE_RESET_FAIL", E::QX_UPGRADE_RESET_FAIL)
        .value("QX_UPGRADE_START_APP_FAIL", E::QX_UPGRADE_START_APP_FAIL)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_IMU_MODE(py::module_& m) {
    using E = QX_IMU_MODE;
    py::enum_<E> type(m, "QX_IMU_MODE");
    type
        .value("DISABLE", E::DISABLE)
        .value("ISPU", E::ISPU)
        .value("SELF_TEST", E::SELF_TEST)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_IMU_SELF_TEST_MODE(py::module_& m) {
    using E = QX_IMU_SELF_TEST_MODE;
    py::enum_<E> type(m, "QX_IMU_SELF_TEST_MODE");
    type
        .value("NORMAL", E::NORMAL)
        .value("POSITIVE", E::POSITIVE)
        .value("NEGATIVE", E::NEGATIVE)
        .value("NOT_ALLOWED", E::NOT_ALLOWED)
        .export_values();
    allow_value_pickling(type);
}

void register_QX_DISTORTION_MODEL(py::module_& m) {
    using E = QX_DISTORTION_MODEL;
    py::enum_<E> type(m, "QX_DISTORTION_MODEL");
    type
        .value("QX_DIST_NONE", E::QX_DIST_NONE)
        .value("QX_DIST_MODEL_RADTAN", E::QX_DIST_MODEL_RADTAN)
        .export_values();
    allow_value_pickling(type);
}

}  // namespace pyqx
