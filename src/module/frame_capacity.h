// The frame-capacity rule: how many bytes pyQuorvexSDK.QxGetImage hands the library for one
// frame. The binding allocates this much; the emulator's test support (qx_emulator's capture
// references) measures with buffers of the same size, so the two must read the same rule.
#pragma once

#include <cstdint>

#include <QuorvexSDK/QuorvexSDK.h>

namespace pyqx {

// 4 bytes per pixel for BGRA and BGRX, and 3 as a bound for every other format (compressed
// MJPG included). 64-bit, so that the caller can refuse what exceeds the library's int count.
inline std::int64_t frame_capacity(std::int64_t width, std::int64_t height, QX_IMAGE_FORMAT format) {
    const bool four_bytes =
        format == QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_BGRA || format == QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_BGRX;
    return width * height * (four_bytes ? 4 : 3);
}

}  // namespace pyqx
