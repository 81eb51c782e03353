// The format and boot-data records: read-only views of the library's structures, created
// only by the functions that return them. The header fields sit at odd offsets inside packed
// structures and cannot be handed out by reference, so each is read by a getter that copies
// its value.
#include <cstdio>
#include <cstring>

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

}  // namespace pyqx
