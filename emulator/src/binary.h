// Little-endian fields and CRC-32 of the binary files the emulated library reads and writes
// (sensor configurations, product information and firmware images).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qx_emulator {

inline unsigned le16_at(const std::string& bytes, std::size_t offset) {
    return static_cast<unsigned char>(bytes[offset]) | static_cast<unsigned char>(bytes[offset + 1]) << 8;
}

inline std::uint32_t le32_at(const std::string& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(le16_at(bytes, offset)) |
           static_cast<std::uint32_t>(le16_at(bytes, offset + 2)) << 16;
}

inline void append_le16(std::string& bytes, unsigned value) {
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>((value >> 8) & 0xFF);
}

inline void append_le32(std::string& bytes, std::uint32_t value) {
    append_le16(bytes, value & 0xFFFF);
    append_le16(bytes, value >> 16);
}

// The CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320), so Python's zlib.crc32 agrees;
// like zlib.crc32(data, previous), it continues the CRC of the bytes before `data`.
inline std::uint32_t crc32(const char* data, std::size_t size, std::uint32_t previous = 0) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = previous ^ 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace qx_emulator
