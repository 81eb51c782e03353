#include "config.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <QuorvexEmulator/Status.h>

#include "binary.h"
#include "files.h"
#include "limits.h"
#include "log.h"
#include "replay.h"
#include "text.h"
#include "yaml_input.h"

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
    imu: true
    formats:
      - {format: YUY2, sizes: ["640x480", "1280x720", "1920x1080"], fps: [60, 30]}
      - {format: YUY2, sizes: ["3840x2160"], fps: [15]}
      - {format: UYVY, sizes: ["1280x720", "1920x1080"], fps: [30]}
      - {format: NV12, sizes: ["1920x1080", "3840x2160"], fps: [30]}
      - {format: MJPG, sizes: ["640x480", "1280x720", "1920x1080", "3840x2160"], fps: [60, 30]}
      - {format: BGRA, sizes: ["640x480", "1920x1080", "3840x2160"], fps: [30]}
      - {format: BGRX, sizes: ["1920x1080"], fps: [30]}
      - {format: BGR, sizes: ["640x480", "1920x1080"], fps: [30]}
      - {format: RGB16, sizes: ["640x480", "1280x720"], fps: [30]}
      - {format: RGB, sizes: ["640x480", "1920x1080"], fps: [30]}
  - name: Quorvex ZenM 5MP MIPI CSI-2 Camera
    path: /dev/video2
    interface: mipi_csi2
    product: zenm
    hardware_id: "10-003c"
    formats:
      - {format: UYVY, sizes: ["640x480", "1280x720", "1920x1080"], fps: [60, 30]}
      - {format: UYVY, sizes: ["2592x1944"], fps: [15]}
      - {format: YUY2, sizes: ["1280x720", "1920x1080"], fps: [30]}
      - {format: NV12, sizes: ["1280x720", "1920x1080", "2592x1944"], fps: [30]}
      - {format: MJPG, sizes: ["1920x1080", "2592x1944"], fps: [30, 15]}
      - {format: BGRA, sizes: ["1280x720", "2592x1944"], fps: [15]}
      - {format: BGRX, sizes: ["1280x720"], fps: [30]}
      - {format: BGR, sizes: ["1920x1080"], fps: [30]}
      - {format: RGB16, sizes: ["640x480"], fps: [60, 30]}
      - {format: RGB, sizes: ["1280x720", "2592x1944"], fps: [15]}
  - name: Generic UVC HD Webcam
    path: /dev/video4
    interface: usb
    product: generic
    hardware_id: "046D:0825"
    usb_speed: high
    formats:
      - {format: MJPG, sizes: ["1920x1080", "1280x720", "640x480"], fps: [30]}
      - {format: YUY2, sizes: ["640x480", "320x240", "176x144", "160x120"], fps: [30, 15]}
      - {format: YUY2, sizes: ["1280x720"], fps: [10]}
      - {format: YUY2, sizes: ["1920x1080"], fps: [5]}
      - {format: UYVY, sizes: ["640x480"], fps: [30]}
      - {format: NV12, sizes: ["1280x720", "640x480"], fps: [30]}
      - {format: BGRA, sizes: ["640x480"], fps: [30]}
      - {format: BGRX, sizes: ["640x480"], fps: [30]}
      - {format: BGR, sizes: ["1280x720", "640x480"], fps: [30]}
      - {format: RGB16, sizes: ["320x240"], fps: [30]}
      - {format: RGB, sizes: ["640x480"], fps: [30]}
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
const Choice<QX_IMAGE_FORMAT> kFormats[] = {
    {"YUY2", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_YUY2}, {"UYVY", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_UYVY},
    {"NV12", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_NV12}, {"MJPG", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_MJPG},
    {"BGRA", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_BGRA}, {"BGRX", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_BGRX},
    {"BGR", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_BGR},   {"RGB16", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_RGB16},
    {"RGB", QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_RGB},
};
const Choice<bool> kBooleans[] = {
    {"true", true},
    {"false", false},
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
    // Names and paths are handed back to callers as text.
    if (!valid_utf8(p.value.Scalar())) fail(p.key, p.label + " is not UTF-8 text");
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

// A whole number of at most `digits` decimal digits, or nothing.
std::optional<int> whole_number(const std::string& text, std::size_t digits) {
    if (text.empty() || text.size() > digits) return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

const YAML::Node& non_empty_list(const Property& p) {
    if (!p.value.IsSequence() || p.value.size() == 0) fail(p.key, p.label + " must be a non-empty list");
    return p.value;
}

std::string scalar_item(const YAML::Node& item, const std::string& label) {
    if (!item.IsScalar()) fail(item, label + " must hold single values, not lists or mappings");
    return item.Scalar();
}

// "640x480" -> {640, 480}, checked against what `format` can carry.
std::pair<int, int> parse_size(const YAML::Node& item, const std::string& label, QX_IMAGE_FORMAT format) {
    const std::string text = scalar_item(item, label);
    const std::size_t x = text.find('x');
    const auto width = x == std::string::npos ? std::nullopt : whole_number(text.substr(0, x), 5);
    const auto height = x == std::string::npos ? std::nullopt : whole_number(text.substr(x + 1), 5);
    if (!width || !height) fail(item, label + ": '" + text + "' is not a size like \"640x480\"");
    const std::string problem = size_problem(format, *width, *height);
    if (!problem.empty()) fail(item, label + ": " + problem);
    return {*width, *height};
}

int parse_framerate(const YAML::Node& item, const std::string& label) {
    const std::string text = scalar_item(item, label);
    const auto fps = whole_number(text, 4);
    if (!fps || *fps < 1 || *fps > kMaxFramerate)
        fail(item, label + ": '" + text + "' is not a frame rate from 1 to " + std::to_string(kMaxFramerate));
    return *fps;
}

int parse_upgrade_time(const Property& p) {
    const std::string text = text_of(p);
    const auto ms = whole_number(text, 6);
    if (!ms || *ms > kMaxUpgradeTimeMs) {
        fail(p.key, p.label + " is '" + text + "', expected whole milliseconds from 0 to " +
                        std::to_string(kMaxUpgradeTimeMs));
    }
    return *ms;
}

// The formats of one camera so far, in list order and as a set: a list may hold 65535 formats, too
// many to search for each new one.
struct FormatList {
    std::vector<FormatConfig> formats;
    std::set<std::tuple<QX_IMAGE_FORMAT, int, int, int>> listed;
};

// One entry {format, sizes, fps}, expanded sizes first, then frame rates.
void parse_format_entry(const YAML::Node& item, const std::string& where, FormatList& list) {
    if (!item.IsMap()) fail(item, where + "expected a mapping with keys 'format', 'sizes' and 'fps'");
    std::optional<QX_IMAGE_FORMAT> format;
    std::optional<YAML::Node> sizes, rates;
    std::set<std::string> seen;
    for (const auto& entry : item) {
        const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : std::string();
        const Property p{entry.first, entry.second, where + "'" + key + "'"};
        if (!seen.insert(key).second) fail(entry.first, where + "duplicate key '" + key + "'");
        if (key == "format") format = choice_of(p, kFormats);
        else if (key == "sizes") sizes = non_empty_list(p);
        else if (key == "fps") rates = non_empty_list(p);
        else fail(entry.first, where + "unknown key '" + key + "'");
    }
    for (const char* required : {"format", "sizes", "fps"}) {
        if (!seen.count(required)) fail(item, where + "missing key '" + required + "'");
    }
    std::vector<int> framerates;
    for (const auto& rate : *rates) framerates.push_back(parse_framerate(rate, where + "'fps'"));
    for (const auto& size : *sizes) {
        const auto [width, height] = parse_size(size, where + "'sizes'", *format);
        for (const int fps : framerates) {
            const FormatConfig added{*format, width, height, fps};
            if (!list.listed.emplace(added.format, width, height, fps).second) {
                fail(size, where + format_name(added.format) + " " + std::to_string(width) + "x" +
                               std::to_string(height) + " at " + std::to_string(fps) + " fps is listed twice");
            }
            if (list.formats.size() == limits::kCameraFormats)
                fail(size, where + "more than " + std::to_string(limits::kCameraFormats) + " formats in the list");
            list.formats.push_back(added);
        }
    }
}

std::vector<FormatConfig> parse_formats(const Property& p) {
    FormatList list;
    int number = 0;
    for (const auto& item : non_empty_list(p)) {
        parse_format_entry(item, p.label + " entry " + std::to_string(++number) + ": ", list);
    }
    return std::move(list.formats);
}

std::shared_ptr<const Recording> open_replay(const Property& p, std::size_t camera) {
    std::string problem, warning;
    auto recording = Recording::open(text_of(p), camera, problem, warning);
    if (!recording) fail(p.key, p.label + ": " + problem);
    if (!warning.empty()) logger().warn("{}: {}; replaying the {} frame(s) before it", p.label, warning,
                                        recording->frame_count());
    return recording;
}

std::size_t parse_replay_camera(const Property& p) {
    const std::string text = text_of(p);
    const auto number = whole_number(text, 5);
    if (!number) fail(p.key, p.label + " is '" + text + "', expected the number of a recorded camera: 0, 1, ...");
    return static_cast<std::size_t>(*number);
}

// A value as a recording writes it ("USB", "GENERIC_CAMERA", "SUPER_PLUS"), or as configured.
template <class T, std::size_t N>
std::optional<T> recorded_choice(const std::optional<std::string>& text, const Choice<T> (&choices)[N]) {
    if (!text) return std::nullopt;
    std::string name = *text;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    const std::string suffix = "_camera";  // the product names "NONE_CAMERA", "GENERIC_CAMERA"
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    for (const auto& [choice, result] : choices) {
        if (name == choice) return result;
    }
    return std::nullopt;
}

struct ParsedCamera {
    CameraConfig config;
    bool recordedPath = false;  // the path came from a recording (or its file name), not the entry
};

// The keys a replaying camera leaves out come from the recording, or a default where it has no
// usable value.
void fill_from_recording(CameraConfig& camera, const std::set<std::string>& given, const std::string& file,
                         std::size_t number, bool& recordedPath) {
    const RecordedCamera& r = camera.replay->camera();
    if (!given.count("name")) camera.name = r.name.value_or("Replayed camera");
    if (!given.count("path")) {
        camera.path = r.path.value_or(file);
        recordedPath = true;
    }
    if (!given.count("interface"))
        camera.interfaceType = recorded_choice(r.interface, kInterfaces).value_or(QX_CAMERA_INTERFACE_TYPE::INTERFACE_USB);
    if (!given.count("product")) {
        camera.productType =
            recorded_choice(r.product, kProducts).value_or(QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_GENERIC_CAMERA);
    }
    if (!given.count("hardware_id")) {
        const std::string source = file + "#" + std::to_string(number);
        camera.hardwareId = r.hardwareId.value_or(fmt::format("REPLAY-{:08X}", crc32(source.data(), source.size())));
    }
    if (!given.count("usb_speed")) camera.usbSpeed = recorded_choice(r.usbSpeed, kSpeeds).value_or(camera.usbSpeed);
    if (!given.count("isp")) camera.isp = recorded_choice(r.isp, kIsps).value_or(camera.isp);
}

ParsedCamera parse_camera(const YAML::Node& item, int number) {
    const std::string where = "camera " + std::to_string(number) + ": ";
    if (!item.IsMap()) fail(item, where + "expected a mapping of camera properties");

    ParsedCamera parsed;
    CameraConfig& camera = parsed.config;
    std::set<std::string> seen;
    // Read after the other keys, in whichever order they come: the recording depends on both.
    std::optional<std::pair<YAML::Node, YAML::Node>> replay, replayCamera;
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
        else if (key == "imu") camera.imu = choice_of(p, kBooleans);
        else if (key == "formats") camera.formats = parse_formats(p);
        else if (key == "replay") replay.emplace(entry.first, entry.second);
        else if (key == "replay_camera") replayCamera.emplace(entry.first, entry.second);
        else fail(entry.first, where + "unknown key '" + key + "'");
    }
    if (replayCamera && !replay) fail(replayCamera->first, where + "'replay_camera' needs 'replay'");
    if (replay) {
        if (seen.count("formats")) fail(item, where + "'formats' and 'replay' exclude each other");
        const std::size_t recorded =
            replayCamera ? parse_replay_camera(Property{replayCamera->first, replayCamera->second,
                                                        where + "'replay_camera'"})
                         : 0;
        const Property p{replay->first, replay->second, where + "'replay'"};
        camera.replay = open_replay(p, recorded);
        camera.formats = camera.replay->formats();
        fill_from_recording(camera, seen, text_of(p), recorded, parsed.recordedPath);
    } else {
        for (const char* required : {"name", "path", "interface", "product", "hardware_id"}) {
            if (!seen.count(required)) fail(item, where + "missing key '" + required + "'");
        }
    }
    if (camera.formats.empty()) camera.formats = default_formats();
    // The ZenA board carries an IMU; other products have none unless configured (or recorded) with one.
    if (!seen.count("imu")) {
        const std::optional<bool> recorded = camera.replay ? camera.replay->camera().imu : std::nullopt;
        camera.imu = recorded.value_or(camera.productType == QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENA);
    }
    return parsed;
}

// Cameras with one path are handles of one device. That is meant when the configuration says so,
// never by accident: a path a camera took from a recording that another camera has already gets
// "#2" (or the next number free) appended.
void separate_recorded_paths(CameraList& cameras, const std::vector<bool>& recordedPath) {
    std::unordered_set<std::string> taken;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        if (!recordedPath[i]) taken.insert(cameras[i].path);
    }
    std::unordered_map<std::string, std::size_t> nextSuffix;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        if (!recordedPath[i] || taken.insert(cameras[i].path).second) continue;
        const std::string recorded = cameras[i].path;
        std::size_t& suffix = nextSuffix.try_emplace(recorded, 2).first->second;
        std::string path;
        do path = recorded + "#" + std::to_string(suffix++);
        while (!taken.insert(path).second);
        logger().info("camera {}: another camera has the recorded path {}; this one is {}", i + 1, recorded, path);
        cameras[i].path = std::move(path);
    }
}

