// Firmware versions, the sensor's unique ID, UVC reset, USB program mode and the two firmware
// upgrades. What each function does, its statuses and limits are in emulator/README.md
// ("Firmware"); every function is journalled and can be scripted ("Test control").
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <fmt/format.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include "binary.h"
#include "camera_model.h"
#include "device.h"
#include "files.h"
#include "guard.h"
#include "limits.h"
#include "log.h"
#include "script.h"

using namespace qx_emulator;

namespace {

// The firmware image: a 36-byte little-endian header, then the payload.
//   0 char[4] magic "QXFW"           12 char[16] version, NUL-padded
//   4 u16     format version (1)     28 u32      payload length (1 .. 16 MiB)
//   6 u16     target                 32 u32      CRC-32 of the payload (zlib.crc32)
//   8 u16     product                36          payload
//  10 u16     reserved (0)
constexpr char kMagic[4] = {'Q', 'X', 'F', 'W'};
constexpr std::size_t kImageHeaderSize = 36;
constexpr unsigned kImageFormatVersion = 1;
constexpr unsigned kTargetUsbController = 1;
constexpr unsigned kTargetSensor = 2;
constexpr std::size_t kVersionSize = 16;

struct Image {
    unsigned target = 0;
    unsigned product = 0;
    std::string version;
};

// The version text: printable ASCII, at least one character, NUL padding only after it.
std::optional<std::string> version_text(const std::string& field) {
    const std::size_t end = field.find('\0');
    const std::string text = field.substr(0, end);
    if (text.empty()) return std::nullopt;
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) return std::nullopt;
    }
    if (end != std::string::npos && field.find_first_not_of('\0', end) != std::string::npos) return std::nullopt;
    return text;
}

int refuse_image(const char* function, const std::string& path, int status, const std::string& why) {
    logger().warn("{}: {}: {}", function, path, why);
    return status;
}

// Reads and checks the image at `path`, in this order: QXE_INVALID_ARGUMENT (NUL in the path),
// QXE_IO_ERROR (cannot be read), QXE_BAD_IMAGE (the bytes present do not start with the magic),
// QXE_IMAGE_TRUNCATED (shorter than the header), QXE_BAD_IMAGE (format version, target,
// reserved, version or payload length invalid), QXE_IMAGE_TRUNCATED (shorter than header +
// payload), QXE_BAD_IMAGE (longer), QXE_BAD_CHECKSUM.
int read_image(const char* function, const std::string& path, Image& image) {
    std::string bytes;
    if (const int status = read_file_start(function, path, kImageHeaderSize + limits::kFirmwarePayloadBytes + 1, bytes);
        status != QXE_OK)
        return status;
    const std::size_t magicBytes = std::min(bytes.size(), sizeof kMagic);
    if (bytes.compare(0, magicBytes, kMagic, magicBytes) != 0)
        return refuse_image(function, path, QXE_BAD_IMAGE, "not a firmware image");
    if (bytes.size() < kImageHeaderSize)
        return refuse_image(function, path, QXE_IMAGE_TRUNCATED, fmt::format("only {} bytes", bytes.size()));
    const unsigned formatVersion = le16_at(bytes, 4);
    image.target = le16_at(bytes, 6);
    image.product = le16_at(bytes, 8);
    const unsigned reserved = le16_at(bytes, 10);
    const auto version = version_text(bytes.substr(12, kVersionSize));
    const std::uint32_t length = le32_at(bytes, 28);
    const std::uint32_t crc = le32_at(bytes, 32);
    if (formatVersion != kImageFormatVersion)
        return refuse_image(function, path, QXE_BAD_IMAGE, fmt::format("unknown format version {}", formatVersion));
    if (image.target != kTargetUsbController && image.target != kTargetSensor)
        return refuse_image(function, path, QXE_BAD_IMAGE, fmt::format("unknown target {}", image.target));
    if (reserved != 0) return refuse_image(function, path, QXE_BAD_IMAGE, "reserved field not 0");
    if (!version) return refuse_image(function, path, QXE_BAD_IMAGE, "no valid version text");
    if (length == 0 || length > limits::kFirmwarePayloadBytes)
        return refuse_image(function, path, QXE_BAD_IMAGE, fmt::format("payload length {}", length));
    if (bytes.size() < kImageHeaderSize + length) {
        return refuse_image(function, path, QXE_IMAGE_TRUNCATED,
                            fmt::format("{} of {} payload bytes", bytes.size() - kImageHeaderSize, length));
    }
    if (bytes.size() > kImageHeaderSize + length)
        return refuse_image(function, path, QXE_BAD_IMAGE, "bytes after the payload");
    if (crc32(bytes.data() + kImageHeaderSize, length) != crc)
        return refuse_image(function, path, QXE_BAD_CHECKSUM, "payload CRC-32 mismatch");
    image.version = *version;
    return QXE_OK;
}

