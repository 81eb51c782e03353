// The IMU and calibration records: QxImuIspu, read-only, from QxGetISPUData; QxIntrinsics,
// which Python code builds and edits too.
#include <algorithm>
#include <string>

#include "module/convert.h"
#include "module/pickling.h"
#include "module/registration.h"

namespace pyqx {
namespace {

constexpr py::ssize_t coefficient_count = 5;

py::array_t<float> read_coefficients(const QxIntrinsics& intrinsics) {
    py::array_t<float> coefficients(coefficient_count);
    std::copy_n(intrinsics.coeffs, coefficient_count, coefficients.mutable_data());
    return coefficients;
}

// Any array-like value NumPy can turn into float32; its elements are taken in row-major order
// whatever its shape, as long as there are exactly five.
void write_coefficients(QxIntrinsics& intrinsics, const py::array_t<float, py::array::c_style | py::array::forcecast>& values) {
    if (values.size() != coefficient_count) throw std::runtime_error("coeffs must have 5 elements");
    std::copy_n(values.data(), coefficient_count, intrinsics.coeffs);
}

}  // namespace

void register_QxImuIspu(py::module_& m) {
    py::class_<QxImuIspu> ispu(m, "QxImuIspu");
    ispu.def_readonly("x", &QxImuIspu::x)
        .def_readonly("y", &QxImuIspu::y)
        .def_readonly("z", &QxImuIspu::z)
        .def_readonly("w", &QxImuIspu::w)
        .def_readonly("yaw", &QxImuIspu::yaw)
        .def_readonly("pitch", &QxImuIspu::pitch)
        .def_readonly("roll", &QxImuIspu::roll);
    refuse_pickling(ispu);
}

void register_QxIntrinsics(py::module_& m) {
    py::class_<QxIntrinsics> intrinsics(m, "QxIntrinsics");
    intrinsics.def(py::init<>())
        .def_readwrite("w", &QxIntrinsics::w)
        .def_readwrite("h", &QxIntrinsics::h)
        .def_readwrite("fx", &QxIntrinsics::fx)
        .def_readwrite("fy", &QxIntrinsics::fy)
        .def_readwrite("cx", &QxIntrinsics::cx)
        .def_readwrite("cy", &QxIntrinsics::cy)
        .def_readwrite("model", &QxIntrinsics::model)
        .def_property("coeffs", &read_coefficients, &write_coefficients);
    refuse_pickling(intrinsics);
}

}  // namespace pyqx
