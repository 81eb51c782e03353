// Register access of the emulated QuorvexSDK.
//
// Every call is journalled with its arguments (QxGenericI2CWrite's `data` as the first `d`
// bytes behind it, QxGenericI2CRead's not at all). A queued script replaces the behaviour
// below: the call returns the scripted result and writes only the scripted out-values
// (QxGenericI2CRead: `data`, bytes copied to the start of the buffer, at most 65535).
//
// All six first check the camera (QXE_INVALID_HANDLE, QXE_NO_DEVICE, QXE_NOT_OPEN), then the
// hardware (QXE_NOT_SUPPORTED), then QXE_BUSY while the device is in USB program mode or being
// upgraded; then the arguments and registers as below. A refused call changes nothing and
// leaves its out-values untouched. Register values live in the device (shared by the handles
// of one path) and keep their values until reset() or configure().
//
// QxAP1302I2CRead/Write(address, value)   cameras with `isp: ap1302`: 16-bit registers at
//                          16-bit addresses. QXE_NO_REGISTER for an address the map lacks,
//                          QXE_READ_ONLY for a write to an identification register.
// QxAP1302SensorRegisterRead(first, second, value) / Write(first, second, third)
//                          the image sensor behind the AP1302: first = its 7-bit I2C address
//                          (0x36), second = the 16-bit register, third = the value to write.
//                          first > 0x7F: QXE_INVALID_ARGUMENT; another address: QXE_NO_ACK;
//                          then as for the AP1302.
// QxGenericI2CRead/Write(a, b, c, d, data)
//                          vendor products: a = bus (0 or 1), b = 7-bit device address, c =
//                          register address (0..255), d = byte count. A read takes d = 1 or 2
//                          and writes d bytes to data (register c, then c + 1: a 16-bit value
//                          big-endian); a write takes d = 1 and writes data[0] to register c.
//                          QXE_INVALID_ARGUMENT for another d, a null data, a bus other than 0
//                          and 1, b > 0x7F or c > 255; QXE_NO_ACK when no device has address
//                          b on bus a; QXE_NO_REGISTER when c (or c + 1) is not a register of
//                          the device; QXE_READ_ONLY for a write to a read-only register.
#include <cstdint>
#include <map>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "device.h"
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

int QxAP1302I2CRead(std::shared_ptr<QxCamera> camera, unsigned short address, unsigned short& value) {
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
}

int QxAP1302I2CWrite(std::shared_ptr<QxCamera> camera, unsigned short address, unsigned short value) {
    Call call(__func__, {{"camera", as_value(camera)}, {"address", as_value(address)}, {"value", as_value(value)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = ap1302_status(function, c); status != QXE_OK) return status;
        return write_word(function, c, c.device->ap1302, address, value);
    });
}

int QxAP1302SensorRegisterRead(std::shared_ptr<QxCamera> camera, unsigned short first, unsigned short second,
                               unsigned short& value) {
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
}

int QxAP1302SensorRegisterWrite(std::shared_ptr<QxCamera> camera, unsigned short first, unsigned short second,
                                unsigned short third) {
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
}

int QxGenericI2CRead(std::shared_ptr<QxCamera> camera, unsigned char a, unsigned char b, unsigned int c,
                     unsigned short d, unsigned char* data) {
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
}

int QxGenericI2CWrite(std::shared_ptr<QxCamera> camera, unsigned char a, unsigned char b, unsigned int c,
                      unsigned short d, unsigned char* data) {
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
}
