// Formats, streaming and frame capture.
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "module/convert.h"
#include "module/frame_capacity.h"
#include "module/registration.h"

namespace pyqx {
namespace {

// A zero-filled uint8 array of `length` bytes that owns its memory. numpy.zeros takes that
// memory from calloc, so pages the library never writes cost nothing; the function and the dtype
// are looked up once, not on every frame. They are kept for the life of the process (never
// released, so nothing is torn down at exit) and looked up under the interpreter lock only: a
// call_once that releases the lock would let a daemon thread be ended at exit under C++ frames.
py::array_t<std::uint8_t> zeroed_bytes(std::int64_t length) {
    static PyObject* zeros = nullptr;
    static PyObject* uint8 = nullptr;
    if (zeros == nullptr) {
        py::object found = py::module_::import("numpy").attr("zeros");
        auto dtype = py::dtype::of<std::uint8_t>();
        // The import may have let another thread get here first: the lock makes this check final.
        if (zeros == nullptr) {
            zeros = found.release().ptr();
            uint8 = dtype.release().ptr();
        }
    }
    // numpy.zeros gives a C-contiguous uint8 array: no conversion to check for.
    return py::reinterpret_steal<py::array_t<std::uint8_t>>(py::handle(zeros)(length, py::handle(uint8)).release());
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
    unsigned char* buffer = capacity > 0 ? frame.mutable_data() : nullptr;
    int size = 0;
    QX_CAPTURE_RESULT result{};
    const void* device = camera.get();
    if (wants_interruptible_wait(timeout)) {
        // The helper thread may outlive this call (Ctrl-C): it owns the camera, the frame array
        // and the byte count until the library returns, so nothing it writes has gone.
        struct Capture {
            CameraPtr camera;
            PythonReference frame;
            unsigned char* buffer;
            int size = 0;
            QX_CAPTURE_RESULT result{};
        };
        std::shared_ptr<Capture> capture(new Capture{std::move(camera), PythonReference(frame), buffer});
        call_interruptibly(device, [capture, timeout] {
            capture->result = QxGetImage(capture->camera, capture->buffer, &capture->size, timeout);
        });
        size = capture->size;
        result = capture->result;
    } else {
        result = call_library(device, [&] { return QxGetImage(std::move(camera), buffer, &size, timeout); });
    }
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
    m.def("QxSetFormat", released<&QxSetFormat>, "Set camera format");
    m.def("QxStartStreaming", released<&QxStartStreaming>, "Start camera streaming");
    m.def("QxStopStreaming", released<&QxStopStreaming>, "Stop camera streaming");
    m.def("QxGetImage", &get_image, "Get camera image");
}

}  // namespace pyqx
