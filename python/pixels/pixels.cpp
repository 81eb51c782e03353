// quorvex._pixels: a camera frame in any of the library's pixel formats to packed RGB or BGR,
// by libyuv (YUV and uncompressed RGB formats) and TurboJPEG (MJPG), with AVX2 kernels of its
// own for YUY2, UYVY and NV12 where the CPU has AVX2. Conversions run without the interpreter
// lock, on several threads for large frames.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/row.h>
#include <turbojpeg.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QX_PIXELS_AVX2 1
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace {

enum class Order { rgb, bgr };

using Bytes = py::array_t<std::uint8_t, py::array::c_style>;

struct Frame {
    const std::uint8_t* data;
    int width;
    int height;
};

// Rows per unit of work: small enough to share out over the workers.
constexpr int band_rows = 32;
// Below this many pixels a frame is converted on the calling thread alone, where a worker's
// wake-up costs more than it saves. At 640x480 a second core halves the time when it is free
// (and costs a little on a machine busy with other work).
constexpr long parallel_pixels = 640 * 360;
// How long a worker keeps looking for the next frame before it sleeps: back-to-back
// conversions find it awake instead of paying a wake-up each.
constexpr auto spin_time = std::chrono::microseconds(50);

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// A few threads that stay for the process's life and help convert large frames. The calling
// thread converts too and never waits for a worker that has not started: units are claimed
// one at a time, so on a busy machine the caller simply does more of them itself.
class Workers {
public:
    static Workers& shared() {
        static Workers workers;
        return workers;
    }

    // Calls convert(first_row, row_count) for every band of `height` rows, on this thread and
    // the workers; returns when all are done.
    template <typename Convert>
    void for_bands(int width, int height, Convert&& convert) {
        const int units = (height + band_rows - 1) / band_rows;
        Job job;
        job.units = units;
        job.body = [&](int unit) {
            const int first = unit * band_rows;
            convert(first, std::min(band_rows, height - first));
        };
        const bool share = !threads_.empty() && static_cast<long>(width) * height >= parallel_pixels && units > 1;
        if (share) {
            std::lock_guard<std::mutex> lock(mutex_);
            current_ = &job;
            generation_.fetch_add(1, std::memory_order_release);
            wake_.notify_all();
        }
        job.claim_all();
        if (share) {
            // A worker still inside its last unit is about to finish it: wait without sleeping first.
            const auto until = std::chrono::steady_clock::now() + spin_time;
            while (job.active.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until) {
                for (int i = 0; i < 16; ++i) cpu_pause();
            }
            std::unique_lock<std::mutex> lock(mutex_);
            idle_.wait(lock, [&] { return job.active.load(std::memory_order_acquire) == 0; });
            current_ = nullptr;
        }
    }

    ~Workers() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& thread : threads_) thread.join();
    }

private:
    struct Job {
        std::function<void(int)> body;
        int units = 0;
        std::atomic<int> next{0};
        std::atomic<int> active{0};  // workers inside claim_all(); they join and leave under the mutex

        void claim_all() {
            for (int unit = next.fetch_add(1); unit < units; unit = next.fetch_add(1)) body(unit);
        }
    };

    Workers() {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        const unsigned helpers = std::min(cores, 4u) - 1;
        for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { serve(); });
    }

    void serve() {
        std::uint64_t seen = 0;
        while (true) {
            const auto until = std::chrono::steady_clock::now() + spin_time;
            while (generation_.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < until) {
                for (int i = 0; i < 16; ++i) cpu_pause();
            }
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_.load(std::memory_order_relaxed) != seen; });
            if (stopping_) return;
            seen = generation_.load(std::memory_order_relaxed);
            Job* job = current_;
            if (job == nullptr) continue;  // finished by its caller already
            job->active.fetch_add(1, std::memory_order_relaxed);
            lock.unlock();
            job->claim_all();
            lock.lock();
            if (job->active.fetch_sub(1, std::memory_order_acq_rel) == 1) idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    Job* current_ = nullptr;
    std::atomic<std::uint64_t> generation_{0};
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

template <typename Convert>
void for_bands(int width, int height, Convert&& convert) {
    Workers::shared().for_bands(width, height, std::forward<Convert>(convert));
}

using ToArgb = int (*)(const std::uint8_t*, int, std::uint8_t*, int, int, int);

