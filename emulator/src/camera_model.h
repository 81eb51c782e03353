// The cameras of the emulated library, built from the camera configuration.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <QuorvexEmulator/Status.h>
#include <QuorvexSDK/QxHandles.h>

#include "config.h"

// One configured camera. The mutable members are guarded by qx_emulator::model_mutex().
struct QxCamera::Impl {
    Impl(int index, qx_emulator::CameraConfig config);

    const int index;  // position in the configuration, also its index in the journal
    const qx_emulator::CameraConfig config;
    bool open = false;
    bool detached = false;  // its configuration was replaced: the device is gone
};

// Routes get their content with the media-route functions.
struct QxRoute::Impl {};

namespace qx_emulator {

std::mutex& model_mutex();

// The configured cameras; the first use loads the configuration from the environment.
std::vector<std::shared_ptr<QxCamera>> cameras();

// The library's own handle for the camera at `index`; empty when there is none.
std::shared_ptr<QxCamera> camera_at(int index);

// Replaces the cameras (no cameras when `configuration` is empty). Old handles are detached.
void install_cameras(const std::optional<CameraList>& configuration);

// Detaches every camera; the next use loads the configuration from the environment again.
void forget_cameras();

enum class Need { present, open };

// With model_mutex() held: QXE_OK when `function` may use `camera`, else the failure status,
// which is logged as a warning.
int camera_status(const char* function, const std::shared_ptr<QxCamera>& camera, Need need);

// Runs `use(QxCamera::Impl&)` under the model lock when the camera meets `need`; returns
// its status, or the failure status without running it.
template <class Use>
int with_camera(const char* function, const std::shared_ptr<QxCamera>& camera, Need need, Use&& use) {
    std::lock_guard<std::mutex> lock(model_mutex());
    const int status = camera_status(function, camera, need);
    return status == QXE_OK ? use(camera->impl()) : status;
}

}  // namespace qx_emulator
