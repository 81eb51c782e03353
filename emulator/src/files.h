// Reading the files that firmware and boot-data functions are handed.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <QuorvexEmulator/Status.h>

#include "log.h"

namespace qx_emulator {

// Reads at most `limit` bytes from the start of the file at `path` into `bytes`. Returns
// QXE_OK, QXE_INVALID_ARGUMENT for a path holding a NUL byte (the file would be opened under
// the shorter name before it) or QXE_IO_ERROR (a missing file, a folder); logs failures.
inline int read_file_start(const char* function, const std::string& path, std::size_t limit, std::string& bytes) {
    if (path.find('\0') != std::string::npos) {
        logger().warn("{}: the path contains a NUL byte", function);
        return QXE_INVALID_ARGUMENT;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        logger().warn("{}: cannot open {}: {}", function, path, std::strerror(errno));
        return QXE_IO_ERROR;
    }
    bytes.clear();
    char buffer[16384];
    while (bytes.size() < limit) {
        const std::size_t count = std::fread(buffer, 1, std::min(sizeof buffer, limit - bytes.size()), file.get());
        if (count == 0) break;
        bytes.append(buffer, count);
    }
    if (std::ferror(file.get())) {
        logger().warn("{}: cannot read {}: {}", function, path, std::strerror(errno));
        return QXE_IO_ERROR;
    }
    return QXE_OK;
}

}  // namespace qx_emulator
