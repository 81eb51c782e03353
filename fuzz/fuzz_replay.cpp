// Recordings: a camera of the configuration replaying the input (`replay:` naming it, pacing
// off). A recording the library takes is then streamed in each of its formats for a pass and a
// half, and every frame must have the length its format gives. The same recording configured with
// `replay` alone, twice, must be taken too, as two cameras of their own (distinct paths) with
// names; and its camera 1, where it has one, streams as camera 0 does.
#include <memory>
#include <string>
#include <vector>

#include <QuorvexEmulator/Control.h>

#include "frames.h"
#include "fuzz_common.h"

namespace {

// Larger formats are listed and selected but not streamed: their buffer costs more than the input.
constexpr std::size_t kMaxStreamedPixels = 1 << 20;
// Reads per format; the seeds hold a few frames, so this wraps around them.
constexpr int kReadsPerFormat = 12;

void stream_every_format(const std::shared_ptr<QxCamera>& camera) {
    std::vector<QxFormat> formats;
    QX_FUZZ_CHECK(QxGetFormatList(camera, formats) == 0 && !formats.empty(), "a replaying camera lists no formats");
    for (const QxFormat& format : formats) {
        QX_FUZZ_CHECK(QxSetFormat(camera, format) == 0, "a listed format cannot be selected");
        const std::size_t pixels = std::size_t{format.width} * format.height;
        if (pixels > kMaxStreamedPixels) continue;
        QX_FUZZ_CHECK(QxStartStreaming(camera) == 0, "a recorded format does not stream");
        std::vector<unsigned char> buffer(pixels * 4);
        // 0 for MJPG, whose JPEG frames hold at most 3 bytes per pixel.
        const std::size_t raw = qx_emulator::raw_frame_size(format.format, format.width, format.height);
        for (int i = 0; i < kReadsPerFormat; ++i) {
            int size = -1;
            QX_FUZZ_CHECK(QxGetImage(camera, buffer.data(), &size, 0) == QX_CAPTURE_RESULT::QX_SUCCESS,
                          "an unpaced replay has no frame due");
            const bool fits = raw != 0 ? static_cast<std::size_t>(size) == raw
                                       : size > 0 && static_cast<std::size_t>(size) <= pixels * 3;
            QX_FUZZ_CHECK(fits, "a replayed frame's length does not fit its format");
        }
        QX_FUZZ_CHECK(QxStopStreaming(camera) == 0, "a replay does not stop");
    }
}

// Both cameras of a configuration replaying the input twice with nothing but `replay`.
void check_minimal_entries() {
    std::string paths[2];
    for (int index = 0; index < 2; ++index) {
        const std::shared_ptr<QxCamera> camera = QxInitialCameraDevice(index);
        QX_FUZZ_CHECK(camera != nullptr && QxOpen(camera) == 0, "a camera given by `replay` alone cannot be opened");
        std::string name;
        QX_FUZZ_CHECK(QxGetDeviceName(camera, name) == 0 && !name.empty(), "a replaying camera has no name");
        QX_FUZZ_CHECK(QxGetDevicePath(camera, paths[index]) == 0 && !paths[index].empty(),
                      "a replaying camera has no path");
        QxClose(camera);
    }
    QX_FUZZ_CHECK(paths[0] != paths[1], "two cameras replaying one recording share a device path");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string replay = "replay: \"" + qx_fuzz::input_path() + "\"";
    static const std::string configuration = "pacing: false\ncameras:\n"
                                             "  - {name: Replay, path: /dev/video9, interface: usb, product: zeni,\n"
                                             "     hardware_id: \"R-1\", " + replay + "}\n";
    static const std::string twice = "pacing: false\ncameras:\n  - {" + replay + "}\n  - {" + replay + "}\n";
    static const std::string second = "pacing: false\ncameras:\n  - {" + replay + ", replay_camera: 1}\n";
    qx_fuzz::quiet_library();
    qx_fuzz::write_input(data, size);
    if (qx_emulator::configure(configuration)) {
        const std::shared_ptr<QxCamera> camera = QxInitialCameraDevice(0);
        QX_FUZZ_CHECK(camera != nullptr && QxOpen(camera) == 0, "the replaying camera cannot be opened");
        stream_every_format(camera);
        QxClose(camera);
        QX_FUZZ_CHECK(qx_emulator::configure(twice), "a recording that replays is refused given by `replay` alone");
        check_minimal_entries();
    }
    if (qx_emulator::configure(second)) {
        const std::shared_ptr<QxCamera> camera = QxInitialCameraDevice(0);
        QX_FUZZ_CHECK(camera != nullptr && QxOpen(camera) == 0, "the camera replaying camera 1 cannot be opened");
        stream_every_format(camera);
        QxClose(camera);
    }
    qx_fuzz::forget_journal();
    return 0;
}
