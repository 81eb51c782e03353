#include "frames.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <stdexcept>
#include <string>

#include <turbojpeg.h>

namespace qx_emulator {
namespace {

using F = QX_IMAGE_FORMAT;

struct Rgb {
    unsigned char r, g, b;
};

constexpr Rgb kBars[8] = {
    {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {255, 0, 255}, {0, 0, 0},
};
constexpr unsigned char kMarkerGrey = 128;

// Kept sources may hold up to this many bytes beyond the ones in use.
constexpr std::size_t kCacheBytes = std::size_t{256} << 20;

// BT.601 limited range in integers: the coefficients times 1000 over 255 * 1000, so that
// "rounded to nearest, halves up" is exact.
constexpr std::int64_t kScale = 255000;

std::int64_t y_part(Rgb c) { return 65481 * c.r + 128553 * c.g + 24966 * c.b; }
std::int64_t u_part(Rgb c) { return -37797 * c.r - 74203 * c.g + 112000 * c.b; }
std::int64_t v_part(Rgb c) { return 112000 * c.r - 93786 * c.g - 18214 * c.b; }

unsigned char luma(Rgb c) {
    return static_cast<unsigned char>(16 + (y_part(c) + kScale / 2) / kScale);
}

// Mean chroma of `count` pixels whose chroma parts add up to `sum`.
unsigned char chroma(std::int64_t sum, int count) {
    const std::int64_t scale = kScale * count;
    return static_cast<unsigned char>((sum + 128 * scale + scale / 2) / scale);
}

Rgb pixel(const unsigned char* rgb, std::size_t index) {
    return {rgb[3 * index], rgb[3 * index + 1], rgb[3 * index + 2]};
}

std::vector<unsigned char> render_rgb(const PatternGeometry& g, const Picture& picture) {
    const auto W = static_cast<std::size_t>(g.width);
    std::vector<unsigned char> rgb(W * static_cast<std::size_t>(g.height) * 3);
    std::vector<unsigned char> bars(W * 3), ramp(W * 3);
    for (int i = 0; i < 8; ++i) {
        for (int x = i * g.width / 8; x < (i + 1) * g.width / 8; ++x) {
            std::memcpy(&bars[3 * static_cast<std::size_t>(x)], &kBars[i], 3);
        }
    }
    for (int x = 0; x < g.width; ++x) {
        std::memset(&ramp[3 * static_cast<std::size_t>(x)], x * 255 / (g.width - 1), 3);
    }
    // Every row is a copy of one of these two, so adjusting them adjusts the whole picture.
    apply_picture(picture, bars.data(), W);
    apply_picture(picture, ramp.data(), W);
    for (int y = 0; y < g.height; ++y) {
        std::memcpy(&rgb[static_cast<std::size_t>(y) * W * 3], (y < g.barsEnd ? bars : ramp).data(), W * 3);
    }
    return rgb;
}

std::vector<unsigned char> convert(const std::vector<unsigned char>& rgb, F format, int width, int height) {
    const std::size_t W = static_cast<std::size_t>(width), H = static_cast<std::size_t>(height), pixels = W * H;
    const unsigned char* in = rgb.data();
    std::vector<unsigned char> out(raw_frame_size(format, width, height));
    unsigned char* o = out.data();
    switch (format) {
    case F::QX_IMAGE_FORMAT_RGB:
        std::memcpy(o, in, pixels * 3);
        break;
    case F::QX_IMAGE_FORMAT_BGR:
        for (std::size_t i = 0; i < pixels; ++i) {
            const Rgb c = pixel(in, i);
            o[3 * i] = c.b, o[3 * i + 1] = c.g, o[3 * i + 2] = c.r;
        }
        break;
    case F::QX_IMAGE_FORMAT_BGRA:
    case F::QX_IMAGE_FORMAT_BGRX:
        for (std::size_t i = 0; i < pixels; ++i) {
            const Rgb c = pixel(in, i);
            o[4 * i] = c.b, o[4 * i + 1] = c.g, o[4 * i + 2] = c.r, o[4 * i + 3] = 255;
        }
        break;
    case F::QX_IMAGE_FORMAT_RGB16:
        for (std::size_t i = 0; i < pixels; ++i) {
            const Rgb c = pixel(in, i);
            const unsigned value = (c.r >> 3u) << 11u | (c.g >> 2u) << 5u | (c.b >> 3u);
            o[2 * i] = static_cast<unsigned char>(value & 0xffu);
            o[2 * i + 1] = static_cast<unsigned char>(value >> 8u);
        }
        break;
    case F::QX_IMAGE_FORMAT_YUY2:
    case F::QX_IMAGE_FORMAT_UYVY: {
        // Byte offsets of Y0, U, Y1, V within a pixel pair.
        const bool yuy2 = format == F::QX_IMAGE_FORMAT_YUY2;
        const int y0 = yuy2 ? 0 : 1, u = yuy2 ? 1 : 0, y1 = yuy2 ? 2 : 3, v = yuy2 ? 3 : 2;
        for (std::size_t i = 0; i < pixels; i += 2) {
            const Rgb a = pixel(in, i), b = pixel(in, i + 1);
            unsigned char* pair = o + 2 * i;
            pair[y0] = luma(a);
            pair[y1] = luma(b);
            pair[u] = chroma(u_part(a) + u_part(b), 2);
            pair[v] = chroma(v_part(a) + v_part(b), 2);
        }
        break;
    }
    case F::QX_IMAGE_FORMAT_NV12: {
        for (std::size_t i = 0; i < pixels; ++i) o[i] = luma(pixel(in, i));
        unsigned char* uv = o + pixels;
        for (std::size_t y = 0; y < H; y += 2) {
            for (std::size_t x = 0; x < W; x += 2) {
                const Rgb block[4] = {pixel(in, y * W + x), pixel(in, y * W + x + 1), pixel(in, (y + 1) * W + x),
                                      pixel(in, (y + 1) * W + x + 1)};
                std::int64_t us = 0, vs = 0;
                for (const Rgb& c : block) us += u_part(c), vs += v_part(c);
                unsigned char* at = uv + (y / 2) * W + x;
                at[0] = chroma(us, 4);
                at[1] = chroma(vs, 4);
            }
        }
        break;
    }
    default:
        throw std::invalid_argument("no uncompressed form for this format");
    }
    return out;
}

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct TjFree {
    void operator()(unsigned char* bytes) const { tjFree(bytes); }
};

std::vector<unsigned char> encode_jpeg(const unsigned char* rgb, int width, int height) {
    std::unique_ptr<void, TjDeleter> handle(tjInitCompress());
    if (!handle) throw std::runtime_error(std::string("JPEG encoder: ") + tjGetErrorStr2(nullptr));
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int failed = tjCompress2(handle.get(), rgb, width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_422,
                                   kJpegQuality, 0);
    std::unique_ptr<unsigned char, TjFree> owned(jpeg);
    if (failed != 0) throw std::runtime_error(std::string("JPEG encoder: ") + tjGetErrorStr2(handle.get()));
    return {jpeg, jpeg + size};
}

}  // namespace

PatternGeometry::PatternGeometry(int width, int height)
    : width(width),
      height(height),
      barsEnd(3 * height / 4),
      markerSide(std::max(8, height / 16 / 2 * 2)),
      markerY((3 * height / 8 - markerSide / 2) / 2 * 2),
      counterRows(std::max(2, height / 32 / 2 * 2)) {}

int PatternGeometry::markerX(std::uint64_t frame) const {
    if (width <= markerSide) return 0;
    const auto step = static_cast<std::uint64_t>(markerSide / 2);
    return static_cast<int>(frame * step % static_cast<std::uint64_t>(width - markerSide)) / 2 * 2;
}

std::size_t raw_frame_size(QX_IMAGE_FORMAT format, int width, int height) {
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    switch (format) {
    case F::QX_IMAGE_FORMAT_YUY2:
    case F::QX_IMAGE_FORMAT_UYVY:
    case F::QX_IMAGE_FORMAT_RGB16: return pixels * 2;
    case F::QX_IMAGE_FORMAT_NV12: return pixels * 3 / 2;
    case F::QX_IMAGE_FORMAT_BGRA:
    case F::QX_IMAGE_FORMAT_BGRX: return pixels * 4;
    case F::QX_IMAGE_FORMAT_BGR:
    case F::QX_IMAGE_FORMAT_RGB: return pixels * 3;
    default: return 0;
    }
}

FrameSource::FrameSource(QX_IMAGE_FORMAT format, int width, int height, const Picture& picture)
    : format_(format), geometry_(width, height), picture_(picture) {
    base_ = render_rgb(geometry_, picture);
    if (format != F::QX_IMAGE_FORMAT_MJPG) base_ = convert(base_, format, width, height);
}

FrameSource::~FrameSource() = default;

std::size_t FrameSource::render(std::uint64_t number, unsigned char* destination) const {
    if (format_ == F::QX_IMAGE_FORMAT_MJPG) {
        const auto& bytes = jpeg(static_cast<int>(number % kJpegRing));
        std::memcpy(destination, bytes.data(), bytes.size());
        return bytes.size();
    }
    std::memcpy(destination, base_.data(), base_.size());
    stamp(number, destination, format_);
    return base_.size();
}

const std::vector<unsigned char>& FrameSource::jpeg(int slot) const {
    JpegSlot& s = jpegs_[static_cast<std::size_t>(slot)];
    std::call_once(s.once, [&] {
        std::vector<unsigned char> rgb = base_;
        stamp(static_cast<std::uint64_t>(slot), rgb.data(), F::QX_IMAGE_FORMAT_RGB);
        s.bytes = encode_jpeg(rgb.data(), width(), height());
    });
    return s.bytes;
}

void FrameSource::stamp(std::uint64_t number, unsigned char* frame, QX_IMAGE_FORMAT format) const {
    const PatternGeometry& g = geometry_;
    const int x0 = g.markerX(number);
    fill_grey(frame, format, x0, g.markerY, std::min(g.markerSide, g.width - x0), g.markerSide, kMarkerGrey);
    for (int cell = 0; cell < 32; ++cell) {
        const bool set = (number >> (31 - cell)) & 1u;
        fill_grey(frame, format, g.cellX(cell), g.height - g.counterRows, g.cellX(cell + 1) - g.cellX(cell),
                  g.counterRows, set ? 255 : 0);
    }
}

// The YUV formats get neutral chroma under the rectangle even where it covers only half a
// pixel pair (2x2 block for NV12). That is exact because a rectangle either covers whole pairs
// (the marker: even position and side) or lies on the grey ramp, neutral already (the counter).
void FrameSource::fill_grey(unsigned char* frame, QX_IMAGE_FORMAT format, int x, int y, int w, int h,
                            unsigned char grey) const {
    if (w <= 0 || h <= 0) return;
    const std::size_t W = static_cast<std::size_t>(geometry_.width);
    const auto X = static_cast<std::size_t>(x), Y = static_cast<std::size_t>(y);
    const auto cols = static_cast<std::size_t>(w), rows = static_cast<std::size_t>(h);
    const Rgb c{grey, grey, grey};
    switch (format) {
    case F::QX_IMAGE_FORMAT_RGB:
    case F::QX_IMAGE_FORMAT_BGR:
        for (std::size_t r = Y; r < Y + rows; ++r) std::memset(frame + (r * W + X) * 3, grey, cols * 3);
        break;
    case F::QX_IMAGE_FORMAT_BGRA:
    case F::QX_IMAGE_FORMAT_BGRX: {
        const unsigned char bgra[4] = {grey, grey, grey, 255};
        for (std::size_t r = Y; r < Y + rows; ++r) {
            unsigned char* at = frame + (r * W + X) * 4;
            for (std::size_t i = 0; i < cols; ++i) std::memcpy(at + 4 * i, bgra, 4);
        }
        break;
    }
    case F::QX_IMAGE_FORMAT_RGB16: {
        const unsigned value = (grey >> 3u) << 11u | (grey >> 2u) << 5u | (grey >> 3u);
        const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xffu),
                                        static_cast<unsigned char>(value >> 8u)};
        for (std::size_t r = Y; r < Y + rows; ++r) {
            unsigned char* at = frame + (r * W + X) * 2;
            for (std::size_t i = 0; i < cols; ++i) std::memcpy(at + 2 * i, bytes, 2);
        }
        break;
    }
    case F::QX_IMAGE_FORMAT_YUY2:
    case F::QX_IMAGE_FORMAT_UYVY: {
        const bool yuy2 = format == F::QX_IMAGE_FORMAT_YUY2;
        const std::size_t lumaAt = yuy2 ? 0 : 1, chromaAt = yuy2 ? 1 : 0;
        const unsigned char l = luma(c);
        for (std::size_t r = Y; r < Y + rows; ++r) {
            unsigned char* row = frame + r * W * 2;
            for (std::size_t px = X; px < X + cols; ++px) {
                row[2 * px + lumaAt] = l;
                row[2 * px + chromaAt] = 128;
            }
        }
        break;
    }
    case F::QX_IMAGE_FORMAT_NV12: {
        const unsigned char l = luma(c);
        for (std::size_t r = Y; r < Y + rows; ++r) std::memset(frame + r * W + X, l, cols);
        unsigned char* uv = frame + W * static_cast<std::size_t>(geometry_.height);
        const std::size_t firstPair = X / 2, lastPair = (X + cols - 1) / 2;
        for (std::size_t r = Y / 2; r <= (Y + rows - 1) / 2; ++r) {
            std::memset(uv + r * W + 2 * firstPair, 128, 2 * (lastPair - firstPair + 1));
        }
        break;
    }
    default:
        break;
    }
}

