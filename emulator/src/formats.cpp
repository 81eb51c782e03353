// Format lists, format selection, streaming and frame capture with its pacing. What each function
// does, its statuses and limits are in emulator/README.md ("Logging, discovery and capture");
// every function is journalled and can be scripted ("Test control").
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include <fmt/format.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "controls.h"
#include "device.h"
#include "frames.h"
#include "guard.h"
#include "log.h"
#include "script.h"

using namespace qx_emulator;

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// The longest QxGetImage sleeps before it looks at its camera again.
constexpr std::chrono::milliseconds kWaitSlice(20);

// With the camera's port locked: why `camera` cannot deliver frames, or nothing when it can.
std::optional<QX_CAPTURE_RESULT> capture_refusal(const std::shared_ptr<QxCamera>& camera) {
    if (!camera) {
        logger().warn("QxGetImage: empty camera handle");
        return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
    }
    const QxCamera::Impl& c = camera->impl();
    if (c.detached) {
        logger().warn("QxGetImage: camera {} is gone ({})", c.index, gone_reason(c));
        return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
    }
    if (!c.open) {
        if (device_open_elsewhere(c)) {
            logger().warn("QxGetImage: camera {}: device {} is open through another handle", c.index, c.config.path);
            return QX_CAPTURE_RESULT::QX_CAM_OCCUPIED;
        }
        logger().warn("QxGetImage: camera {} is not open", c.index);
        return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
    }
    if (!c.stream) {
        logger().warn("QxGetImage: camera {} is not streaming", c.index);
        return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
    }
    return std::nullopt;
}

Clock::time_point replay_due(const Stream& s) {
    const auto since = s.replay->time_of(s.delivered) - s.replay->time_of(s.delivered - s.scheduled);
    return s.scheduleStart + std::chrono::nanoseconds(since);
}

// A replay delivers every recorded frame: a caller more than one frame period late gets it at
// once and the schedule restarts from then. Gives the frame's capture time.
Clock::time_point count_replay_delivery(Stream& s, Clock::time_point due, Clock::time_point now) {
    const std::chrono::nanoseconds period(kNanosecondsPerSecond / s.framerate);
    if (now - due > period) {
        s.scheduleStart = now;
        s.scheduled = 1;
        return now;
    }
    ++s.scheduled;
    return due;
}

std::string describe(const QxFormat& f) {
    return fmt::format("#{} {} {}x{} at {} fps", f.formatId, static_cast<int>(f.format), f.width, f.height,
                       f.framerate);
}

}  // namespace

namespace qx_emulator {

Clock::time_point production_time(const Stream& s, std::uint64_t k) {
    // Frames before `base` (still buffered when QxSetMaxFPS changed the rate) count back at the new rate.
    const auto offset =
        (static_cast<std::int64_t>(k) - static_cast<std::int64_t>(s.base)) * kNanosecondsPerSecond / s.framerate;
    return s.scheduleStart + std::chrono::nanoseconds(offset);
}

std::uint64_t produced_by(const Stream& s, Clock::time_point now) {
    if (now < s.scheduleStart) return s.base;
    const std::int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - s.scheduleStart).count();
    // Estimated from the elapsed time, then made exact by production_time's own rounding.
    std::uint64_t last = s.base + static_cast<std::uint64_t>(elapsed / kNanosecondsPerSecond * s.framerate +
                                                              elapsed % kNanosecondsPerSecond * s.framerate /
                                                                  kNanosecondsPerSecond);
    while (production_time(s, last + 1) <= now) ++last;
    while (last > s.base && production_time(s, last) > now) --last;
    return last + 1;
}

std::uint64_t frames_produced(const QxCamera::Impl& c, Clock::time_point now) {
    if (!c.stream) return c.producedBefore;
    const Stream& s = *c.stream;
    return c.producedBefore + (c.paced && !s.replay ? produced_by(s, now) : s.delivered);
}

void end_stream(QxCamera::Impl& c) {
    if (!c.stream) return;
    c.producedBefore = frames_produced(c, Clock::now());
    c.stream.reset();
}

}  // namespace qx_emulator

