// The UVC and ISP image-processing controls, gain, exposure, the frame-rate cap and the USB
// throughput. What each function does, its statuses and limits are in emulator/README.md ("Image-
// processing controls"); every function is journalled and can be scripted ("Test control").
#include "controls.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <iterator>
#include <mutex>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "frames.h"
#include "guard.h"
#include "log.h"
#include "script.h"

namespace qx_emulator {
namespace {

using U = QX_UVC_IMAGE_PROPERTIES;
using I = QX_ISP_IMAGE_PROPERTIES;

constexpr int kAutomatic = 1;
constexpr int kManual = 2;

// Gains count 1/16 steps above unity: value g multiplies by (16 + g) / 16.
constexpr int kGainUnity = 16;
constexpr std::int64_t kMicrosecondsPerUvcExposureUnit = 100;
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

// ISP modes of EXPOSURE_MODE and WHITEBALANCE_MODE.
constexpr int kIspManual = 0;

struct UvcControl {
    long min, max, step, defaultValue;
    bool automatic;  // has an automatic mode, which it starts in
};

using UvcTable = std::array<std::optional<UvcControl>, kUvcProperties>;

constexpr const char* kUvcNames[kUvcProperties] = {
    "BRIGHTNESS", "CONTRAST", "HUE", "SATURATION", "SHARPNESS", "GAMMA", "COLORENABLE", "WHITEBALANCE",
    "BACKLIGHT_COMPENSATION", "GAIN", "PAN", "TILT", "ROLL", "ZOOM", "EXPOSURE", "IRIS", "FOCUS",
};

int at(U property) {
    return static_cast<int>(property);
}

int at(I property) {
    return static_cast<int>(property);
}

UvcTable quorvex_uvc_table() {
    UvcTable t;
    t[at(U::UVC_IMAGE_BRIGHTNESS)] = UvcControl{-64, 64, 1, 0, false};
    t[at(U::UVC_IMAGE_CONTRAST)] = UvcControl{0, 100, 1, 50, false};
    t[at(U::UVC_IMAGE_HUE)] = UvcControl{-180, 180, 1, 0, false};
    t[at(U::UVC_IMAGE_SATURATION)] = UvcControl{0, 128, 1, 64, false};
    t[at(U::UVC_IMAGE_SHARPNESS)] = UvcControl{0, 6, 1, 3, false};
    t[at(U::UVC_IMAGE_GAMMA)] = UvcControl{72, 500, 1, 100, false};
    t[at(U::UVC_IMAGE_COLORENABLE)] = UvcControl{0, 1, 1, 1, false};
    t[at(U::UVC_IMAGE_WHITEBALANCE)] = UvcControl{2800, 6500, 10, 4600, true};
    t[at(U::UVC_IMAGE_BACKLIGHT_COMPENSATION)] = UvcControl{0, 2, 1, 1, false};
    t[at(U::UVC_IMAGE_GAIN)] = UvcControl{0, 255, 1, 0, false};
    t[at(U::UVC_IMAGE_PAN)] = UvcControl{-36000, 36000, 3600, 0, false};
    t[at(U::UVC_IMAGE_TILT)] = UvcControl{-36000, 36000, 3600, 0, false};
    t[at(U::UVC_IMAGE_ROLL)] = UvcControl{-180, 180, 1, 0, false};
    t[at(U::UVC_IMAGE_ZOOM)] = UvcControl{100, 400, 1, 100, false};
    t[at(U::UVC_IMAGE_EXPOSURE)] = UvcControl{1, 10000, 1, 100, true};
    t[at(U::UVC_IMAGE_IRIS)] = UvcControl{100, 1600, 10, 280, false};
    t[at(U::UVC_IMAGE_FOCUS)] = UvcControl{0, 255, 1, 128, true};
    return t;
}

UvcTable webcam_uvc_table() {
    UvcTable t;
    t[at(U::UVC_IMAGE_BRIGHTNESS)] = UvcControl{0, 255, 1, 128, false};
    t[at(U::UVC_IMAGE_CONTRAST)] = UvcControl{0, 255, 1, 128, false};
    t[at(U::UVC_IMAGE_SATURATION)] = UvcControl{0, 255, 1, 128, false};
    t[at(U::UVC_IMAGE_SHARPNESS)] = UvcControl{0, 255, 1, 128, false};
    t[at(U::UVC_IMAGE_WHITEBALANCE)] = UvcControl{2800, 6500, 1, 4000, true};
    t[at(U::UVC_IMAGE_BACKLIGHT_COMPENSATION)] = UvcControl{0, 1, 1, 0, false};
    t[at(U::UVC_IMAGE_GAIN)] = UvcControl{0, 255, 1, 0, false};
    t[at(U::UVC_IMAGE_EXPOSURE)] = UvcControl{3, 2047, 1, 250, true};
    return t;
}

const UvcTable& uvc_table(const CameraConfig& config) {
    static const UvcTable quorvex = quorvex_uvc_table();
    static const UvcTable webcam = webcam_uvc_table();
    switch (config.productType) {
    case QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_NONE_CAMERA:
    case QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_GENERIC_CAMERA:
        return webcam;
    default:
        return quorvex;
    }
}

struct IspControl {
    const char* name;
    int min, max, step, defaultValue;
};

// Indexed by QX_ISP_IMAGE_PROPERTIES.
constexpr IspControl kIspTable[kIspProperties] = {
    {"BRIGHTNESS", -100, 100, 1, 0},
    {"CONTRAST", -100, 100, 1, 0},
    {"SATURATION", 0, 200, 1, 100},
    {"WHITEBALANCE_MODE", 0, 1, 1, 1},
    {"WHITEBALANCE_TEMPERATURE", 2300, 7500, 100, 5000},
    {"EXPOSURE_MODE", 0, 1, 1, 1},
    {"EXPOSURE_TIME", 10, 1000000, 1, 10000},
    {"EXPOSURE_MIN_TIME", 10, 1000000, 1, 10},
    {"EXPOSURE_MAX_TIME", 10, 1000000, 1, 33333},
    {"EXPOSURE_GAIN", 0, 255, 1, 0},
    {"GAMMA", 100, 300, 1, 220},
    {"SHARPNESS", 0, 100, 1, 50},
    {"BACKLIGHT_COMPENSATION", 0, 1, 1, 0},
    {"SPECIAL_EFFECT_MODE", 0, 5, 1, 0},
    {"DENOISE", 0, 15, 1, 4},
    {"FLIP_MODE", 0, 3, 1, 0},
    {"PAN", -100, 100, 1, 0},
    {"TILT", -100, 100, 1, 0},
    {"ZOOM", 100, 800, 1, 100},
    {"FLICK_MODE", 0, 3, 1, 3},
    {"JPEG_QUALITY", 1, 100, 1, 90},
    {"TRIGGER_MODE", 0, 2, 1, 0},
    {"EHDR_MODE", 0, 2, 1, 0},
    {"EHDR_EXPOSURE_MIN_NUMBER", 1, 3, 1, 1},
    {"EHDR_EXPOSURE_MAX_NUMBER", 1, 3, 1, 3},
    {"EHDR_RATIO_MIN", 1, 128, 1, 4},
    {"EHDR_RATIO_MAX", 1, 128, 1, 32},
    {"EHDR_ATM_WEIGHT", 0, 100, 1, 50},
    {"EHDR_ATM_MAX", 1, 255, 1, 128},
};

// Lower and upper limits that must stay ordered.
constexpr std::pair<I, I> kIspLimits[] = {
    {I::ISP_IMAGE_EXPOSURE_MIN_TIME, I::ISP_IMAGE_EXPOSURE_MAX_TIME},
    {I::ISP_EHDR_EXPOSURE_MIN_NUMBER, I::ISP_EHDR_EXPOSURE_MAX_NUMBER},
    {I::ISP_EHDR_RATIO_MIN, I::ISP_EHDR_RATIO_MAX},
};

const IspControl& isp(I property) {
    return kIspTable[at(property)];
}

bool has_isp(const QxCamera::Impl& c) {
    return c.config.isp == IspType::ap1302;
}

template <class T>
bool on_grid(T value, T min, T max, T step) {
    return value >= min && value <= max && (value - min) % step == 0;
}

// The UVC control `property` names on the camera, or nullptr (logged) when it has none.
const UvcControl* uvc_control(const char* function, const QxCamera::Impl& c, U property) {
    const int index = at(property);
    if (index >= 0 && index < kUvcProperties) {
        if (const auto& control = uvc_table(c.config)[static_cast<std::size_t>(index)]) return &*control;
        logger().warn("{}: camera {} has no UVC control {}", function, c.index, kUvcNames[index]);
    } else {
        logger().warn("{}: {} is not a UVC control", function, index);
    }
    return nullptr;
}

// QXE_OK when the camera has an ISP, else QXE_NOT_SUPPORTED (logged).
int isp_present(const char* function, const QxCamera::Impl& c) {
    if (has_isp(c)) return QXE_OK;
    logger().warn("{}: camera {} has no ISP", function, c.index);
    return QXE_NOT_SUPPORTED;
}

// QXE_OK when `property` is an ISP control of the camera, else the failure status (logged).
int isp_status(const char* function, const QxCamera::Impl& c, I property) {
    if (const int status = isp_present(function, c); status != QXE_OK) return status;
    const int index = at(property);
    if (index < 0 || index >= kIspProperties) {
        logger().warn("{}: {} is not an ISP control", function, index);
        return QXE_NOT_SUPPORTED;
    }
    return QXE_OK;
}

struct Sensor {
    std::int64_t uvcExposure, uvcExposureDefault;  // µs
    std::int64_t ispExposure, ispExposureDefault;  // µs
    int uvcGain, uvcGainDefault, ispGain, ispGainDefault;
};

// The exposure and gains in use. The ISP's automatic exposure settles on the default time
// within the limits, at the default gain: the emulated scene never changes.
Sensor sensor(const QxCamera::Impl& c) {
    const ControlState& s = *c.controls;
    const UvcTable& table = uvc_table(c.config);
    Sensor out{};
    if (const auto& exposure = table[at(U::UVC_IMAGE_EXPOSURE)]) {
        out.uvcExposure = s.uvcValue[at(U::UVC_IMAGE_EXPOSURE)] * kMicrosecondsPerUvcExposureUnit;
        out.uvcExposureDefault = exposure->defaultValue * kMicrosecondsPerUvcExposureUnit;
    }
    if (const auto& gain = table[at(U::UVC_IMAGE_GAIN)]) {
        out.uvcGain = static_cast<int>(s.uvcValue[at(U::UVC_IMAGE_GAIN)]);
        out.uvcGainDefault = static_cast<int>(gain->defaultValue);
    }
    if (has_isp(c)) {
        const auto value = [&](I p) { return s.ispValue[at(p)]; };
        const int defaultTime = isp(I::ISP_IMAGE_EXPOSURE_TIME).defaultValue;
        const bool manual = value(I::ISP_IMAGE_EXPOSURE_MODE) == kIspManual;
        out.ispExposure = manual ? value(I::ISP_IMAGE_EXPOSURE_TIME)
                                 : std::clamp(defaultTime, value(I::ISP_IMAGE_EXPOSURE_MIN_TIME),
                                              value(I::ISP_IMAGE_EXPOSURE_MAX_TIME));
        out.ispExposureDefault = defaultTime;
        out.ispGainDefault = isp(I::ISP_IMAGE_EXPOSURE_GAIN).defaultValue;
        out.ispGain = manual ? value(I::ISP_IMAGE_EXPOSURE_GAIN) : out.ispGainDefault;
    }
    return out;
}

int current_gain(const Sensor& s) {
    const int total = (kGainUnity + s.uvcGain) * (kGainUnity + s.ispGain) / kGainUnity - kGainUnity;
    return std::min(total, 255);
}

std::int64_t current_exposure(const Sensor& s) {
    if (s.ispExposureDefault == 0) return s.uvcExposure;
    return s.uvcExposure * s.ispExposure / s.ispExposureDefault;
}

// `value` over `reference`; exactly 1.0 when they are equal, so default settings stay neutral.
double ratio(std::int64_t value, std::int64_t reference) {
    return reference == 0 ? 1.0 : static_cast<double>(value) / static_cast<double>(reference);
}

std::optional<long> uvc_in_use(const QxCamera::Impl& c, U property) {
    if (!uvc_table(c.config)[at(property)]) return std::nullopt;
    return c.controls->uvcValue[at(property)];
}

const char* mode_name(int flag) {
    return flag == kAutomatic ? "automatic" : "manual";
}

// The format the camera streams, for re-rendering its frames outside the camera's lock.
struct Rendering {
    ControlState before, after;
    Picture picture;
    QX_IMAGE_FORMAT format;
    int width, height;
};

// Runs `change(camera, state)` on an open camera under its port lock. When it succeeds and
// changes how a streaming camera's frames look, renders the new frames after releasing the
// lock and hands them to the stream, so that every frame after the call shows the change.
template <class Change>
int change_settings(const char* function, const std::shared_ptr<QxCamera>& camera, Change&& change) {
    std::optional<Rendering> pending;
    const int status = with_camera(function, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        const ControlState before = *c.controls;
        const int result = change(c, *c.controls);
        // A replayed recording shows what was recorded, whatever the settings.
        if (result != QXE_OK || !c.stream || !c.stream->source) return result;
        const Picture picture = picture_of(c);
        const FrameSource& source = *c.stream->source;
        if (picture != source.picture()) {
            pending = Rendering{before, *c.controls, picture, source.format(), source.width(), source.height()};
        }
        return result;
    });
    if (!pending) return status;