namespace {

std::list<std::shared_ptr<const FrameSource>>& recent_sources() {
    // Most recently used first; never destroyed (see model() in camera_model.cpp).
    static auto* recent = new std::list<std::shared_ptr<const FrameSource>>;
    return *recent;
}

// With frame_cache_mutex() held: the cached source, moved to the front, or nothing.
std::shared_ptr<const FrameSource> cached_source(QX_IMAGE_FORMAT format, int width, int height,
                                                 const Picture& picture) {
    auto& recent = recent_sources();
    const auto found = std::find_if(recent.begin(), recent.end(), [&](const auto& s) {
        return s->format() == format && s->width() == width && s->height() == height && s->picture() == picture;
    });
    if (found == recent.end()) return nullptr;
    recent.splice(recent.begin(), recent, found);
    return recent.front();
}

}  // namespace

std::mutex& frame_cache_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::shared_ptr<const FrameSource> frame_source(QX_IMAGE_FORMAT format, int width, int height,
                                                const Picture& picture) {
    {
        std::lock_guard<std::mutex> lock(frame_cache_mutex());
        if (auto source = cached_source(format, width, height, picture)) return source;
    }
    // Rendered without the cache's lock, which cameras streaming other formats need meanwhile.
    auto made = std::make_shared<const FrameSource>(format, width, height, picture);
    std::lock_guard<std::mutex> lock(frame_cache_mutex());
    // Another thread may have made the same source meanwhile: one copy is kept.
    if (auto source = cached_source(format, width, height, picture)) return source;
    auto& recent = recent_sources();
    recent.push_front(std::move(made));
    std::size_t kept = 0;
    for (auto it = recent.begin(); it != recent.end();) {
        kept += (*it)->memory();
        if (it != recent.begin() && kept > kCacheBytes) it = recent.erase(it);
        else ++it;
    }
    return recent.front();
}

}  // namespace qx_emulator
