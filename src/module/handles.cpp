// The handle types: QxStringList (the library's string vectors), QxCamera and QxRoute. None
// can be pickled or copied; the two library handles have no constructor, because only the
// library hands them out.
#include "module/convert.h"
#include "module/pickling.h"
#include "module/registration.h"

namespace pyqx {

void register_QxStringList(py::module_& m) {
    // std::string is not a bound class, so pybind11 makes this binding module-local.
    auto string_list = py::bind_vector<std::vector<std::string>>(m, "QxStringList");
    refuse_pickling(string_list);
}

void register_QxCamera(py::module_& m) {
    // Only QxInitialCameraDevice hands out cameras.
    py::class_<QxCamera, CameraPtr> camera(m, "QxCamera");
    refuse_pickling(camera);
}

void register_QxRoute(py::module_& m) {
    // Only QxLoadRouteYaml hands out route sets.
    py::class_<QxRoute, std::shared_ptr<QxRoute>> route(m, "QxRoute");
    refuse_pickling(route);
}

}  // namespace pyqx
