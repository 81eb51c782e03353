// Writing the files that the export functions produce.
#pragma once

#include <string>

namespace qx_emulator {

// Writes `bytes` to a new file beside `path`, then renames it to `path` (replacing a file there),
// so that readers never see a partial file. Returns QXE_OK, QXE_INVALID_ARGUMENT for a path
// holding a NUL byte, or QXE_IO_ERROR (logged); on failure no file is left behind and what was
// at `path` is unchanged.
int replace_file(const char* function, const std::string& path, const std::string& bytes);

}  // namespace qx_emulator
