#include "module/convert.h"
#include "module/pickling.h"
#include "module/registration.h"

namespace pyqx {

void register_QxCamera(py::module_& m) {
    // No constructor: only QxInitialCameraDevice hands out cameras.
    py::class_<QxCamera, CameraPtr> camera(m, "QxCamera");
    refuse_pickling(camera);
}

}  // namespace pyqx
