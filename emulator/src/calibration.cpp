// Lens calibration (intrinsics) and product information flashing. What each function does, its
// statuses and limits are in emulator/README.md ("Calibration and product information"); every
// function is journalled and can be scripted ("Test control").
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <fmt/format.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include "binary.h"
#include "camera_model.h"
#include "device.h"
#include "files.h"
#include "guard.h"
#include "log.h"
#include "script.h"

namespace qx_emulator {

struct ProductInfo {
    std::string serialNumber;
    std::string productName;
    int year = 0, month = 0, day = 0;  // of manufacture
};

struct CalibrationState {
    QxIntrinsics intrinsics{};
    std::optional<ProductInfo> productInfo;  // set by QxFlashProductInfo
};

namespace {

using P = QX_CAMERA_PRODUCT_TYPE;

// The lens of each product: horizontal field of view and typical radial-tangential distortion.
struct Optics {
    P product;
    double fieldOfViewDegrees;
    double k1, k2, p1, p2, k3;
};

constexpr Optics kOptics[] = {
    {P::QXCAM_PRODUCT_TYPE_ZENA, 80.0, -0.1210, 0.0470, 0.00040, -0.00030, -0.0082},
    {P::QXCAM_PRODUCT_TYPE_ZENI, 62.0, -0.0840, 0.0210, 0.00020, 0.00010, -0.0031},
    {P::QXCAM_PRODUCT_TYPE_OV5640, 68.0, -0.1020, 0.0340, -0.00030, 0.00020, -0.0057},
    {P::QXCAM_PRODUCT_TYPE_ZENM, 74.0, -0.1130, 0.0390, 0.00050, -0.00020, -0.0068},
};

const Optics* optics(P product) {
    for (const Optics& o : kOptics) {
        if (o.product == product) return &o;
    }
    return nullptr;
}

float rounded(double value, double unit) {
    return static_cast<float>(std::round(value / unit) * unit);
}

// The calibration of the camera's largest format (the first of equal area): focal length from
// the lens's field of view within 1 %, fy within 0.2 % of fx, principal point within 0.5 % of the
// image size from the centre, distortion within 5 % (k1, k2, k3) or 0.0001 (p1, p2) of the
// lens's; pixels rounded to 0.01, coefficients to 0.000001.
QxIntrinsics factory_intrinsics(const CameraConfig& config, const Optics& o) {
    const FormatConfig* largest = &config.formats.front();
    for (const FormatConfig& f : config.formats) {
        if (static_cast<long>(f.width) * f.height > static_cast<long>(largest->width) * largest->height) largest = &f;
    }
    const double w = largest->width;
    const double h = largest->height;
    constexpr double kPi = 3.14159265358979323846;
    Generator generator(config);
    // In [-1, 1]: every unit's calibration differs a little from the lens design.
    const auto scatter = [&generator] {
        return static_cast<double>(generator.next_word() >> 11) / static_cast<double>(1ULL << 52) - 1.0;
    };
    QxIntrinsics k{};
    k.w = largest->width;
    k.h = largest->height;
    const double fx = w / 2 / std::tan(o.fieldOfViewDegrees * kPi / 360) * (1 + 0.01 * scatter());
    k.fx = rounded(fx, 0.01);
    k.fy = rounded(fx * (1 + 0.002 * scatter()), 0.01);
    k.cx = rounded(w / 2 + 0.005 * w * scatter(), 0.01);
    k.cy = rounded(h / 2 + 0.005 * h * scatter(), 0.01);
    k.model = QX_DISTORTION_MODEL::QX_DIST_MODEL_RADTAN;
    k.coeffs[0] = rounded(o.k1 * (1 + 0.05 * scatter()), 1e-6);
    k.coeffs[1] = rounded(o.k2 * (1 + 0.05 * scatter()), 1e-6);
    k.coeffs[2] = rounded(o.p1 + 0.0001 * scatter(), 1e-6);
    k.coeffs[3] = rounded(o.p2 + 0.0001 * scatter(), 1e-6);
    k.coeffs[4] = rounded(o.k3 * (1 + 0.05 * scatter()), 1e-6);
    return k;
}

// With the camera's port locked: QXE_OK when the camera has calibration and product information.
int calibration_status(const char* function, const QxCamera::Impl& c) {
    if (optics(c.config.productType) == nullptr) {
        logger().warn("{}: camera {} is not a Quorvex camera: no calibration", function, c.index);
        return QXE_NOT_SUPPORTED;
    }
    return device_status(function, c);
}

// With the camera's port locked, after calibration_status: the device's state, made on first use.
CalibrationState& calibration(const QxCamera::Impl& c) {
    std::shared_ptr<CalibrationState>& state = c.device->calibration;
    if (!state) {
        state = std::make_shared<CalibrationState>();
        state->intrinsics = factory_intrinsics(c.config, *optics(c.config.productType));
    }
    return *state;
}

// Why the record cannot be stored, or an empty text.
std::string intrinsics_problem(const QxIntrinsics& k) {
    if (k.w <= 0 || k.h <= 0) return fmt::format("image size {}x{}", k.w, k.h);
    const float values[] = {k.fx, k.fy, k.cx, k.cy, k.coeffs[0], k.coeffs[1], k.coeffs[2], k.coeffs[3], k.coeffs[4]};
    for (const float v : values) {
        if (!std::isfinite(v)) return "a value that is not finite";
    }
    if (!(k.fx > 0) || !(k.fy > 0)) return fmt::format("focal lengths {}, {}", k.fx, k.fy);
    if (k.cx < 0 || k.cx > static_cast<float>(k.w) || k.cy < 0 || k.cy > static_cast<float>(k.h))
        return fmt::format("principal point ({}, {}) outside the {}x{} image", k.cx, k.cy, k.w, k.h);
    if (k.model != QX_DISTORTION_MODEL::QX_DIST_NONE && k.model != QX_DISTORTION_MODEL::QX_DIST_MODEL_RADTAN)
        return fmt::format("distortion model {}", static_cast<int>(k.model));
    return {};
}

// The product information image: 112 bytes, little-endian.
//     0 char[4]  magic "QXPI"            40 char[64] product name (1..63 characters)
//     4 u16      format version (1)     104 u16      year of manufacture (2000..2099)
//     6 u16      product                106 u8       month (1..12)
//     8 char[32] serial number          107 u8       day (1..length of the month)
//                (1..32 characters)     108 u32      CRC-32 of bytes 0..107 (zlib.crc32)
// Texts are printable ASCII, NUL-padded, with nothing after the padding starts.
constexpr char kMagic[4] = {'Q', 'X', 'P', 'I'};
constexpr unsigned kFormatVersion = 1;
constexpr std::size_t kImageSize = 112;
constexpr std::size_t kSerialOffset = 8, kSerialSize = 32;
constexpr std::size_t kNameOffset = 40, kNameSize = 64;
constexpr std::size_t kDateOffset = 104;
constexpr std::size_t kCrcOffset = 108;

struct ProductImage {
    unsigned product = 0;
    ProductInfo info;
};

std::optional<std::string> field_text(const std::string& field, std::size_t maxLength) {
    const std::size_t end = field.find('\0');
    const std::string text = field.substr(0, end);
    if (text.empty() || text.size() > maxLength) return std::nullopt;
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) return std::nullopt;
    }
    if (end != std::string::npos && field.find_first_not_of('\0', end) != std::string::npos) return std::nullopt;
    return text;
}

