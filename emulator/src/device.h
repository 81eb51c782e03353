// The hardware behind a camera handle: register maps, generic I2C devices, the boot-data
// EEPROM, firmware versions and the IMU. Handles configured with the same path share one Device, so a
// register written through one handle reads back through the other. Every member is guarded
// by qx_emulator::model_mutex(); a Device lives as long as its cameras (reset() and
// configure() build new ones in factory state).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include <QuorvexSDK/QxHandles.h>

#include "config.h"
#include "imu.h"

namespace qx_emulator {

struct WordRegister {
    std::uint16_t value;
    bool writable;
};

struct ByteRegister {
    std::uint8_t value;
    bool writable;
};

// A device on a generic I2C bus: byte registers at 8-bit addresses. A two-byte read takes the
// addressed register and the next one, as such devices auto-increment their register pointer.
using I2cDevice = std::map<std::uint8_t, ByteRegister>;

using FuseId = std::array<std::uint8_t, 16>;

struct ProfileState;      // profiles.cpp
struct CalibrationState;  // calibration.cpp

struct Device {
    std::map<std::uint16_t, WordRegister> ap1302;
    std::map<std::uint16_t, WordRegister> sensor;  // the image sensor at kSensorAddress behind the AP1302
    std::map<std::pair<int, int>, I2cDevice> i2c;   // (bus, 7-bit address)
    std::string usbFirmware;
    std::string zenaFirmware;
    std::string sensorFirmware;
    FuseId fuseId{};
    // 0 while the USB controller runs its firmware; in USB program mode, the ordinal of that
    // entry, so that QxUpgradeFX3FW can pick the camera that entered it last.
    std::uint64_t programMode = 0;
    bool upgrading = false;
    int upgradeTimeMs = 0;
    // Made on first use from the camera's configuration (and, for the profile, what was saved to it).
    std::shared_ptr<ProfileState> profile;
    std::shared_ptr<CalibrationState> calibration;
    ImuState imu;  // used on cameras configured with `imu: true` only
};

constexpr int kSensorAddress = 0x36;
constexpr int kI2cBuses = 2;
constexpr int kEepromBus = 0;
constexpr int kEepromAddress = 0x50;
constexpr int kEepromSize = 256;

// Whether cameras configured as `a` and `b` are handles of one device.
bool same_device(const CameraConfig& a, const CameraConfig& b);

// The factory state of the device behind `config`.
std::shared_ptr<Device> make_device(const CameraConfig& config, int upgradeTimeMs);

// The device after a power cycle: what its flash and EEPROM hold (firmware, boot data, calibration,
// registers) stays, what runs (USB program mode, an upgrade, the IMU, the active OSP profile) starts anew.
std::shared_ptr<Device> power_cycled(const Device& device);

// Products with the vendor's firmware: sensor firmware, boot data, generic I2C access.
bool has_vendor_firmware(const CameraConfig& config);
// Vendor products on USB have an FX3 USB controller with its own firmware and bootloader.
bool has_usb_controller(const CameraConfig& config);
// 2 or 3 for products with boot data, else 0.
int bootdata_version(QX_CAMERA_PRODUCT_TYPE product);

// With the camera's port locked: QXE_BUSY (logged) while the camera's device runs its USB
// bootloader or a firmware upgrade, else QXE_OK.
int device_status(const char* function, const QxCamera::Impl& camera);

// Numbers fixed per camera, so that fuse IDs and calibration stay the same across runs.
class Generator {
public:
    explicit Generator(const CameraConfig& config);
    std::uint64_t next_word();
    // The bytes of successive words, most significant first.
    std::uint8_t next_byte();

private:
    std::uint64_t state_;
    std::uint64_t word_ = 0;
    int left_ = 0;
};

// Sum of the bytes modulo 65536, the boot data's checksum.
std::uint16_t byte_sum(const std::uint8_t* bytes, std::size_t count);

}  // namespace qx_emulator
