// Formats, streaming and frame capture.
#include <cstdint>
#include <limits>

#include "module/convert.h"
#include "module/frame_capacity.h"
#include "module/registration.h"

namespace pyqx {
namespace {

// A zero-filled uint8 array of `length` bytes. numpy.zeros takes its memory from calloc, so
// pages the library never writes cost nothing.
py::array_t<std::uint8_t> zeroed_bytes(std::int64_t length) {
    return py::module_::import("numpy").attr("zeros")(length, "uint8");
}

std::tuple<QX_CAPTURE_RESULT, py::array_t<std::uint8_t>> get_image(CameraPtr camera, unsigned short timeout,
                                                                    QxFormat format) {
    const std::int64_t capacity = frame_capacity(format.width, format.height, format.format);
    if (capacity > std::numeric_limits<int>::max()) {
        throw py::value_error("QxGetImage: a frame of " + std::to_string(capacity) +
                              " bytes exceeds the largest buffer the library can fill (2147483647 bytes)");
    }
    // The library writes straight into the array that is returned: no second copy of the frame.
    auto frame = zeroed_bytes(capacity);
    int size = 0;
    const QX_CAPTURE_RESULT result =
        QxGetImage(std::move(camera), capacity > 0 ? frame.mutable_data() : nullptr, &size, timeout);
    if (result != QX_CAPTURE_RESULT::QX_SUCCESS) return {result, empty_array<std::uint8_t>()};
    if (size < 0 || size > capacity) {
        return {QX_CAPTURE_RESULT::QX_BUFFER_CORRUPTED, empty_array<std::uint8_t>()};
    }
    // Shrinking reallocates in place, so a short frame (MJPG) keeps no larger buffer alive.
    frame.resize({static_cast<py::ssize_t>(size)}, false);
    return {result, std::move(frame)};
}

}  // namespace

void register_format_functions(py::module_& m) {
    m.def(
        "QxGetFormatList",
        [](CameraPtr camera) { return call_with_outs<std::vector<QxFormat>>(QxGetFormatList, std::move(camera)); },
        "Get supported format list");
    m.def("QxSetFormat", &QxSetFormat, "Set camera format");
    m.def("QxStartStreaming", &QxStartStreaming, "Start camera streaming");
    m.def("QxStopStreaming", &QxStopStreaming, "Stop camera streaming");
    m.def("QxGetImage", &get_image, "Get camera image");
}

}  // namespace pyqx
