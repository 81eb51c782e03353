// Python test control of the emulated QuorvexSDK (its reference: emulator/README.md, "Test
// control"). Registers functions and integer constants only: every type crossing into Python is
// a builtin, so nothing clashes with pyQuorvexSDK. The docstrings are one line each and point
// to the reference rather than repeating it.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include <QuorvexEmulator/Control.h>
#include <QuorvexEmulator/Status.h>

#include "module/frame_capacity.h"

namespace py = pybind11;
using qx_emulator::Value;

namespace {

bool is_text(py::handle item) {
    return py::isinstance<py::str>(item) || py::isinstance<py::bytes>(item) || py::isinstance<py::bytearray>(item);
}

bool is_number(py::handle item) {
    return !py::isinstance<py::bool_>(item) && (py::isinstance<py::int_>(item) || py::isinstance<py::float_>(item));
}

std::string bytes_of(py::handle item) {
    if (py::isinstance<py::str>(item)) return item.cast<std::string>();  // UTF-8
    if (py::isinstance<py::bytearray>(item)) return py::reinterpret_borrow<py::bytearray>(item).cast<std::string>();
    return py::reinterpret_borrow<py::bytes>(item).cast<std::string>();
}

[[noreturn]] void refuse(const char* what, py::handle value) {
    throw py::type_error(std::string(what) + ": cannot script a value of type " +
                         py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>());
}

Value to_value(py::handle value, const char* what) {
    if (value.is_none()) return std::monostate{};
    if (py::isinstance<py::bool_>(value)) refuse(what, value);
    if (py::isinstance<py::int_>(value)) {
        const long long number = PyLong_AsLongLong(value.ptr());
        if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
        return static_cast<std::int64_t>(number);
    }
    if (py::isinstance<py::float_>(value)) return value.cast<double>();
    if (is_text(value)) return bytes_of(value);
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        const auto items = py::reinterpret_borrow<py::sequence>(value);
        std::vector<std::string> texts;
        std::vector<float> numbers;
        for (py::handle item : items) {
            if (is_text(item) && numbers.empty()) texts.push_back(bytes_of(item));
            else if (is_number(item) && texts.empty()) numbers.push_back(item.cast<float>());
            else throw py::type_error(std::string(what) + ": a list must hold only str/bytes or only numbers");
        }
        if (!numbers.empty()) return numbers;
        return texts;  // also the empty list, which the library accepts for either list kind
    }
    refuse(what, value);
}

py::object to_python(const Value& value) {
    struct Convert {
        py::object operator()(std::monostate) const { return py::none(); }
        py::object operator()(std::int64_t v) const { return py::int_(v); }
        py::object operator()(double v) const { return py::float_(v); }
        py::object operator()(const std::string& v) const { return py::bytes(v); }
        py::object operator()(const std::vector<std::string>& v) const {
            py::list list;
            for (const auto& item : v) list.append(py::bytes(item));
            return std::move(list);
        }
        py::object operator()(const std::vector<float>& v) const {
            py::list list;
            for (float item : v) list.append(py::float_(item));
            return std::move(list);
        }
    };
    return std::visit(Convert{}, value);
}

void check_function_name(const std::string& function) {
    for (const auto& name : qx_emulator::function_names()) {
        if (name == function) return;
    }
    throw py::value_error("QuorvexSDK has no function '" + function + "'");
}

std::size_t binding_capacity(int width, int height, int format) {
    return static_cast<std::size_t>(pyqx::frame_capacity(width, height, static_cast<QX_IMAGE_FORMAT>(format)));
}

std::shared_ptr<QxCamera> camera_or_throw(int index) {
    auto camera = QxInitialCameraDevice(index);
    if (!camera) throw py::value_error("no camera at index " + std::to_string(index));
    return camera;
}

}  // namespace

