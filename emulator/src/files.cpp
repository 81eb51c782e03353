#include "files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <QuorvexEmulator/Status.h>

#include "log.h"

namespace qx_emulator {

int read_file_start(const std::string& path, std::size_t limit, std::string& bytes, std::string& why) {
    if (path.find('\0') != std::string::npos) {
        why = "the path contains a NUL byte";
        return QXE_INVALID_ARGUMENT;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return QXE_IO_ERROR;
    }
    // Blocking reads from here: a pipe with a writer delivers its data.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    bytes.clear();
    char buffer[16384];
    int error = 0;
    while (bytes.size() < limit) {
        const ssize_t count = ::read(fd, buffer, std::min(sizeof buffer, limit - bytes.size()));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) error = errno;
        if (count <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    if (error != 0) {
        why = std::string("cannot read ") + path + ": " + std::strerror(error);
        return QXE_IO_ERROR;
    }
    return QXE_OK;
}

int read_file_start(const char* function, const std::string& path, std::size_t limit, std::string& bytes) {
    std::string why;
    const int status = read_file_start(path, limit, bytes, why);
    if (status != QXE_OK) logger().warn("{}: {}", function, why);
    return status;
}

}  // namespace qx_emulator
