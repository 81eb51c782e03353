// Image-processing settings of the emulated cameras: UVC and ISP property values, the frame
// rate cap and the USB throughput share. controls.cpp holds the property tables.
#pragma once

#include <array>
#include <memory>

#include <QuorvexSDK/QxHandles.h>

#include "config.h"
#include "picture.h"

namespace qx_emulator {

constexpr int kUvcProperties = 17;  // UVC_IMAGE_BRIGHTNESS .. UVC_IMAGE_FOCUS
constexpr int kIspProperties = 29;  // ISP_IMAGE_BRIGHTNESS .. ISP_EHDR_ATM_MAX

// The settings of one camera device; guarded by model_mutex() like the camera's other state.
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

// With model_mutex() held: how the camera's settings show in its frames.
Picture picture_of(const QxCamera::Impl& camera);

// With model_mutex() held: the rate a format of `framerate` fps streams at on the camera.
int capped_framerate(const QxCamera::Impl& camera, int framerate);

}  // namespace qx_emulator
