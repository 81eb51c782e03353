// Every bound the emulated library puts on what it reads and keeps, in one table: each file it
// reads is read up to its bound and no further, so that a wrong path (a disk image, /dev/zero) or a
// hostile file costs bounded time and memory. Tests read the table through qx_emulator.limits();
// emulator/README.md ("Limits") describes each entry.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx_emulator::limits {

// Camera configuration (QX_EMULATOR_CONFIG or configure()).
constexpr std::size_t kConfigBytes = 16u << 20;
constexpr std::size_t kConfigCameras = 65536;
constexpr std::size_t kCameraFormats = 65535;  // formatId is an unsigned short
constexpr std::size_t kConfigFormats = 1u << 20;  // over all cameras
// YAML nodes of a configuration or route file, counting an alias as the nodes it stands for.
constexpr std::size_t kYamlNodes = 1u << 20;

// The other files the library reads, whole-file sizes.
constexpr std::size_t kRouteFileBytes = 1u << 20;
constexpr std::size_t kProfileBytes = 64u << 10;
constexpr std::size_t kFirmwarePayloadBytes = 16u << 20;  // plus the image's 36-byte header

// Sizes and rates a format may have, configured or recorded. The lower bounds keep every part of
// the test pattern visible (32 counter cells need 32 columns).
constexpr int kMinWidth = 32;
constexpr int kMinHeight = 16;
constexpr int kMaxSide = 8192;
constexpr int kMaxFramerate = 255;

// Recordings (`replay`); quorvex's reader holds the same bounds.
constexpr std::size_t kRecordingFrameHeaderBytes = 32;
constexpr std::uint32_t kRecordingFramePayload =
    kRecordingFrameHeaderBytes + static_cast<std::uint32_t>(kMaxSide) * static_cast<std::uint32_t>(kMaxSide) * 4u;
constexpr std::uint32_t kRecordingOtherPayload = 1u << 20;
constexpr std::size_t kRecordingFrames = std::size_t{1} << 21;
constexpr std::size_t kRecordingFormats = 256;  // of the replayed camera
constexpr std::size_t kRecordingCameras = 16;

// The call journal: the latest calls, within a byte budget; a longer byte-string argument is
// journalled as a note of its length and CRC-32.
constexpr std::size_t kJournalCalls = 100000;
constexpr std::size_t kJournalBytes = 64u << 20;
constexpr std::size_t kJournalArgumentBytes = 64u << 10;  // a whole generic I2C buffer

struct Entry {
    const char* name;
    std::size_t value;
};

// The table as qx_emulator.limits() shows it. Sizes fixed by a file format (a sensor
// configuration, product information, a boot-data header) are not limits and are not listed.
constexpr Entry kTable[] = {
    {"config_bytes", kConfigBytes},
    {"config_cameras", kConfigCameras},
    {"camera_formats", kCameraFormats},
    {"config_formats", kConfigFormats},
    {"yaml_nodes", kYamlNodes},
    {"route_file_bytes", kRouteFileBytes},
    {"profile_bytes", kProfileBytes},
    {"firmware_payload_bytes", kFirmwarePayloadBytes},
    {"format_min_width", kMinWidth},
    {"format_min_height", kMinHeight},
    {"format_max_side", kMaxSide},
    {"format_max_fps", kMaxFramerate},
    {"recording_frame_payload", kRecordingFramePayload},
    {"recording_other_payload", kRecordingOtherPayload},
    {"recording_frames", kRecordingFrames},
    {"recording_formats", kRecordingFormats},
    {"recording_cameras", kRecordingCameras},
    {"journal_calls", kJournalCalls},
    {"journal_bytes", kJournalBytes},
    {"journal_argument_bytes", kJournalArgumentBytes},
};

}  // namespace qx_emulator::limits