    std::shared_ptr<const FrameSource> source;
    try {
        source = frame_source(pending->format, pending->width, pending->height, pending->picture);
    } catch (const std::exception& error) {
        const auto lock = lock_camera(camera);
        QxCamera::Impl& c = camera->impl();
        // A later change that succeeded stays.
        if (*c.controls == pending->after) *c.controls = pending->before;
        logger().error("{}: camera {}: cannot prepare the changed frames: {}; the settings stay as they were",
                       function, c.index, error.what());
        return QXE_FAILED;
    }
    const auto lock = lock_camera(camera);
    QxCamera::Impl& c = camera->impl();
    // The stream may have been restarted or the settings changed again meanwhile: those calls
    // prepared their own frames.
    if (c.stream && c.stream->source && c.stream->source->format() == pending->format && c.stream->source->width() == pending->width &&
        c.stream->source->height() == pending->height && picture_of(c) == pending->picture) {
        c.stream->source = std::move(source);
    }
    return status;
}

// Keeps the cadence when the rate changes mid-stream: the next frame is produced one new period
// after the last one.
void retime(Stream& s, int framerate) {
    if (framerate == s.framerate) return;
    const std::uint64_t produced = produced_by(s, Clock::now());
    if (produced > s.base) {
        s.scheduleStart = production_time(s, produced - 1);
        s.base = produced - 1;
    }
    s.framerate = framerate;
}

bool is_usb(const QxCamera::Impl& c) {
    return c.config.interfaceType == QX_CAMERA_INTERFACE_TYPE::INTERFACE_USB;
}

int store_isp_values(const char* function, const QxCamera::Impl& c, ControlState& state, const IspValues& values) {
    if (const std::string problem = isp_values_problem(values, state.ispValue); !problem.empty()) {
        logger().warn("{}: camera {}: {}", function, c.index, problem);
        return QXE_INVALID_ARGUMENT;
    }
    for (const auto& [property, value] : values) {
        state.ispValue[at(property)] = value;
        logger().info("{}: camera {}: ISP {} = {}", function, c.index, isp(property).name, value);
    }
    return QXE_OK;
}

template <class T>
std::pair<const char*, T&> out(const char* name, T& value) {
    return {name, value};
}

// A getter of one control: journalled with the camera and the property, answered by a queued
// script (which writes only the out-values it names), else by `read` on the open camera.
template <class Property, class Read, class... Outs>
int read_control(const char* function, const std::shared_ptr<QxCamera>& camera, Property property, Read&& read,
                 std::pair<const char*, Outs&>... outs) {
    Call call(function, {{"camera", as_value(camera)}, {"property", as_value(property)}});
    if (auto* s = call.scripted()) {
        (s->write(outs.first, outs.second), ...);
        return s->result<int>();
    }
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int { return read(c); });
}

