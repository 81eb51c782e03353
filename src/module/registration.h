// The registration functions that the module entry calls, one per type or family slice.
#pragma once

#include <pybind11/pybind11.h>

namespace pyqx {

// Handle types (src/module/handles.cpp)
void register_QxStringList(pybind11::module_& m);
void register_QxCamera(pybind11::module_& m);
void register_QxRoute(pybind11::module_& m);

// Records (src/types/records.cpp)
void register_QxFormat(pybind11::module_& m);
void register_QxHeaderV2(pybind11::module_& m);
void register_QxHeaderV3(pybind11::module_& m);
void register_QxImuIspu(pybind11::module_& m);
void register_QxIntrinsics(pybind11::module_& m);

// Enumerations (src/types/enumerations.cpp)
void register_QX_LOG_LEVEL(pybind11::module_& m);
void register_QX_CAMERA_PRODUCT_TYPE(pybind11::module_& m);
void register_QX_CAPTURE_RESULT(pybind11::module_& m);
void register_QX_CAMERA_INTERFACE_TYPE(pybind11::module_& m);
void register_QX_USB_DEVICE_SPEED(pybind11::module_& m);
void register_QX_IMAGE_FORMAT(pybind11::module_& m);
void register_QX_UVC_IMAGE_PROPERTIES(pybind11::module_& m);
void register_QX_ISP_IMAGE_PROPERTIES(pybind11::module_& m);
void register_QX_OSP_PROFILE_FLAG(pybind11::module_& m);
void register_QX_FX3_FW_TARGET(pybind11::module_& m);
void register_QX_SENSOR_MODE(pybind11::module_& m);
void register_QX_UPGRADE_RESULT(pybind11::module_& m);
void register_QX_IMU_MODE(pybind11::module_& m);
void register_QX_IMU_SELF_TEST_MODE(pybind11::module_& m);
void register_QX_DISTORTION_MODEL(pybind11::module_& m);

// Library functions by family (src/bindings/)
void register_library_functions(pybind11::module_& m);    // greeting and logging
void register_discovery_functions(pybind11::module_& m);  // discovery, lifecycle, device information
void register_format_functions(pybind11::module_& m);     // formats, streaming and frame capture
void register_firmware_version_functions(pybind11::module_& m);  // UVC reset, firmware versions
void register_register_functions(pybind11::module_& m);   // generic I2C, AP1302 and sensor registers
void register_firmware_functions(pybind11::module_& m);   // unique ID, upgrades, boot-data headers
void register_control_functions(pybind11::module_& m);    // UVC and ISP image-processing controls
void register_profile_functions(pybind11::module_& m);    // OSP profiles, counters, sensor configuration
void register_route_functions(pybind11::module_& m);      // media routes
void register_imu_functions(pybind11::module_& m);        // IMU modes and samples
void register_calibration_functions(pybind11::module_& m);  // intrinsics and product information

}  // namespace pyqx
