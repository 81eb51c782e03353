// Register access: the AP1302's registers, the sensor's behind it and the generic I2C devices.
// What each function does, its statuses and limits are in emulator/README.md ("Registers"); every
// function is journalled and can be scripted ("Test control").
#include <cstdint>
#include <map>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "device.h"
#include "guard.h"
#include "log.h"
#include "script.h"

using namespace qx_emulator;

namespace {

// pyQuorvexSDK hands the generic pair a buffer of this size, so no scripted transfer is longer.
constexpr std::size_t kTransferCapacity = 65535;
constexpr unsigned kMaxI2cAddress = 0x7F;
constexpr unsigned kMaxByteRegister = 0xFF;

using WordMap = std::map<std::uint16_t, WordRegister>;

int ap1302_status(const char* function, const QxCamera::Impl& c) {
    if (c.config.isp != IspType::ap1302) {
        logger().warn("{}: camera {} has no AP1302", function, c.index);
        return QXE_NOT_SUPPORTED;
    }
    return device_status(function, c);
}

int sensor_status(const char* function, const QxCamera::Impl& c, unsigned short first) {
    if (const int status = ap1302_status(function, c); status != QXE_OK) return status;
    if (first > kMaxI2cAddress) {
        logger().warn("{}: camera {}: 0x{:X} is not a 7-bit I2C address", function, c.index, first);
        return QXE_INVALID_ARGUMENT;
    }
    if (first != kSensorAddress) {
        logger().warn("{}: camera {}: no sensor answers at I2C address 0x{:02X}", function, c.index, first);
        return QXE_NO_ACK;
    }
    return QXE_OK;
}

int read_word(const char* function, const QxCamera::Impl& c, const WordMap& map, unsigned short address,
              unsigned short& value) {
    const auto found = map.find(address);
    if (found == map.end()) {
        logger().warn("{}: camera {}: no register 0x{:04X}", function, c.index, address);
        return QXE_NO_REGISTER;
    }
    value = found->second.value;
    return QXE_OK;
}

int write_word(const char* function, const QxCamera::Impl& c, WordMap& map, unsigned short address,
               unsigned short value) {
    const auto found = map.find(address);
    if (found == map.end()) {
        logger().warn("{}: camera {}: no register 0x{:04X}", function, c.index, address);
        return QXE_NO_REGISTER;
    }
    if (!found->second.writable) {
        logger().warn("{}: camera {}: register 0x{:04X} is read-only", function, c.index, address);
        return QXE_READ_ONLY;
    }
    found->second.value = value;
    logger().debug("{}: camera {}: register 0x{:04X} = 0x{:04X}", function, c.index, address, value);
    return QXE_OK;
}

// With the camera's port locked: the device at bus `a`, address `b` whose register `c` may be used,
// or the failure status.
int find_i2c_device(const char* function, const QxCamera::Impl& c, unsigned a, unsigned b, unsigned reg,
                    I2cDevice*& device) {
    if (a >= static_cast<unsigned>(kI2cBuses) || b > kMaxI2cAddress || reg > kMaxByteRegister) {
        logger().warn("{}: camera {}: bus {}, device 0x{:X}, register 0x{:X} out of range", function, c.index, a,
                      b, reg);
        return QXE_INVALID_ARGUMENT;
    }
    const auto found = c.device->i2c.find({static_cast<int>(a), static_cast<int>(b)});
    if (found == c.device->i2c.end()) {
        logger().warn("{}: camera {}: no device answers at 0x{:02X} on bus {}", function, c.index, b, a);
        return QXE_NO_ACK;
    }
    device = &found->second;
    return QXE_OK;
}

int generic_status(const char* function, const QxCamera::Impl& c) {
    if (!has_vendor_firmware(c.config)) {
        logger().warn("{}: camera {} offers no I2C access", function, c.index);
        return QXE_NOT_SUPPORTED;
    }
    return device_status(function, c);
}

}  // namespace

