// Media routes: route sets loaded from YAML files, activated and reset.
#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {

void register_route_functions(py::module_& m) {
    m.def("QxResetActiveRoutes", released<&QxResetActiveRoutes>, "Reset active routes from media entities");
    m.def("QxLoadRouteYaml", released<&QxLoadRouteYaml>, "Load the routes from yaml file");
    m.def("QxActivateYamlRoutes", released<&QxActivateYamlRoutes>, "Activate the routes from yaml file");
}

}  // namespace pyqx
