// Many C++ threads calling the emulated QuorvexSDK at once, with no lock of their own: threads on
// different cameras, several threads on one camera, two handles of one device, an upgrade, calls
// that name no camera, logging at trace level to a file, cameras unplugged and plugged in again,
// and configure() and reset() replacing every camera meanwhile. It checks what must hold whatever the interleaving (frame lengths, statuses from
// the documented set, a firmware version from the images it installs) and ends with a
// summary line; a crash, a hang or a data race (built with -fsanitize=thread) is the failure.
//
//   concurrency_stress SECONDS WORK_DIR
//
// WORK_DIR holds two sensor firmware images for ZenA cameras, sensor-7.0.1.img and
// sensor-7.0.2.img, of those versions; the log file goes there too.
//
// Exit status 0 when every check held, 1 with the broken checks on stderr, 2 for bad usage.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QuorvexSDK/QuorvexSDK.h>

#include <QuorvexEmulator/Control.h>
#include <QuorvexEmulator/Status.h>

namespace {

using namespace qx_emulator;  // the status codes

// Cameras 0..2 and 4 are four devices; 3 is a second handle of camera 2's device.
constexpr const char* kConfiguration = R"yaml(
upgrade_time_ms: 20
cameras:
  - {name: Stress A, path: /dev/stress0, interface: usb, product: zena, hardware_id: "A", isp: ap1302,
     formats: [{format: YUY2, sizes: ["640x480"], fps: [255]}, {format: MJPG, sizes: ["320x240"], fps: [255]},
               {format: NV12, sizes: ["1920x1080"], fps: [30]}]}
  - {name: Stress B, path: /dev/stress1, interface: mipi_csi2, product: zenm, hardware_id: "B", isp: ap1302,
     formats: [{format: UYVY, sizes: ["320x240"], fps: [255]}, {format: BGRA, sizes: ["640x480"], fps: [255]}]}
  - {name: Stress C, path: /dev/stress2, interface: usb, product: zeni, hardware_id: "C",
     formats: [{format: RGB, sizes: ["160x120"], fps: [255]}]}
  - {name: Stress C again, path: /dev/stress2, interface: usb, product: zeni, hardware_id: "C",
     formats: [{format: RGB, sizes: ["160x120"], fps: [255]}]}
  - {name: Stress D, path: /dev/stress3, interface: usb, product: zena, hardware_id: "D",
     formats: [{format: YUY2, sizes: ["320x240"], fps: [255]}]}
)yaml";

constexpr int kCameras = 5;
constexpr int kUpgraded = 4;  // upgraded by one thread while another streams it

struct Failures {
    std::mutex mutex;
    std::set<std::string> seen;
    std::atomic<long> count{0};

    void add(const std::string& what) {
        ++count;
        std::lock_guard<std::mutex> lock(mutex);
        if (seen.insert(what).second) std::fprintf(stderr, "broken: %s\n", what.c_str());
    }
};

Failures failures;
std::atomic<bool> stopping{false};
std::atomic<long> calls{0};
std::atomic<long> frames{0};
std::atomic<long> upgrades{0};
std::atomic<long> replacements{0};
std::atomic<long> resets{0};
std::atomic<long> unplugs{0};
// reset() brings the built-in cameras back until the next configure(): odd from before a reset
// until after that configure(), so a check that sees one even value throughout saw no reset.
std::atomic<long> resetPhase{0};

bool no_reset_since(long phase) {
    return phase % 2 == 0 && resetPhase == phase;
}

void expect(bool holds, const std::string& what) {
    if (!holds) failures.add(what);
}

// Statuses a camera function may give while other threads use the camera and replace the
// configuration: the camera's state may change between any two calls.
bool state_status(int status) {
    return status == QXE_OK || status == QXE_NO_DEVICE || status == QXE_NOT_OPEN || status == QXE_ALREADY_OPEN ||
           status == QXE_BUSY || status == QXE_NOT_STREAMING;
}

std::shared_ptr<QxCamera> handle(int index) {
    ++calls;
    return QxInitialCameraDevice(index);
}

