// Image-processing settings of the emulated cameras: UVC and ISP property values, the frame
// rate cap and the USB throughput share. controls.cpp holds the property tables.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QuorvexSDK/QxEnums.h>
#include <QuorvexSDK/QxHandles.h>

#include "config.h"
#include "picture.h"

namespace qx_emulator {

constexpr int kUvcProperties = 17;  // UVC_IMAGE_BRIGHTNESS .. UVC_IMAGE_FOCUS
constexpr int kIspProperties = 29;  // ISP_IMAGE_BRIGHTNESS .. ISP_EHDR_ATM_MAX

// The settings of one camera device; guarded by the port lock like the camera's other state.
// A slot of an unsupported property is never read.
struct ControlState {
    std::array<long, kUvcProperties> uvcValue{};
    std::array<int, kUvcProperties> uvcFlag{};
    std::array<int, kIspProperties> ispValue{};
    unsigned char maxFps = 0;  // 0: no cap
    unsigned short throughput = 100;
};

bool operator==(const ControlState& a, const ControlState& b);

// Every setting at its default for a camera configured as `config`.
std::shared_ptr<ControlState> default_controls(const CameraConfig& config);

// Whether cameras configured as `a` and `b` are handles of one device with one set of settings.
bool same_controls(const CameraConfig& a, const CameraConfig& b);

// With the camera's port locked: how the camera's settings show in its frames.
Picture picture_of(const QxCamera::Impl& camera);

// With the camera's port locked: the rate a format of `framerate` fps streams at on the camera.
int capped_framerate(const QxCamera::Impl& camera, int framerate);

// ISP property values to set together, in order.
using IspValues = std::vector<std::pair<QX_ISP_IMAGE_PROPERTIES, int>>;

// Why `values` cannot be set over the ISP values `current` the way QxSetISPImageProcessing sets
// one: a property outside 0..28, a value off its range or step, or a lower limit above its upper
// limit once all are set. Empty when they can.
std::string isp_values_problem(const IspValues& values, const std::array<int, kIspProperties>& current);

std::array<int, kIspProperties> default_isp_values();

// Sets the ISP values that `pick` chooses (under the port lock, where it may refuse with a
// failure status) on an open AP1302 camera, all or none, as QxSetISPImageProcessing sets one:
// the same checks and logging, and a streaming camera's frames show them from the next frame.
int set_isp_values(const char* function, const std::shared_ptr<QxCamera>& camera,
                   const std::function<int(const QxCamera::Impl&, IspValues&)>& pick);

}  // namespace qx_emulator