template <class Control, class Number>
void copy_range(const Control& control, Number& min, Number& max, Number& step, Number& defaultValue) {
    min = control.min;
    max = control.max;
    step = control.step;
    defaultValue = control.defaultValue;
}

}  // namespace

bool operator==(const ControlState& a, const ControlState& b) {
    return a.uvcValue == b.uvcValue && a.uvcFlag == b.uvcFlag && a.ispValue == b.ispValue && a.maxFps == b.maxFps &&
           a.throughput == b.throughput;
}

std::shared_ptr<ControlState> default_controls(const CameraConfig& config) {
    auto state = std::make_shared<ControlState>();
    const UvcTable& table = uvc_table(config);
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!table[i]) continue;
        state->uvcValue[i] = table[i]->defaultValue;
        state->uvcFlag[i] = table[i]->automatic ? kAutomatic : kManual;
    }
    for (std::size_t i = 0; i < std::size(kIspTable); ++i) state->ispValue[i] = kIspTable[i].defaultValue;
    return state;
}

bool same_controls(const CameraConfig& a, const CameraConfig& b) {
    return a.path == b.path && a.productType == b.productType && a.isp == b.isp &&
           a.interfaceType == b.interfaceType;
}

Picture picture_of(const QxCamera::Impl& c) {
    const UvcTable& table = uvc_table(c.config);
    const auto relative = [&](U property) {
        const auto value = uvc_in_use(c, property);
        return value ? ratio(*value, table[at(property)]->defaultValue) : 1.0;
    };
    Picture p;
    if (const auto brightness = uvc_in_use(c, U::UVC_IMAGE_BRIGHTNESS))
        p.brightness = static_cast<int>(*brightness - table[at(U::UVC_IMAGE_BRIGHTNESS)]->defaultValue);
    p.contrast = relative(U::UVC_IMAGE_CONTRAST);
    p.saturation = uvc_in_use(c, U::UVC_IMAGE_COLORENABLE) == 0L ? 0.0 : relative(U::UVC_IMAGE_SATURATION);
    if (has_isp(c)) {
        const auto value = [&](I property) { return c.controls->ispValue[at(property)]; };
        // ISP contrast runs from -100 (flat) through 0 (unchanged) to 100 (doubled).
        p.brightness += value(I::ISP_IMAGE_BRIGHTNESS) - isp(I::ISP_IMAGE_BRIGHTNESS).defaultValue;
        p.contrast *= ratio(100 + value(I::ISP_IMAGE_CONTRAST), 100 + isp(I::ISP_IMAGE_CONTRAST).defaultValue);
        p.saturation *= ratio(value(I::ISP_IMAGE_SATURATION), isp(I::ISP_IMAGE_SATURATION).defaultValue);
    }
    const Sensor s = sensor(c);
    p.exposure = ratio(s.uvcExposure, s.uvcExposureDefault) * ratio(s.ispExposure, s.ispExposureDefault) *
                 ratio(kGainUnity + s.uvcGain, kGainUnity + s.uvcGainDefault) *
                 ratio(kGainUnity + s.ispGain, kGainUnity + s.ispGainDefault);
    return p;
}

