// Test control of the emulated QuorvexSDK: reset, camera configuration, scripted answers
// and a journal of the calls the library received. Not part of the QuorvexSDK interface.
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

// A scripted answer for the next call(s) of one library function. While a script is queued
// for a function, the function's own behaviour does not run: it returns `result`, writes the
// out-parameters named in `outs` and leaves every other out-parameter untouched.
struct Script {
    std::string function;
    // What the function returns: an integer status or enumeration value (default 0); for the
    // handle factories an integer camera index, or nothing for an empty handle (QxLoadRouteYaml
    // takes nothing only).
    Value result = std::int64_t{0};
    // Out-parameter name -> value to write. Records take raw bytes of their exact size, record
    // lists a list of such byte strings; QxGetImage's `buffer` and QxGenericI2CRead's `data`
    // take bytes copied to their start. A record pointer (`header`) takes the record's bytes (a
    // new record replaces the caller's) or nothing (the pointer is emptied); an upgrade's
    // `progress` takes a list of whole numbers, passed to its progress function in order.
    std::map<std::string, Value> outs;
    // When set, the call throws std::runtime_error with this message instead of returning.
    std::optional<std::string> exception;
    // How many calls the script answers (not negative); 0 answers every call until the scripts
    // are cleared.
    int times = 1;
    // Scripted callback values (an upgrade's `progress`) are reported from a thread of the
    // library's own, which the call waits for, instead of the calling thread.
    bool callbackThread = false;
};

// One call as the library received it: its arguments in declaration order, out-parameters
// excluded. Handles appear as the camera's index (nothing for an empty handle), strings and
// records as raw bytes, enumerations as integers; QxGetImage's `buffer` as its address and
// `size` as the value *size held on entry (nothing when null). The journal keeps the latest
// calls within limits of calls and bytes; a long byte string appears as a note of its length
// and CRC-32 (emulator/README.md, "The call journal").
struct JournalEntry {
    std::string function;
    std::vector<std::pair<std::string, Value>> arguments;
};

// Restores the state of a freshly loaded library: every camera gone (old handles detached) and
// the configuration read again from QX_EMULATOR_CONFIG (or the built-in one) on next use, no
// active media links, no scripts, an empty journal journalling as the environment asks, default
// logging. OSP profiles saved to the
// cameras (flag ENABLED_AND_SAVE) stay, as a camera's flash outlives the library.
QX_SDK_API void reset();

// Replaces the camera configuration with the given YAML text; an empty text selects the
// built-in configuration. Existing handles are detached (their cameras are gone). Returns
// false, logs the reason and leaves no cameras when the text is not a valid configuration.
// Profiles saved to the old cameras are forgotten.
QX_SDK_API bool configure(const std::string& yamlText);

// The YAML text of the built-in configuration, for tests that vary it.
QX_SDK_API std::string builtin_configuration_text();

// Names of the functions that can be scripted and journalled, in declaration order.
QX_SDK_API std::vector<std::string> function_names();

// Queues a script; throws std::invalid_argument for a function the library does not have.
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

// The links QxActivateYamlRoutes made active, ordered by source entity, source pad, sink
// entity, sink pad (names compared bytewise).
QX_SDK_API std::vector<MediaLink> active_routes();

}  // namespace qx_emulator
