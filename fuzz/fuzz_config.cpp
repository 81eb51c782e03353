// The camera configuration: the file named by QX_EMULATOR_CONFIG (read on first use after
// reset()) and the same text through configure(). A configuration the library takes is then
// used the way a program would: every camera opened, its formats, calibration and boot data
// read, and a profile loaded through each camera, then read and activated through every handle,
// since handles with one path share their device. A refused one must fail discovery with its
// reason, and leave no cameras.
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <QuorvexEmulator/Control.h>
#include <QuorvexEmulator/Status.h>

#include "fuzz_common.h"

namespace {

// Cameras past this many add time, not coverage.
constexpr int kMaxCameras = 8;

const char* fourcc(QX_IMAGE_FORMAT format) {
    constexpr const char* kNames[] = {"NONE", "YUY2", "UYVY", "NV12", "MJPG", "BGRA", "BGRX", "BGR", "RGB16", "RGB"};
    const auto i = static_cast<std::size_t>(format);
    return i < std::size(kNames) ? kNames[i] : "NONE";
}

// `accepted`: what configure() answered, when it configured the cameras.
std::vector<std::shared_ptr<QxCamera>> discovered(std::optional<bool> accepted) {
    std::vector<std::string> names;
    const int status = QxDiscoverCameraDevices(names);
    const bool refused = status == qx_emulator::QXE_FAILED && names.size() == 1 && !names[0].empty();
    QX_FUZZ_CHECK(status == 0 || refused, "QxDiscoverCameraDevices failed without the reason");
    QX_FUZZ_CHECK(!accepted || *accepted == (status == 0), "configure() and discovery disagree about the configuration");
    if (refused) {
        QX_FUZZ_CHECK(QxInitialCameraDevice(0) == nullptr, "a refused configuration left a camera");
        return {};
    }
    std::vector<std::shared_ptr<QxCamera>> cameras;
    for (int i = 0; i < static_cast<int>(names.size()) && i < kMaxCameras; ++i) {
        auto camera = QxInitialCameraDevice(i);
        QX_FUZZ_CHECK(camera != nullptr, "a discovered camera has no handle");
        cameras.push_back(std::move(camera));
    }
    return cameras;
}

// Reads the device's profile and activates it through every handle, after one of them loaded it.
void use_profile_everywhere(const std::vector<std::shared_ptr<QxCamera>>& cameras) {
    for (const auto& camera : cameras) {
        QX_FUZZ_CHECK(QxOpen(camera) == 0, "a camera cannot be opened while every camera is closed");
        std::string profile;
        QxGetOSPProfileConfig(camera, profile);
        QxActivateProfileStreaming(camera);
        QxActivateProfileImageProcessing(camera);
        QxClose(camera);
    }
}

void use_cameras(std::optional<bool> accepted) {
    const auto cameras = discovered(accepted);
    const std::string profilePath = qx_fuzz::scratch_folder() + "/profile";
    for (const auto& camera : cameras) {
        QX_FUZZ_CHECK(QxOpen(camera) == 0, "a camera cannot be opened while every camera is closed");
        std::vector<QxFormat> formats;
        QX_FUZZ_CHECK(QxGetFormatList(camera, formats) == 0 && !formats.empty(), "an open camera lists no formats");
        QxIntrinsics intrinsics{};
        QxGetIntrinsics(camera, intrinsics);
        QxGetHeaderVersion(camera);
        std::unique_ptr<QxHeaderV3> header;
        QxGetBootdataHeaderV3(camera, header);
        std::string text;
        QxGetSensorUniqueID(camera, text);
        const bool profiles = QxSetOSPProfileFlag(camera, QX_OSP_PROFILE_FLAG::ENABLED) == 0;
        if (profiles) {
            const QxFormat& last = formats.back();
            qx_fuzz::write_file(profilePath, fmt::format("format: {} {}x{}@{}\n", fourcc(last.format), last.width,
                                                         last.height, last.framerate));
            QX_FUZZ_CHECK(QxLoadProfileConfig(camera, profilePath) == 0,
                          "a profile naming the camera's own last format was refused");
        }
        QxClose(camera);
        // Handles with one path share the profile, whatever formats each lists.
        if (profiles) use_profile_everywhere(cameras);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("QX_EMULATOR_CONFIG", qx_fuzz::input_path().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qx_fuzz::write_input(data, size);
    qx_emulator::reset();
    qx_fuzz::quiet_library();
    use_cameras(std::nullopt);

    use_cameras(qx_emulator::configure(std::string(reinterpret_cast<const char*>(data), size)));

    qx_fuzz::forget_journal();
    return 0;
}