int QxAP1302I2CRead(std::shared_ptr<QxCamera> camera, unsigned short address, unsigned short& value) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"address", as_value(address)}});
    if (auto* s = call.scripted()) {
        s->write("value", value);
        return s->result<int>();
    }
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = ap1302_status(function, c); status != QXE_OK) return status;
        return read_word(function, c, c.device->ap1302, address, value);
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxAP1302I2CWrite(std::shared_ptr<QxCamera> camera, unsigned short address, unsigned short value) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"address", as_value(address)}, {"value", as_value(value)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = ap1302_status(function, c); status != QXE_OK) return status;
        return write_word(function, c, c.device->ap1302, address, value);
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxAP1302SensorRegisterRead(std::shared_ptr<QxCamera> camera, unsigned short first, unsigned short second,
                               unsigned short& value) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"first", as_value(first)}, {"second", as_value(second)}});
    if (auto* s = call.scripted()) {
        s->write("value", value);
        return s->result<int>();
    }
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = sensor_status(function, c, first); status != QXE_OK) return status;
        return read_word(function, c, c.device->sensor, second, value);
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxAP1302SensorRegisterWrite(std::shared_ptr<QxCamera> camera, unsigned short first, unsigned short second,
                                unsigned short third) try {
    Call call(__func__, {{"camera", as_value(camera)},
                         {"first", as_value(first)},
                         {"second", as_value(second)},
                         {"third", as_value(third)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = sensor_status(function, c, first); status != QXE_OK) return status;
        return write_word(function, c, c.device->sensor, second, third);
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGenericI2CRead(std::shared_ptr<QxCamera> camera, unsigned char a, unsigned char b, unsigned int c,
                     unsigned short d, unsigned char* data) try {
    Call call(__func__, {{"camera", as_value(camera)},
                         {"a", as_value(a)},
                         {"b", as_value(b)},
                         {"c", as_value(c)},
                         {"d", as_value(d)}});
    if (auto* s = call.scripted()) {
        s->write_bytes("data", data, kTransferCapacity);
        return s->result<int>();
    }
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& cam) -> int {
        if (const int status = generic_status(function, cam); status != QXE_OK) return status;
        if (d < 1 || d > 2 || data == nullptr) {
            logger().warn("{}: camera {}: reads 1 or 2 bytes into a buffer, not {} into {}", function, cam.index, d,
                          data == nullptr ? "nothing" : "one");
            return QXE_INVALID_ARGUMENT;
        }
        I2cDevice* device = nullptr;
        if (const int status = find_i2c_device(function, cam, a, b, c, device); status != QXE_OK) return status;
        std::uint8_t bytes[2] = {};
        for (unsigned i = 0; i < d; ++i) {
            const auto found = device->find(static_cast<std::uint8_t>(c + i));
            if (c + i > kMaxByteRegister || found == device->end()) {
                logger().warn("{}: camera {}: device 0x{:02X} on bus {} has no register 0x{:X}", function, cam.index,
                              b, a, c + i);
                return QXE_NO_REGISTER;
            }
            bytes[i] = found->second.value;
        }
        for (unsigned i = 0; i < d; ++i) data[i] = bytes[i];
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGenericI2CWrite(std::shared_ptr<QxCamera> camera, unsigned char a, unsigned char b, unsigned int c,
                      unsigned short d, unsigned char* data) try {
    Call call(__func__, {{"camera", as_value(camera)},
                         {"a", as_value(a)},
                         {"b", as_value(b)},
                         {"c", as_value(c)},
                         {"d", as_value(d)},
                         {"data", as_bytes(data, d)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& cam) -> int {
        if (const int status = generic_status(function, cam); status != QXE_OK) return status;
        if (d != 1 || data == nullptr) {
            logger().warn("{}: camera {}: writes 1 byte from a buffer, not {} from {}", function, cam.index, d,
                          data == nullptr ? "nothing" : "one");
            return QXE_INVALID_ARGUMENT;
        }
        I2cDevice* device = nullptr;
        if (const int status = find_i2c_device(function, cam, a, b, c, device); status != QXE_OK) return status;
        const auto found = device->find(static_cast<std::uint8_t>(c));
        if (found == device->end()) {
            logger().warn("{}: camera {}: device 0x{:02X} on bus {} has no register 0x{:X}", function, cam.index, b,
                          a, c);
            return QXE_NO_REGISTER;
        }
        if (!found->second.writable) {
            logger().warn("{}: camera {}: register 0x{:02X} of device 0x{:02X} on bus {} is read-only", function,
                          cam.index, c, b, a);
            return QXE_READ_ONLY;
        }
        found->second.value = data[0];
        logger().debug("{}: camera {}: bus {} device 0x{:02X} register 0x{:02X} = 0x{:02X}", function, cam.index, a, b,
                       c, data[0]);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}