// Formats libyuv turns into ARGB only: row by row through ARGB that stays in the first-level
// cache, into the packed output.
void through_argb(ToArgb to_argb, int bytes_per_pixel, const Frame& frame, std::uint8_t* out, Order order) {
    const auto from_argb = order == Order::rgb ? libyuv::ARGBToRAW : libyuv::ARGBToRGB24;
    const int src_stride = frame.width * bytes_per_pixel;
    const int out_stride = frame.width * 3;
    for_bands(frame.width, frame.height, [&](int first, int rows) {
        thread_local std::vector<std::uint8_t> argb;
        argb.resize(static_cast<std::size_t>(frame.width) * 4);
        for (int row = first; row < first + rows; ++row) {
            to_argb(frame.data + static_cast<std::size_t>(row) * src_stride, src_stride, argb.data(), frame.width * 4,
                    frame.width, 1);
            from_argb(argb.data(), frame.width * 4, out + static_cast<std::size_t>(row) * out_stride, out_stride,
                      frame.width, 1);
        }
    });
}

enum class Layout { yuy2, uyvy, nv12 };

// One row of a YUV frame, or for NV12 the two rows that share a chroma row: `source` its
// packed pixels or NV12 luma, `chroma` NV12's interleaved U, V for it; converts the first
// pixels, a multiple of 16, and returns how many.
using YuvRow = int (*)(const std::uint8_t* source, const std::uint8_t* chroma, std::uint8_t* out, int width);

#ifdef QX_PIXELS_AVX2
// Byte shuffles of the AVX2 kernel, the same for both 128-bit lanes.
struct Shuffles {
    alignas(32) std::int8_t chroma_yuy2[32];  // U, V of a pixel's pair into the pixel's 16 bits
    alignas(32) std::int8_t chroma_uyvy[32];
    alignas(32) std::int8_t head_outer[32];   // a lane's 8 pixels: output bytes 0..15 from the
    alignas(32) std::int8_t head_third[32];   // first two channels' and from the third's bytes
    alignas(32) std::int8_t tail_outer[32];   // output bytes 16..23
    alignas(32) std::int8_t tail_third[32];

    Shuffles() {
        for (int lane = 0; lane < 32; lane += 16) {
            for (int j = 0; j < 16; ++j) {
                const int pair = j / 4, byte = j % 2;
                chroma_yuy2[lane + j] = static_cast<std::int8_t>(pair * 4 + 1 + 2 * byte);
                chroma_uyvy[lane + j] = static_cast<std::int8_t>(pair * 4 + 2 * byte);
                for (int half = 0; half < 2; ++half) {
                    const int at = j + 16 * half;  // byte of the lane's 24 output bytes
                    const int pixel = at / 3, channel = at % 3;
                    const bool inside = at < 24;
                    std::int8_t outer = -128, third = -128;
                    if (inside && channel < 2) outer = static_cast<std::int8_t>(pixel + 8 * channel);
                    if (inside && channel == 2) third = static_cast<std::int8_t>(pixel);
                    (half == 0 ? head_outer : tail_outer)[lane + j] = outer;
                    (half == 0 ? head_third : tail_third)[lane + j] = third;
                }
            }
        }
    }
};
const Shuffles shuffles;

inline __m256i load(const void* at) __attribute__((target("avx2")));
inline __m256i load(const void* at) { return _mm256_loadu_si256(static_cast<const __m256i*>(at)); }

// Three channels of 16 pixels (16-bit, in two lanes of 8) into 48 packed bytes.
__attribute__((target("avx2"))) inline void store_pixels(__m256i first, __m256i second, __m256i third,
                                                          std::uint8_t* to) {
    const __m256i outer = _mm256_packus_epi16(first, second);
    const __m256i last = _mm256_packus_epi16(third, third);
    const __m256i head = _mm256_or_si256(_mm256_shuffle_epi8(outer, load(shuffles.head_outer)),
                                         _mm256_shuffle_epi8(last, load(shuffles.head_third)));
    const __m256i tail = _mm256_or_si256(_mm256_shuffle_epi8(outer, load(shuffles.tail_outer)),
                                         _mm256_shuffle_epi8(last, load(shuffles.tail_third)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm256_castsi256_si128(head));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 16), _mm256_castsi256_si128(tail));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 24), _mm256_extracti128_si256(head, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 40), _mm256_extracti128_si256(tail, 1));
}

