// Register access: generic I2C devices, the AP1302 image signal processor and its sensor.
#include <vector>

#include "module/convert.h"
#include "module/registration.h"

namespace pyqx {
namespace {

// The generic pair's transfer length is the library's business, so the buffer handed over is
// large enough for the longest transfer its 16-bit length argument can ask for: the library
// can never run past memory of ours.
constexpr std::size_t generic_transfer_capacity = 65535;

std::tuple<int, unsigned short> generic_i2c_read(CameraPtr camera, unsigned char a, unsigned char b,
                                                 unsigned short c, unsigned short d) {
    std::vector<unsigned char> data(generic_transfer_capacity);
    const void* device = camera.get();
    const int status = call_library(device, [&] { return QxGenericI2CRead(std::move(camera), a, b, c, d, data.data()); });
    return {status, static_cast<unsigned short>(data[0] << 8 | data[1])};
}

int generic_i2c_write(CameraPtr camera, unsigned char a, unsigned char b, unsigned int c, unsigned short d,
                      unsigned char value) {
    std::vector<unsigned char> data(generic_transfer_capacity);
    data[0] = value;
    const void* device = camera.get();
    return call_library(device, [&] { return QxGenericI2CWrite(std::move(camera), a, b, c, d, data.data()); });
}

}  // namespace

void register_register_functions(py::module_& m) {
    m.def("QxGenericI2CRead", &generic_i2c_read, "Generic I2C read");
    m.def("QxGenericI2CWrite", &generic_i2c_write, "Generic I2C write");
    m.def(
        "QxAP1302I2CRead",
        [](CameraPtr camera, unsigned short address) {
            return call_with_outs<unsigned short>(QxAP1302I2CRead, std::move(camera), address);
        },
        "AP1302 I2C read");
    m.def("QxAP1302I2CWrite", released<&QxAP1302I2CWrite>, "AP1302 I2C write");
    m.def(
        "QxAP1302SensorRegisterRead",
        [](CameraPtr camera, unsigned short first, unsigned short second) {
            return call_with_outs<unsigned short>(QxAP1302SensorRegisterRead, std::move(camera), first, second);
        },
        "AP1302 sensor register read");
    m.def("QxAP1302SensorRegisterWrite", released<&QxAP1302SensorRegisterWrite>, "AP1302 sensor register write");
}

}  // namespace pyqx
