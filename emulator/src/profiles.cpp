// OSP profiles (the flag, the canonical text, loading, limits and activation) and the timestamp
// and frame counters. What each function does, its statuses and limits are in emulator/README.md
// ("OSP profiles" and "Timestamp and frame counter"); every function is journalled and can be
// scripted ("Test control").
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <fmt/format.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "controls.h"
#include "device.h"
#include "files.h"
#include "guard.h"
#include "limits.h"
#include "log.h"
#include "profiles.h"
#include "script.h"

namespace qx_emulator {

using Flag = QX_OSP_PROFILE_FLAG;

struct Profile {
    // The format itself, not its place in a list: handles of one device may list different formats.
    FormatConfig format;
    std::array<std::optional<int>, kIspProperties> isp;  // by QX_ISP_IMAGE_PROPERTIES
};

struct ProfileState {
    Flag flag = Flag::DISABLED;
    Profile profile;
};

namespace {

// The profile keys of the ISP values: the QX_ISP_IMAGE_PROPERTIES identifiers.
constexpr const char* kIspKeys[kIspProperties] = {
    "ISP_IMAGE_BRIGHTNESS", "ISP_IMAGE_CONTRAST", "ISP_IMAGE_SATURATION", "ISP_IMAGE_WHITEBALANCE_MODE",
    "ISP_IMAGE_WHITEBALANCE_TEMPERATURE", "ISP_IMAGE_EXPOSURE_MODE", "ISP_IMAGE_EXPOSURE_TIME",
    "ISP_IMAGE_EXPOSURE_MIN_TIME", "ISP_IMAGE_EXPOSURE_MAX_TIME", "ISP_IMAGE_EXPOSURE_GAIN", "ISP_IMAGE_GAMMA",
    "ISP_IMAGE_SHARPNESS", "ISP_IMAGE_BACKLIGHT_COMPENSATION", "ISP_IMAGE_SPECIAL_EFFECT_MODE", "ISP_IMAGE_DENOISE",
    "ISP_IMAGE_FLIP_MODE", "ISP_IMAGE_PAN", "ISP_IMAGE_TILT", "ISP_IMAGE_ZOOM", "ISP_IMAGE_FLICK_MODE",
    "ISP_IMAGE_JPEG_QUALITY", "ISP_IMAGE_TRIGGER_MODE", "ISP_IMAGE_EHDR_MODE", "ISP_EHDR_EXPOSURE_MIN_NUMBER",
    "ISP_EHDR_EXPOSURE_MAX_NUMBER", "ISP_EHDR_RATIO_MIN", "ISP_EHDR_RATIO_MAX", "ISP_EHDR_ATM_WEIGHT",
    "ISP_EHDR_ATM_MAX",
};

constexpr QX_IMAGE_FORMAT kPixelFormats[] = {
    QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_YUY2, QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_UYVY,
    QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_NV12, QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_MJPG,
    QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_BGRA, QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_BGRX,
    QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_BGR,  QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_RGB16,
    QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_RGB,
};

// Path -> canonical text of the profile saved to the camera at that path, guarded by
// saved_profiles_mutex() (cameras at different paths use it at once); reset() leaves it alone.
std::map<std::string, std::string>& saved_profiles() {
    static auto* saved = new std::map<std::string, std::string>;  // never destroyed, as model()
    return *saved;
}

std::string describe_format(const FormatConfig& f) {
    return fmt::format("{} {}x{}@{}", format_name(f.format), f.width, f.height, f.framerate);
}

// One line per entry, each ending in a newline: the format first, then the ISP values in
// enumeration order.
std::string profile_text(const Profile& profile) {
    std::string text = "format: " + describe_format(profile.format) + "\n";
    for (std::size_t i = 0; i < profile.isp.size(); ++i) {
        if (profile.isp[i]) text += fmt::format("{}: {}\n", kIspKeys[i], *profile.isp[i]);
    }
    return text;
}

Profile factory_profile(const CameraConfig& config) {
    Profile profile;
    profile.format = config.formats.front();
    const auto defaults = default_isp_values();
    for (std::size_t i = 0; i < defaults.size(); ++i) profile.isp[i] = defaults[i];
    return profile;
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A whole number of at most 9 digits (so it fits an int), with an optional sign when `sign`.
std::optional<int> whole_number(std::string text, bool sign) {
    bool negative = false;
    if (sign && !text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.erase(0, 1);
    }
    if (!all_digits(text) || text.size() > 9) return std::nullopt;
    const int value = std::stoi(text);
    return negative ? -value : value;
}

// "FOURCC WxH@fps" as one of the camera's formats: its index, or a problem.
std::optional<std::size_t> parse_format(const std::string& value, const CameraConfig& config, std::string& problem) {
    const std::size_t space = value.find_first_of(" \t");
    const std::string name = value.substr(0, space);
    const std::string geometry = space == std::string::npos ? std::string() : trimmed(value.substr(space));
    const std::size_t x = geometry.find('x');
    const std::size_t at = geometry.find('@');
    std::optional<int> width, height, fps;
    if (x != std::string::npos && at != std::string::npos && x < at) {
        width = whole_number(geometry.substr(0, x), false);
        height = whole_number(geometry.substr(x + 1, at - x - 1), false);
        fps = whole_number(geometry.substr(at + 1), false);
    }
    if (!width || !height || !fps) {
        problem = fmt::format("format '{}' is not FOURCC WIDTHxHEIGHT@FPS", value);
        return std::nullopt;
    }
    std::optional<QX_IMAGE_FORMAT> pixels;
    for (const QX_IMAGE_FORMAT f : kPixelFormats) {
        if (name == format_name(f)) pixels = f;
    }
    if (!pixels) {
        problem = fmt::format("'{}' is not a pixel format", name);
        return std::nullopt;
    }
    const FormatConfig wanted{*pixels, *width, *height, *fps};
    for (std::size_t i = 0; i < config.formats.size(); ++i) {
        if (config.formats[i] == wanted) return i;
    }
    problem = fmt::format("the camera does not offer {}", describe_format(wanted));
    return std::nullopt;
}

// Parses profile text for a camera configured as `config`; on failure gives nothing and sets
// `problem`. Lines are "KEY: VALUE"; '#' starts a comment; blank lines are skipped.
std::optional<Profile> parse_profile(const std::string& text, const CameraConfig& config, std::string& problem) {
    Profile profile;
    bool haveFormat = false;
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        const auto fail = [&](const std::string& why) {
            problem = fmt::format("line {}: {}", number, why);
            return std::nullopt;
        };
        for (const char c : line) {
            if (c != '\t' && (c < 0x20 || c > 0x7E)) return fail("a character that is not printable ASCII");
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) return fail("not a 'KEY: VALUE' line");
        const std::string key = trimmed(line.substr(0, colon));
        const std::string value = trimmed(line.substr(colon + 1));
        if (value.empty()) return fail(fmt::format("{} has no value", key));
        if (key == "format") {
            if (haveFormat) return fail("a second format");
            std::string why;
            const auto index = parse_format(value, config, why);
            if (!index) return fail(why);
            profile.format = config.formats[*index];
            haveFormat = true;
            continue;
        }
        std::size_t property = 0;
        while (property < std::size(kIspKeys) && key != kIspKeys[property]) ++property;
        if (property == std::size(kIspKeys)) return fail(fmt::format("unknown key '{}'", key));
        if (profile.isp[property]) return fail(fmt::format("a second {}", key));
        profile.isp[property] = whole_number(value, true);
        if (!profile.isp[property]) return fail(fmt::format("{} '{}' is not a whole number", key, value));
    }
    if (!haveFormat) {
        problem = "no format line";
        return std::nullopt;
    }
    IspValues values;
    for (std::size_t i = 0; i < profile.isp.size(); ++i) {
        if (profile.isp[i]) values.emplace_back(static_cast<QX_ISP_IMAGE_PROPERTIES>(i), *profile.isp[i]);
    }
    if (std::string why = isp_values_problem(values, default_isp_values()); !why.empty()) {
        problem = why;
        return std::nullopt;
    }
    return profile;
}

bool has_profiles(const QxCamera::Impl& c) {
    return has_vendor_firmware(c.config) && c.config.isp == IspType::ap1302;
}

// With the camera's port locked: the device's profile state, made on first use from what was saved to
// the camera at its path, or else the factory state.
ProfileState& profile_state(const QxCamera::Impl& c) {
    std::shared_ptr<ProfileState>& state = c.device->profile;
    if (state) return *state;
    state = std::make_shared<ProfileState>();
    state->profile = factory_profile(c.config);
    std::lock_guard<std::mutex> lock(saved_profiles_mutex());
    auto& saved = saved_profiles();
    const auto found = saved.find(c.config.path);
    if (found == saved.end()) return *state;
    std::string problem;
    if (auto profile = parse_profile(found->second, c.config, problem)) {
        state->flag = Flag::ENABLED_AND_SAVE;
        state->profile = *profile;
        logger().info("camera {}: starts with the OSP profile saved to it", c.index);
    } else {
        logger().warn("camera {}: the OSP profile saved at {} does not fit it ({}); forgotten", c.index,
                      c.config.path, problem);
        saved.erase(found);
    }
    return *state;
}

// With the camera's port locked: makes what is saved to the camera match its flag and profile.
void save(const QxCamera::Impl& c, const ProfileState& state) {
    std::lock_guard<std::mutex> lock(saved_profiles_mutex());
    if (state.flag == Flag::ENABLED_AND_SAVE) saved_profiles()[c.config.path] = profile_text(state.profile);
    else saved_profiles().erase(c.config.path);
}

// With the camera's port locked: QXE_OK when the camera may use its profile functions.
int profile_status(const char* function, const QxCamera::Impl& c) {
    if (!has_profiles(c)) {
        logger().warn("{}: camera {} has no OSP profiles (a Quorvex camera with an AP1302 has)", function, c.index);
        return QXE_NOT_SUPPORTED;
    }
    return device_status(function, c);
}

// As profile_status, and the flag must allow profiles to be used.
int enabled_status(const char* function, const QxCamera::Impl& c) {
    if (const int status = profile_status(function, c); status != QXE_OK) return status;
    if (profile_state(c).flag == Flag::DISABLED) {
        logger().warn("{}: camera {}: the OSP profile flag is DISABLED", function, c.index);
        return QXE_PROFILE_DISABLED;
    }
    return QXE_OK;
}

}  // namespace

std::mutex& saved_profiles_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

void forget_saved_profiles() {
    std::lock_guard<std::mutex> lock(saved_profiles_mutex());
    saved_profiles().clear();
}

}  // namespace qx_emulator

