// Media routes: route sets loaded from YAML files, activated and reset.
#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {

void register_route_functions(py::module_& m) {
    m.def("QxResetActiveRoutes", &QxResetActiveRoutes, "Reset active routes from media entities");
    m.def("QxLoadRouteYaml", &QxLoadRouteYaml, "Load the routes from yaml file");
    m.def("QxActivateYamlRoutes", &QxActivateYamlRoutes, "Activate the routes from yaml file");
}

}  // namespace pyqx
