// Reading the files that the library is handed or configured with, each up to its bound in
// limits.h.
#pragma once

#include <cstddef>
#include <string>

namespace qx_emulator {

// Reads at most `limit` bytes from the start of the file at `path` into `bytes`; a caller that
// must tell a file at its limit from a larger one asks for one byte more. Opening does not wait
// for a writer (a FIFO nobody writes reads as empty). Returns QXE_OK, QXE_INVALID_ARGUMENT for a
// path holding a NUL byte (the file would be opened under the shorter name before it) or
// QXE_IO_ERROR (a missing file, a folder), with the reason in `why`.
int read_file_start(const std::string& path, std::size_t limit, std::string& bytes, std::string& why);

// The same, logging a failure as a warning of `function`.
int read_file_start(const char* function, const std::string& path, std::size_t limit, std::string& bytes);

}  // namespace qx_emulator
