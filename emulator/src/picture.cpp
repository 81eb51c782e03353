#include "picture.h"

#include <algorithm>
#include <cmath>

namespace qx_emulator {
namespace {

unsigned char to_byte(double value) {
    return static_cast<unsigned char>(std::clamp(std::floor(value + 0.5), 0.0, 255.0));
}

}  // namespace

bool Picture::neutral() const {
    return *this == Picture{};
}

bool operator==(const Picture& a, const Picture& b) {
    return a.brightness == b.brightness && a.contrast == b.contrast && a.saturation == b.saturation &&
           a.exposure == b.exposure;
}

void apply_picture(const Picture& picture, unsigned char* rgb, std::size_t pixels) {
    if (picture.neutral()) return;
    for (std::size_t i = 0; i < pixels; ++i) {
        unsigned char* px = rgb + 3 * i;
        double c[3];
        // The sensor clips before the processing stages see the value.
        for (int k = 0; k < 3; ++k) c[k] = std::min(255.0, px[k] * picture.exposure);
        const double luma = 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2];
        for (int k = 0; k < 3; ++k) {
            const double saturated = luma + picture.saturation * (c[k] - luma);
            px[k] = to_byte(128.0 + picture.contrast * (saturated - 128.0) + picture.brightness);
        }
    }
}

}  // namespace qx_emulator