PYBIND11_MODULE(qx_emulator, m) {
    m.doc() = "Test control of the emulated QuorvexSDK; reference: emulator/README.md, \"Test control\".";

    m.def("reset", &qx_emulator::reset,
          "Restore a freshly loaded library; OSP profiles saved to the cameras stay.");

    m.def("configure", &qx_emulator::configure, py::arg("yaml_text"),
          "Replace the camera configuration with YAML text ('' = built-in); False when it is invalid.");

    m.def("builtin_configuration", &qx_emulator::builtin_configuration_text,
          "The YAML text of the built-in configuration, for tests that vary it.");

    m.def("unplug", &qx_emulator::unplug, py::arg("path"),
          "Take the camera(s) at device path `path` away; ValueError for a path no camera has.");

    m.def("plug", &qx_emulator::plug, py::arg("path"),
          "Bring the camera(s) at `path` back as new handles, powered on afresh; ValueError for an unknown path.");

    m.def("function_names", &qx_emulator::function_names,
          "Names of the library functions that can be scripted and journalled, in declaration order.");

    m.def(
        "script",
        [](const std::string& function, py::object result, std::optional<py::dict> outs,
           std::optional<std::string> exception, int times, bool callback_thread) {
            qx_emulator::Script script;
            script.function = function;
            script.result = to_value(result, "result");
            if (outs) {
                for (const auto& [key, value] : *outs) {
                    if (!py::isinstance<py::str>(key)) throw py::type_error("outs: keys must be str");
                    const std::string name = key.cast<std::string>();
                    script.outs[name] = to_value(value, ("outs['" + name + "']").c_str());
                }
            }
            script.exception = std::move(exception);
            script.times = times;
            script.callbackThread = callback_thread;
            qx_emulator::add_script(std::move(script));
        },
        py::arg("function"), py::arg("result") = 0, py::arg("outs") = py::none(), py::arg("exception") = py::none(),
        py::arg("times") = 1, py::arg("callback_thread") = false,
        "Queue a scripted answer (result, out-values or an exception) for the next `times` calls of `function`.");

    m.def("clear_scripts", &qx_emulator::clear_scripts, "Drop every queued script.");

    m.def(
        "journal",
        [](std::optional<std::string> function) {
            if (function) check_function_name(*function);
            py::list calls;
            for (const auto& entry : qx_emulator::journal()) {
                if (function && entry.function != *function) continue;
                py::dict arguments;
                for (const auto& [name, value] : entry.arguments) arguments[py::str(name)] = to_python(value);
                calls.append(py::make_tuple(entry.function, arguments));
            }
            return calls;
        },
        py::arg("function") = py::none(),
        "The calls the library received, in order, as (function, {argument: value}); only `function`'s when given.");

    m.def("clear_journal", &qx_emulator::clear_journal, "Forget the calls received so far.");

    m.def("set_journalling", &qx_emulator::set_journalling, py::arg("on"),
          "Journal calls from now on, or not; reset() returns to the default (on unless the environment\n"
          "variable QX_EMULATOR_JOURNAL is 'off' or '0').");

    m.def(
        "limits",
        [] {
            py::dict table;
            for (const auto& [name, value] : qx_emulator::limit_table()) table[py::str(name)] = value;
            return table;
        },
        "The library's bounds on what it reads and keeps, by name (emulator/README.md, 'Limits').");

    m.def(
        "active_routes",
        [] {
            py::list links;
            for (const auto& l : qx_emulator::active_routes())
                links.append(py::make_tuple(l.sourceEntity, l.sourcePad, l.sinkEntity, l.sinkPad));
            return links;
        },
        "The active media links as sorted (source entity, source pad, sink entity, sink pad) tuples.");

    for (const auto& [name, code] : {
             std::pair{"QXE_OK", qx_emulator::QXE_OK},
             std::pair{"QXE_FAILED", qx_emulator::QXE_FAILED},
             std::pair{"QXE_INVALID_HANDLE", qx_emulator::QXE_INVALID_HANDLE},
             std::pair{"QXE_NOT_OPEN", qx_emulator::QXE_NOT_OPEN},
             std::pair{"QXE_ALREADY_OPEN", qx_emulator::QXE_ALREADY_OPEN},
             std::pair{"QXE_BUSY", qx_emulator::QXE_BUSY},
             std::pair{"QXE_INVALID_ARGUMENT", qx_emulator::QXE_INVALID_ARGUMENT},
             std::pair{"QXE_NOT_SUPPORTED", qx_emulator::QXE_NOT_SUPPORTED},
             std::pair{"QXE_IO_ERROR", qx_emulator::QXE_IO_ERROR},
             std::pair{"QXE_NO_DEVICE", qx_emulator::QXE_NO_DEVICE},
             std::pair{"QXE_NOT_STREAMING", qx_emulator::QXE_NOT_STREAMING},
             std::pair{"QXE_NO_ACK", qx_emulator::QXE_NO_ACK},
             std::pair{"QXE_NO_REGISTER", qx_emulator::QXE_NO_REGISTER},
             std::pair{"QXE_READ_ONLY", qx_emulator::QXE_READ_ONLY},
             std::pair{"QXE_NO_FX3_DEVICE", qx_emulator::QXE_NO_FX3_DEVICE},
             std::pair{"QXE_IMAGE_TRUNCATED", qx_emulator::QXE_IMAGE_TRUNCATED},
             std::pair{"QXE_BAD_IMAGE", qx_emulator::QXE_BAD_IMAGE},
             std::pair{"QXE_BAD_CHECKSUM", qx_emulator::QXE_BAD_CHECKSUM},
             std::pair{"QXE_WRONG_TARGET", qx_emulator::QXE_WRONG_TARGET},
             std::pair{"QXE_WRONG_PRODUCT", qx_emulator::QXE_WRONG_PRODUCT},
             std::pair{"QXE_NO_BOOTDATA", qx_emulator::QXE_NO_BOOTDATA},
             std::pair{"QXE_ROUTE_CONFLICT", qx_emulator::QXE_ROUTE_CONFLICT},
             std::pair{"QXE_IMU_DISABLED", qx_emulator::QXE_IMU_DISABLED},
             std::pair{"QXE_WRONG_IMU_MODE", qx_emulator::QXE_WRONG_IMU_MODE},
             std::pair{"QXE_PROFILE_DISABLED", qx_emulator::QXE_PROFILE_DISABLED},
         }) {
        m.attr(name) = static_cast<int>(code);
    }

    // Benchmark references for QxGetImage.
    m.def(
        "floor_capture",
        [](int index, unsigned short timeout, int width, int height, int format, int frames) {
            const auto camera = camera_or_throw(index);
            const std::size_t capacity = binding_capacity(width, height, format);
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < frames; ++i) {
                auto* buffer = static_cast<unsigned char*>(std::calloc(capacity, 1));
                if (buffer == nullptr) throw std::bad_alloc();
                int size = 0;
                const auto result = QxGetImage(camera, buffer, &size, timeout);
                std::free(buffer);
                if (result != QX_CAPTURE_RESULT::QX_SUCCESS) throw std::runtime_error("QxGetImage failed");
            }
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        },
        py::arg("index"), py::arg("timeout"), py::arg("width"), py::arg("height"), py::arg("format"),
        py::arg("frames"),
        "Seconds that `frames` captures take in a C++ loop, each into a new buffer of the binding's capacity.");

    m.def(
        "copying_capture",
        [](int index, unsigned short timeout, int width, int height, int format) {
            const std::size_t capacity = binding_capacity(width, height, format);
            std::unique_ptr<unsigned char, decltype(&std::free)> buffer(
                static_cast<unsigned char*>(std::calloc(capacity, 1)), &std::free);
            if (!buffer && capacity != 0) throw std::bad_alloc();
            int size = 0;
            const auto result = QxGetImage(camera_or_throw(index), buffer.get(), &size, timeout);
            py::array_t<std::uint8_t> frame(result == QX_CAPTURE_RESULT::QX_SUCCESS ? size : 0);
            std::memcpy(frame.mutable_data(), buffer.get(), static_cast<std::size_t>(frame.size()));
            return py::make_tuple(static_cast<int>(result), frame);
        },
        py::arg("index"), py::arg("timeout"), py::arg("width"), py::arg("height"), py::arg("format"),
        "(result, frame) through a binding path that copies the frame a second time.");
}
