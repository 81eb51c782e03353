// Frames of the emulated cameras: a test pattern in each of the nine pixel formats, with a
// moving marker and a frame counter (emulator/README.md, "Test pattern", tells the exact geometry).
//
// A FrameSource renders and converts the pattern once; each frame is then one copy of that
// base plus a few grey rectangles drawn straight into the destination format. MJPG frames
// come from a ring of kJpegRing frames encoded on first use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <QuorvexSDK/QxEnums.h>

#include "picture.h"

namespace qx_emulator {

constexpr int kJpegRing = 16;
constexpr int kJpegQuality = 90;

// Where the marker and the counter of a frame go; all values in pixels.
struct PatternGeometry {
    PatternGeometry(int width, int height);

    int markerX(std::uint64_t frame) const;  // even
    int cellX(int cell) const { return cell * width / 32; }

    int width;
    int height;
    int barsEnd;  // first row of the grey ramp
    int markerSide;
    int markerY;  // even
    int counterRows;
};

// Length of one uncompressed frame; 0 for MJPG, whose frames vary.
std::size_t raw_frame_size(QX_IMAGE_FORMAT format, int width, int height);

class FrameSource {
public:
    // Renders the base pattern as `picture` shows it (the marker and counter are drawn over it
    // unchanged); throws std::bad_alloc when memory runs out.
    FrameSource(QX_IMAGE_FORMAT format, int width, int height, const Picture& picture = {});
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // Writes frame `number` at the start of `destination` and returns its length in bytes.
    // Safe to call from several threads. Throws std::runtime_error when JPEG encoding fails.
    std::size_t render(std::uint64_t number, unsigned char* destination) const;

    QX_IMAGE_FORMAT format() const { return format_; }
    int width() const { return geometry_.width; }
    int height() const { return geometry_.height; }
    const Picture& picture() const { return picture_; }
    std::size_t memory() const { return base_.size(); }

private:
    struct JpegSlot {
        std::once_flag once;
        std::vector<unsigned char> bytes;
    };

    void stamp(std::uint64_t number, unsigned char* frame, QX_IMAGE_FORMAT format) const;
    void fill_grey(unsigned char* frame, QX_IMAGE_FORMAT format, int x, int y, int w, int h,
                   unsigned char grey) const;
    const std::vector<unsigned char>& jpeg(int slot) const;

    const QX_IMAGE_FORMAT format_;
    const PatternGeometry geometry_;
    const Picture picture_;
    std::vector<unsigned char> base_;  // the pattern without marker and counter; RGB for MJPG
    mutable std::array<JpegSlot, kJpegRing> jpegs_;
};

// The source of a format and picture, shared with every camera streaming it. Recently used
// sources are kept so that switching formats or settings back and forth renders nothing again.
std::shared_ptr<const FrameSource> frame_source(QX_IMAGE_FORMAT format, int width, int height,
                                                const Picture& picture = {});

// Guards the cache of recent sources; held briefly, never while rendering.
std::mutex& frame_cache_mutex();

}  // namespace qx_emulator