int capped_framerate(const QxCamera::Impl& c, int framerate) {
    const int cap = c.controls->maxFps;
    return cap == 0 ? framerate : std::min(framerate, cap);
}

std::string isp_values_problem(const IspValues& values, const std::array<int, kIspProperties>& current) {
    std::array<int, kIspProperties> next = current;
    for (const auto& [property, value] : values) {
        const int index = at(property);
        if (index < 0 || index >= kIspProperties) return fmt::format("{} is not an ISP control", index);
        const IspControl& control = kIspTable[index];
        if (!on_grid(value, control.min, control.max, control.step)) {
            return fmt::format("{} {} is not in {}..{} step {}", control.name, value, control.min, control.max,
                               control.step);
        }
        next[static_cast<std::size_t>(index)] = value;
    }
    for (const auto& [low, high] : kIspLimits) {
        if (next[at(low)] > next[at(high)]) {
            return fmt::format("{} {} would be above {} {}", isp(low).name, next[at(low)], isp(high).name,
                               next[at(high)]);
        }
    }
    return {};
}

std::array<int, kIspProperties> default_isp_values() {
    std::array<int, kIspProperties> values{};
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = kIspTable[i].defaultValue;
    return values;
}

int set_isp_values(const char* function, const std::shared_ptr<QxCamera>& camera,
                   const std::function<int(const QxCamera::Impl&, IspValues&)>& pick) {
    return change_settings(function, camera, [&](QxCamera::Impl& c, ControlState& state) -> int {
        IspValues values;
        if (const int status = pick(c, values); status != QXE_OK) return status;
        if (const int status = isp_present(function, c); status != QXE_OK) return status;
        return store_isp_values(function, c, state, values);
    });
}

}  // namespace qx_emulator

