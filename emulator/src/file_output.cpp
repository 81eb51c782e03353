#include "file_output.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <QuorvexEmulator/Status.h>

#include "log.h"

namespace qx_emulator {
namespace {

bool write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

int replace_file(const char* function, const std::string& path, const std::string& bytes) {
    if (path.find('\0') != std::string::npos) {
        logger().warn("{}: the path contains a NUL byte", function);
        return QXE_INVALID_ARGUMENT;
    }
    if (path.empty()) {
        logger().warn("{}: no file name", function);
        return QXE_IO_ERROR;
    }
    static std::atomic<unsigned> serial{0};
    std::string temporary;
    int fd = -1;
    // O_EXCL with a fresh name rather than mkstemp, so that the file gets the usual 0666 & ~umask.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = fmt::format("{}.tmp-{}-{}", path, ::getpid(), ++serial);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        logger().warn("{}: cannot create a file beside {}: {}", function, path, std::strerror(errno));
        return QXE_IO_ERROR;
    }
    const bool written = write_all(fd, bytes);
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        logger().warn("{}: cannot write {}: {}", function, temporary, std::strerror(written ? errno : writeError));
        ::unlink(temporary.c_str());
        return QXE_IO_ERROR;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        logger().warn("{}: cannot replace {}: {}", function, path, std::strerror(errno));
        ::unlink(temporary.c_str());
        return QXE_IO_ERROR;
    }
    return QXE_OK;
}

}  // namespace qx_emulator
