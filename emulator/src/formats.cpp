// Formats, streaming and frame capture of the emulated QuorvexSDK.
//
// Every call is journalled with its arguments. A queued script replaces the behaviour below:
// the call returns the scripted result and writes only the scripted out-values.
//
// QxGetFormatList, QxSetFormat, QxStartStreaming and QxStopStreaming first check the camera
// like the device-information getters: QXE_INVALID_HANDLE, QXE_NO_DEVICE, QXE_NOT_OPEN.
//
// QxGetFormatList(formats) appends the camera's formats in configuration order; formatId is the
//                          1-based position in that list.
// QxSetFormat(format)      QXE_BUSY while streaming; QXE_INVALID_ARGUMENT (logged) unless all five
//                          fields equal entry formatId of the list; else selects it for the next
//                          QxStartStreaming. QxOpen selects the first entry.
// QxStartStreaming         QXE_BUSY when streaming already; QXE_FAILED when the frames cannot be
//                          prepared (memory); else frame 0 is due at once, frame k at k / fps
//                          (fps capped by QxSetMaxFPS). Frames show the image-processing settings.
// QxStopStreaming          QXE_NOT_STREAMING when not streaming.
// QxGetImage(buffer, size, timeout)
//                          QX_OTHER_ERROR for an empty or replaced handle or a camera that is not
//                          streaming, QX_CAM_OCCUPIED for a closed camera whose device is open
//                          through another handle. Else waits up to `timeout` ms (without the
//                          model lock) for the next frame: none due in time gives QX_TIMEOUT after
//                          the whole timeout, buffer and *size untouched. A due frame with a null
//                          buffer or size gives QX_OTHER_ERROR and stays due; else it is written
//                          at the start of buffer, *size = its length, QX_SUCCESS. A caller more
//                          than one frame period late gets a frame at once and the schedule
//                          restarts from that moment. With `pacing: false` a frame is always due.
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
#include "frames.h"
#include "log.h"
#include "script.h"

using namespace qx_emulator;

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

// With model_mutex() held: why `camera` cannot deliver frames, or nothing when it can.
std::optional<QX_CAPTURE_RESULT> capture_refusal(const std::shared_ptr<QxCamera>& camera) {
    if (!camera) {
        logger().warn("QxGetImage: empty camera handle");
        return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
    }
    const QxCamera::Impl& c = camera->impl();
    if (c.detached) {
        logger().warn("QxGetImage: camera {} is gone (the configuration was replaced)", c.index);
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

Clock::time_point due_time(const Stream& s) {
    if (s.replay) {
        const auto since = s.replay->time_of(s.delivered) - s.replay->time_of(s.delivered - s.scheduled);
        return s.scheduleStart + std::chrono::nanoseconds(since);
    }
    const auto offset = static_cast<std::int64_t>(s.scheduled) * kNanosecondsPerSecond / s.framerate;
    return s.scheduleStart + std::chrono::nanoseconds(offset);
}

void count_delivery(Stream& s, Clock::time_point due, Clock::time_point now) {
    const std::chrono::nanoseconds period(kNanosecondsPerSecond / s.framerate);
    if (now - due > period) {
        s.scheduleStart = now;
        s.scheduled = 1;
    } else {
        ++s.scheduled;
    }
    ++s.delivered;
}

std::string describe(const QxFormat& f) {
    return fmt::format("#{} {} {}x{} at {} fps", f.formatId, static_cast<int>(f.format), f.width, f.height,
                       f.framerate);
}

}  // namespace

int QxGetFormatList(std::shared_ptr<QxCamera> camera, std::vector<QxFormat>& formats) {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) {
        s->write("formats", formats);
        return s->result<int>();
    }
    return with_camera(__func__, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        formats.reserve(formats.size() + c.config.formats.size());
        unsigned short id = 0;
        for (const FormatConfig& f : c.config.formats) {
            formats.push_back({++id, static_cast<unsigned short>(f.width), static_cast<unsigned short>(f.height),
                               static_cast<unsigned short>(f.framerate), f.format});
        }
        return QXE_OK;
    });
}

int QxSetFormat(std::shared_ptr<QxCamera> camera, QxFormat format) {
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
}

int QxStartStreaming(std::shared_ptr<QxCamera> camera) {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [](QxCamera::Impl& c) -> int {
        if (c.stream) {
            logger().warn("QxStartStreaming: camera {} is streaming already", c.index);
            return QXE_BUSY;
        }
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
        logger().info("QxStartStreaming: camera {} streams {} {}x{} at {} fps{}", c.index, format_name(f.format),
                      f.width, f.height, c.stream->framerate, c.paced ? "" : " (unpaced)");
        return QXE_OK;
    });
}

int QxStopStreaming(std::shared_ptr<QxCamera> camera) {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(__func__, camera, Need::open, [](QxCamera::Impl& c) -> int {
        if (!c.stream) {
            logger().warn("QxStopStreaming: camera {} is not streaming", c.index);
            return QXE_NOT_STREAMING;
        }
        logger().info("QxStopStreaming: camera {} stops after {} frame(s)", c.index, c.stream->delivered);
        c.stream.reset();
        return QXE_OK;
    });
}

QX_CAPTURE_RESULT QxGetImage(std::shared_ptr<QxCamera> camera, unsigned char* buffer, int* size,
                             unsigned short timeout) {
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
            std::lock_guard<std::mutex> lock(model_mutex());
            if (const auto refusal = capture_refusal(camera)) return *refusal;
            QxCamera::Impl& c = camera->impl();
            Stream& stream = *c.stream;
            index = c.index;
            const Clock::time_point now = Clock::now();
            due = c.paced ? due_time(stream) : now;
            if (due <= now) {
                if (buffer == nullptr || size == nullptr) {
                    logger().warn("QxGetImage: camera {}: null {} pointer", c.index,
                                  buffer == nullptr ? "buffer" : "size");
                    return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
                }
                source = stream.source;
                replay = stream.replay;
                number = stream.delivered;
                count_delivery(stream, due, now);
                ++c.frameCount;
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
        // Another thread may take the frame we wake up for; the loop then waits for the next.
        const bool timesOut = due > deadline;
        std::this_thread::sleep_until(timesOut ? deadline : due);
        if (timesOut) {
            logger().debug("QxGetImage: camera {}: no frame within {} ms", index, timeout);
            return QX_CAPTURE_RESULT::QX_TIMEOUT;
        }
    }
}
