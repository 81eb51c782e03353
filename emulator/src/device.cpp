#include "device.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <QuorvexEmulator/Status.h>
#include <QuorvexSDK/QxRecords.h>

#include "camera_model.h"
#include "log.h"
#include "text.h"

namespace qx_emulator {
namespace {

using P = QX_CAMERA_PRODUCT_TYPE;

struct ProductData {
    P product;
    int headerVersion;
    const char* usbFirmware;
    const char* zenaFirmware;
    const char* sensorFirmware;
    std::uint16_t sensorType;
    const char* lensId;
    std::uint16_t mipiDatarate;  // Mbit/s per lane between sensor and bridge
    std::uint8_t productVersion;
};

constexpr ProductData kProducts[] = {
    {P::QXCAM_PRODUCT_TYPE_ZENA, 3, "3.12.0", "1.4.2", "1.0.9", 0x1335, "QL-M12-4K-F2.0", 1200, 3},
    {P::QXCAM_PRODUCT_TYPE_ZENI, 3, "3.10.2", "", "2.3.0", 0x0234, "QL-M12-IR-F2.4", 800, 2},
    {P::QXCAM_PRODUCT_TYPE_OV5640, 2, "2.8.5", "", "1.1.3", 0x5640, "QL-M8-F2.8", 672, 1},
    {P::QXCAM_PRODUCT_TYPE_ZENM, 2, "3.12.0", "", "0.9.14", 0x0500, "QL-M12-5M-F2.2", 1440, 4},
};

const ProductData* product_data(P product) {
    for (const ProductData& p : kProducts) {
        if (p.product == product) return &p;
    }
    return nullptr;
}

// NUL-terminated, and cut between characters, so that the field always reads back as text.
template <std::size_t Size>
void copy_text(char (&field)[Size], const std::string& text) {
    std::memset(field, 0, Size);
    const std::string fitting = utf8_prefix(text, Size - 1);
    std::memcpy(field, fitting.data(), fitting.size());
}

template <class Header>
const std::uint8_t* bytes_of(const Header& header) {
    return reinterpret_cast<const std::uint8_t*>(&header);
}

// The EEPROM image: the header at 0, the calibration content from contentOffset to the end,
// 0xFF (erased) in between.
std::array<std::uint8_t, kEepromSize> bootdata(const CameraConfig& config, const ProductData& p,
                                               const FuseId& fuseId, Generator& generator) {
    std::array<std::uint8_t, kEepromSize> eeprom;
    eeprom.fill(0xff);
    if (p.headerVersion == 2) {
        QxHeaderV2 h{};
        h.headerVersion = 2;
        h.contentOffset = sizeof(QxHeaderV2);
        copy_text(h.productName, config.name);
        h.productVersion = p.productVersion;
        std::memcpy(eeprom.data(), &h, sizeof h);
        for (std::size_t i = h.contentOffset; i < eeprom.size(); ++i) eeprom[i] = generator.next_byte();
        return eeprom;
    }
    constexpr std::size_t kContentOffset = 128;
    std::uint8_t* content = eeprom.data() + kContentOffset;
    const std::size_t contentLen = eeprom.size() - kContentOffset;
    for (std::size_t i = 0; i < contentLen; ++i) content[i] = generator.next_byte();

    QxHeaderV3 h{};
    h.headerVersion = 3;
    h.contentOffset = kContentOffset;
    h.sensorType = p.sensorType;
    std::memcpy(h.sensorFuseId, fuseId.data(), fuseId.size());
    copy_text(h.productName, config.name);
    std::memcpy(h.lensId, p.lensId, std::min(std::strlen(p.lensId), sizeof h.lensId));
    h.kmFwVersion[0] = 1;
    h.kmFwVersion[1] = 7;
    h.vendorFwVersion = 0x0203;
    h.customNumber = 0;
    h.recordYear = 24;
    h.recordMonth = 5;
    h.recordDay = 14;
    h.recordHour = 9;
    h.recordMinute = 32;
    h.recordSecond = 17;
    h.mipiDatarate = p.mipiDatarate;
    h.contentLen = static_cast<unsigned int>(contentLen);
    h.fixChecksum = byte_sum(bytes_of(h), offsetof(QxHeaderV3, fixChecksum));
    h.contentChecksum = byte_sum(content, contentLen);
    h.totalChecksum =
        static_cast<std::uint16_t>(byte_sum(bytes_of(h), offsetof(QxHeaderV3, totalChecksum)) + h.contentChecksum);
    std::memcpy(eeprom.data(), &h, sizeof h);
    return eeprom;
}

std::map<std::uint16_t, WordRegister> ap1302_registers() {
    return {
        {0x0000, {0x0265, false}},  // CHIP_VERSION
        {0x0002, {0x0206, false}},  // CHIP_REVISION
        {0x0006, {0x0000, false}},  // ERROR
        {0x1184, {0x0000, true}},   // ATOMIC
        {0x2000, {1920, true}},     // PREVIEW_WIDTH
        {0x2002, {1080, true}},     // PREVIEW_HEIGHT
        {0x2012, {0x0050, true}},   // PREVIEW_OUT_FMT
        {0x6000, {0x0000, true}},   // SYSTEM_START
        {0x6134, {0x1800, true}},   // SYSTEM_FREQ_IN: 24 MHz, 8.8 fixed point
    };
}

std::map<std::uint16_t, WordRegister> sensor_registers() {
    return {
        {0x3000, {0x0153, false}},  // CHIP_ID
        {0x300E, {0x0001, false}},  // REVISION
        {0x3012, {0x0400, true}},   // COARSE_INTEGRATION_TIME
        {0x301A, {0x0218, true}},   // RESET_REGISTER
        {0x3040, {0x0041, true}},   // READ_MODE
        {0x305E, {0x2010, true}},   // GLOBAL_GAIN
        {0x3070, {0x0000, true}},   // TEST_PATTERN_MODE
    };
}

I2cDevice temperature_sensor() {
    return {
        {0x00, {0x13, false}},  // temperature 38.5 °C: 0x1340 >> 3 = 616 sixteenths
        {0x01, {0x40, false}},
        {0x02, {0x00, false}},  // status
        {0x03, {0x00, true}},   // configuration
        {0x04, {0x20, true}},   // high limit 64 °C
        {0x05, {0x00, true}},
        {0x06, {0x05, true}},   // low limit 10 °C
        {0x07, {0x00, true}},
        {0x08, {0x49, true}},   // critical limit 147 °C
        {0x09, {0x80, true}},
        {0x0A, {0x05, true}},   // hysteresis
        {0x0B, {0xCB, false}},  // ID
    };
}

I2cDevice gpio_expander() {
    return {
        {0x00, {0xF3, false}},  // input port
        {0x01, {0xFF, true}},   // output port
        {0x02, {0x00, true}},   // polarity inversion
        {0x03, {0xFF, true}},   // direction: all inputs
    };
}

}  // namespace

std::shared_ptr<Device> make_device(const CameraConfig& config, int upgradeTimeMs) {
    auto device = std::make_shared<Device>();
    device->upgradeTimeMs = upgradeTimeMs;
    device->ap1302 = ap1302_registers();
    device->sensor = sensor_registers();
    device->i2c[{0, 0x48}] = temperature_sensor();
    device->i2c[{1, 0x20}] = gpio_expander();

    Generator generator(config);
    for (std::uint8_t& byte : device->fuseId) byte = generator.next_byte();
    I2cDevice& eeprom = device->i2c[{kEepromBus, kEepromAddress}];
    const ProductData* p = product_data(config.productType);
    std::array<std::uint8_t, kEepromSize> image;
    if (p != nullptr) {
        image = bootdata(config, *p, device->fuseId, generator);
        device->usbFirmware = p->usbFirmware;
        device->zenaFirmware = p->zenaFirmware;
        device->sensorFirmware = p->sensorFirmware;
    } else {
        image.fill(0xff);
    }
    for (int address = 0; address < kEepromSize; ++address) {
        eeprom[static_cast<std::uint8_t>(address)] = {image[static_cast<std::size_t>(address)], true};
    }
    return device;
}

std::shared_ptr<Device> power_cycled(const Device& device) {
    auto copy = std::make_shared<Device>(device);
    copy->programMode = 0;
    copy->upgrading = false;
    copy->profile.reset();  // made again from what was saved to the camera
    copy->imu = ImuState{};
    return copy;
}

bool same_device(const CameraConfig& a, const CameraConfig& b) {
    return a.path == b.path && a.productType == b.productType && a.interfaceType == b.interfaceType;
}

bool has_vendor_firmware(const CameraConfig& config) {
    return product_data(config.productType) != nullptr;
}

bool has_usb_controller(const CameraConfig& config) {
    return has_vendor_firmware(config) && config.interfaceType == QX_CAMERA_INTERFACE_TYPE::INTERFACE_USB;
}

int bootdata_version(QX_CAMERA_PRODUCT_TYPE product) {
    const ProductData* p = product_data(product);
    return p != nullptr ? p->headerVersion : 0;
}

int device_status(const char* function, const QxCamera::Impl& camera) {
    const Device& d = *camera.device;
    if (d.programMode != 0) {
        logger().warn("{}: camera {} is in USB program mode", function, camera.index);
        return QXE_BUSY;
    }
    if (d.upgrading) {
        logger().warn("{}: camera {} is being upgraded", function, camera.index);
        return QXE_BUSY;
    }
    return QXE_OK;
}

Generator::Generator(const CameraConfig& config) {
    state_ = 0xcbf29ce484222325ULL;  // FNV-1a over the camera's identity
    for (const std::string* text : {&config.name, &config.path, &config.hardwareId}) {
        for (const char c : *text) state_ = (state_ ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        state_ = (state_ ^ 0xff) * 0x100000001b3ULL;
    }
}

std::uint64_t Generator::next_word() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);  // splitmix64
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint8_t Generator::next_byte() {
    if (left_ == 0) {
        word_ = next_word();
        left_ = 8;
    }
    --left_;
    return static_cast<std::uint8_t>(word_ >> (8 * left_));
}

std::uint16_t byte_sum(const std::uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<std::uint16_t>(sum);
}

}  // namespace qx_emulator
