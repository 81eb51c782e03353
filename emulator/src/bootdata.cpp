// Boot-data headers, read from a camera's EEPROM or from a file. What each function does, its
// statuses and limits are in emulator/README.md ("Boot data"); every function is journalled and
// can be scripted ("Test control").
#include <cstring>
#include <memory>
#include <string>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "device.h"
#include "files.h"
#include "guard.h"
#include "log.h"
#include "script.h"

using namespace qx_emulator;

namespace {

// With the camera's port locked: the version of the camera's header, or the failure status.
int stored_version(const char* function, const QxCamera::Impl& c) {
    if (bootdata_version(c.config.productType) == 0) {
        logger().warn("{}: camera {} holds no boot data", function, c.index);
        return QXE_NOT_SUPPORTED;
    }
    if (const int status = device_status(function, c); status != QXE_OK) return status;
    const int version = c.device->i2c.at({kEepromBus, kEepromAddress}).at(0).value;
    if (version != 2 && version != 3) {
        logger().warn("{}: camera {}: the boot-data EEPROM starts with {}, not a header version", function, c.index,
                      version);
        return QXE_NO_BOOTDATA;
    }
    return version;
}

template <class Header>
void store(std::unique_ptr<Header>& header, const unsigned char* bytes) {
    if (!header) header = std::make_unique<Header>();
    std::memcpy(static_cast<void*>(header.get()), bytes, sizeof(Header));
}

template <class Header>
int header_from_camera(const char* function, const std::shared_ptr<QxCamera>& camera,
                       std::unique_ptr<Header>& header, int version) {
    Call call(function, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) {
        s->write("header", header);
        return s->result<int>();
    }
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        const int stored = stored_version(function, c);
        if (stored < 0) return stored;
        if (stored != version) {
            logger().warn("{}: camera {} holds a version {} header", function, c.index, stored);
            return QXE_INVALID_ARGUMENT;
        }
        const I2cDevice& eeprom = c.device->i2c.at({kEepromBus, kEepromAddress});
        unsigned char bytes[sizeof(Header)];
        for (std::size_t i = 0; i < sizeof(Header); ++i) bytes[i] = eeprom.at(static_cast<std::uint8_t>(i)).value;
        store(header, bytes);
        return QXE_OK;
    });
}

template <class Header>
int header_from_file(const char* function, const std::string& path, std::unique_ptr<Header>& header, int version) {
    Call call(function, {{"path", as_value(path)}});
    if (auto* s = call.scripted()) {
        s->write("header", header);
        return s->result<int>();
    }
    std::string bytes;
    if (const int status = read_file_start(function, path, sizeof(Header), bytes); status != QXE_OK) return status;
    if (bytes.empty() || static_cast<unsigned char>(bytes[0]) != version) {
        logger().warn("{}: {} does not start with a version {} header", function, path, version);
        return QXE_INVALID_ARGUMENT;
    }
    if (bytes.size() < sizeof(Header)) {
        logger().warn("{}: {} holds {} bytes, a version {} header needs {}", function, path, bytes.size(), version,
                      sizeof(Header));
        return QXE_INVALID_ARGUMENT;
    }
    store(header, reinterpret_cast<const unsigned char*>(bytes.data()));
    return QXE_OK;
}

}  // namespace

int QxGetHeaderVersion(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open,
                       [&](const QxCamera::Impl& c) -> int { return stored_version(function, c); });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetBootdataHeaderV2(std::shared_ptr<QxCamera> camera, std::unique_ptr<QxHeaderV2>& header) try {
    return header_from_camera(__func__, camera, header, 2);
} catch (...) {
    return contained<int>(__func__);
}

int QxGetBootdataHeaderV3(std::shared_ptr<QxCamera> camera, std::unique_ptr<QxHeaderV3>& header) try {
    return header_from_camera(__func__, camera, header, 3);
} catch (...) {
    return contained<int>(__func__);
}

int QxGetBootdataHeaderV2FromFile(std::string path, std::unique_ptr<QxHeaderV2>& header) try {
    return header_from_file(__func__, path, header, 2);
} catch (...) {
    return contained<int>(__func__);
}

int QxGetBootdataHeaderV3FromFile(std::string path, std::unique_ptr<QxHeaderV3>& header) try {
    return header_from_file(__func__, path, header, 3);
} catch (...) {
    return contained<int>(__func__);
}
