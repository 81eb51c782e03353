// How the image-processing controls change the emulated frames. A Picture is applied to the
// test pattern's RGB before it is converted to the stream's format; the neutral Picture leaves
// every byte as it is, so frames at default settings are exactly the documented test pattern.
#pragma once

#include <cstddef>

namespace qx_emulator {

struct Picture {
    int brightness = 0;       // added to every component, in 8-bit levels
    double contrast = 1.0;    // scales every component's distance from mid-grey 128
    double saturation = 1.0;  // scales every component's distance from the pixel's luma
    double exposure = 1.0;    // scales every component (gain × exposure time); clips at 255

    bool neutral() const;
};

bool operator==(const Picture& a, const Picture& b);
inline bool operator!=(const Picture& a, const Picture& b) {
    return !(a == b);
}

// Applies `picture` to `pixels` packed RGB pixels in place: exposure (clipped), saturation,
// contrast, brightness, rounded to nearest and clamped to 0..255.
void apply_picture(const Picture& picture, unsigned char* rgb, std::size_t pixels);

}  // namespace qx_emulator
