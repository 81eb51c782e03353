// Writes, for the fuzz targets whose files have a limit, one input exactly at each limit and one
// just past it, from the limits the library itself is built with. They are too large to commit
// and to mutate; scripts/fuzz.sh runs each of them once through its target.
//
//   write_limit_seeds FOLDER      ->  FOLDER/<target>/{at,past}_<limit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include <QuorvexSDK/QxEnums.h>

#include "binary.h"
#include "limits.h"

namespace {

namespace fs = std::filesystem;
namespace limits = qx_emulator::limits;

const std::string kCamera =
    "  - &camera {name: Cam, path: /dev/video0, interface: usb, product: zena, hardware_id: H}\n";

void write(const fs::path& folder, const std::string& target, const std::string& name, const std::string& bytes) {
    fs::create_directories(folder / target);
    std::ofstream(folder / target / name, std::ios::binary) << bytes;
}

// `head`, then a comment that brings the text to exactly `size` bytes.
std::string padded(const std::string& head, std::size_t size) {
    return head + "#" + std::string(size - head.size() - 2, '-') + "\n";
}

std::string aliased_cameras(std::size_t count) {
    std::string text = "cameras:\n" + kCamera;
    for (std::size_t i = 1; i < count; ++i) text += "  - *camera\n";
    return text;
}

// One camera with `sizes` x `rates` formats from one entry (and one more from a second entry when
// `oneMore`), then `aliases` aliases of it.
std::string camera_formats(std::size_t sizes, std::size_t rates, std::size_t aliases, bool oneMore = false) {
    std::string entry = "[{format: YUY2, sizes: [";
    for (std::size_t i = 0; i < sizes; ++i) entry += (i ? ", \"" : "\"") + std::to_string(64 + 2 * i) + "x480\"";
    entry += "], fps: [";
    for (std::size_t i = 1; i <= rates; ++i) entry += (i > 1 ? ", " : "") + std::to_string(i);
    entry += "]}";
    if (oneMore) entry += ", {format: RGB, sizes: [\"640x480\"], fps: [1]}";
    entry += "]";
    std::string text = "cameras:\n  - &camera {name: Cam, path: /dev/video0, interface: usb, product: zena, "
                       "hardware_id: H, formats: " + entry + "}\n";
    for (std::size_t i = 0; i < aliases; ++i) text += "  - *camera\n";
    return text;
}

// `nodes` YAML nodes in all: the root, `cameras: []` and a list of `nodes - 5` scalars.
std::string yaml_nodes(std::size_t nodes) {
    std::string text = "cameras: []\nx: [";
    for (std::size_t i = 0; i < nodes - 5; ++i) text += i ? ",1" : "1";
    return text + "]\n";
}

std::string firmware(unsigned target, std::uint32_t length) {
    std::string image("QXFW", 4);
    qx_emulator::append_le16(image, 1);
    qx_emulator::append_le16(image, target);
    qx_emulator::append_le16(image, static_cast<unsigned>(QX_CAMERA_PRODUCT_TYPE::QXCAM_PRODUCT_TYPE_ZENA));
    qx_emulator::append_le16(image, 0);
    image += std::string("9.9.9") + std::string(11, '\0');
    const std::string payload(length, '\x5a');
    qx_emulator::append_le32(image, length);
    qx_emulator::append_le32(image, qx_emulator::crc32(payload.data(), payload.size()));
    return image + payload;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    const std::string camera = "cameras:\n" + kCamera;
    write(folder, "config", "at_config_bytes.yaml", padded(camera, limits::kConfigBytes));
    write(folder, "config", "past_config_bytes.yaml", padded(camera, limits::kConfigBytes + 1));
    write(folder, "config", "at_config_cameras.yaml", aliased_cameras(limits::kConfigCameras));
    write(folder, "config", "past_config_cameras.yaml", aliased_cameras(limits::kConfigCameras + 1));
    static_assert(limits::kCameraFormats == 257 * 255, "one entry of 257 sizes at 255 rates fills a camera");
    write(folder, "config", "at_camera_formats.yaml", camera_formats(257, 255, 0));
    write(folder, "config", "past_camera_formats.yaml", camera_formats(257, 255, 0, true));
    // 16 full cameras and one of `rest` formats: 16 fills every format the configuration may hold.
    static_assert(limits::kConfigFormats == 16 * limits::kCameraFormats + 16, "16 full cameras and 16 formats");
    const auto all_formats = [](std::size_t rest) {
        std::string last = "  - {name: Last, path: /dev/video1, interface: usb, product: zena, hardware_id: H, "
                           "formats: [{format: RGB, sizes: [\"640x480\"], fps: [";
        for (std::size_t i = 1; i <= rest; ++i) last += (i > 1 ? ", " : "") + std::to_string(i);
        return camera_formats(257, 255, 15) + last + "]}]}\n";
    };
    write(folder, "config", "at_config_formats.yaml", all_formats(16));
    write(folder, "config", "past_config_formats.yaml", all_formats(17));
    write(folder, "config", "at_yaml_nodes.yaml", yaml_nodes(limits::kYamlNodes));
    write(folder, "config", "past_yaml_nodes.yaml", yaml_nodes(limits::kYamlNodes + 1));

    write(folder, "routes", "at_route_file_bytes.yaml", padded("routes: []\n", limits::kRouteFileBytes));
    write(folder, "routes", "past_route_file_bytes.yaml", padded("routes: []\n", limits::kRouteFileBytes + 1));
    const std::string profile = "format: YUY2 640x480@60\n";
    write(folder, "profile", "at_profile_bytes.yaml", padded(profile, limits::kProfileBytes));
    write(folder, "profile", "past_profile_bytes.yaml", padded(profile, limits::kProfileBytes + 1));
    for (const auto& [target, chip] : {std::pair{"firmware_fx3", 1u}, std::pair{"firmware_sensor", 2u}}) {
        write(folder, target, "at_firmware_payload_bytes.img", firmware(chip, limits::kFirmwarePayloadBytes));
        write(folder, target, "past_firmware_payload_bytes.img", firmware(chip, limits::kFirmwarePayloadBytes + 1));
    }
    return EXIT_SUCCESS;
}
