// Camera configuration of the emulated library: YAML from the file named by the environment
// variable QX_EMULATOR_CONFIG, or the built-in configuration. Its keys, defaults and limits are
// in emulator/README.md ("Configuration file").
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QuorvexSDK/QxEnums.h>

#include "limits.h"

namespace qx_emulator {

enum class IspType { none, ap1302 };

class Recording;

struct FormatConfig {
    QX_IMAGE_FORMAT format = QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_NONE;
    int width = 0;
    int height = 0;
    int framerate = 0;

    bool operator==(const FormatConfig& other) const {
        return format == other.format && width == other.width && height == other.height &&
               framerate == other.framerate;
    }
};

using limits::kMaxFramerate;
using limits::kMaxSide;
using limits::kMinHeight;
using limits::kMinWidth;

struct CameraConfig {
    std::string name;
    std::string path;
    QX_CAMERA_INTERFACE_TYPE interfaceType = QX_CAMERA_INTERFACE_TYPE::INTERFACE_USB;
    QX_CAMERA_PRODUCT_TYPE productType = QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_NONE_CAMERA;
    std::string hardwareId;
    QX_USB_DEVICE_SPEED usbSpeed = QX_USB_DEVICE_SPEED::USB_DEVICE_SPEED_UNKNOWN;
    IspType isp = IspType::none;
    bool imu = false;
    std::vector<FormatConfig> formats;  // never empty
    std::shared_ptr<const Recording> replay;  // when set, frames come from it, formats are its own
};

using CameraList = std::vector<CameraConfig>;

constexpr int kDefaultUpgradeTimeMs = 1500;
constexpr int kMaxUpgradeTimeMs = 600000;

struct Configuration {
    CameraList cameras;
    bool pacing = true;
    int upgradeTimeMs = kDefaultUpgradeTimeMs;
};

// Parses a configuration. When it is invalid, logs an error naming `source` (a file name or
// "configuration text"), the line and the problem, sets `problem` (when given) to that line's
// message, and returns nothing. Never throws.
std::optional<Configuration> parse_configuration(const std::string& yamlText, const std::string& source,
                                                 std::string* problem = nullptr);

std::optional<Configuration> builtin_configuration(std::string* problem = nullptr);
const char* builtin_configuration_yaml();

// The configuration named by QX_EMULATOR_CONFIG (unset or empty: the built-in one).
std::optional<Configuration> environment_configuration(std::string* problem = nullptr);

// The formats of a camera configured without a `formats` list.
std::vector<FormatConfig> default_formats();

// "YUY2", "MJPG", ...
const char* format_name(QX_IMAGE_FORMAT format);
std::optional<QX_IMAGE_FORMAT> format_named(const std::string& name);

// Why a format cannot have this size (the limits above, even widths of the formats that pair
// columns), or an empty text when it can.
std::string size_problem(QX_IMAGE_FORMAT format, int width, int height);

}  // namespace qx_emulator