Configuration parse_document(const std::string& yamlText) {
    const YAML::Node root = load_one_document(yamlText);
    if (!root.IsMap()) fail(root, "expected a mapping with a 'cameras' list");
    Configuration configuration;
    std::optional<YAML::Node> list;
    std::set<std::string> seen;
    for (const auto& entry : root) {
        const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : std::string();
        if (!seen.insert(key).second) fail(entry.first, "duplicate key '" + key + "'");
        if (key == "cameras") list.emplace(entry.second);
        else if (key == "pacing")
            configuration.pacing = choice_of(Property{entry.first, entry.second, "'pacing'"}, kBooleans);
        else if (key == "upgrade_time_ms")
            configuration.upgradeTimeMs = parse_upgrade_time(Property{entry.first, entry.second, "'upgrade_time_ms'"});
        else fail(entry.first, "unknown key '" + key + "'");
    }
    if (!list) fail(root, "missing key 'cameras'");
    if (!list->IsSequence()) fail(list->IsNull() ? root : *list, "'cameras' must be a list");

    std::size_t formats = 0;
    std::vector<bool> recordedPath;
    for (const auto& item : *list) {
        if (configuration.cameras.size() == limits::kConfigCameras)
            fail(item, "more than " + std::to_string(limits::kConfigCameras) + " cameras");
        ParsedCamera parsed = parse_camera(item, static_cast<int>(configuration.cameras.size()) + 1);
        configuration.cameras.push_back(std::move(parsed.config));
        recordedPath.push_back(parsed.recordedPath);
        formats += configuration.cameras.back().formats.size();
        if (formats > limits::kConfigFormats)
            fail(item, "more than " + std::to_string(limits::kConfigFormats) + " formats over all cameras");
    }
    separate_recorded_paths(configuration.cameras, recordedPath);
    return configuration;
}

