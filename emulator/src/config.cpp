#include "config.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <utility>

#include <yaml-cpp/yaml.h>

#include "log.h"

namespace qx_emulator {
namespace {

constexpr const char* kBuiltinConfiguration = R"yaml(
cameras:
  - name: Quorvex ZenA 13MP USB3 Camera
    path: /dev/video0
    interface: usb
    product: zena
    hardware_id: "3F1D:A013"
    usb_speed: super
    isp: ap1302
  - name: Quorvex ZenM 5MP MIPI CSI-2 Camera
    path: /dev/video2
    interface: mipi_csi2
    product: zenm
    hardware_id: "10-003c"
  - name: Generic UVC HD Webcam
    path: /dev/video4
    interface: usb
    product: generic
    hardware_id: "046D:0825"
    usb_speed: high
)yaml";

template <class T>
using Choice = std::pair<const char*, T>;

const Choice<QX_CAMERA_INTERFACE_TYPE> kInterfaces[] = {
    {"usb", QX_CAMERA_INTERFACE_TYPE::INTERFACE_USB},
    {"mipi_csi2", QX_CAMERA_INTERFACE_TYPE::INTERFACE_MIPI_CSI2},
    {"ethernet", QX_CAMERA_INTERFACE_TYPE::INTERFACE_ETHERNET},
};
const Choice<QX_CAMERA_PRODUCT_TYPE> kProducts[] = {
    {"none", QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_NONE_CAMERA},
    {"generic", QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_GENERIC_CAMERA},
    {"zena", QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENA},
    {"zeni", QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENI},
    {"ov5640", QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_OV5640},
    {"zenm", QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENM},
};
const Choice<QX_USB_DEVICE_SPEED> kSpeeds[] = {
    {"low", QX_USB_DEVICE_SPEED::USB_DEVICE_SPEED_LOW},
    {"full", QX_USB_DEVICE_SPEED::USB_DEVICE_SPEED_FULL},
    {"high", QX_USB_DEVICE_SPEED::USB_DEVICE_SPEED_HIGH},
    {"super", QX_USB_DEVICE_SPEED::USB_DEVICE_SPEED_SUPER},
    {"super_plus", QX_USB_DEVICE_SPEED::USB_DEVICE_SPEED_SUPER_PLUS},
    {"unknown", QX_USB_DEVICE_SPEED::USB_DEVICE_SPEED_UNKNOWN},
};
const Choice<IspType> kIsps[] = {
    {"none", IspType::none},
    {"ap1302", IspType::ap1302},
};

struct ConfigError {
    int line;  // 1-based; 0 when unknown
    std::string problem;
};

int line_of(const YAML::Mark& mark) {
    return mark.line >= 0 ? mark.line + 1 : 0;
}

int line_of(const YAML::Node& node) {
    return line_of(node.Mark());
}

[[noreturn]] void fail(const YAML::Node& at, std::string problem) {
    throw ConfigError{line_of(at), std::move(problem)};
}

// A camera property: `key` is the key node, where problems with the value are reported (a
// missing value has no position of its own).
struct Property {
    const YAML::Node& key;
    const YAML::Node& value;
    std::string label;  // e.g. "camera 2: 'path'"
};

std::string text_of(const Property& p) {
    if (p.value.IsNull()) fail(p.key, p.label + " has no value");
    if (!p.value.IsScalar()) fail(p.key, p.label + " must be a single value, not a list or mapping");
    return p.value.Scalar();
}

template <class T, std::size_t N>
T choice_of(const Property& p, const Choice<T> (&choices)[N]) {
    const std::string value = text_of(p);
    std::string allowed;
    for (const auto& [name, result] : choices) {
        if (value == name) return result;
        allowed += allowed.empty() ? name : std::string(", ") + name;
    }
    fail(p.key, p.label + " is '" + value + "', expected one of: " + allowed);
}

CameraConfig parse_camera(const YAML::Node& item, int number) {
    const std::string where = "camera " + std::to_string(number) + ": ";
    if (!item.IsMap()) fail(item, where + "expected a mapping of camera properties");

    CameraConfig camera;
    std::set<std::string> seen;
    for (const auto& entry : item) {
        const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : std::string();
        const Property p{entry.first, entry.second, where + "'" + key + "'"};
        if (!seen.insert(key).second) fail(entry.first, where + "duplicate key '" + key + "'");
        if (key == "name") camera.name = text_of(p);
        else if (key == "path") camera.path = text_of(p);
        else if (key == "interface") camera.interfaceType = choice_of(p, kInterfaces);
        else if (key == "product") camera.productType = choice_of(p, kProducts);
        else if (key == "hardware_id") camera.hardwareId = text_of(p);
        else if (key == "usb_speed") camera.usbSpeed = choice_of(p, kSpeeds);
        else if (key == "isp") camera.isp = choice_of(p, kIsps);
        else fail(entry.first, where + "unknown key '" + key + "'");
    }
    for (const char* required : {"name", "path", "interface", "product", "hardware_id"}) {
        if (!seen.count(required)) fail(item, where + "missing key '" + required + "'");
    }
    return camera;
}

CameraList parse_document(const std::string& yamlText) {
    const YAML::Node root = YAML::Load(yamlText);
    if (!root.IsMap()) fail(root, "expected a mapping with a 'cameras' list");
    std::optional<YAML::Node> list;
    for (const auto& entry : root) {
        const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : std::string();
        if (key != "cameras") fail(entry.first, "unknown key '" + key + "'");
        if (list) fail(entry.first, "duplicate key 'cameras'");
        list.emplace(entry.second);
    }
    if (!list) fail(root, "missing key 'cameras'");
    if (!list->IsSequence()) fail(list->IsNull() ? root : *list, "'cameras' must be a list");

    CameraList cameras;
    for (const auto& item : *list) cameras.push_back(parse_camera(item, static_cast<int>(cameras.size()) + 1));
    return cameras;
}

void report(const std::string& source, int line, const std::string& problem) {
    if (line > 0)
        logger().error("bad camera configuration in {}, line {}: {}; no cameras", source, line, problem);
    else
        logger().error("bad camera configuration in {}: {}; no cameras", source, problem);
}

}  // namespace

std::optional<CameraList> parse_configuration(const std::string& yamlText, const std::string& source) {
    try {
        CameraList cameras = parse_document(yamlText);
        logger().info("camera configuration from {}: {} camera(s)", source, cameras.size());
        return cameras;
    } catch (const ConfigError& error) {
        report(source, error.line, error.problem);
    } catch (const YAML::Exception& error) {
        report(source, line_of(error.mark), error.msg);
    } catch (const std::exception& error) {
        report(source, 0, error.what());
    }
    return std::nullopt;
}

std::optional<CameraList> builtin_configuration() {
    return parse_configuration(kBuiltinConfiguration, "built-in configuration");
}

std::optional<CameraList> environment_configuration() {
    const char* path = std::getenv("QX_EMULATOR_CONFIG");
    if (path == nullptr || *path == '\0') return builtin_configuration();

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "rb"), &std::fclose);
    if (!file) {
        report(path, 0, std::string("cannot open the file: ") + std::strerror(errno));
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, count);
    if (std::ferror(file.get())) {
        report(path, 0, std::string("cannot read the file: ") + std::strerror(errno));
        return std::nullopt;
    }
    return parse_configuration(text, path);
}

}  // namespace qx_emulator
