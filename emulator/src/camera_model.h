// The cameras of the emulated library, built from the camera configuration.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QuorvexEmulator/Status.h>
#include <QuorvexSDK/QxHandles.h>

#include "config.h"
#include "frames.h"
#include "replay.h"
#include "script.h"

namespace qx_emulator {

using Clock = std::chrono::steady_clock;

// The frames a paced camera keeps for its reader; an older one is dropped for a newer one.
constexpr std::uint64_t kFrameBuffer = 4;

// A running stream. A paced camera produces frame k (numbered from 0 at QxStartStreaming) at
// scheduleStart + (k - base) / framerate whether it is read or not. A replay delivers every
// frame: frame k of its schedule is due at scheduleStart plus the recorded time between its frames
// delivered - scheduled and delivered - scheduled + k. Without pacing, a frame is produced when
// it is asked for.
struct Stream {
    std::shared_ptr<const FrameSource> source;
    std::shared_ptr<const ReplayTrack> replay;  // instead of `source` on a camera that replays a recording
    int framerate = 0;
    std::uint64_t delivered = 0;  // frames delivered since QxStartStreaming
    Clock::time_point scheduleStart;
    std::uint64_t base = 0;       // a paced camera: the frame produced at scheduleStart
    std::uint64_t next = 0;       // the first frame the reader has not had
    std::uint64_t scheduled = 0;  // a replay: frames delivered since scheduleStart
};

// When a paced camera produces frame k.
Clock::time_point production_time(const Stream& s, std::uint64_t k);

// How many frames a paced camera has produced by `now` since QxStartStreaming.
std::uint64_t produced_by(const Stream& s, Clock::time_point now);

struct ControlState;
struct Device;

// The connection at one device path, shared by every handle configured with that path (and so
// by everything those handles share: Device, ControlState). Its mutex guards the mutable state
// of those handles; calls on cameras at other paths never wait for it. A holder takes no other
// port's lock and not the model's lock (see fork.cpp for the whole order).
struct Port {
    Port();
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    std::mutex mutex;
    const QxCamera::Impl* openHandle = nullptr;  // the handle the device is open through
};

}  // namespace qx_emulator

// One configured camera. The mutable members are guarded by its port's mutex.
struct QxCamera::Impl {
    Impl(int index, qx_emulator::CameraConfig config, bool paced);

    const int index;  // position in the configuration, also its index in the journal
    const qx_emulator::CameraConfig config;
    const bool paced;  // false: a frame is due whenever one is asked for
    bool open = false;
    bool detached = false;  // the device is gone: its configuration was replaced, or it was unplugged
    bool unplugged = false;  // gone because qx_emulator::unplug() took it away
    std::size_t selected = 0;  // index in config.formats of the format QxStartStreaming uses
    std::optional<qx_emulator::Stream> stream;
    // QxGetTimestamp counts from here; QxOpen and QxResetTimestamp restart it.
    qx_emulator::Clock::time_point timestampOrigin{};
    // When the frame QxGetImage delivered last was captured; none since QxOpen, QxResetTimestamp
    // or QxStartStreaming.
    std::optional<qx_emulator::Clock::time_point> lastCapture;
    // The latest QxGetTimestamp answer, below which it never goes (a reader is const).
    mutable qx_emulator::Clock::duration timestampFloor{};
    // The frame counter, in frames produced since QxOpen: by the streams that ended, up to the frame
    // delivered last, and up to the last QxResetFrameCount (a frame produced before a reset but
    // delivered after it counts 0).
    std::uint64_t producedBefore = 0;
    std::uint64_t lastCount = 0;
    std::uint64_t countReset = 0;
    // Image-processing settings; shared with the other handles of the same device.
    std::shared_ptr<qx_emulator::ControlState> controls;
    // Registers, boot data and firmware; shared with the other handles of the same device.
    std::shared_ptr<qx_emulator::Device> device;
    // Shared with the other handles of the same path; set before the camera is published.
    std::shared_ptr<qx_emulator::Port> port;
};

namespace qx_emulator {

// Guards the list of configured cameras only, never the cameras' state; held briefly.
std::mutex& model_mutex();

// Takes and releases the lock of every port alive, for fork() (with model_mutex() held).
void lock_all_ports();
void unlock_all_ports();

// The lock of the camera's port; not locked for an empty handle, which has no state.
std::unique_lock<std::mutex> lock_camera(const std::shared_ptr<QxCamera>& camera);

// The configured cameras; the first use loads the configuration from the environment.
std::vector<std::shared_ptr<QxCamera>> cameras();

// The library's own handle for the camera at `index`; empty when there is none.
std::shared_ptr<QxCamera> camera_at(int index);

// Why the configuration was refused (the message of its log line), or empty when it was not.
std::string configuration_problem();

// Replaces the cameras (no cameras when `configuration` is empty, refused for `problem`). Old
// handles are detached.
void install_cameras(const std::optional<Configuration>& configuration, const std::string& problem = {});

// Detaches every camera; the next use loads the configuration from the environment again.
void forget_cameras();

// Takes the cameras configured with `path` away (detached, out of discovery) or brings them back
// as new handles in power-on state. Throw std::invalid_argument when no camera has that path.
void unplug_cameras(const std::string& path);
void plug_cameras(const std::string& path);

// Why a detached camera is gone, for the log.
const char* gone_reason(const QxCamera::Impl& camera);

// With the camera's port locked: ends the camera's stream (if any), counting the frames it produced.
void end_stream(QxCamera::Impl& camera);

// With the camera's port locked: how many frames the camera produced since QxOpen.
std::uint64_t frames_produced(const QxCamera::Impl& camera, Clock::time_point now);

// With the camera's port locked: whether another camera of the same device (same path) is open.
bool device_open_elsewhere(const QxCamera::Impl& camera);

enum class Need { present, open };

// With the camera's port locked: QXE_OK when `function` may use `camera`, else the failure
// status, which is logged as a warning.
int camera_status(const char* function, const std::shared_ptr<QxCamera>& camera, Need need);

// Runs `use(QxCamera::Impl&)` under the camera's port lock when the camera meets `need`;
// returns its status, or the failure status without running it.
template <class Use>
int with_camera(const char* function, const std::shared_ptr<QxCamera>& camera, Need need, Use&& use) {
    const auto lock = lock_camera(camera);
    const int status = camera_status(function, camera, need);
    return status == QXE_OK ? use(camera->impl()) : status;
}

// A getter of an open camera with one out-value, journalled with the camera. A script answers
// it; else `read(const QxCamera::Impl&)` gives the status under the port lock, writing `out`
// only when it succeeds.
template <class T, class Read>
int read_value(const char* function, const std::shared_ptr<QxCamera>& camera, const char* outName, T& out,
               Read&& read) {
    Call call(function, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) {
        s->write(outName, out);
        return s->result<int>();
    }
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int { return read(c); });
}

}  // namespace qx_emulator
