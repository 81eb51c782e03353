// Sensor configuration files: the registers of the sensor behind the AP1302, exported to a binary
// file and decoded from it to JSON. What each function does, its statuses and limits are in
// emulator/README.md ("Sensor configuration files"); every function is journalled and can be
// scripted ("Test control").
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <QuorvexSDK/QuorvexSDK.h>

#include "binary.h"
#include "camera_model.h"
#include "device.h"
#include "file_output.h"
#include "files.h"
#include "guard.h"
#include "log.h"
#include "script.h"

using namespace qx_emulator;

namespace {

// The file: a 12-byte little-endian header, `count` register entries, a CRC-32.
//   0 char[4] magic "QXSC"          12        count x (u16 address, u16 value)
//   4 u16     format version (1)    12 + 4n   u32 CRC-32 of every byte before it (zlib.crc32)
//   6 u16     sensor I2C address
//   8 u32     register count n (at most 65536)
constexpr char kMagic[4] = {'Q', 'X', 'S', 'C'};
constexpr unsigned kFormatVersion = 1;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kEntrySize = 4;
constexpr std::size_t kCrcSize = 4;
constexpr std::uint32_t kMaxRegisters = 65536;  // one per 16-bit address
constexpr unsigned kMaxI2cAddress = 0x7F;

using Registers = std::vector<std::pair<std::uint16_t, std::uint16_t>>;

struct SensorConfig {
    unsigned address = 0;
    Registers registers;
};

std::string encode(const SensorConfig& config) {
    std::string bytes(kMagic, sizeof kMagic);
    append_le16(bytes, kFormatVersion);
    append_le16(bytes, config.address);
    append_le32(bytes, static_cast<std::uint32_t>(config.registers.size()));
    for (const auto& [address, value] : config.registers) {
        append_le16(bytes, address);
        append_le16(bytes, value);
    }
    append_le32(bytes, crc32(bytes.data(), bytes.size()));
    return bytes;
}

int refuse(const std::string& path, int status, const std::string& why) {
    logger().warn("QxDecodeSensorConfig: {}: {}", path, why);
    return status;
}

// Reads and checks the file, in this order: QXE_INVALID_ARGUMENT (NUL in the path), QXE_IO_ERROR,
// QXE_BAD_IMAGE (does not start like the magic), QXE_IMAGE_TRUNCATED (shorter than the header),
// QXE_BAD_IMAGE (format version, I2C address above 0x7F, count above 65536),
// QXE_IMAGE_TRUNCATED (shorter than the count says), QXE_BAD_IMAGE (longer), QXE_BAD_CHECKSUM,
// QXE_BAD_IMAGE (addresses not strictly ascending).
int read_config(const std::string& path, SensorConfig& config) {
    std::string bytes;
    const std::size_t limit = kHeaderSize + kEntrySize * kMaxRegisters + kCrcSize + 1;
    if (const int status = read_file_start("QxDecodeSensorConfig", path, limit, bytes); status != QXE_OK)
        return status;
    const std::size_t magicBytes = std::min(bytes.size(), sizeof kMagic);
    if (bytes.compare(0, magicBytes, kMagic, magicBytes) != 0)
        return refuse(path, QXE_BAD_IMAGE, "not a sensor configuration");
    if (bytes.size() < kHeaderSize)
        return refuse(path, QXE_IMAGE_TRUNCATED, fmt::format("only {} bytes", bytes.size()));
    const unsigned version = le16_at(bytes, 4);
    config.address = le16_at(bytes, 6);
    const std::uint32_t count = le32_at(bytes, 8);
    if (version != kFormatVersion)
        return refuse(path, QXE_BAD_IMAGE, fmt::format("unknown format version {}", version));
    if (config.address > kMaxI2cAddress)
        return refuse(path, QXE_BAD_IMAGE, fmt::format("0x{:X} is not a 7-bit I2C address", config.address));
    if (count > kMaxRegisters) return refuse(path, QXE_BAD_IMAGE, fmt::format("{} registers", count));
    const std::size_t expected = kHeaderSize + kEntrySize * count + kCrcSize;
    if (bytes.size() < expected) {
        return refuse(path, QXE_IMAGE_TRUNCATED,
                      fmt::format("{} bytes, {} registers need {}", bytes.size(), count, expected));
    }
    if (bytes.size() > expected) return refuse(path, QXE_BAD_IMAGE, "bytes after the checksum");
    if (crc32(bytes.data(), expected - kCrcSize) != le32_at(bytes, expected - kCrcSize))
        return refuse(path, QXE_BAD_CHECKSUM, "CRC-32 mismatch");
    config.registers.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = kHeaderSize + kEntrySize * i;
        const auto address = static_cast<std::uint16_t>(le16_at(bytes, at));
        if (!config.registers.empty() && address <= config.registers.back().first)
            return refuse(path, QXE_BAD_IMAGE, fmt::format("register 0x{:04X} out of order", address));
        config.registers.emplace_back(address, static_cast<std::uint16_t>(le16_at(bytes, at + 2)));
    }
    return QXE_OK;
}

std::string to_json(const SensorConfig& config) {
    nlohmann::ordered_json registers = nlohmann::ordered_json::array();
    for (const auto& [address, value] : config.registers) {
        registers.push_back({{"address", fmt::format("0x{:04X}", address)}, {"value", fmt::format("0x{:04X}", value)}});
    }
    nlohmann::ordered_json document = {
        {"format", std::string(kMagic, sizeof kMagic)},
        {"version", kFormatVersion},
        {"sensor_address", fmt::format("0x{:02X}", config.address)},
        {"registers", std::move(registers)},
    };
    return document.dump(2) + "\n";
}

}  // namespace

int QxExportSensorConfig(std::shared_ptr<QxCamera> camera, std::string path) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"path", as_value(path)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    SensorConfig config;
    int index = 0;
    const int status = with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (c.config.isp != IspType::ap1302) {
            logger().warn("{}: camera {} has no AP1302 and so no sensor behind it", function, c.index);
            return QXE_NOT_SUPPORTED;
        }
        if (const int busy = device_status(function, c); busy != QXE_OK) return busy;
        config.address = kSensorAddress;
        for (const auto& [address, reg] : c.device->sensor) config.registers.emplace_back(address, reg.value);
        index = c.index;
        return QXE_OK;
    });
    if (status != QXE_OK) return status;
    if (const int written = replace_file(function, path, encode(config)); written != QXE_OK) return written;
    logger().info("{}: camera {}: {} sensor registers written to {}", function, index, config.registers.size(), path);
    return QXE_OK;
} catch (...) {
    return contained<int>(__func__);
}

int QxDecodeSensorConfig(std::string binaryPath, std::string jsonPath) try {
    Call call(__func__, {{"binaryPath", as_value(binaryPath)}, {"jsonPath", as_value(jsonPath)}});
    if (auto* s = call.scripted()) return s->result<int>();
    if (jsonPath.find('\0') != std::string::npos) {
        logger().warn("{}: the JSON path contains a NUL byte", __func__);
        return QXE_INVALID_ARGUMENT;
    }
    SensorConfig config;
    if (const int status = read_config(binaryPath, config); status != QXE_OK) return status;
    if (const int status = replace_file(__func__, jsonPath, to_json(config)); status != QXE_OK) return status;
    logger().info("{}: {} decoded to {}", __func__, binaryPath, jsonPath);
    return QXE_OK;
} catch (...) {
    return contained<int>(__func__);
}
