// Recordings replayed as cameras: the reader of the project's recording files (emulator/README.md,
// "Recordings" gives the layout and its limits) and the frames it replays.
//
// Opening a recording reads it once from start to end, checking every record, and keeps only an
// index of the frames of one of its cameras; frames are read from the file when they are
// delivered, so a long recording costs a few dozen bytes of memory per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"

namespace qx_emulator {

class RecordingFile;

// The frames of one format (pixel format, size and frame rate) of a recording, in recorded order.
class ReplayTrack {
public:
    struct Frame {
        std::uint64_t offset;  // of the frame's bytes in the file
        std::uint32_t length;
        std::int64_t time;  // nanoseconds after the track's first frame, never decreasing
    };

    ReplayTrack(std::shared_ptr<const RecordingFile> file, FormatConfig format);

    const FormatConfig& format() const { return format_; }
    std::size_t size() const { return frames_.size(); }

    // Nanoseconds from the start of the replay to frame `number`: the track plays again and again,
    // each pass one frame period after the last frame of the one before.
    std::int64_t time_of(std::uint64_t number) const;

    // Writes frame `number` (modulo the track's length) at the start of `destination` and returns
    // its length. Safe to call from several threads. Throws std::runtime_error when the file
    // cannot be read any more.
    std::size_t read(std::uint64_t number, unsigned char* destination) const;

private:
    friend class Recording;
    void add(std::uint64_t offset, std::uint32_t length, std::uint64_t sequence, std::int64_t hostTime);
    void finish();

    std::shared_ptr<const RecordingFile> file_;
    FormatConfig format_;
    std::int64_t period_;  // one frame at the track's frame rate
    std::vector<Frame> frames_;
    std::int64_t passLength_ = 0;
    // While adding: the previous frame's sequence number and host time.
    std::uint64_t lastSequence_ = 0;
    std::int64_t lastHostTime_ = 0;
};

// What the recording's INFO record tells about the replayed camera, as written there (the
// package's names: "USB", "ZENA", "SUPER_PLUS", ...); a value that is missing, not text (or not a
// boolean for `imu`) or not UTF-8 is left empty.
struct RecordedCamera {
    std::optional<std::string> name, path, hardwareId, interface, product, usbSpeed, isp;
    std::optional<bool> imu;
};

class Recording {
public:
    // Reads camera `camera`'s part of the recording at `path` (frames of other cameras are
    // checked and skipped). On failure returns nothing and sets `problem` to a sentence naming
    // what is wrong (and where), also when the recording has no such camera. A recording cut
    // short, or damaged from some record on, opens with the frames before that record; `warning`
    // then says so.
    static std::shared_ptr<const Recording> open(const std::string& path, std::size_t camera, std::string& problem,
                                                 std::string& warning);

    // The recorded formats, in the order of their first frame.
    std::vector<FormatConfig> formats() const;

    // The track of `format`; std::out_of_range when it is not one of formats().
    std::shared_ptr<const ReplayTrack> track(const FormatConfig& format) const;

    std::size_t frame_count() const;

    // The cameras the file holds (1 for format version 1).
    std::size_t camera_count() const { return cameraCount_; }
    const RecordedCamera& camera() const { return camera_; }

private:
    std::vector<std::shared_ptr<ReplayTrack>> tracks_;
    std::size_t cameraCount_ = 1;
    RecordedCamera camera_;
};

}  // namespace qx_emulator