using namespace qx_emulator;

int QxSetUVCImageProcessing(std::shared_ptr<QxCamera> camera, QX_UVC_IMAGE_PROPERTIES property, long value,
                            int flag) try {
    Call call(__func__, {{"camera", as_value(camera)},
                         {"property", as_value(property)},
                         {"value", as_value(value)},
                         {"flag", as_value(flag)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return change_settings(function, camera, [&](QxCamera::Impl& c, ControlState& state) -> int {
        const UvcControl* control = uvc_control(function, c, property);
        if (control == nullptr) return QXE_NOT_SUPPORTED;
        const int index = at(property);
        const char* name = kUvcNames[index];
        if (flag != kAutomatic && flag != kManual) {
            logger().warn("{}: camera {}: {}: flag {} is neither 1 (automatic) nor 2 (manual)", function, c.index,
                          name, flag);
            return QXE_INVALID_ARGUMENT;
        }
        if (flag == kAutomatic && !control->automatic) {
            logger().warn("{}: camera {}: {} has no automatic mode", function, c.index, name);
            return QXE_NOT_SUPPORTED;
        }
        if (flag == kManual && !on_grid(value, control->min, control->max, control->step)) {
            logger().warn("{}: camera {}: {} {} is not in {}..{} step {}", function, c.index, name, value,
                          control->min, control->max, control->step);
            return QXE_INVALID_ARGUMENT;
        }
        state.uvcValue[index] = flag == kAutomatic ? control->defaultValue : value;
        state.uvcFlag[index] = flag;
        logger().info("{}: camera {}: {} = {} ({})", function, c.index, name, state.uvcValue[index],
                      mode_name(flag));
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetUVCImageProcessing(std::shared_ptr<QxCamera> camera, QX_UVC_IMAGE_PROPERTIES property, long& value,
                            int& flag) try {
    const char* function = __func__;
    return read_control(
        function, camera, property,
        [&](const QxCamera::Impl& c) -> int {
            if (uvc_control(function, c, property) == nullptr) return QXE_NOT_SUPPORTED;
            value = c.controls->uvcValue[at(property)];
            flag = c.controls->uvcFlag[at(property)];
            return QXE_OK;
        },
        out("value", value), out("flag", flag));
} catch (...) {
    return contained<int>(__func__);
}

int QxGetUVCImageProcessingRange(std::shared_ptr<QxCamera> camera, QX_UVC_IMAGE_PROPERTIES property, long& min,
                                 long& max, long& step, long& defaultValue) try {
    const char* function = __func__;
    return read_control(
        function, camera, property,
        [&](const QxCamera::Impl& c) -> int {
            const UvcControl* control = uvc_control(function, c, property);
            if (control == nullptr) return QXE_NOT_SUPPORTED;
            copy_range(*control, min, max, step, defaultValue);
            return QXE_OK;
        },
        out("min", min), out("max", max), out("step", step), out("defaultValue", defaultValue));
} catch (...) {
    return contained<int>(__func__);
}

int QxSetISPImageProcessing(std::shared_ptr<QxCamera> camera, QX_ISP_IMAGE_PROPERTIES property, int value) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"property", as_value(property)}, {"value", as_value(value)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return change_settings(function, camera, [&](QxCamera::Impl& c, ControlState& state) -> int {
        if (const int status = isp_status(function, c, property); status != QXE_OK) return status;
        return store_isp_values(function, c, state, {{property, value}});
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxSetISPImageProcessingDefault(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return change_settings(function, camera, [&](QxCamera::Impl& c, ControlState& state) -> int {
        if (const int status = isp_present(function, c); status != QXE_OK) return status;
        for (std::size_t i = 0; i < std::size(kIspTable); ++i) state.ispValue[i] = kIspTable[i].defaultValue;
        logger().info("{}: camera {}: every ISP control at its default", function, c.index);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetISPImageProcessing(std::shared_ptr<QxCamera> camera, QX_ISP_IMAGE_PROPERTIES property, int& value,
                            int& flag) try {
    const char* function = __func__;
    return read_control(
        function, camera, property,
        [&](const QxCamera::Impl& c) -> int {
            if (const int status = isp_status(function, c, property); status != QXE_OK) return status;
            value = c.controls->ispValue[at(property)];
            flag = value == isp(property).defaultValue ? 1 : 0;
            return QXE_OK;
        },
        out("value", value), out("flag", flag));
} catch (...) {
    return contained<int>(__func__);
}

int QxGetISPImageProcessingRange(std::shared_ptr<QxCamera> camera, QX_ISP_IMAGE_PROPERTIES property, int& min,
                                 int& max, int& step, int& defaultValue) try {
    const char* function = __func__;
    return read_control(
        function, camera, property,
        [&](const QxCamera::Impl& c) -> int {
            if (const int status = isp_status(function, c, property); status != QXE_OK) return status;
            copy_range(isp(property), min, max, step, defaultValue);
            return QXE_OK;
        },
        out("min", min), out("max", max), out("step", step), out("defaultValue", defaultValue));
} catch (...) {
    return contained<int>(__func__);
}

int QxGetCurrentGain(std::shared_ptr<QxCamera> camera, unsigned char& gain) try {
    return read_value(__func__, camera, "gain", gain, [&](const QxCamera::Impl& c) -> int {
        gain = static_cast<unsigned char>(current_gain(sensor(c)));
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetCurrentExposure(std::shared_ptr<QxCamera> camera, unsigned int& exposure) try {
    return read_value(__func__, camera, "exposure", exposure, [&](const QxCamera::Impl& c) -> int {
        exposure = static_cast<unsigned int>(current_exposure(sensor(c)));
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetMaxFPS(std::shared_ptr<QxCamera> camera, unsigned char& fps) try {
    return read_value(__func__, camera, "fps", fps, [&](const QxCamera::Impl& c) -> int {
        fps = c.controls->maxFps;
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxSetMaxFPS(std::shared_ptr<QxCamera> camera, unsigned char fps) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"fps", as_value(fps)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        c.controls->maxFps = fps;
        if (fps == 0) logger().info("QxSetMaxFPS: camera {}: no frame rate cap", c.index);
        else logger().info("QxSetMaxFPS: camera {}: frame rate capped at {} fps", c.index, fps);
        if (c.stream && !c.stream->replay) retime(*c.stream, capped_framerate(c, c.config.formats[c.selected].framerate));
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetThroughPut(std::shared_ptr<QxCamera> camera, unsigned short& throughput) try {
    return read_value(__func__, camera, "throughput", throughput, [&](const QxCamera::Impl& c) -> int {
        if (!is_usb(c)) {
            logger().warn("QxGetThroughPut: camera {} is not a USB camera", c.index);
            return QXE_NOT_SUPPORTED;
        }
        throughput = c.controls->throughput;
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxSetThroughPut(std::shared_ptr<QxCamera> camera, unsigned short throughput) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"throughput", as_value(throughput)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        if (!is_usb(c)) {
            logger().warn("QxSetThroughPut: camera {} is not a USB camera", c.index);
            return QXE_NOT_SUPPORTED;
        }
        if (throughput < 1 || throughput > 100) {
            logger().warn("QxSetThroughPut: camera {}: {} is not a USB bandwidth share of 1..100 %", c.index,
                          throughput);
            return QXE_INVALID_ARGUMENT;
        }
        c.controls->throughput = throughput;
        logger().info("QxSetThroughPut: camera {}: {} % of the USB bandwidth", c.index, throughput);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}
