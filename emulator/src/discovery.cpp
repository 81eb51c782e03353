// Library, discovery, lifecycle and device information of the emulated QuorvexSDK.
//
// Every call is journalled with its arguments. A queued script replaces the behaviour below:
// the call returns the scripted result and writes only the scripted out-values.
//
// HelloQuorvexSDK          prints "Hello QuorvexSDK <kLibraryVersion> (emulated)" and a newline.
// QxSetLogFile(path)       logs to the file from now on, appending, flushed after every message;
//                          QXE_IO_ERROR when it cannot be opened or its folder does not exist
//                          (no folder is created), QXE_INVALID_ARGUMENT for a path holding a NUL
//                          byte; the old destination stays on failure.
// QxSetLogLevel(level)     TRACE..OFF map one to one onto the logger's levels; an unknown
//                          value is ignored with a warning. Default: stderr, level WARN.
// QxDiscoverCameraDevices  appends the name of every configured camera; returns 0 (also when
//                          there are no cameras).
// QxInitialCameraDevice(i) the library's own handle of camera i: the same object on every call
//                          until the configuration is replaced; empty when i is out of range.
// QxOpen / QxClose         QXE_INVALID_HANDLE for an empty handle, QXE_NO_DEVICE for a camera
//                          whose configuration was replaced, QXE_ALREADY_OPEN / QXE_NOT_OPEN,
//                          QxOpen: QXE_BUSY while another camera with the same path is open;
//                          QxClose: QXE_BUSY while the device is being upgraded; else 0. QxOpen
//                          selects the first format of the list, QxClose stops streaming first.
// QxIsQuorvexCamera        1 for the products zena, zeni, ov5640 and zenm; 0 for generic and
//                          none, an empty handle or a replaced camera. The camera may be closed.
// QxGetDeviceName, QxGetDevicePath, QxGetDeviceInterfaceType, QxGetDeviceProductType,
// QxGetHardwareID, QxGetUSBDeviceSpeed
//                          QXE_INVALID_HANDLE, QXE_NO_DEVICE or QXE_NOT_OPEN (in that order of
//                          checks) with the out-value untouched; else the configured value and 0.
#include <cstdio>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "device.h"
#include "log.h"
#include "script.h"

using namespace qx_emulator;

namespace {

constexpr const char* kLibraryVersion = "2.4.0";

template <class T, class Read>
int device_info(const char* function, const std::shared_ptr<QxCamera>& camera, const char* outName, T& out,
                Read read) {
    return read_value(function, camera, outName, out, [&](const QxCamera::Impl& c) -> int {
        out = read(c.config);
        return QXE_OK;
    });
}

bool is_quorvex_product(QX_CAMERA_PRODUCT_TYPE product) {
    switch (product) {
    case QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENA:
    case QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENI:
    case QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_OV5640:
    case QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENM:
        return true;
    default:
        return false;
    }
}

}  // namespace

void HelloQuorvexSDK() {
    Call call(__func__, {});
    if (auto* s = call.scripted()) return s->result<void>();
    std::printf("Hello QuorvexSDK %s (emulated)\n", kLibraryVersion);
    std::fflush(stdout);
}

int QxSetLogFile(const std::string& path) {
    Call call(__func__, {{"path", as_value(path)}});
    if (auto* s = call.scripted()) return s->result<int>();
    if (path.find('\0') != std::string::npos) {
        // The file would be opened under the shorter name before the NUL.
        logger().error("QxSetLogFile: the path contains a NUL byte");
        return QXE_INVALID_ARGUMENT;
    }
    return log_to_file(path) ? QXE_OK : QXE_IO_ERROR;
}

void QxSetLogLevel(QX_LOG_LEVEL level) {
    Call call(__func__, {{"level", as_value(level)}});
    if (auto* s = call.scripted()) return s->result<void>();
    set_log_level(level);
}

int QxDiscoverCameraDevices(std::vector<std::string>& devices) {
    Call call(__func__, {});
    if (auto* s = call.scripted()) {
        s->write("devices", devices);
        return s->result<int>();
    }
    for (const auto& camera : cameras()) devices.push_back(camera->impl().config.name);
    return QXE_OK;
}

std::shared_ptr<QxCamera> QxInitialCameraDevice(int index) {
    Call call(__func__, {{"index", as_value(index)}});
    if (auto* s = call.scripted()) return s->result<std::shared_ptr<QxCamera>>();
    auto camera = camera_at(index);
    if (!camera) logger().warn("{}: no camera at index {}", __func__, index);
    return camera;
}

int QxOpen(std::shared_ptr<QxCamera> camera) {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::present, [](QxCamera::Impl& c) -> int {
        if (c.open) {
            logger().warn("QxOpen: camera {} is open already", c.index);
            return QXE_ALREADY_OPEN;
        }
        if (device_open_elsewhere(c)) {
            logger().warn("QxOpen: camera {}: device {} is open through another handle", c.index, c.config.path);
            return QXE_BUSY;
        }
        c.open = true;
        c.port->openHandle = &c;
        c.selected = 0;
        c.timestampOrigin = Clock::now();
        c.frameCount = 0;
        logger().info("QxOpen: camera {} '{}' at {} opened", c.index, c.config.name, c.config.path);
        return QXE_OK;
    });
}

int QxClose(std::shared_ptr<QxCamera> camera) {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [](QxCamera::Impl& c) -> int {
        if (c.device->upgrading) {
            // The upgrade owns the connection until it ends; closing now would cut it.
            logger().warn("QxClose: camera {} is being upgraded", c.index);
            return QXE_BUSY;
        }
        if (c.stream) logger().info("QxClose: camera {} stops streaming", c.index);
        c.stream.reset();
        c.open = false;
        c.port->openHandle = nullptr;
        logger().info("QxClose: camera {} '{}' closed", c.index, c.config.name);
        return QXE_OK;
    });
}

int QxIsQuorvexCamera(std::shared_ptr<QxCamera> camera) {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const int answer = with_camera(__func__, camera, Need::present, [](const QxCamera::Impl& c) -> int {
        return is_quorvex_product(c.config.productType) ? 1 : 0;
    });
    return answer == 1 ? 1 : 0;  // a failure status also answers "no"
}

int QxGetDeviceName(std::shared_ptr<QxCamera> camera, std::string& name) {
    return device_info(__func__, camera, "name", name, [](const CameraConfig& c) { return c.name; });
}

int QxGetDevicePath(std::shared_ptr<QxCamera> camera, std::string& path) {
    return device_info(__func__, camera, "path", path, [](const CameraConfig& c) { return c.path; });
}

int QxGetDeviceInterfaceType(std::shared_ptr<QxCamera> camera, QX_CAMERA_INTERFACE_TYPE& type) {
    return device_info(__func__, camera, "type", type, [](const CameraConfig& c) { return c.interfaceType; });
}

int QxGetDeviceProductType(std::shared_ptr<QxCamera> camera, QX_CAMERA_PRODUCT_TYPE& type) {
    return device_info(__func__, camera, "type", type, [](const CameraConfig& c) { return c.productType; });
}

int QxGetHardwareID(std::shared_ptr<QxCamera> camera, std::string& hardwareId) {
    return device_info(__func__, camera, "hardwareId", hardwareId,
                       [](const CameraConfig& c) { return c.hardwareId; });
}

int QxGetUSBDeviceSpeed(std::shared_ptr<QxCamera> camera, QX_USB_DEVICE_SPEED& speed) {
    return device_info(__func__, camera, "speed", speed, [](const CameraConfig& c) { return c.usbSpeed; });
}
