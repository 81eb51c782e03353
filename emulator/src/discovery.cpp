// The greeting, logging, discovery, opening and closing, and the device-information getters. What
// each function does, its statuses and limits are in emulator/README.md ("Logging, discovery and
// capture"); every function is journalled and can be scripted ("Test control").
#include <cstdio>
#include <string>
#include <utility>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "guard.h"
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

void HelloQuorvexSDK() try {
    Call call(__func__, {});
    if (auto* s = call.scripted()) return s->result<void>();
    std::printf("Hello QuorvexSDK %s (emulated)\n", kLibraryVersion);
    std::fflush(stdout);
} catch (...) {
    return contained<void>(__func__);
}

int QxSetLogFile(const std::string& path) try {
    Call call(__func__, {{"path", as_value(path)}});
    if (auto* s = call.scripted()) return s->result<int>();
    if (path.find('\0') != std::string::npos) {
        // The file would be opened under the shorter name before the NUL.
        logger().error("QxSetLogFile: the path contains a NUL byte");
        return QXE_INVALID_ARGUMENT;
    }
    return log_to_file(path) ? QXE_OK : QXE_IO_ERROR;
} catch (...) {
    return contained<int>(__func__);
}

void QxSetLogLevel(QX_LOG_LEVEL level) try {
    Call call(__func__, {{"level", as_value(level)}});
    if (auto* s = call.scripted()) return s->result<void>();
    set_log_level(level);
} catch (...) {
    return contained<void>(__func__);
}

int QxDiscoverCameraDevices(std::vector<std::string>& devices) try {
    Call call(__func__, {});
    if (auto* s = call.scripted()) {
        s->write("devices", devices);
        return s->result<int>();
    }
    // A refused configuration is not a machine without cameras: the caller learns why, in the
    // status and as the one text of the list (the log told it when the configuration was read).
    if (std::string problem = configuration_problem(); !problem.empty()) {
        devices.push_back(std::move(problem));
        return QXE_FAILED;
    }
    for (const auto& camera : cameras()) devices.push_back(camera->impl().config.name);
    return QXE_OK;
} catch (...) {
    return contained<int>(__func__);
}

std::shared_ptr<QxCamera> QxInitialCameraDevice(int index) try {
    Call call(__func__, {{"index", as_value(index)}});
    if (auto* s = call.scripted()) return s->result<std::shared_ptr<QxCamera>>();
    auto camera = camera_at(index);
    if (!camera) {
        const std::string problem = configuration_problem();
        if (problem.empty()) logger().warn("{}: no camera at index {}", __func__, index);
        else logger().warn("{}: no camera at index {}: {}", __func__, index, problem);
    }
    return camera;
} catch (...) {
    return contained<std::shared_ptr<QxCamera>>(__func__);
}

int QxOpen(std::shared_ptr<QxCamera> camera) try {
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
        c.lastCapture.reset();
        c.timestampFloor = {};
        c.producedBefore = 0;
        c.lastCount = 0;
        c.countReset = 0;
        logger().info("QxOpen: camera {} '{}' at {} opened", c.index, c.config.name, c.config.path);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxClose(std::shared_ptr<QxCamera> camera) try {
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
} catch (...) {
    return contained<int>(__func__);
}

int QxIsQuorvexCamera(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const int answer = with_camera(__func__, camera, Need::present, [](const QxCamera::Impl& c) -> int {
        return is_quorvex_product(c.config.productType) ? 1 : 0;
    });
    return answer == 1 ? 1 : 0;  // a failure status also answers "no"
} catch (...) {
    contained<void>(__func__);
    return 0;
}

int QxGetDeviceName(std::shared_ptr<QxCamera> camera, std::string& name) try {
    return device_info(__func__, camera, "name", name, [](const CameraConfig& c) { return c.name; });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetDevicePath(std::shared_ptr<QxCamera> camera, std::string& path) try {
    return device_info(__func__, camera, "path", path, [](const CameraConfig& c) { return c.path; });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetDeviceInterfaceType(std::shared_ptr<QxCamera> camera, QX_CAMERA_INTERFACE_TYPE& type) try {
    return device_info(__func__, camera, "type", type, [](const CameraConfig& c) { return c.interfaceType; });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetDeviceProductType(std::shared_ptr<QxCamera> camera, QX_CAMERA_PRODUCT_TYPE& type) try {
    return device_info(__func__, camera, "type", type, [](const CameraConfig& c) { return c.productType; });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetHardwareID(std::shared_ptr<QxCamera> camera, std::string& hardwareId) try {
    return device_info(__func__, camera, "hardwareId", hardwareId,
                       [](const CameraConfig& c) { return c.hardwareId; });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetUSBDeviceSpeed(std::shared_ptr<QxCamera> camera, QX_USB_DEVICE_SPEED& speed) try {
    return device_info(__func__, camera, "speed", speed, [](const CameraConfig& c) { return c.usbSpeed; });
} catch (...) {
    return contained<int>(__func__);
}