std::size_t capacity(const QxFormat& f) {
    return static_cast<std::size_t>(f.width) * f.height * 4;
}

// Opens (or finds open), streams the first or a random format, takes a few frames, changes a
// setting and stops; each step may meet another thread's doing.
void stream_some(const std::shared_ptr<QxCamera>& camera, unsigned seed, std::vector<unsigned char>& buffer) {
    int status = QxOpen(camera);
    ++calls;
    expect(state_status(status), "QxOpen status " + std::to_string(status));
    std::vector<QxFormat> all, formats;
    status = QxGetFormatList(camera, all);
    ++calls;
    // Up to full HD: the built-in cameras that reset() brings back have 4K formats too.
    for (const QxFormat& f : all) {
        if (f.width <= 1920) formats.push_back(f);
    }
    if (status != QXE_OK || formats.empty()) return;
    const QxFormat& f = formats[seed % formats.size()];
    status = QxSetFormat(camera, f);
    ++calls;
    expect(state_status(status), "QxSetFormat status " + std::to_string(status));
    status = QxStartStreaming(camera);
    ++calls;
    expect(state_status(status), "QxStartStreaming status " + std::to_string(status));
    // Another thread may have started a larger format meanwhile: the buffer fits every one.
    std::size_t largest = 0;
    for (const QxFormat& any : formats) largest = std::max(largest, capacity(any));
    if (buffer.size() < largest) buffer.resize(largest);
    for (int i = 0; i < 3; ++i) {
        int size = -1;
        const QX_CAPTURE_RESULT result = QxGetImage(camera, buffer.data(), &size, 200);
        ++calls;
        if (result == QX_CAPTURE_RESULT::QX_SUCCESS) {
            ++frames;
            expect(size > 0 && static_cast<std::size_t>(size) <= largest, "frame length " + std::to_string(size));
        } else {
            expect(size == -1, "size written without a frame");
        }
    }
    status = QxSetUVCImageProcessing(camera, QX_UVC_IMAGE_PROPERTIES::UVC_IMAGE_BRIGHTNESS,
                                     static_cast<int>(seed % 64), 2);
    ++calls;
    status = QxStopStreaming(camera);
    ++calls;
    expect(state_status(status), "QxStopStreaming status " + std::to_string(status));
}

void camera_worker(int index, unsigned seed) {
    std::vector<unsigned char> buffer;
    while (!stopping) {
        auto camera = handle(index);
        if (!camera) continue;  // between a replacement's detaching and its new cameras
        stream_some(camera, seed++, buffer);
        std::string name;
        const long phase = resetPhase;
        const int status = QxGetDeviceName(camera, name);
        ++calls;
        if (no_reset_since(phase))
            expect(status != QXE_OK || name.rfind("Stress", 0) == 0, "device name '" + name + "'");
        std::uint16_t value = 0;
        QxAP1302I2CWrite(camera, 0x6000, static_cast<std::uint16_t>(seed));
        QxAP1302I2CRead(camera, 0x0000, value);
        calls += 2;
        if (seed % 5 == 0) {
            QxClose(camera);
            ++calls;
        }
    }
}

// Upgrades camera kUpgraded (ZenA) with WORK_DIR/sensor-7.0.1.img and sensor-7.0.2.img in turn.
void upgrade_worker(const std::string& folder) {
    const std::string versions[] = {"7.0.1", "7.0.2"};
    const std::string paths[] = {folder + "/sensor-7.0.1.img", folder + "/sensor-7.0.2.img"};
    for (unsigned i = 0; !stopping; ++i) {
        auto camera = handle(kUpgraded);
        if (!camera) continue;
        QxOpen(camera);
        ++calls;
        const QX_UPGRADE_RESULT result = QxUpgradeSensorFW(camera, paths[i % 2], [&](int percent) {
            // The progress function may call the library on its own camera.
            std::string version;
            QxGetSensorFirmwareVersion(camera, version);
            expect(percent >= 0 && percent <= 100, "progress " + std::to_string(percent));
        });
        ++calls;
        if (result == QX_UPGRADE_RESULT::QX_UPGRADE_SUCCESS) ++upgrades;
        std::string version;
        if (QxGetSensorFirmwareVersion(camera, version) == QXE_OK) {
            expect(version == "1.0.9" || version == versions[0] || version == versions[1],
                   "sensor firmware '" + version + "'");
        }
        calls += 1;
    }
}

