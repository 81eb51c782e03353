#include "module/pickling.h"

#include <string>

namespace pyqx {

namespace py = pybind11;

void allow_value_pickling(py::handle enumeration_type) {
    py::setattr(enumeration_type, "__reduce__",
                py::cpp_function(
                    [](const py::object& self) {
                        return py::make_tuple(py::type::of(self), py::make_tuple(py::int_(self)));
                    },
                    py::name("__reduce__"), py::is_method(enumeration_type)));
}

void refuse_pickling(py::handle type) {
    py::setattr(type, "__reduce__",
                py::cpp_function(
                    [](const py::object& self) -> py::object {
                        const auto name = py::type::of(self).attr("__name__").cast<std::string>();
                        throw py::type_error("cannot pickle '" + name + "' object");
                    },
                    py::name("__reduce__"), py::is_method(type)));
}

}  // namespace pyqx