// With the camera's port locked on entry: claims the camera's device for one upgrade and frees
// it again however the upgrade ends, also when the progress function throws.
class UpgradeClaim {
public:
    explicit UpgradeClaim(std::shared_ptr<QxCamera> camera) : camera_(std::move(camera)) {
        camera_->impl().device->upgrading = true;
    }
    ~UpgradeClaim() {
        const auto lock = lock_camera(camera_);
        camera_->impl().device->upgrading = false;
    }
    UpgradeClaim(const UpgradeClaim&) = delete;
    UpgradeClaim& operator=(const UpgradeClaim&) = delete;

    // Runs `install(Device&)` under the camera's lock when the camera is still there, so that
    // an upgrade whose camera was replaced (reset, configure) or unplugged meanwhile is not reported done.
    template <class Install>
    bool finish(const char* function, Install&& install) const {
        const auto lock = lock_camera(camera_);
        const QxCamera::Impl& c = camera_->impl();
        if (c.detached) {
            logger().warn("{}: camera {} is gone ({}): upgrade lost", function, c.index, gone_reason(c));
            return false;
        }
        install(*c.device);
        return true;
    }

    const Device& device() const { return *camera_->impl().device; }

private:
    std::shared_ptr<QxCamera> camera_;
};

// Reports 0..100 on the calling thread, spread over `durationMs`, without any lock, so that
// the other cameras keep working meanwhile and the progress function may call the library.
void program(const char* function, const std::function<void(int)>& progress, int durationMs) {
    const auto start = Clock::now();
    const std::chrono::microseconds total(std::int64_t{durationMs} * 1000);
    try {
        for (int percent = 0; percent <= 100; ++percent) {
            std::this_thread::sleep_until(start + total * percent / 100);
            if (progress) progress(percent);
        }
    } catch (...) {
        logger().warn("{}: the progress function threw: upgrade aborted, old firmware kept", function);
        throw;
    }
}

std::atomic<std::uint64_t> programModeEntries{0};

std::optional<QX_UPGRADE_RESULT> sensor_upgrade_refusal(const char* function, const QxCamera::Impl& c) {
    using R = QX_UPGRADE_RESULT;
    if (!has_vendor_firmware(c.config)) {
        logger().warn("{}: camera {} has no upgradable sensor firmware", function, c.index);
        return R::QX_UPGRADE_MCU_READ_FAIL;
    }
    if (c.device->programMode != 0 || c.device->upgrading) {
        logger().warn("{}: camera {} is {}", function, c.index,
                      c.device->upgrading ? "being upgraded" : "in USB program mode");
        return R::QX_UPGRADE_INIT_FAIL;
    }
    if (c.stream) {
        logger().warn("{}: camera {} is streaming", function, c.index);
        return R::QX_UPGRADE_BSL_SWITCH_FAIL;
    }
    return std::nullopt;
}

QX_UPGRADE_RESULT upgrade_result(int status) {
    switch (status) {
    case QXE_OK:
        return QX_UPGRADE_RESULT::QX_UPGRADE_SUCCESS;
    case QXE_IMAGE_TRUNCATED:
    case QXE_BAD_IMAGE:
    case QXE_BAD_CHECKSUM:
    case QXE_WRONG_TARGET:
        return QX_UPGRADE_RESULT::QX_UPGRADE_INVALID_FIRMWARE;
    case QXE_WRONG_PRODUCT:
        return QX_UPGRADE_RESULT::QX_UPGRADE_MCU_MISMATCH;
    default:
        return QX_UPGRADE_RESULT::QX_UPGRADE_OTHER_ERROR;
    }
}