// Logs the problem and returns it as one sentence.
std::string report(const std::string& source, int line, const std::string& problem) {
    const std::string where = line > 0 ? source + ", line " + std::to_string(line) : source;
    std::string message = "bad camera configuration in " + where + ": " + problem;
    logger().error("{}; no cameras", message);
    return message;
}

}  // namespace

std::optional<Configuration> parse_configuration(const std::string& yamlText, const std::string& source,
                                                 std::string* problem) {
    std::string message;
    if (yamlText.size() > limits::kConfigBytes) {
        message = report(source, 0, "larger than " + std::to_string(limits::kConfigBytes) + " bytes");
    } else {
        try {
            Configuration configuration = parse_document(yamlText);
            logger().info("camera configuration from {}: {} camera(s), pacing {}", source,
                          configuration.cameras.size(), configuration.pacing ? "on" : "off");
            return configuration;
        } catch (const ConfigError& error) {
            message = report(source, error.line, error.problem);
        } catch (const YAML::Exception& error) {
            message = report(source, line_of(error.mark), error.msg);
        } catch (const std::exception& error) {
            message = report(source, 0, error.what());
        }
    }
    if (problem != nullptr) *problem = std::move(message);
    return std::nullopt;
}

const char* builtin_configuration_yaml() {
    return kBuiltinConfiguration;
}