bool valid_date(int year, int month, int day) {
    constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 2000 || year > 2099 || month < 1 || month > 12) return false;
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return day >= 1 && day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

int refuse_image(const char* function, const std::string& path, int status, const std::string& why) {
    logger().warn("{}: {}: {}", function, path, why);
    return status;
}

// Reads and checks the image, in this order: QXE_INVALID_ARGUMENT (NUL in the path),
// QXE_IO_ERROR, QXE_BAD_IMAGE (does not start like the magic), QXE_IMAGE_TRUNCATED (under 112
// bytes), QXE_BAD_IMAGE (format version; over 112 bytes), QXE_BAD_CHECKSUM, QXE_BAD_IMAGE
// (a text or the date invalid).
int read_product_info(const char* function, const std::string& path, ProductImage& image) {
    std::string bytes;
    if (const int status = read_file_start(function, path, kImageSize + 1, bytes); status != QXE_OK) return status;
    const std::size_t magicBytes = std::min(bytes.size(), sizeof kMagic);
    if (bytes.compare(0, magicBytes, kMagic, magicBytes) != 0)
        return refuse_image(function, path, QXE_BAD_IMAGE, "not a product information image");
    if (bytes.size() < kImageSize)
        return refuse_image(function, path, QXE_IMAGE_TRUNCATED, fmt::format("only {} bytes", bytes.size()));
    if (const unsigned version = le16_at(bytes, 4); version != kFormatVersion)
        return refuse_image(function, path, QXE_BAD_IMAGE, fmt::format("unknown format version {}", version));
    if (bytes.size() > kImageSize) return refuse_image(function, path, QXE_BAD_IMAGE, "bytes after the checksum");
    if (crc32(bytes.data(), kCrcOffset) != le32_at(bytes, kCrcOffset))
        return refuse_image(function, path, QXE_BAD_CHECKSUM, "CRC-32 mismatch");
    const auto serial = field_text(bytes.substr(kSerialOffset, kSerialSize), kSerialSize);
    const auto name = field_text(bytes.substr(kNameOffset, kNameSize), kNameSize - 1);
    if (!serial) return refuse_image(function, path, QXE_BAD_IMAGE, "no valid serial number");
    if (!name) return refuse_image(function, path, QXE_BAD_IMAGE, "no valid product name");
    const int year = static_cast<int>(le16_at(bytes, kDateOffset));
    const int month = static_cast<unsigned char>(bytes[kDateOffset + 2]);
    const int day = static_cast<unsigned char>(bytes[kDateOffset + 3]);
    if (!valid_date(year, month, day))
        return refuse_image(function, path, QXE_BAD_IMAGE, fmt::format("no date {}-{}-{}", year, month, day));
    image.product = le16_at(bytes, 6);
    image.info = {*serial, *name, year, month, day};
    return QXE_OK;
}

