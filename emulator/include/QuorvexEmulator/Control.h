// Test control of the emulated QuorvexSDK: reset, camera configuration, scripted answers
// and a journal of the calls the library received. Not part of the QuorvexSDK interface. What
// each call does is in emulator/README.md ("Test control"), which the Python module
// qx_emulator (emulator/testsupport/) documents too; the comments here name the pieces only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <QuorvexSDK/QxExport.h>

namespace qx_emulator {

// A value crossing the control interface: nothing, an integer, a floating-point number,
// raw bytes (strings, records, buffers), a list of byte strings, or a list of floats.
using Value = std::variant<std::monostate, std::int64_t, double, std::string, std::vector<std::string>,
                           std::vector<float>>;

// A scripted answer for the next call(s) of one library function (Python: script()).
struct Script {
    std::string function;
    Value result = std::int64_t{0};
    std::map<std::string, Value> outs;           // out-parameter name -> value to write
    std::optional<std::string> exception;        // thrown as std::runtime_error when set
    int times = 1;                               // calls answered; 0 = every call until cleared
    bool callbackThread = false;                 // report `progress` from a library thread
};

// One call as the library received it, its arguments in declaration order (Python: journal()).
struct JournalEntry {
    std::string function;
    std::vector<std::pair<std::string, Value>> arguments;
};

QX_SDK_API void reset();
QX_SDK_API bool configure(const std::string& yamlText);
QX_SDK_API std::string builtin_configuration_text();
QX_SDK_API std::vector<std::string> function_names();

// Take the camera(s) configured with device path `path` away, or bring them back as new handles
// in power-on state (emulator/README.md, "Unplugging"). Repeating either is a no-op; both throw
// std::invalid_argument for a path no configured camera has.
QX_SDK_API void unplug(const std::string& path);
QX_SDK_API void plug(const std::string& path);

// Throws std::invalid_argument for a function the library does not have.
QX_SDK_API void add_script(Script script);
QX_SDK_API void clear_scripts();

QX_SDK_API std::vector<JournalEntry> journal();
QX_SDK_API void clear_journal();

// Whether calls are journalled from now on; reset() returns to the default, on unless the
// environment variable QX_EMULATOR_JOURNAL is "off" or "0".
QX_SDK_API void set_journalling(bool on);

// The library's bounds on what it reads and keeps, by name (emulator/README.md, "Limits").
QX_SDK_API std::vector<std::pair<std::string, std::size_t>> limit_table();

// A link of the emulated media graph, from a source pad to a sink pad.
struct MediaLink {
    std::string sourceEntity;
    int sourcePad = 0;
    std::string sinkEntity;
    int sinkPad = 0;
};

// Ordered by source entity, source pad, sink entity, sink pad (names compared bytewise).
QX_SDK_API std::vector<MediaLink> active_routes();

}  // namespace qx_emulator
