// Module entry: the registration sequence, top to bottom. Every function is registered after
// the types it names, so that its signature shows their Python names.
#include <pybind11/pybind11.h>

#include "module/registration.h"
#include "module/release.h"

using namespace pyqx;

PYBIND11_MODULE(pyQuorvexSDK, m) {
    // First: a QX_RELEASE_GIL that names no mode fails the import before anything is registered.
    init_release_mode(m);
    register_QxStringList(m);
    register_QX_LOG_LEVEL(m);
    register_QX_CAMERA_PRODUCT_TYPE(m);
    register_QX_CAPTURE_RESULT(m);
    register_QX_CAMERA_INTERFACE_TYPE(m);
    register_QX_USB_DEVICE_SPEED(m);
    // QxFormat comes before the enumeration of its own `format` field, so that field's
    // accessors name the enumeration by its C++ type rather than its Python name.
    register_QxFormat(m);
    register_QX_IMAGE_FORMAT(m);
    register_QxHeaderV2(m);
    register_QxHeaderV3(m);
    register_QX_UVC_IMAGE_PROPERTIES(m);
    register_QX_ISP_IMAGE_PROPERTIES(m);
    register_QX_OSP_PROFILE_FLAG(m);
    register_QX_FX3_FW_TARGET(m);
    register_QX_SENSOR_MODE(m);
    register_QX_UPGRADE_RESULT(m);
    register_QX_IMU_MODE(m);
    register_QX_IMU_SELF_TEST_MODE(m);
    register_QxImuIspu(m);
    register_QX_DISTORTION_MODEL(m);
    register_QxIntrinsics(m);

    m.doc() = "Python bindings for QuorvexSDK";

    register_library_functions(m);
    register_QxCamera(m);
    register_discovery_functions(m);
    register_format_functions(m);
    // The firmware family is split around register access: version getters first.
    register_firmware_version_functions(m);
    register_register_functions(m);
    register_firmware_functions(m);
    register_control_functions(m);
    register_profile_functions(m);
    register_QxRoute(m);
    register_route_functions(m);
    register_imu_functions(m);
    register_calibration_functions(m);
}