// Calls that name no camera, the journal, scripts and logging to a file at trace level.
void library_worker(const std::string& folder) {
    for (unsigned i = 0; !stopping; ++i) {
        if (i % 20 == 0) {  // again and again, as reset() takes logging back to stderr
            expect(QxSetLogFile(folder + "/stress.log") == QXE_OK, "cannot log to the work folder");
            QxSetLogLevel(QX_LOG_LEVEL::QX_LOG_LEVEL_TRACE);
        }
        const long phase = resetPhase;
        std::vector<std::string> names;
        expect(QxDiscoverCameraDevices(names) == QXE_OK, "discovery failed");
        qx_emulator::Script script;
        script.function = "QxResetActiveRoutes";
        script.result = std::int64_t{7};
        qx_emulator::add_script(script);
        const int routed = QxResetActiveRoutes();
        expect(routed == 7 || routed == QXE_OK, "scripted QxResetActiveRoutes gave " + std::to_string(routed));
        const bool journalled = !qx_emulator::journal().empty();
        if (no_reset_since(phase)) {
            // One device path at most is unplugged at a time; two cameras share /dev/stress2.
            expect(names.empty() || (names.size() >= kCameras - 2 && names.size() <= kCameras),
                   "discovered " + std::to_string(names.size()));
            expect(journalled, "empty journal after a call");
        }
        if (i % 50 == 0) qx_emulator::clear_journal();
        calls += 3;
    }
}

// Unplugs each device path in turn and plugs it in again, while its cameras stream or upgrade.
void unplug_worker() {
    const char* paths[] = {"/dev/stress0", "/dev/stress1", "/dev/stress2", "/dev/stress3"};
    for (unsigned i = 0; !stopping; ++i) {
        const std::string path = paths[i % 4];
        const long phase = resetPhase;
        try {
            qx_emulator::unplug(path);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            qx_emulator::plug(path);
            ++unplugs;
        } catch (const std::invalid_argument&) {
            // The built-in cameras, which reset() brings back, have no such path.
            expect(!no_reset_since(phase), "unplug/plug refused " + path);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
}

void replace_worker() {
    for (unsigned i = 1; !stopping; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const bool reset = i % 4 == 0;
        if (reset) {
            ++resetPhase;
            qx_emulator::reset();
            ++resets;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        expect(qx_emulator::configure(kConfiguration), "configure refused the configuration");
        if (reset) ++resetPhase;
        ++replacements;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SECONDS WORK_DIR\n", argv[0]);
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    const std::string folder = argv[2];
    if (!qx_emulator::configure(kConfiguration)) {
        std::fprintf(stderr, "the configuration was refused\n");
        return 2;
    }

    // Until library_worker takes it to a file: the refusals the threads meet are logged.
    QxSetLogLevel(QX_LOG_LEVEL::QX_LOG_LEVEL_OFF);
    std::vector<std::thread> threads;
    for (int index = 0; index < kCameras; ++index) {
        threads.emplace_back(camera_worker, index, 1u + index);
        // A second thread on the same camera, but the upgraded one, which must get its turns.
        if (index != kUpgraded) threads.emplace_back(camera_worker, index, 100u + index);
    }
    threads.emplace_back(upgrade_worker, folder);
    threads.emplace_back(library_worker, folder);
    threads.emplace_back(replace_worker);
    threads.emplace_back(unplug_worker);

    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stopping = true;
    for (std::thread& thread : threads) thread.join();
    qx_emulator::reset();

    std::printf("calls=%ld frames=%ld upgrades=%ld replacements=%ld resets=%ld unplugs=%ld broken=%ld\n",
                calls.load(), frames.load(), upgrades.load(), replacements.load(), resets.load(), unplugs.load(),
                failures.count.load());
    return failures.count == 0 ? 0 : 1;
}
