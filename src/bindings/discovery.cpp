// Library greeting and logging; discovery, lifecycle and device information.
#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {

void register_library_functions(py::module_& m) {
    m.def("HelloQuorvexSDK", released<&HelloQuorvexSDK>, "A function that prints Hello QuorvexSDK and version");
    m.def("QxSetLogFile", released<&QxSetLogFile>, "Set log file path");
    m.def("QxSetLogLevel", released<&QxSetLogLevel>, "Set log level");
}

void register_discovery_functions(py::module_& m) {
    m.def(
        "QxDiscoverCameraDevices",
        [] { return call_with_outs<std::vector<std::string>>(QxDiscoverCameraDevices); },
        "Discover available camera devices");
    m.def("QxInitialCameraDevice", released<&QxInitialCameraDevice>, "Initialize camera device by index");
    m.def("QxOpen", released<&QxOpen>, "Open camera device");
    m.def("QxClose", released<&QxClose>, "Close camera device");
    m.def("QxIsQuorvexCamera", released<&QxIsQuorvexCamera>, "Check if camera is Quorvex camera");
    m.def(
        "QxGetDeviceName",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetDeviceName, std::move(camera)); },
        "Get camera device name");
    m.def(
        "QxGetDevicePath",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetDevicePath, std::move(camera)); },
        "Get camera device path");
    m.def(
        "QxGetDeviceInterfaceType",
        [](CameraPtr camera) {
            return call_with_outs<QX_CAMERA_INTERFACE_TYPE>(QxGetDeviceInterfaceType, std::move(camera));
        },
        "Get camera device interface type");
    m.def(
        "QxGetDeviceProductType",
        [](CameraPtr camera) {
            return call_with_outs<QX_CAMERA_PRODUCT_TYPE>(QxGetDeviceProductType, std::move(camera));
        },
        "Get camera device product type");
    m.def(
        "QxGetHardwareID",
        [](CameraPtr camera) { return call_with_outs<std::string>(QxGetHardwareID, std::move(camera)); },
        "Get camera hardware ID");
    m.def(
        "QxGetUSBDeviceSpeed",
        [](CameraPtr camera) { return call_with_outs<QX_USB_DEVICE_SPEED>(QxGetUSBDeviceSpeed, std::move(camera)); },
        "Get USB device speed");
}

}  // namespace pyqx
