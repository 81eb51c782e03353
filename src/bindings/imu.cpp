// The IMU: sensor work mode, IMU modes, accelerometer and gyroscope samples, ISPU orientation,
// temperature and sensor time.
#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {
namespace {

// Samples arrive in a vector the library fills; Python gets a float32 array of its own, empty
// when the library reports a failure.
using SampleReader = int (*)(CameraPtr, std::vector<float>&, QX_IMU_SELF_TEST_MODE);

std::tuple<int, py::array_t<float>> read_samples(SampleReader read, CameraPtr camera, QX_IMU_SELF_TEST_MODE mode) {
    std::vector<float> samples;
    const void* device = camera.get();
    const int status = call_library(device, [&] { return read(std::move(camera), samples, mode); });
    if (status != 0) return {status, empty_array<float>()};
    return {status, array_from(samples)};
}

}  // namespace

void register_imu_functions(py::module_& m) {
    m.def(
        "QxGetSensorWorkMode",
        [](CameraPtr camera) { return call_with_outs<QX_SENSOR_MODE>(QxGetSensorWorkMode, std::move(camera)); },
        "Get sensor work mode");
    m.def("QxEnableIMUMode", released<&QxEnableIMUMode>, "Enable IMU mode");
    m.def("QxRebootIMUMode", released<&QxRebootIMUMode>, "Reboot IMU mode");
    m.def(
        "QxGetIMUAccData",
        [](CameraPtr camera, QX_IMU_SELF_TEST_MODE mode) { return read_samples(QxGetIMUAccData, std::move(camera), mode); },
        "Get IMU Accelerometer data");
    m.def(
        "QxGetIMUGyrData",
        [](CameraPtr camera, QX_IMU_SELF_TEST_MODE mode) { return read_samples(QxGetIMUGyrData, std::move(camera), mode); },
        "Get IMU Gyroscope data");
    m.def(
        "QxGetISPUData",
        [](CameraPtr camera) { return call_with_outs<QxImuIspu>(QxGetISPUData, std::move(camera)); },
        "Get IMU ISPU data");
    m.def(
        "QxGetIMUTemperature",
        [](CameraPtr camera) { return call_with_outs<float>(QxGetIMUTemperature, std::move(camera)); },
        "Get IMU Temperature data");
    m.def(
        "QxGetIMUSensorTime",
        [](CameraPtr camera) { return call_with_outs<float>(QxGetIMUSensorTime, std::move(camera)); },
        "Get IMU Sensor timestamp");
}

}  // namespace pyqx
