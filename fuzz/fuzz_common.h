// Shared setup of the libFuzzer targets: the scratch file each input goes through, a quiet
// library, the built-in cameras, and checks that turn a broken rule into a crash report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <QuorvexSDK/QuorvexSDK.h>

namespace qx_fuzz {

// A rule the library broke for this input: printed, then abort() so that libFuzzer saves the
// input as a crash.
[[noreturn]] void broken(const char* file, int line, const std::string& rule);

#define QX_FUZZ_CHECK(condition, rule)                                             \
    do {                                                                           \
        if (!(condition)) ::qx_fuzz::broken(__FILE__, __LINE__, (rule));           \
    } while (0)

// This process's scratch folder (made on first use, removed at exit) and the file in it that
// holds the current input. The library reads files only, so every input is written there.
const std::string& scratch_folder();
const std::string& input_path();

// Replaces the content of `path`; aborts when it cannot (the run would test nothing).
void write_file(const std::string& path, const std::uint8_t* data, std::size_t size);
void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

// Writes the input to input_path().
void write_input(const std::uint8_t* data, std::size_t size);

// Sends the library's log to /dev/null. QX_FUZZ_LOG=trace keeps every message (so the code that
// formats them runs too), =off silences the logger; default trace. Needed again after
// qx_emulator::reset(), which restores the default logging.
void quiet_library();

// The built-in cameras with instant firmware upgrades, and the first of them opened.
std::shared_ptr<QxCamera> open_builtin_camera0();

// Keeps the library's call journal from growing over a long run.
void forget_journal();

}  // namespace qx_fuzz
