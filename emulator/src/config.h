// Camera configuration of the emulated library: YAML from the file named by the environment
// variable QX_EMULATOR_CONFIG, or the built-in configuration.
//
//   cameras:
//     - name: Generic UVC HD Webcam    # required
//       path: /dev/video4              # required
//       interface: usb                 # required: usb | mipi_csi2 | ethernet
//       product: generic               # required: none | generic | zena | zeni | ov5640 | zenm
//       hardware_id: "046D:0825"       # required
//       usb_speed: high                # low | full | high | super | super_plus | unknown (default)
//       isp: none                      # ap1302 | none (default)
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QuorvexSDK/QxEnums.h>

namespace qx_emulator {

enum class IspType { none, ap1302 };

struct CameraConfig {
    std::string name;
    std::string path;
    QX_CAMERA_INTERFACE_TYPE interfaceType = QX_CAMERA_INTERFACE_TYPE::INTERFACE_USB;
    QX_CAMERA_PRODUCT_TYPE productType = QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_NONE_CAMERA;
    std::string hardwareId;
    QX_USB_DEVICE_SPEED usbSpeed = QX_USB_DEVICE_SPEED::USB_DEVICE_SPEED_UNKNOWN;
    IspType isp = IspType::none;
};

using CameraList = std::vector<CameraConfig>;

// Parses a configuration. When it is invalid, logs an error naming `source` (a file name or
// "configuration text"), the line and the problem, and returns nothing. Never throws.
std::optional<CameraList> parse_configuration(const std::string& yamlText, const std::string& source);

std::optional<CameraList> builtin_configuration();

// The configuration named by QX_EMULATOR_CONFIG (unset or empty: the built-in one).
std::optional<CameraList> environment_configuration();

}  // namespace qx_emulator
