// OSP profiles, timestamp and frame counters, sensor configuration files.
#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {

void register_profile_functions(py::module_& m) {
    m.def(
        "QxGetOSPProfileFlag",
        [](CameraPtr camera) { return call_with_outs<QX_OSP_PROFILE_FLAG>(QxGetOSPProfileFlag, std::move(camera)); },
        "Get OSP profile flag");
    m.def("QxSetOSPProfileFlag", released<&QxSetOSPProfileFlag>, "Set OSP profile flag");
    m.def(
        "QxGetOSPProfileConfig",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetOSPProfileConfig, std::move(camera)); },
        "Get OSP profile config");
    m.def("QxLoadProfileConfig", released<&QxLoadProfileConfig>, "Load profile config");
    m.def("QxActivateProfileStreaming", released<&QxActivateProfileStreaming>, "Activate profile streaming");
    m.def("QxActivateProfileImageProcessing", released<&QxActivateProfileImageProcessing>, "Activate profile image processing");
    m.def(
        "QxGetTimestamp",
        [](CameraPtr camera) { return call_with_outs<float>(QxGetTimestamp, std::move(camera)); },
        "Get Timestamp");
    m.def("QxResetTimestamp", released<&QxResetTimestamp>, "Reset Timestamp");
    m.def(
        "QxGetFrameCount",
        [](CameraPtr camera) { return call_with_outs<unsigned char>(QxGetFrameCount, std::move(camera)); },
        "Get Frame Count");
    m.def("QxResetFrameCount", released<&QxResetFrameCount>, "Reset Frame Count");
    m.def("QxExportSensorConfig", released<&QxExportSensorConfig>, "Save sensor config to binary file");
    m.def("QxDecodeSensorConfig", released<&QxDecodeSensorConfig>, "Decode sensor binary file to json format");
}

}  // namespace pyqx
