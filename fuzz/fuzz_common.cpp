#include "fuzz_common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

#include <QuorvexEmulator/Control.h>

namespace qx_fuzz {

void broken(const char* file, int line, const std::string& rule) {
    std::fprintf(stderr, "\n==qx-fuzz== %s:%d: %s\n", file, line, rule.c_str());
    std::abort();
}

namespace {

[[noreturn]] void fatal(const std::string& what) {
    std::fprintf(stderr, "qx-fuzz: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

void remove_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_folder(), ignored);
}

}  // namespace

const std::string& scratch_folder() {
    static const std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qx-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) fatal("cannot make a scratch folder");
        return pattern;
    }();
    static const bool cleaned = (std::atexit(remove_scratch), true);
    (void)cleaned;
    return folder;
}

const std::string& input_path() {
    static const std::string path = scratch_folder() + "/input";
    return path;
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fatal("cannot write " + path);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = ::write(fd, data + done, size - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) fatal("cannot write " + path);
        done += static_cast<std::size_t>(count);
    }
    if (::close(fd) != 0) fatal("cannot write " + path);
}

void write_file(const std::string& path, const std::string& text) {
    write_file(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string read_file(const std::string& path) {
    std::string bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) fatal("cannot read " + path);
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, count);
    std::fclose(file);
    return bytes;
}

void write_input(const std::uint8_t* data, std::size_t size) {
    write_file(input_path(), data, size);
}

void quiet_library() {
    const char* mode = std::getenv("QX_FUZZ_LOG");
    if (mode != nullptr && std::strcmp(mode, "off") == 0) {
        QxSetLogLevel(QX_LOG_LEVEL::QX_LOG_LEVEL_OFF);
        return;
    }
    if (QxSetLogFile("/dev/null") != 0) fatal("cannot log to /dev/null");
    QxSetLogLevel(QX_LOG_LEVEL::QX_LOG_LEVEL_TRACE);
}

std::shared_ptr<QxCamera> open_builtin_camera0() {
    quiet_library();
    // Upgrades would otherwise program for 1.5 s per input.
    if (!qx_emulator::configure(qx_emulator::builtin_configuration_text() + "upgrade_time_ms: 0\n")) {
        std::fprintf(stderr, "qx-fuzz: the built-in configuration was refused\n");
        std::exit(2);
    }
    std::shared_ptr<QxCamera> camera = QxInitialCameraDevice(0);
    if (!camera || QxOpen(camera) != 0) {
        std::fprintf(stderr, "qx-fuzz: cannot open camera 0\n");
        std::exit(2);
    }
    return camera;
}

void forget_journal() {
    qx_emulator::clear_journal();
}

}  // namespace qx_fuzz
