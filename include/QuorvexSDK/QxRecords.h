// QuorvexSDK records. Their layouts are shared byte for byte between the library and its
// callers; the static_asserts below pin every size and offset.
#pragma once

#include <cstddef>
#include <type_traits>

#include "QxEnums.h"

// One capture format offered by a camera.
struct QxFormat {
    unsigned short formatId;  // the library's own identifier of the format within its list
    unsigned short width;
    unsigned short height;
    unsigned short framerate;
    QX_IMAGE_FORMAT format;
};

#pragma pack(push, 1)

// Boot-data header, version 2.
struct QxHeaderV2 {
    unsigned char headerVersion;
    unsigned short contentOffset;
    char productName[64];
    unsigned char productVersion;
    unsigned char reserved[76];
};

// Boot-data header, version 3.
struct QxHeaderV3 {
    unsigned char headerVersion;
    unsigned short contentOffset;
    unsigned short sensorType;
    unsigned char sensorFuseId[16];
    char productName[64];
    unsigned char lensId[16];
    unsigned short fixChecksum;
    unsigned char kmFwVersion[2];
    unsigned short vendorFwVersion;
    unsigned short customNumber;
    unsigned char recordYear;
    unsigned char recordMonth;
    unsigned char recordDay;
    unsigned char recordHour;
    unsigned char recordMinute;
    unsigned char recordSecond;
    unsigned short mipiDatarate;
    unsigned int contentLen;
    unsigned short contentChecksum;
    unsigned short totalChecksum;
};

#pragma pack(pop)

// Orientation reported by the ISPU of a camera's IMU.
struct QxImuIspu {
    float x;
    float y;
    float z;
    float w;
    float yaw;
    float pitch;
    float roll;
};

// Lens intrinsics calibration.
struct QxIntrinsics {
    int w;
    int h;
    float fx;
    float fy;
    float cx;
    float cy;
    QX_DISTORTION_MODEL model;
    float coeffs[5];
};

static_assert(sizeof(unsigned short) == 2 && sizeof(unsigned int) == 4 && sizeof(float) == 4,
              "QuorvexSDK records need 16-bit short, 32-bit int and 32-bit float");

static_assert(sizeof(QxFormat) == 12 && alignof(QxFormat) == 4, "QxFormat layout");
static_assert(offsetof(QxFormat, formatId) == 0, "QxFormat::formatId");
static_assert(offsetof(QxFormat, width) == 2, "QxFormat::width");
static_assert(offsetof(QxFormat, height) == 4, "QxFormat::height");
static_assert(offsetof(QxFormat, framerate) == 6, "QxFormat::framerate");
static_assert(offsetof(QxFormat, format) == 8, "QxFormat::format");

static_assert(sizeof(QxHeaderV2) == 144 && alignof(QxHeaderV2) == 1, "QxHeaderV2 layout");
static_assert(offsetof(QxHeaderV2, headerVersion) == 0, "QxHeaderV2::headerVersion");
static_assert(offsetof(QxHeaderV2, contentOffset) == 1, "QxHeaderV2::contentOffset");
static_assert(offsetof(QxHeaderV2, productName) == 3, "QxHeaderV2::productName");
static_assert(offsetof(QxHeaderV2, productVersion) == 67, "QxHeaderV2::productVersion");
static_assert(offsetof(QxHeaderV2, reserved) == 68, "QxHeaderV2::reserved");