int QxGetFormatList(std::shared_ptr<QxCamera> camera, std::vector<QxFormat>& formats) try {
    return read_value(__func__, camera, "formats", formats, [&](const QxCamera::Impl& c) -> int {
        formats.reserve(formats.size() + c.config.formats.size());
        unsigned short id = 0;
        for (const FormatConfig& f : c.config.formats) {
            formats.push_back({++id, static_cast<unsigned short>(f.width), static_cast<unsigned short>(f.height),
                               static_cast<unsigned short>(f.framerate), f.format});
        }
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxSetFormat(std::shared_ptr<QxCamera> camera, QxFormat format) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"format", as_value(format)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        if (c.stream) {
            logger().warn("QxSetFormat: camera {} is streaming", c.index);
            return QXE_BUSY;
        }
        const auto& list = c.config.formats;
        const std::size_t position = format.formatId;
        const FormatConfig asked{format.format, format.width, format.height, format.framerate};
        if (position == 0 || position > list.size() || !(list[position - 1] == asked)) {
            logger().warn("QxSetFormat: camera {} has no format {} (format ids 1..{})", c.index, describe(format),
                          list.size());
            return QXE_INVALID_ARGUMENT;
        }
        c.selected = position - 1;
        logger().info("QxSetFormat: camera {} selects {} {}x{} at {} fps", c.index, format_name(asked.format),
                      asked.width, asked.height, asked.framerate);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxStartStreaming(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [](QxCamera::Impl& c) -> int {
        if (c.stream) {
            logger().warn("QxStartStreaming: camera {} is streaming already", c.index);
            return QXE_BUSY;
        }
        if (const int status = device_status("QxStartStreaming", c); status != QXE_OK) return status;
        const FormatConfig& f = c.config.formats[c.selected];
        Stream stream;
        try {
            if (c.config.replay) stream.replay = c.config.replay->track(f);
            else stream.source = frame_source(f.format, f.width, f.height, picture_of(c));
        } catch (const std::exception& error) {
            logger().error("QxStartStreaming: camera {}: cannot prepare {} {}x{} frames: {}", c.index,
                           format_name(f.format), f.width, f.height, error.what());
            return QXE_FAILED;
        }
        stream.framerate = stream.replay ? f.framerate : capped_framerate(c, f.framerate);
        stream.scheduleStart = Clock::now();
        c.stream = std::move(stream);
        c.lastCapture.reset();
        logger().info("QxStartStreaming: camera {} streams {} {}x{} at {} fps{}", c.index, format_name(f.format),
                      f.width, f.height, c.stream->framerate, c.paced ? "" : " (unpaced)");
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxStopStreaming(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [](QxCamera::Impl& c) -> int {
        if (!c.stream) {
            logger().warn("QxStopStreaming: camera {} is not streaming", c.index);
            return QXE_NOT_STREAMING;
        }
        logger().info("QxStopStreaming: camera {} stops after {} frame(s)", c.index, c.stream->delivered);
        end_stream(c);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

QX_CAPTURE_RESULT QxGetImage(std::shared_ptr<QxCamera> camera, unsigned char* buffer, int* size,
                             unsigned short timeout) try {
    Call call(__func__, {{"camera", as_value(camera)},
                         {"buffer", buffer != nullptr ? as_value(reinterpret_cast<std::uintptr_t>(buffer)) : Value{}},
                         {"size", size != nullptr ? as_value(*size) : Value{}},
                         {"timeout", as_value(timeout)}});
    if (auto* s = call.scripted()) {
        s->write_through("size", size);
        s->write_bytes("buffer", buffer);
        return s->result<QX_CAPTURE_RESULT>();
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        std::shared_ptr<const FrameSource> source;
        std::shared_ptr<const ReplayTrack> replay;
        std::uint64_t number = 0;
        int index = 0;
        Clock::time_point due;
        {
            const auto lock = lock_camera(camera);
            if (const auto refusal = capture_refusal(camera)) return *refusal;
            QxCamera::Impl& c = camera->impl();
            Stream& stream = *c.stream;
            index = c.index;
            const Clock::time_point now = Clock::now();
            // The frame to deliver, if one is there: the oldest the camera still holds that the
            // reader has not had (a replay's next frame once due; without pacing, a new one).
            std::optional<std::uint64_t> ready;
            due = now;
            if (!c.paced) {
                ready = stream.next;
            } else if (stream.replay) {
                due = replay_due(stream);
                if (due <= now) ready = stream.next;
            } else {
                const std::uint64_t produced = produced_by(stream, now);
                const std::uint64_t oldest = produced > kFrameBuffer ? produced - kFrameBuffer : 0;
                if (stream.next < produced) ready = std::max(stream.next, oldest);
                else due = production_time(stream, stream.next);
            }
            if (ready) {
                if (buffer == nullptr || size == nullptr) {
                    logger().warn("QxGetImage: camera {}: null {} pointer", c.index,
                                  buffer == nullptr ? "buffer" : "size");
                    return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
                }
                source = stream.source;
                replay = stream.replay;
                number = *ready;
                if (number > stream.next) {
                    logger().debug("QxGetImage: camera {}: frames {} to {} dropped", c.index, stream.next, number - 1);
                }
                if (!c.paced) c.lastCapture = now;
                else if (replay) c.lastCapture = count_replay_delivery(stream, due, now);
                else c.lastCapture = production_time(stream, number);
                stream.next = number + 1;
                ++stream.delivered;
                c.lastCount = c.producedBefore + number + 1;
            }
        }
        if (source || replay) {
            try {
                *size = static_cast<int>(replay ? replay->read(number, buffer) : source->render(number, buffer));
            } catch (const std::exception& error) {
                logger().error("QxGetImage: camera {}: frame {} failed: {}", index, number, error.what());
                return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
            }
            return QX_CAPTURE_RESULT::QX_SUCCESS;
        }
        if (Clock::now() >= deadline) {
            logger().debug("QxGetImage: camera {}: no frame within {} ms", index, timeout);
            return QX_CAPTURE_RESULT::QX_TIMEOUT;
        }
        // In slices, so that a camera unplugged, replaced, closed or stopped meanwhile ends the
        // wait soon; another thread may also take the frame we wake up for.
        std::this_thread::sleep_until(std::min({due, deadline, Clock::now() + kWaitSlice}));
    }
} catch (...) {
    return contained<QX_CAPTURE_RESULT>(__func__);
}
