// Firmware versions and upgrades, UVC reset, USB program mode and boot-data headers.
#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {
namespace {

// The header getters hand the library a zeroed record it may fill, replace or release; Python
// receives whatever the pointer owns afterwards (None when it is empty).
template <typename Header>
std::tuple<int, std::unique_ptr<Header>> header_from_camera(int (*get)(CameraPtr, std::unique_ptr<Header>&),
                                                            CameraPtr camera) {
    auto header = std::make_unique<Header>();
    const void* device = camera.get();
    const int status = call_library(device, [&] { return get(std::move(camera), header); });
    return {status, std::move(header)};
}

// The from-file getters take the file from the caller and give its path back beside the
// header.
template <typename Header>
std::tuple<int, std::string, std::unique_ptr<Header>> header_from_file(
    int (*get)(std::string, std::unique_ptr<Header>&), std::string path) {
    auto header = std::make_unique<Header>();
    const int status = call_library(nullptr, [&] { return get(path, header); });
    return {status, std::move(path), std::move(header)};
}

}  // namespace

void register_firmware_version_functions(py::module_& m) {
    m.def("QxResetUVC", released<&QxResetUVC>, "UVC reset");
    m.def(
        "QxGetUSBFirmwareVersion",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetUSBFirmwareVersion, std::move(camera)); },
        "Get USB firmware version");
    m.def(
        "QxGetZENAFirmwareVersion",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetZENAFirmwareVersion, std::move(camera)); },
        "Get ZENA firmware version");
    m.def(
        "QxGetSensorFirmwareVersion",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetSensorFirmwareVersion, std::move(camera)); },
        "Get Sensor firmware version");
}

void register_firmware_functions(py::module_& m) {
    m.def(
        "QxGetSensorUniqueID",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetSensorUniqueID, std::move(camera)); },
        "Get sensor unique ID");
    m.def("QxGetHeaderVersion", released<&QxGetHeaderVersion>, "Get header version");
    m.def("QxGotoUSBProgramMode", released<&QxGotoUSBProgramMode>, "Go to USB program mode");
    // The upgrades run with the interpreter lock released in every mode: the progress callable
    // takes the lock back for each report, so reports work from whichever thread the library
    // makes them on (waiting on the caller's lock would deadlock a library that reports from a
    // thread of its own), and other Python threads run during an upgrade.
    m.def(
        "QxUpgradeFX3FW",
        [](QX_FX3_FW_TARGET target, std::string path, const Progress& progress) {
            return call_library_released(nullptr, [&] { return QxUpgradeFX3FW(target, std::move(path), progress.bind()); });
        },
        "Upgrade FX3 firmware");
    m.def(
        "QxUpgradeSensorFW",
        [](CameraPtr camera, std::string path, const Progress& progress) {
            const void* device = camera.get();
            return call_library_released(
                device, [&] { return QxUpgradeSensorFW(std::move(camera), std::move(path), progress.bind()); });
        },
        "Upgrade sensor firmware");
    m.def(
        "QxGetBootdataHeaderV2",
        [](CameraPtr camera) { return header_from_camera(QxGetBootdataHeaderV2, std::move(camera)); },
        "Get bootdata header v2");
    m.def(
        "QxGetBootdataHeaderV3",
        [](CameraPtr camera) { return header_from_camera(QxGetBootdataHeaderV3, std::move(camera)); },
        "Get bootdata header v3");
    m.def(
        "QxGetBootdataHeaderV2FromFile",
        [](std::string path) { return header_from_file(QxGetBootdataHeaderV2FromFile, std::move(path)); },
        "Get bootdata header v2 from file");
    m.def(
        "QxGetBootdataHeaderV3FromFile",
        [](std::string path) { return header_from_file(QxGetBootdataHeaderV3FromFile, std::move(path)); },
        "Get bootdata header v3 from file");
}

}  // namespace pyqx
