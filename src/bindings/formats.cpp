// Formats, streaming and frame capture.
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <tuple>
#include <utility>

#include <sys/mman.h>

#include <pybind11/typing.h>

#include "module/convert.h"
#include "module/frame_capacity.h"
#include "module/registration.h"

namespace pyqx {
namespace {

// numpy's PyArray_Zeros and PyArray_Empty, from the table of functions numpy exports to extension
// modules; a slot's place in that table never changes between numpy releases.
using NewArrayFunction = PyObject* (*)(int, const Py_intptr_t*, PyObject*, int);
constexpr int zeros_slot = 183;
constexpr int empty_slot = 184;

// A uint8 array of `length` bytes that owns its memory, zero-filled or not. numpy takes zeroed
// memory from calloc, so pages the library never writes cost nothing; calling numpy's C functions
// rather than numpy.zeros spares every frame a Python call and its argument parsing. The functions
// and the dtype are looked up on the first frame, whichever way it goes (an import is no longer
// possible while the interpreter exits), and kept for the life of the process (never released, so
// nothing is torn down at exit), under the interpreter lock only: a call_once that releases the
// lock would let a daemon thread be ended at exit under C++ frames.
py::array_t<std::uint8_t> new_bytes(std::int64_t length, bool zeroed) {
    static NewArrayFunction zeros = nullptr;
    static NewArrayFunction empty = nullptr;
    static PyObject* uint8 = nullptr;
    if (zeros == nullptr) {
        py::object table = py::detail::import_numpy_core_submodule("multiarray").attr("_ARRAY_API");
        auto* const* slots = static_cast<void* const*>(PyCapsule_GetPointer(table.ptr(), nullptr));
        if (slots == nullptr) throw py::error_already_set();
        auto dtype = py::dtype::of<std::uint8_t>();
        // The import may have let another thread get here first: the lock makes this check final.
        if (zeros == nullptr) {
            uint8 = dtype.release().ptr();
            empty = reinterpret_cast<NewArrayFunction>(slots[empty_slot]);
            zeros = reinterpret_cast<NewArrayFunction>(slots[zeros_slot]);
        }
    }
    const Py_intptr_t shape[1] = {static_cast<Py_intptr_t>(length)};
    Py_INCREF(uint8);  // numpy takes this reference, also when it fails
    PyObject* array = (zeroed ? zeros : empty)(1, shape, uint8, 0);
    if (array == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::array_t<std::uint8_t>>(array);
}

// The result enumeration's Python objects, one per value, made on first use and shared by every
// call (a new instance per frame costs an allocation and a registration with pybind11).
py::object capture_result(QX_CAPTURE_RESULT value) {
    static PyObject* made[8] = {};
    const int slot = -static_cast<int>(value);
    if (slot < 0 || slot >= 8) return py::cast(value);
    if (made[slot] == nullptr) made[slot] = py::cast(value).release().ptr();
    return py::reinterpret_borrow<py::object>(made[slot]);
}

using ImageResult = py::typing::Tuple<QX_CAPTURE_RESULT, py::array_t<std::uint8_t>>;

ImageResult image_result(QX_CAPTURE_RESULT value, py::array_t<std::uint8_t> frame) {
    return py::reinterpret_steal<ImageResult>(py::make_tuple(capture_result(value), std::move(frame)).release());
}

// Where the library writes a frame. An uncompressed frame fills most of the capacity: the library
// writes straight into the array that is returned, cleared beforehand, so the frame is not copied
// a second time. A compressed frame uses a small part of it: the library writes into fresh pages
// from the kernel, which are zero already and cost nothing where the library does not write, and
// the frame's bytes are then copied into an array of their own size, which costs far less than
// clearing the whole capacity on the heap.
struct Destination {
    py::array_t<std::uint8_t> frame;       // written in place
    std::shared_ptr<unsigned char> pages;  // or the kernel's pages, unmapped with the last owner
    unsigned char* buffer = nullptr;
};

constexpr std::int64_t fresh_pages_from = 512 * 1024;

// Above this many bytes calloc always maps fresh pages (the largest threshold glibc adjusts to),
// which are zero without being written.
constexpr std::int64_t always_mapped_from = std::int64_t{32} << 20;

// On entry `cleared` says whether to clear the buffer here; on return, whether it is clear. A call
// run on another thread clears it there instead: the frame's cache lines are then written by one
// processor only, where clearing them on this one and filling them on the other costs about a
// second copy of the frame.
Destination destination_for(const QxFormat& format, std::int64_t capacity, bool& cleared) {
    Destination destination;
    if (format.format == QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_MJPG && capacity >= fresh_pages_from) {
        const auto length = static_cast<std::size_t>(capacity);
        void* pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED) throw std::bad_alloc();
        destination.buffer = static_cast<unsigned char*>(pages);
        destination.pages.reset(destination.buffer, [length](unsigned char* start) { munmap(start, length); });
        destination.frame = new_bytes(0, true);
        cleared = true;
        return destination;
    }
    cleared = cleared || capacity >= always_mapped_from;
    destination.frame = new_bytes(capacity, cleared);
    destination.buffer = capacity > 0 ? destination.frame.mutable_data() : nullptr;
    return destination;
}

ImageResult get_image(CameraPtr camera, unsigned short timeout, QxFormat format) {
    const std::int64_t capacity = frame_capacity(format.width, format.height, format.format);
    if (capacity > std::numeric_limits<int>::max()) {
        throw py::value_error("QxGetImage: a frame of " + std::to_string(capacity) +
                              " bytes exceeds the largest buffer the library can fill (2147483647 bytes)");
    }
    const bool interruptible = wants_interruptible_wait(timeout);
    bool cleared = !interruptible;
    Destination destination = destination_for(format, capacity, cleared);
    unsigned char* buffer = destination.buffer;
    int size = 0;
    QX_CAPTURE_RESULT result{};
    const void* device = camera.get();
    if (interruptible) {
        // The helper thread may outlive this call (Ctrl-C): the call owns the camera and the
        // buffer until the library returns, so nothing it writes to has gone. It clears the
        // buffer itself when it has not been cleared here.
        const auto clear = cleared ? std::size_t{0} : static_cast<std::size_t>(capacity);
        std::tie(result, size) = call_interruptibly(
            device, [camera = std::move(camera), owner = PythonReference(destination.frame),
                     pages = destination.pages, buffer, clear, timeout]() mutable {
                if (clear > 0) std::memset(buffer, 0, clear);
                int written = 0;
                const QX_CAPTURE_RESULT outcome = QxGetImage(std::move(camera), buffer, &written, timeout);
                return std::make_pair(outcome, written);
            });
    } else {
        result = call_library(device, [&] { return QxGetImage(std::move(camera), buffer, &size, timeout); });
    }
    if (result != QX_CAPTURE_RESULT::QX_SUCCESS) return image_result(result, empty_array<std::uint8_t>());
    if (size < 0 || size > capacity) {
        return image_result(QX_CAPTURE_RESULT::QX_BUFFER_CORRUPTED, empty_array<std::uint8_t>());
    }
    if (destination.pages) {
        auto frame = new_bytes(size, false);
        if (size > 0) std::memcpy(frame.mutable_data(), buffer, static_cast<std::size_t>(size));
        return image_result(result, std::move(frame));
    }
    // Shrinking reallocates in place, so a short frame keeps no larger buffer alive.
    destination.frame.resize({static_cast<py::ssize_t>(size)}, false);
    return image_result(result, std::move(destination.frame));
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
