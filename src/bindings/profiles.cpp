// OSP profiles, timestamp and frame counters, sensor configuration files.
#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {

void register_profile_functions(py::module_& m) {
    m.def(
        "QxGetOSPProfileFlag",
        [](CameraPtr camera) { return call_with_outs<QX_OSP_PROFILE_FLAG>(QxGetOSPProfileFlag, std::move(camera)); },
        "Get OSP profile flag");
    m.def("QxSetOSPProfileFlag", &QxSetOSPProfileFlag, "Set OSP profile flag");
    m.def(
        "QxGetOSPProfileConfig",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetOSPProfileConfig, std::move(camera)); },
        "Get OSP profile config");
    m.def("QxLoadProfileConfig", &QxLoadProfileConfig, "Load profile config");
    m.def("QxActivateProfileStreaming", &QxActivateProfileStreaming, "Activate profile streaming");
    m.def("QxActivateProfileImageProcessing", &QxActivateProfileImageProcessing, "Activate profile image processing");
    m.def(
        "QxGetTimestamp",
        [](CameraPtr camera) { return call_with_outs<float>(QxGetTimestamp, std::move(camera)); },
        "Get Timestamp");
    m.def("QxResetTimestamp", &QxResetTimestamp, "Reset Timestamp");
    m.def(
        "QxGetFrameCount",
        [](CameraPtr camera) { return call_with_outs<unsigned char>(QxGetFrameCount, std::move(camera)); },
        "Get Frame Count");
    m.def("QxResetFrameCount", &QxResetFrameCount, "Reset Frame Count");
    m.def("QxExportSensorConfig", &QxExportSensorConfig, "Save sensor config to binary file");
    m.def("QxDecodeSensorConfig", &QxDecodeSensorConfig, "Decode sensor binary file to json format");
}

}  // namespace pyqx