std::optional<Configuration> builtin_configuration(std::string* problem) {
    return parse_configuration(kBuiltinConfiguration, "built-in configuration", problem);
}

std::optional<Configuration> environment_configuration(std::string* problem) {
    const char* path = std::getenv("QX_EMULATOR_CONFIG");
    if (path == nullptr || *path == '\0') return builtin_configuration(problem);

    // One byte past the limit tells a file at the limit from a larger one.
    std::string text;
    std::string why;
    if (read_file_start(path, limits::kConfigBytes + 1, text, why) != QXE_OK) {
        const std::string message = report(path, 0, why);
        if (problem != nullptr) *problem = message;
        return std::nullopt;
    }
    return parse_configuration(text, path, problem);
}

std::vector<FormatConfig> default_formats() {
    using F = QX_IMAGE_FORMAT;
    return {
        {F::QX_IMAGE_FORMAT_YUY2, 640, 480, 30},   {F::QX_IMAGE_FORMAT_YUY2, 640, 480, 15},
        {F::QX_IMAGE_FORMAT_YUY2, 1280, 720, 10},  {F::QX_IMAGE_FORMAT_MJPG, 1920, 1080, 30},
        {F::QX_IMAGE_FORMAT_MJPG, 1280, 720, 30},  {F::QX_IMAGE_FORMAT_MJPG, 640, 480, 30},
    };
}

std::optional<QX_IMAGE_FORMAT> format_named(const std::string& name) {
    for (const auto& [known, value] : kFormats) {
        if (name == known) return value;
    }
    return std::nullopt;
}

std::string size_problem(QX_IMAGE_FORMAT format, int width, int height) {
    const std::string text = std::to_string(width) + "x" + std::to_string(height);
    if (width < kMinWidth || height < kMinHeight || width > kMaxSide || height > kMaxSide) {
        return "'" + text + "' is outside " + std::to_string(kMinWidth) + "x" + std::to_string(kMinHeight) + " .. " +
               std::to_string(kMaxSide) + "x" + std::to_string(kMaxSide);
    }
    const bool pairsColumns = format == QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_YUY2 ||
                              format == QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_UYVY ||
                              format == QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_NV12;
    if (pairsColumns && width % 2 != 0) return "'" + text + "': " + format_name(format) + " needs an even width";
    if (format == QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_NV12 && height % 2 != 0) return "'" + text + "': NV12 needs an even height";
    return {};
}

const char* format_name(QX_IMAGE_FORMAT format) {
    for (const auto& [name, value] : kFormats) {
        if (value == format) return name;
    }
    return "NONE";
}

}  // namespace qx_emulator
