// Writing the files that the library produces (exports, decoded files, the log file). Every
// rule of what such a write may touch lives here; emulator/README.md ("Files the library
// writes") describes it for users.
#pragma once

#include <string>

namespace qx_emulator {

// Writes `bytes` as the whole content of the file at `path`, keeping the target's identity:
//  - a symbolic link is followed to the file it names (created when missing);
//  - an existing regular file gets a new file beside it, renamed over it once written whole, with
//    the old file's mode and (where the caller may set it) owner; readers never see a partial file
//    and the old file is intact when anything fails;
//  - a character device or FIFO is written straight (a FIFO only while a reader has it open);
//  - a folder, block device or socket is refused, and so is a file without any write permission
//    bit (even for a caller who could write it, such as root).
// Returns QXE_OK, QXE_INVALID_ARGUMENT for a path holding a NUL byte, or QXE_IO_ERROR (logged).
// No temporary file is left behind.
int replace_file(const char* function, const std::string& path, const std::string& bytes);

// Whether the file at `path` may be appended to under the rules above (the log file): refuses, with
// a logged reason, folders, block devices, sockets, FIFOs nobody reads and files without any write
// permission bit. A missing file may be created.
bool may_append(const char* function, const std::string& path);

}  // namespace qx_emulator