// libyuv's own BT.601 arithmetic and constants, 16 pixels at a time straight into packed
// three-byte pixels, so that the output is exactly libyuv's. NV12 converts two rows at once,
// the two that share a chroma row, and works out the chroma's part once for both.
template <Layout layout, Order order>
__attribute__((target("avx2"))) int yuv_row_avx2(const std::uint8_t* source, const std::uint8_t* chroma,
                                                 std::uint8_t* out, int width) {
    constexpr int rows = layout == Layout::nv12 ? 2 : 1;
    const libyuv::YuvConstants& constants = libyuv::kYuvI601Constants;
    const __m256i to_b = load(constants.kUVToB), to_g = load(constants.kUVToG), to_r = load(constants.kUVToR);
    const __m256i y_scale = load(constants.kYToRgb), y_bias = load(constants.kYBiasToRgb);
    const __m256i centre = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i pick_chroma = load(layout == Layout::yuy2 ? shuffles.chroma_yuy2 : shuffles.chroma_uyvy);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m256i y[rows], uv;
        if constexpr (layout == Layout::nv12) {
            for (int row = 0; row < rows; ++row) {
                y[row] = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + row * width + x)));
            }
            const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + x));
            uv = _mm256_set_m128i(_mm_unpackhi_epi16(pairs, pairs), _mm_unpacklo_epi16(pairs, pairs));
        } else {
            const __m256i packed = load(source + 2 * x);
            y[0] = layout == Layout::yuy2 ? _mm256_and_si256(packed, _mm256_set1_epi16(0xff))
                                          : _mm256_srli_epi16(packed, 8);
            uv = _mm256_shuffle_epi8(packed, pick_chroma);
        }
        uv = _mm256_sub_epi8(uv, centre);
        const __m256i uv_b = _mm256_maddubs_epi16(to_b, uv);
        const __m256i uv_g = _mm256_maddubs_epi16(to_g, uv);
        const __m256i uv_r = _mm256_maddubs_epi16(to_r, uv);
        for (int row = 0; row < rows; ++row) {
            __m256i luma = _mm256_or_si256(y[row], _mm256_slli_epi16(y[row], 8));
            luma = _mm256_add_epi16(_mm256_mulhi_epu16(luma, y_scale), y_bias);
            const __m256i b = _mm256_srai_epi16(_mm256_adds_epi16(luma, uv_b), 6);
            const __m256i g = _mm256_srai_epi16(_mm256_subs_epi16(luma, uv_g), 6);
            const __m256i r = _mm256_srai_epi16(_mm256_adds_epi16(luma, uv_r), 6);
            std::uint8_t* to = out + static_cast<std::size_t>(row) * width * 3 + 3 * x;
            if constexpr (order == Order::rgb) {
                store_pixels(r, g, b, to);
            } else {
                store_pixels(b, g, r, to);
            }
        }
    }
    return x;
}

template <Layout layout>
YuvRow avx2_row(Order order) {
    return order == Order::rgb ? yuv_row_avx2<layout, Order::rgb> : yuv_row_avx2<layout, Order::bgr>;
}
#endif

// Off, libyuv converts on every CPU as it does where there is no kernel of ours (for tests).
std::atomic<bool> vector_kernels{true};

// The fast kernel for this CPU, or null where libyuv's rows do it all.
YuvRow fast_row(Layout layout, Order order) {
#ifdef QX_PIXELS_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && vector_kernels.load(std::memory_order_relaxed)) {
        switch (layout) {
        case Layout::yuy2: return avx2_row<Layout::yuy2>(order);
        case Layout::uyvy: return avx2_row<Layout::uyvy>(order);
        case Layout::nv12: return avx2_row<Layout::nv12>(order);
        }
    }
#endif
    (void)layout;
    (void)order;
    return nullptr;
}

// YUY2, UYVY and NV12: the fast kernel where there is one, libyuv for what it leaves.
void yuv(Layout layout, const Frame& frame, std::uint8_t* out, Order order) {
    const YuvRow fast = fast_row(layout, order);
    if (fast == nullptr && layout != Layout::nv12) {
        through_argb(layout == Layout::yuy2 ? libyuv::YUY2ToARGB : libyuv::UYVYToARGB, 2, frame, out, order);
        return;
    }
    const auto to_argb = layout == Layout::yuy2 ? libyuv::YUY2ToARGB : libyuv::UYVYToARGB;
    const auto from_argb = order == Order::rgb ? libyuv::ARGBToRAW : libyuv::ARGBToRGB24;
    const auto nv12 = order == Order::rgb ? libyuv::NV12ToRAW : libyuv::NV12ToRGB24;
    const std::size_t width = frame.width;
    const std::uint8_t* chroma_plane = frame.data + width * frame.height;
    const bool planar = layout == Layout::nv12;
    // The kernel takes NV12's rows two at a time; bands start on even rows and hold an even
    // number of them, since NV12's height is even.
    const int step = planar && fast != nullptr ? 2 : 1;
    for_bands(frame.width, frame.height, [&](int first, int rows) {
        for (int row = first; row < first + rows; row += step) {
            const std::uint8_t* source = frame.data + row * width * (planar ? 1 : 2);
            const std::uint8_t* chroma = planar ? chroma_plane + (row / 2) * width : nullptr;
            std::uint8_t* target = out + row * width * 3;
            const int done = fast != nullptr ? fast(source, chroma, target, frame.width) : 0;
            const int rest = frame.width - done;
            if (rest == 0) continue;
            for (int line = 0; line < step; ++line) {
                const std::uint8_t* from = source + line * width;
                std::uint8_t* to = target + line * width * 3;
                if (planar) {
                    nv12(from + done, rest, chroma + done, rest, to + 3 * done, rest * 3, rest, 1);
                } else {
                    // At most 14 pixels.
                    std::uint8_t argb[16 * 4];
                    to_argb(from + 2 * done, rest * 2, argb, rest * 4, rest, 1);
                    from_argb(argb, rest * 4, to + 3 * done, rest * 3, rest, 1);
                }
            }
        }
    });
}