// Whether the image suits `target` on a camera of `product`: QXE_WRONG_TARGET, QXE_WRONG_PRODUCT.
int image_fits(const char* function, const std::string& path, const Image& image, unsigned target,
               QX_CAMERA_PRODUCT_TYPE product) {
    if (image.target != target) {
        return refuse_image(function, path, QXE_WRONG_TARGET,
                            fmt::format("firmware for target {}, not {}", image.target, target));
    }
    if (image.product != static_cast<unsigned>(product)) {
        return refuse_image(function, path, QXE_WRONG_PRODUCT,
                            fmt::format("firmware for product {}, not {}", image.product, static_cast<int>(product)));
    }
    return QXE_OK;
}

template <class Read>
int firmware_text(const char* function, const std::shared_ptr<QxCamera>& camera, const char* outName,
                  std::string& out, Read read) {
    return read_value(function, camera, outName, out, [&](const QxCamera::Impl& c) -> int {
        std::optional<std::string> text = read(c);
        if (!text) {
            logger().warn("{}: camera {} has no such firmware", function, c.index);
            return QXE_NOT_SUPPORTED;
        }
        if (const int status = device_status(function, c); status != QXE_OK) return status;
        out = std::move(*text);
        return QXE_OK;
    });
}

}  // namespace

int QxResetUVC(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        if (c.config.interfaceType != QX_CAMERA_INTERFACE_TYPE::INTERFACE_USB) {
            logger().warn("{}: camera {} is not a UVC camera", function, c.index);
            return QXE_NOT_SUPPORTED;
        }
        if (c.device->upgrading) {
            logger().warn("{}: camera {} is being upgraded", function, c.index);
            return QXE_BUSY;
        }
        if (c.stream) logger().info("{}: camera {} stops streaming", function, c.index);
        end_stream(c);
        c.device->programMode = 0;
        logger().info("{}: camera {} restarted its UVC function", function, c.index);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetUSBFirmwareVersion(std::shared_ptr<QxCamera> camera, std::string& version) try {
    return firmware_text(__func__, camera, "version", version, [](const QxCamera::Impl& c) {
        return has_usb_controller(c.config) ? std::optional(c.device->usbFirmware) : std::nullopt;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetZENAFirmwareVersion(std::shared_ptr<QxCamera> camera, std::string& version) try {
    return firmware_text(__func__, camera, "version", version, [](const QxCamera::Impl& c) {
        const bool zena = c.config.productType == QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENA;
        return zena ? std::optional(c.device->zenaFirmware) : std::nullopt;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetSensorFirmwareVersion(std::shared_ptr<QxCamera> camera, std::string& version) try {
    return firmware_text(__func__, camera, "version", version, [](const QxCamera::Impl& c) {
        return has_vendor_firmware(c.config) ? std::optional(c.device->sensorFirmware) : std::nullopt;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetSensorUniqueID(std::shared_ptr<QxCamera> camera, std::string& uniqueId) try {
    return firmware_text(__func__, camera, "uniqueId", uniqueId,
                         [](const QxCamera::Impl& c) -> std::optional<std::string> {
                             if (!has_vendor_firmware(c.config)) return std::nullopt;
                             return fmt::format("{:02X}", fmt::join(c.device->fuseId, ""));
                         });
} catch (...) {
    return contained<int>(__func__);
}

int QxGotoUSBProgramMode(std::shared_ptr<QxCamera> camera) try {
    Call call(__func__, {{"camera", as_value(camera)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        if (!has_usb_controller(c.config)) {
            logger().warn("{}: camera {} has no USB controller firmware", function, c.index);
            return QXE_NOT_SUPPORTED;
        }
        if (c.device->upgrading) {
            logger().warn("{}: camera {} is being upgraded", function, c.index);
            return QXE_BUSY;
        }
        if (c.stream) logger().info("{}: camera {} stops streaming", function, c.index);
        end_stream(c);
        c.device->programMode = ++programModeEntries;
        logger().info("{}: camera {} runs its USB bootloader", function, c.index);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxUpgradeFX3FW(QX_FX3_FW_TARGET target, std::string path, std::function<void(int)> progress) try {
    Call call(__func__, {{"target", as_value(target)}, {"path", as_value(path)}});
    if (auto* s = call.scripted()) {
        s->write("progress", progress);
        return s->result<int>();
    }
    using T = QX_FX3_FW_TARGET;
    if (target != T::FW_TARGET_RAM && target != T::FW_TARGET_I2C && target != T::FW_TARGET_SPI) {
        logger().warn("{}: target {} is not RAM, I2C or SPI", __func__, static_cast<int>(target));
        return QXE_INVALID_ARGUMENT;
    }
    // The camera that entered program mode last; each camera is looked at under its own lock.
    std::shared_ptr<QxCamera> chosen;
    std::uint64_t entered = 0;
    for (const auto& camera : cameras()) {
        const auto lock = lock_camera(camera);
        const QxCamera::Impl& c = camera->impl();
        if (c.detached || c.device->programMode <= entered) continue;
        chosen = camera;
        entered = c.device->programMode;
    }
    if (!chosen) {
        logger().warn("{}: no camera is in USB program mode", __func__);
        return QXE_NO_FX3_DEVICE;
    }
    std::optional<UpgradeClaim> claim;
    QX_CAMERA_PRODUCT_TYPE product{};
    int index = 0;
    {
        const auto lock = lock_camera(chosen);
        const QxCamera::Impl& c = chosen->impl();
        // It may have left program mode (or been replaced) since it was chosen.
        if (c.detached || c.device->programMode == 0) {
            logger().warn("{}: no camera is in USB program mode", __func__);
            return QXE_NO_FX3_DEVICE;
        }
        if (c.device->upgrading) {
            logger().warn("{}: camera {} is being upgraded", __func__, c.index);
            return QXE_BUSY;
        }
        product = c.config.productType;
        index = c.index;
        claim.emplace(chosen);
    }
    Image image;
    if (const int status = read_image(__func__, path, image); status != QXE_OK) return status;
    if (const int status = image_fits(__func__, path, image, kTargetUsbController, product); status != QXE_OK)
        return status;
    logger().info("{}: camera {}: programming USB firmware {}", __func__, index, image.version);
    program(__func__, progress, claim->device().upgradeTimeMs);
    const bool done = claim->finish(__func__, [&](Device& d) {
        d.usbFirmware = image.version;
        d.programMode = 0;
    });
    if (!done) return QXE_NO_DEVICE;
    logger().info("{}: camera {} restarted with USB firmware {}", __func__, index, image.version);
    return QXE_OK;
} catch (...) {
    return contained<int>(__func__);
}

QX_UPGRADE_RESULT QxUpgradeSensorFW(std::shared_ptr<QxCamera> camera, std::string path,
                                    std::function<void(int)> progress) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"path", as_value(path)}});
    if (auto* s = call.scripted()) {
        s->write("progress", progress);
        return s->result<QX_UPGRADE_RESULT>();
    }
    std::optional<UpgradeClaim> claim;
    QX_CAMERA_PRODUCT_TYPE product{};
    int index = 0;
    {
        const auto lock = lock_camera(camera);
        if (camera_status(__func__, camera, Need::open) != QXE_OK) return QX_UPGRADE_RESULT::QX_UPGRADE_OTHER_ERROR;
        const QxCamera::Impl& c = camera->impl();
        if (const auto refusal = sensor_upgrade_refusal(__func__, c)) return *refusal;
        product = c.config.productType;
        index = c.index;
        claim.emplace(camera);
    }
    Image image;
    int status = read_image(__func__, path, image);
    if (status == QXE_OK) status = image_fits(__func__, path, image, kTargetSensor, product);
    if (status != QXE_OK) return upgrade_result(status);
    logger().info("{}: camera {}: programming sensor firmware {}", __func__, index, image.version);
    program(__func__, progress, claim->device().upgradeTimeMs);
    if (!claim->finish(__func__, [&](Device& d) { d.sensorFirmware = image.version; }))
        return QX_UPGRADE_RESULT::QX_UPGRADE_OTHER_ERROR;
    logger().info("{}: camera {} runs sensor firmware {}", __func__, index, image.version);
    return QX_UPGRADE_RESULT::QX_UPGRADE_SUCCESS;
} catch (...) {
    return contained<QX_UPGRADE_RESULT>(__func__);
}
