#include "text.h"

namespace qx_emulator {
namespace {

bool continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The length of the well-formed character at `text[at]`, or 0.
std::size_t character_at(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (!continuation(byte(i))) return 0;
    }
    return length;
}

}  // namespace

bool valid_utf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = character_at(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string utf8_prefix(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && continuation(static_cast<unsigned char>(text[end]))) --end;
    return text.substr(0, end);
}

}  // namespace qx_emulator