// Three bytes a pixel: the same order is a copy, the other a swap of the outer two.
void packed_24(const Frame& frame, std::uint8_t* out, bool swap) {
    const int stride = frame.width * 3;
    for_bands(frame.width, frame.height, [&](int first, int rows) {
        const std::size_t offset = static_cast<std::size_t>(first) * stride;
        if (swap) {
            libyuv::RAWToRGB24(frame.data + offset, stride, out + offset, stride, frame.width, rows);
        } else {
            std::memcpy(out + offset, frame.data + offset, static_cast<std::size_t>(rows) * stride);
        }
    });
}

void bgra(const Frame& frame, std::uint8_t* out, Order order) {
    // libyuv's ARGB is B, G, R, A in memory: the camera's BGRA and BGRX.
    const auto convert = order == Order::rgb ? libyuv::ARGBToRAW : libyuv::ARGBToRGB24;
    for_bands(frame.width, frame.height, [&](int first, int rows) {
        convert(frame.data + static_cast<std::size_t>(first) * frame.width * 4, frame.width * 4,
                out + static_cast<std::size_t>(first) * frame.width * 3, frame.width * 3, frame.width, rows);
    });
}

struct TurboJpegHandle {
    tjhandle handle = tjInitDecompress();
    ~TurboJpegHandle() {
        if (handle != nullptr) tjDestroy(handle);
    }
    // A header TurboJPEG could not read leaves the decompressor inside it, failing every later
    // frame with the same error: a damaged frame gets a fresh one for the next.
    void renew() {
        if (handle != nullptr) tjDestroy(handle);
        handle = tjInitDecompress();
    }
};

// A decompressor per thread: TurboJPEG handles must not be shared between threads.
TurboJpegHandle& decompressor() {
    thread_local TurboJpegHandle local;
    if (local.handle == nullptr) local.renew();
    if (local.handle == nullptr) throw std::runtime_error("TurboJPEG could not create a decompressor");
    return local;
}

py::array_t<std::uint8_t> decode_mjpg(const Bytes& data, int width, int height, Order order) {
    TurboJpegHandle& local = decompressor();
    tjhandle handle = local.handle;
    auto* source = const_cast<unsigned char*>(data.data());
    const auto size = static_cast<unsigned long>(data.size());
    int jpeg_width = 0, jpeg_height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle, source, size, &jpeg_width, &jpeg_height, &subsampling, &colorspace) != 0) {
        const std::string error = tjGetErrorStr2(handle);
        local.renew();
        throw py::value_error("MJPG frame is not a readable JPEG: " + error);
    }
    if (jpeg_width != width || jpeg_height != height) {
        throw py::value_error("MJPG frame is " + std::to_string(jpeg_width) + "x" + std::to_string(jpeg_height) +
                              ", not the format's " + std::to_string(width) + "x" + std::to_string(height));
    }
    py::array_t<std::uint8_t> out({height, width, 3});
    std::uint8_t* target = out.mutable_data();
    int failed = 0;
    std::string error;
    {
        py::gil_scoped_release release;
        failed = tjDecompress2(handle, source, size, target, width, width * 3, height,
                               order == Order::rgb ? TJPF_RGB : TJPF_BGR, 0);
        // A truncated or damaged frame decodes partly, with a warning: refuse it rather than
        // hand out a picture with grey where the data ended.
        if (failed != 0) error = tjGetErrorStr2(handle);
    }
    if (failed != 0) {
        local.renew();
        throw py::value_error("MJPG frame could not be decoded: " + error);
    }
    return out;
}

