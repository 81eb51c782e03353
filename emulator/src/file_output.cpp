#include "file_output.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
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

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now, so that a failing close (a full disk on NFS) is seen. Keeps errno.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool no_write_permission(const struct stat& info) {
    return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// The kinds of file that are never written: what a write could only destroy or not reach.
const char* refused_kind(const struct stat& info) {
    if (S_ISDIR(info.st_mode)) return "a folder";
    if (S_ISBLK(info.st_mode)) return "a block device";
    if (S_ISSOCK(info.st_mode)) return "a socket";
    if (S_ISREG(info.st_mode) && no_write_permission(info)) return "a read-only file";
    return nullptr;
}

// Opens a FIFO or character device for writing without waiting for a reader; a FIFO nobody
// reads gives ENXIO at once instead of blocking the caller for ever. Blocking writes afterwards.
int open_device(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fd;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::string describe_open_error(int error) {
    return error == ENXIO ? std::string("no process reads it") : std::string(std::strerror(error));
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Where a missing file at `path` is to be created: the end of the chain of symbolic links that
// starts at `path` (a dangling link names a file to create), or `path` itself.
std::optional<std::string> creation_target(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        std::error_code error;
        const std::string link = std::filesystem::read_symlink(current, error).string();
        if (error || link.empty()) {
            errno = error ? error.value() : ENOENT;
            return std::nullopt;
        }
        current = link.front() == '/' ? link : folder_of(current) + "/" + link;
    }
    errno = ELOOP;
    return std::nullopt;
}

int io_error(const char* function, const std::string& what, const std::string& path, const std::string& why) {
    logger().warn("{}: cannot {} {}: {}", function, what, path, why);
    return QXE_IO_ERROR;
}

// Writes a new file beside `target` and renames it over `target`. `old` describes the file being
// replaced (its mode and owner carry over), or is empty when there is none.
int replace_regular(const char* function, const std::string& path, const std::string& target,
                    const std::optional<struct stat>& old, const std::string& bytes) {
    static std::atomic<unsigned> serial{0};
    const std::string folder = folder_of(target);
    std::string temporary;
    int fd = -1;
    // A short name of its own, not the target's name with a suffix: the target's name may already
    // be as long as a name can be. O_EXCL with fresh names rather than mkstemp, so that a new file
    // gets the usual 0666 & ~umask; a file replacing another starts private and takes its mode.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = fmt::format("{}/.qx-{}-{}.tmp", folder, ::getpid(), ++serial);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, old ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return io_error(function, "create a file in", folder, std::strerror(errno));
    Descriptor file(fd);
    const auto discard = [&](const std::string& what, int error) {
        ::unlink(temporary.c_str());
        return io_error(function, what, path, std::strerror(error));
    };
    if (old) {
        // The owner first: a change of owner clears the set-user-ID and set-group-ID bits. Only a
        // privileged caller may give a file away, so EPERM leaves the caller's own.
        if (::fchown(file.get(), old->st_uid, old->st_gid) != 0 && errno != EPERM)
            return discard("keep the owner of", errno);
        if (::fchmod(file.get(), old->st_mode & 07777) != 0) return discard("keep the mode of", errno);
    }
    if (!write_all(file.get(), bytes)) return discard("write", errno);
    if (::fsync(file.get()) != 0 && errno != EINVAL) return discard("write", errno);
    if (!file.close()) return discard("write", errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0) return discard("replace", errno);
    return QXE_OK;
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
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) return io_error(function, "write", path, std::strerror(errno));
        const auto target = creation_target(path);
        if (!target) return io_error(function, "write", path, std::strerror(errno));
        return replace_regular(function, path, *target, std::nullopt, bytes);
    }
    if (const char* kind = refused_kind(info)) return io_error(function, "write", path, std::string("it is ") + kind);
    if (S_ISREG(info.st_mode)) {
        // The folder of the real file, where the new file must be made for the rename to replace it.
        char* real = ::realpath(path.c_str(), nullptr);
        if (real == nullptr) return io_error(function, "write", path, std::strerror(errno));
        const std::string target(real);
        std::free(real);
        return replace_regular(function, path, target, info, bytes);
    }
    Descriptor device(open_device(path));
    if (device.get() < 0) return io_error(function, "open", path, describe_open_error(errno));
    if (!write_all(device.get(), bytes) || !device.close())
        return io_error(function, "write", path, std::strerror(errno));
    return QXE_OK;
}

bool may_append(const char* function, const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return true;  // to be created, or the opening reports why not
    if (const char* kind = refused_kind(info)) {
        logger().error("{}: cannot log to '{}': it is {}", function, path, kind);
        return false;
    }
    if (S_ISFIFO(info.st_mode)) {
        Descriptor probe(open_device(path));
        if (probe.get() < 0) {
            logger().error("{}: cannot log to '{}': {}", function, path, describe_open_error(errno));
            return false;
        }
    }
    return true;
}

}  // namespace qx_emulator