static_assert(sizeof(QxHeaderV3) == 125 && alignof(QxHeaderV3) == 1, "QxHeaderV3 layout");
static_assert(offsetof(QxHeaderV3, headerVersion) == 0, "QxHeaderV3::headerVersion");
static_assert(offsetof(QxHeaderV3, contentOffset) == 1, "QxHeaderV3::contentOffset");
static_assert(offsetof(QxHeaderV3, sensorType) == 3, "QxHeaderV3::sensorType");
static_assert(offsetof(QxHeaderV3, sensorFuseId) == 5, "QxHeaderV3::sensorFuseId");
static_assert(offsetof(QxHeaderV3, productName) == 21, "QxHeaderV3::productName");
static_assert(offsetof(QxHeaderV3, lensId) == 85, "QxHeaderV3::lensId");
static_assert(offsetof(QxHeaderV3, fixChecksum) == 101, "QxHeaderV3::fixChecksum");
static_assert(offsetof(QxHeaderV3, kmFwVersion) == 103, "QxHeaderV3::kmFwVersion");
static_assert(offsetof(QxHeaderV3, vendorFwVersion) == 105, "QxHeaderV3::vendorFwVersion");
static_assert(offsetof(QxHeaderV3, customNumber) == 107, "QxHeaderV3::customNumber");
static_assert(offsetof(QxHeaderV3, recordYear) == 109, "QxHeaderV3::recordYear");
static_assert(offsetof(QxHeaderV3, recordMonth) == 110, "QxHeaderV3::recordMonth");
static_assert(offsetof(QxHeaderV3, recordDay) == 111, "QxHeaderV3::recordDay");
static_assert(offsetof(QxHeaderV3, recordHour) == 112, "QxHeaderV3::recordHour");
static_assert(offsetof(QxHeaderV3, recordMinute) == 113, "QxHeaderV3::recordMinute");
static_assert(offsetof(QxHeaderV3, recordSecond) == 114, "QxHeaderV3::recordSecond");
static_assert(offsetof(QxHeaderV3, mipiDatarate) == 115, "QxHeaderV3::mipiDatarate");
static_assert(offsetof(QxHeaderV3, contentLen) == 117, "QxHeaderV3::contentLen");
static_assert(offsetof(QxHeaderV3, contentChecksum) == 121, "QxHeaderV3::contentChecksum");
static_assert(offsetof(QxHeaderV3, totalChecksum) == 123, "QxHeaderV3::totalChecksum");

static_assert(sizeof(QxImuIspu) == 28 && alignof(QxImuIspu) == 4, "QxImuIspu layout");
static_assert(offsetof(QxImuIspu, x) == 0, "QxImuIspu::x");
static_assert(offsetof(QxImuIspu, y) == 4, "QxImuIspu::y");
static_assert(offsetof(QxImuIspu, z) == 8, "QxImuIspu::z");
static_assert(offsetof(QxImuIspu, w) == 12, "QxImuIspu::w");
static_assert(offsetof(QxImuIspu, yaw) == 16, "QxImuIspu::yaw");
static_assert(offsetof(QxImuIspu, pitch) == 20, "QxImuIspu::pitch");
static_assert(offsetof(QxImuIspu, roll) == 24, "QxImuIspu::roll");

static_assert(sizeof(QxIntrinsics) == 48 && alignof(QxIntrinsics) == 4, "QxIntrinsics layout");
static_assert(offsetof(QxIntrinsics, w) == 0, "QxIntrinsics::w");
static_assert(offsetof(QxIntrinsics, h) == 4, "QxIntrinsics::h");
static_assert(offsetof(QxIntrinsics, fx) == 8, "QxIntrinsics::fx");
static_assert(offsetof(QxIntrinsics, fy) == 12, "QxIntrinsics::fy");
static_assert(offsetof(QxIntrinsics, cx) == 16, "QxIntrinsics::cx");
static_assert(offsetof(QxIntrinsics, cy) == 20, "QxIntrinsics::cy");
static_assert(offsetof(QxIntrinsics, model) == 24, "QxIntrinsics::model");
static_assert(offsetof(QxIntrinsics, coeffs) == 28, "QxIntrinsics::coeffs");

static_assert(std::is_trivially_copyable_v<QxFormat> && std::is_trivially_copyable_v<QxHeaderV2> &&
                  std::is_trivially_copyable_v<QxHeaderV3> && std::is_trivially_copyable_v<QxImuIspu> &&
                  std::is_trivially_copyable_v<QxIntrinsics>,
              "QuorvexSDK records are plain data");