// With the camera's port locked: writes `name` into the boot-data header of `version` (2 or 3).
void write_product_name(Device& device, int version, const std::string& name) {
    I2cDevice& eeprom = device.i2c.at({kEepromBus, kEepromAddress});
    const std::size_t nameOffset = version == 2 ? offsetof(QxHeaderV2, productName) : offsetof(QxHeaderV3, productName);
    for (std::size_t i = 0; i < kNameSize; ++i) {
        eeprom.at(static_cast<std::uint8_t>(nameOffset + i)).value =
            i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0;
    }
    if (version != 3) return;
    const auto put16 = [&](std::size_t offset, unsigned value) {
        eeprom.at(static_cast<std::uint8_t>(offset)).value = static_cast<std::uint8_t>(value & 0xFF);
        eeprom.at(static_cast<std::uint8_t>(offset + 1)).value = static_cast<std::uint8_t>(value >> 8);
    };
    std::uint8_t header[sizeof(QxHeaderV3)];
    const auto load = [&] {
        for (std::size_t i = 0; i < sizeof header; ++i) header[i] = eeprom.at(static_cast<std::uint8_t>(i)).value;
    };
    load();
    put16(offsetof(QxHeaderV3, fixChecksum), byte_sum(header, offsetof(QxHeaderV3, fixChecksum)));
    load();
    const unsigned contentChecksum = header[offsetof(QxHeaderV3, contentChecksum)] |
                                     header[offsetof(QxHeaderV3, contentChecksum) + 1] << 8;
    put16(offsetof(QxHeaderV3, totalChecksum),
          static_cast<std::uint16_t>(byte_sum(header, offsetof(QxHeaderV3, totalChecksum)) + contentChecksum));
}

}  // namespace
}  // namespace qx_emulator

using namespace qx_emulator;

int QxGetIntrinsics(std::shared_ptr<QxCamera> camera, QxIntrinsics& intrinsics) try {
    const char* function = __func__;
    return read_value(function, camera, "intrinsics", intrinsics, [&](const QxCamera::Impl& c) -> int {
        if (const int status = calibration_status(function, c); status != QXE_OK) return status;
        intrinsics = calibration(c).intrinsics;
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxWriteIntrinsics(std::shared_ptr<QxCamera> camera, QxIntrinsics intrinsics) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"intrinsics", as_value(intrinsics)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = calibration_status(function, c); status != QXE_OK) return status;
        if (const std::string problem = intrinsics_problem(intrinsics); !problem.empty()) {
            logger().warn("{}: camera {}: refused: {}", function, c.index, problem);
            return QXE_INVALID_ARGUMENT;
        }
        calibration(c).intrinsics = intrinsics;
        logger().info("{}: camera {}: intrinsics for {}x{} stored", function, c.index, intrinsics.w, intrinsics.h);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxFlashProductInfo(std::shared_ptr<QxCamera> camera, std::string path) try {
    Call call(__func__, {{"camera", as_value(camera)}, {"path", as_value(path)}});
    if (auto* s = call.scripted()) return s->result<int>();
    const char* function = __func__;
    return with_camera(function, camera, Need::open, [&](const QxCamera::Impl& c) -> int {
        if (const int status = calibration_status(function, c); status != QXE_OK) return status;
        const int version = c.device->i2c.at({kEepromBus, kEepromAddress}).at(0).value;
        if (version != 2 && version != 3) {
            logger().warn("{}: camera {}: the boot-data EEPROM holds no valid header", function, c.index);
            return QXE_NO_BOOTDATA;
        }
        ProductImage image;
        if (const int status = read_product_info(function, path, image); status != QXE_OK) return status;
        if (image.product != static_cast<unsigned>(c.config.productType)) {
            return refuse_image(function, path, QXE_WRONG_PRODUCT,
                                fmt::format("product information for product {}, not {}", image.product,
                                            static_cast<int>(c.config.productType)));
        }
        write_product_name(*c.device, version, image.info.productName);
        const ProductInfo& info = image.info;
        logger().info("{}: camera {}: product '{}', serial number {}, made {:04}-{:02}-{:02}", function, c.index,
                      info.productName, info.serialNumber, info.year, info.month, info.day);
        calibration(c).productInfo = std::move(image.info);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}
