#include "module/convert.h"
#include "module/pickling.h"
#include "module/registration.h"

namespace pyqx {

void register_QxStringList(py::module_& m) {
    // std::string is not a bound class, so pybind11 makes this binding module-local.
    auto string_list = py::bind_vector<std::vector<std::string>>(m, "QxStringList");
    refuse_pickling(string_list);
}

}  // namespace pyqx