// The library's pixel formats, in its order, with what a frame of each is made of. quorvex reads
// this table (pixels.PIXEL_FORMATS) wherever it needs these facts.
struct PixelFormat {
    const char* name;
    int bytes_per_two_pixels;  // 0: compressed, a frame's length varies
    bool even_width;
    bool even_height;
};

constexpr PixelFormat pixel_formats[] = {
    {"YUY2", 4, true, false}, {"UYVY", 4, true, false}, {"NV12", 3, true, true},
    {"MJPG", 0, false, false}, {"BGRA", 8, false, false}, {"BGRX", 8, false, false},
    {"BGR", 6, false, false}, {"RGB16", 4, false, false}, {"RGB", 6, false, false},
};

const PixelFormat* find_pixel_format(const std::string& name) {
    for (const PixelFormat& format : pixel_formats) {
        if (name == format.name) return &format;
    }
    return nullptr;
}

py::array_t<std::uint8_t> convert(const Bytes& data, const std::string& pixel_format, int width, int height,
                                  Order order) {
    if (data.ndim() != 1) throw py::value_error("frame data must be one-dimensional");
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535) {
        throw py::value_error("frame size " + std::to_string(width) + "x" + std::to_string(height) +
                              " is out of range");
    }
    const PixelFormat* format = find_pixel_format(pixel_format);
    if (format == nullptr) throw py::value_error("no conversion for pixel format '" + pixel_format + "'");
    if (format->bytes_per_two_pixels == 0) return decode_mjpg(data, width, height, order);
    if ((format->even_width && width % 2 != 0) || (format->even_height && height % 2 != 0)) {
        throw py::value_error(pixel_format + " needs an even width" + (format->even_height ? " and height" : "") +
                              ", not " + std::to_string(width) + "x" + std::to_string(height));
    }
    const long long expected = static_cast<long long>(width) * height * format->bytes_per_two_pixels / 2;
    if (data.size() != expected) {
        throw py::value_error("a " + pixel_format + " " + std::to_string(width) + "x" + std::to_string(height) +
                              " frame holds " + std::to_string(expected) + " bytes, not " +
                              std::to_string(data.size()));
    }
    py::array_t<std::uint8_t> out({height, width, 3});
    const Frame frame{data.data(), width, height};
    std::uint8_t* target = out.mutable_data();
    py::gil_scoped_release release;
    if (pixel_format == "YUY2") {
        yuv(Layout::yuy2, frame, target, order);
    } else if (pixel_format == "UYVY") {
        yuv(Layout::uyvy, frame, target, order);
    } else if (pixel_format == "RGB16") {
        through_argb(libyuv::RGB565ToARGB, 2, frame, target, order);
    } else if (pixel_format == "NV12") {
        yuv(Layout::nv12, frame, target, order);
    } else if (pixel_format == "BGRA" || pixel_format == "BGRX") {
        bgra(frame, target, order);
    } else if (pixel_format == "BGR") {
        packed_24(frame, target, order == Order::rgb);
    } else {
        packed_24(frame, target, order == Order::bgr);
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_pixels, m) {
    m.doc() = "Pixel conversion of camera frames to packed RGB or BGR (libyuv, TurboJPEG)";
    py::list formats;
    for (const PixelFormat& format : pixel_formats) {
        formats.append(py::make_tuple(format.name, format.bytes_per_two_pixels, format.even_width, format.even_height));
    }
    m.attr("PIXEL_FORMATS") = py::tuple(formats);
    m.def(
        "_use_vector_kernels",
        [](bool use) { return vector_kernels.exchange(use); },
        py::arg("use"),
        "Whether YUY2, UYVY and NV12 go through the CPU's vector kernels or libyuv alone; returns the "
        "previous setting (for tests)");
    m.def(
        "to_rgb",
        [](const Bytes& data, const std::string& pixel_format, int width, int height) {
            return convert(data, pixel_format, width, height, Order::rgb);
        },
        py::arg("data"), py::arg("pixel_format"), py::arg("width"), py::arg("height"),
        "The frame as a new (height, width, 3) uint8 array in R, G, B order");
    m.def(
        "to_bgr",
        [](const Bytes& data, const std::string& pixel_format, int width, int height) {
            return convert(data, pixel_format, width, height, Order::bgr);
        },
        py::arg("data"), py::arg("pixel_format"), py::arg("width"), py::arg("height"),
        "The frame as a new (height, width, 3) uint8 array in B, G, R order");
}