using namespace qx_emulator;

int QxGetOSPProfileFlag(std::shared_ptr<QxCamera> camera, QX_OSP_PROFILE_FLAG& flag) try {
    const char* function = __func__;
    return read_value(function, camera, "flag", flag, [&](const QxCamera::Impl& c) -> int {
        if (const int status = profile_status(function, c); status != QXE_OK) return status;
        flag = profile_state(c).flag;
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxSetOSPProfileFlag(std::shared_ptr<QxCamera> camera, QX_OSP_PROFILE_FLAG flag) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"flag", as_value(flag)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = profile_status(function, c); status != QXE_OK) return status;
        if (flag != Flag::DISABLED && flag != Flag::ENABLED && flag != Flag::ENABLED_AND_SAVE) {
            logger().warn("{}: camera {}: {} is not an OSP profile flag", function, c.index, static_cast<int>(flag));
            return QXE_INVALID_ARGUMENT;
        }
        ProfileState& state = profile_state(c);
        state.flag = flag;
        save(c, state);
        logger().info("{}: camera {}: OSP profile flag {}", function, c.index, static_cast<int>(flag));
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetOSPProfileConfig(std::shared_ptr<QxCamera> camera, std::string& config) try {
    const char* function = __func__;
    return read_value(function, camera, "config", config, [&](const QxCamera::Impl& c) -> int {
        if (const int status = profile_status(function, c); status != QXE_OK) return status;
        config = profile_text(profile_state(c).profile);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxLoadProfileConfig(std::shared_ptr<QxCamera> camera, std::string config) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"config", as_value(config)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = enabled_status(function, c); status != QXE_OK) return status;
        std::string text;
        if (const int status = read_file_start(function, config, limits::kProfileBytes + 1, text); status != QXE_OK)
            return status;
        if (text.size() > limits::kProfileBytes) {
            logger().warn("{}: {}: a profile holds at most {} bytes", function, config, limits::kProfileBytes);
            return QXE_INVALID_ARGUMENT;
        }
        std::string problem;
        const auto profile = parse_profile(text, c.config, problem);
        if (!profile) {
            logger().warn("{}: {}: {}", function, config, problem);
            return QXE_INVALID_ARGUMENT;
        }
        ProfileState& state = profile_state(c);
        state.profile = *profile;
        save(c, state);
        logger().info("{}: camera {}: OSP profile loaded from {}", function, c.index, config);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxActivateProfileStreaming(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        if (const int status = enabled_status(function, c); status != QXE_OK) return status;
        if (c.stream) {
            logger().warn("{}: camera {} is streaming", function, c.index);
            return QXE_BUSY;
        }
        const FormatConfig& format = profile_state(c).profile.format;
        const auto& offered = c.config.formats;
        const auto found = std::find(offered.begin(), offered.end(), format);
        if (found == offered.end()) {
            logger().warn("{}: camera {} does not offer the profile's format {}", function, c.index,
                          describe_format(format));
            return QXE_INVALID_ARGUMENT;
        }
        c.selected = static_cast<std::size_t>(found - offered.begin());
        logger().info("{}: camera {} selects {}", function, c.index, describe_format(format));
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxActivateProfileImageProcessing(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return set_isp_values(function, camera, [&](const QxCamera::Impl& c, IspValues& values) -> int {
        if (const int status = enabled_status(function, c); status != QXE_OK) return status;
        const Profile& profile = profile_state(c).profile;
        for (std::size_t i = 0; i < profile.isp.size(); ++i) {
            if (profile.isp[i]) values.emplace_back(static_cast<QX_ISP_IMAGE_PROPERTIES>(i), *profile.isp[i]);
        }
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetTimestamp(std::shared_ptr<QxCamera> camera, float& timestamp) try {
    return read_value(__func__, camera, "timestamp", timestamp, [&](const QxCamera::Impl& c) -> int {
        const Clock::duration reading = c.lastCapture.value_or(Clock::now()) - c.timestampOrigin;
        c.timestampFloor = std::max(c.timestampFloor, reading);
        timestamp = std::chrono::duration<float>(c.timestampFloor).count();
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxResetTimestamp(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        c.timestampOrigin = Clock::now();
        c.lastCapture.reset();
        c.timestampFloor = {};
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetFrameCount(std::shared_ptr<QxCamera> camera, unsigned char& count) try {
    return read_value(__func__, camera, "count", count, [&](const QxCamera::Impl& c) -> int {
        count = static_cast<unsigned char>(c.lastCount > c.countReset ? c.lastCount - c.countReset : 0);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxResetFrameCount(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        c.countReset = frames_produced(c, Clock::now());
        c.lastCount = c.countReset;
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}
