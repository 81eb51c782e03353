// Lens intrinsics calibration and product information.
#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {

void register_calibration_functions(py::module_& m) {
    m.def("QxFlashProductInfo", released<&QxFlashProductInfo>, "Flash product info from image file");
    m.def("QxWriteIntrinsics", released<&QxWriteIntrinsics>, "Write intrinsics calibration data to camera");
    m.def(
        "QxGetIntrinsics",
        [](CameraPtr camera) { return call_with_outs<QxIntrinsics>(QxGetIntrinsics, std::move(camera)); },
        "Get intrinsics calibration data from camera");
}

}  // namespace pyqx
