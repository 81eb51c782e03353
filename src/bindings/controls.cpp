// Image-processing controls: UVC and ISP properties, gain, exposure, frame-rate cap and
// throughput.
#include <cstdint>

#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {
namespace {

// The ISP getters report only whether the call worked: any negative library status becomes
// -1 with every value cleared, any other status 0.
template <typename Result>
Result normalise_isp_status(Result result) {
    if (std::get<0>(result) < 0) {
        Result cleared{};
        std::get<0>(cleared) = -1;
        return cleared;
    }
    std::get<0>(result) = 0;
    return result;
}

}  // namespace

void register_control_functions(py::module_& m) {
    // The library's `long` is taken as a signed 32-bit value on every platform.
    m.def(
        "QxSetUVCImageProcessing",
        [](CameraPtr camera, QX_UVC_IMAGE_PROPERTIES property, std::int32_t value, int flag) {
            const void* device = camera.get();
            return call_library(device, [&] { return QxSetUVCImageProcessing(std::move(camera), property, long{value}, flag); });
        },
        "Set UVC image processing");
    m.def(
        "QxGetUVCImageProcessing",
        [](CameraPtr camera, QX_UVC_IMAGE_PROPERTIES property) {
            return call_with_outs<long, int>(QxGetUVCImageProcessing, std::move(camera), property);
        },
        "Get UVC image processing");
    m.def(
        "QxGetUVCImageProcessingRange",
        [](CameraPtr camera, QX_UVC_IMAGE_PROPERTIES property) {
            return call_with_outs<long, long, long, long>(QxGetUVCImageProcessingRange, std::move(camera), property);
        },
        "Get UVC image processing range");
    m.def("QxSetISPImageProcessing", released<&QxSetISPImageProcessing>, "Set ISP image processing");
    m.def("QxSetISPImageProcessingDefault", released<&QxSetISPImageProcessingDefault>, "Set ISP image processing to default");
    m.def(
        "QxGetISPImageProcessing",
        [](CameraPtr camera, QX_ISP_IMAGE_PROPERTIES property) {
            return normalise_isp_status(call_with_outs<int, int>(QxGetISPImageProcessing, std::move(camera), property));
        },
        "Get ISP image processing");
    m.def(
        "QxGetISPImageProcessingRange",
        [](CameraPtr camera, QX_ISP_IMAGE_PROPERTIES property) {
            return normalise_isp_status(
                call_with_outs<int, int, int, int>(QxGetISPImageProcessingRange, std::move(camera), property));
        },
        "Get ISP image processing range");
    m.def(
        "QxGetCurrentGain",
        [](CameraPtr camera) { return call_with_outs<unsigned char>(QxGetCurrentGain, std::move(camera)); },
        "Get current gain");
    // The exposure comes back unsigned: 3,000,000,000 stays 3,000,000,000.
    m.def(
        "QxGetCurrentExposure",
        [](CameraPtr camera) { return call_with_outs<unsigned int>(QxGetCurrentExposure, std::move(camera)); },
        "Get current exposure");
    m.def(
        "QxGetMaxFPS",
        [](CameraPtr camera) { return call_with_outs<unsigned char>(QxGetMaxFPS, std::move(camera)); },
        "Get maximum FPS");
    m.def("QxSetMaxFPS", released<&QxSetMaxFPS>, "Set maximum FPS");
    m.def(
        "QxGetThroughPut",
        [](CameraPtr camera) { return call_with_outs<unsigned short>(QxGetThroughPut, std::move(camera)); },
        "Get throughput");
    m.def("QxSetThroughPut", released<&QxSetThroughPut>, "Set throughput");
}

}  // namespace pyqx
