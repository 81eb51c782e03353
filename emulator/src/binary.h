// Little-endian fields and CRC-32 of the binary files the emulated library reads and writes
// (sensor configurations, product information and firmware images).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <zlib.h>

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

// zlib's CRC-32, so Python's zlib.crc32 agrees; like zlib.crc32(data, previous), it continues
// the CRC of the bytes before `data`.
inline std::uint32_t crc32(const char* data, std::size_t size, std::uint32_t previous = 0) {
    return static_cast<std::uint32_t>(::crc32_z(previous, reinterpret_cast<const Bytef*>(data), size));
}

}  // namespace qx_emulator
