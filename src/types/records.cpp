// The records: QxFormat, the boot-data headers and QxImuIspu are read-only views of the
// library's structures, created only by the functions that return them; QxIntrinsics is built
// and edited by Python code too. The header fields sit at odd offsets inside packed structures
// and cannot be handed out by reference, so each is read by a getter that copies its value.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "module/convert.h"
#include "module/pickling.h"
#include "module/registration.h"

namespace pyqx {
namespace {

// The text before the first NUL byte, never past the field: a field without a NUL reads as
// all of its bytes.
template <std::size_t Size>
std::string text_of(const char (&field)[Size]) {
    const void* end = std::memchr(field, '\0', Size);
    return std::string(field, end ? static_cast<const char*>(end) - field : Size);
}

template <std::size_t Size>
py::bytes bytes_of(const unsigned char (&field)[Size]) {
    return py::bytes(reinterpret_cast<const char*>(field), Size);
}

std::string km_firmware_version(const QxHeaderV3& header) {
    char text[8];
    std::snprintf(text, sizeof text, "%02u%02u", unsigned{header.kmFwVersion[0]}, unsigned{header.kmFwVersion[1]});
    return text;
}

constexpr py::ssize_t coefficient_count = 5;

py::array_t<float> read_coefficients(const QxIntrinsics& intrinsics) {
    py::array_t<float> coefficients(coefficient_count);
    std::copy_n(intrinsics.coeffs, coefficient_count, coefficients.mutable_data());
    return coefficients;
}

// Any array-like value NumPy can turn into float32; its elements are taken in row-major order
// whatever its shape, as long as there are exactly five.
void write_coefficients(QxIntrinsics& intrinsics, const py::array_t<float, py::array::c_style | py::array::forcecast>& values) {
    if (values.size() != coefficient_count) throw std::runtime_error("coeffs must have 5 elements");
    std::copy_n(values.data(), coefficient_count, intrinsics.coeffs);
}

}  // namespace

void register_QxFormat(py::module_& m) {
    py::class_<QxFormat> format(m, "QxFormat");
    format.def_readonly("width", &QxFormat::width)
        .def_readonly("height", &QxFormat::height)
        .def_readonly("framerate", &QxFormat::framerate)
        .def_readonly("format", &QxFormat::format);
    refuse_pickling(format);
}

void register_QxHeaderV2(py::module_& m) {
    using H = QxHeaderV2;
    py::class_<H> header(m, "QxHeaderV2");
    header.def_property_readonly("headerVersion", [](const H& h) { return h.headerVersion; })
        .def_property_readonly("contentOffset", [](const H& h) { return h.contentOffset; })
        .def_property_readonly("productName", [](const H& h) { return text_of(h.productName); })
        .def_property_readonly("productVersion", [](const H& h) { return h.productVersion; });
    refuse_pickling(header);
}

void register_QxHeaderV3(py::module_& m) {
    using H = QxHeaderV3;
    py::class_<H> header(m, "QxHeaderV3");
    header.def_property_readonly("headerVersion", [](const H& h) { return h.headerVersion; })
        .def_property_readonly("contentOffset", [](const H& h) { return h.contentOffset; })
        .def_property_readonly("productName", [](const H& h) { return text_of(h.productName); })
        .def_property_readonly("sensorType", [](const H& h) { return h.sensorType; })
        .def_property_readonly("sensorFuseId", [](const H& h) { return bytes_of(h.sensorFuseId); })
        .def_property_readonly("lensId", [](const H& h) { return bytes_of(h.lensId); })
        .def_property_readonly("fixChecksum", [](const H& h) { return h.fixChecksum; })
        .def_property_readonly("kmFwVersion", &km_firmware_version)
        .def_property_readonly("vendorFwVersion", [](const H& h) { return h.vendorFwVersion; })
        .def_property_readonly("customNumber", [](const H& h) { return h.customNumber; })
        .def_property_readonly("recordYear", [](const H& h) { return h.recordYear; })
        .def_property_readonly("recordMonth", [](const H& h) { return h.recordMonth; })
        .def_property_readonly("recordDay", [](const H& h) { return h.recordDay; })
        .def_property_readonly("recordHour", [](const H& h) { return h.recordHour; })
        .def_property_readonly("recordMinute", [](const H& h) { return h.recordMinute; })
        .def_property_readonly("recordSecond", [](const H& h) { return h.recordSecond; })
        .def_property_readonly("mipiDatarate", [](const H& h) { return h.mipiDatarate; })
        .def_property_readonly("contentLen", [](const H& h) { return h.contentLen; })
        .def_property_readonly("contentChecksum", [](const H& h) { return h.contentChecksum; })
        .def_property_readonly("totalChecksum", [](const H& h) { return h.totalChecksum; });
    refuse_pickling(header);
}

void register_QxImuIspu(py::module_& m) {
    py::class_<QxImuIspu> ispu(m, "QxImuIspu");
    ispu.def_readonly("x", &QxImuIspu::x)
        .def_readonly("y", &QxImuIspu::y)
        .def_readonly("z", &QxImuIspu::z)
        .def_readonly("w", &QxImuIspu::w)
        .def_readonly("yaw", &QxImuIspu::yaw)
        .def_readonly("pitch", &QxImuIspu::pitch)
        .def_readonly("roll", &QxImuIspu::roll);
    refuse_pickling(ispu);
}

void register_QxIntrinsics(py::module_& m) {
    py::class_<QxIntrinsics> intrinsics(m, "QxIntrinsics");
    intrinsics.def(py::init<>())
        .def_readwrite("w", &QxIntrinsics::w)
        .def_readwrite("h", &QxIntrinsics::h)
        .def_readwrite("fx", &QxIntrinsics::fx)
        .def_readwrite("fy", &QxIntrinsics::fy)
        .def_readwrite("cx", &QxIntrinsics::cx)
        .def_readwrite("cy", &QxIntrinsics::cy)
        .def_readwrite("model", &QxIntrinsics::model)
        .def_property("coeffs", &read_coefficients, &write_coefficients);
    refuse_pickling(intrinsics);
}

}  // namespace pyqx
