#include "script.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>

#include <fmt/format.h>

#include "binary.h"
#include "camera_model.h"
#include "limits.h"
#include "log.h"
#include "profiles.h"
#include "routes.h"

namespace qx_emulator {
namespace {

// Every function of include/QuorvexSDK/QuorvexSDK.h, in declaration order.
constexpr const char* kFunctionNames[] = {
    "HelloQuorvexSDK", "QxSetLogFile", "QxSetLogLevel", "QxDiscoverCameraDevices", "QxInitialCameraDevice",
    "QxOpen", "QxClose", "QxIsQuorvexCamera", "QxGetDeviceName", "QxGetDevicePath", "QxGetDeviceInterfaceType",
    "QxGetDeviceProductType", "QxGetHardwareID", "QxGetUSBDeviceSpeed",
    "QxGetFormatList", "QxSetFormat", "QxStartStreaming", "QxStopStreaming", "QxGetImage",
    "QxSetUVCImageProcessing", "QxGetUVCImageProcessing", "QxGetUVCImageProcessingRange",
    "QxSetISPImageProcessing", "QxSetISPImageProcessingDefault", "QxGetISPImageProcessing",
    "QxGetISPImageProcessingRange", "QxGetCurrentGain", "QxGetCurrentExposure", "QxGetMaxFPS", "QxSetMaxFPS",
    "QxGetThroughPut", "QxSetThroughPut",
    "QxGenericI2CRead", "QxGenericI2CWrite", "QxAP1302I2CRead", "QxAP1302I2CWrite",
    "QxAP1302SensorRegisterRead", "QxAP1302SensorRegisterWrite",
    "QxResetUVC", "QxGetUSBFirmwareVersion", "QxGetZENAFirmwareVersion", "QxGetSensorFirmwareVersion",
    "QxGetSensorUniqueID", "QxGetHeaderVersion", "QxGotoUSBProgramMode", "QxUpgradeFX3FW", "QxUpgradeSensorFW",
    "QxGetBootdataHeaderV2", "QxGetBootdataHeaderV3", "QxGetBootdataHeaderV2FromFile",
    "QxGetBootdataHeaderV3FromFile",
    "QxGetOSPProfileFlag", "QxSetOSPProfileFlag", "QxGetOSPProfileConfig", "QxLoadProfileConfig",
    "QxActivateProfileStreaming", "QxActivateProfileImageProcessing", "QxGetTimestamp", "QxResetTimestamp",
    "QxGetFrameCount", "QxResetFrameCount", "QxExportSensorConfig", "QxDecodeSensorConfig",
    "QxResetActiveRoutes", "QxLoadRouteYaml", "QxActivateYamlRoutes",
    "QxGetSensorWorkMode", "QxEnableIMUMode", "QxRebootIMUMode", "QxGetIMUAccData", "QxGetIMUGyrData",
    "QxGetISPUData", "QxGetIMUTemperature", "QxGetIMUSensorTime",
    "QxFlashProductInfo", "QxWriteIntrinsics", "QxGetIntrinsics",
};
static_assert(std::size(kFunctionNames) == 77, "QuorvexSDK.h declares 77 functions");

// Journalling as the environment asks: on unless QX_EMULATOR_JOURNAL is "off" or "0", so that a
// program that does not test can run for days without keeping its calls.
bool journalling_by_default() {
    const char* setting = std::getenv("QX_EMULATOR_JOURNAL");
    return setting == nullptr || (std::string(setting) != "off" && std::string(setting) != "0");
}

// The journal keeps the most recent calls only, within limits of calls and bytes, so that a long
// capture loop does not grow the library's memory without bound.
struct Scripting {
    std::mutex mutex;
    std::map<std::string, std::deque<Script>> queues;
    std::deque<std::pair<JournalEntry, std::size_t>> journal;  // with each entry's size in bytes
    std::size_t journalBytes = 0;
    std::atomic<bool> journalling{journalling_by_default()};
};

Scripting& scripting() {
    static Scripting* instance = new Scripting;  // never destroyed, as model()
    return *instance;
}

const char* kind_of(const Value& value) {
    constexpr const char* kinds[] = {"nothing", "an integer", "a float", "bytes", "a list of bytes",
                                     "a list of floats"};
    static_assert(std::size(kinds) == std::variant_size_v<Value>, "one name per alternative of Value");
    return kinds[value.index()];
}

std::string quoted(const std::string& bytes) {
    constexpr std::size_t kShown = 64;
    std::string text = "'";
    for (std::size_t i = 0; i < bytes.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\' || c == '\'') text += fmt::format("\\{}", static_cast<char>(c));
        else if (c >= 0x20 && c < 0x7f) text += static_cast<char>(c);
        else text += fmt::format("\\x{:02x}", c);
    }
    text += "'";
    if (bytes.size() > kShown) text += fmt::format("...({} bytes)", bytes.size());
    return text;
}

struct Describe {
    std::string operator()(std::monostate) const { return "none"; }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return fmt::format("{}", v); }
    std::string operator()(const std::string& v) const { return quoted(v); }
    std::string operator()(const std::vector<std::string>& v) const {
        std::vector<std::string> items;
        std::transform(v.begin(), v.end(), std::back_inserter(items), quoted);
        return fmt::format("[{}]", fmt::join(items, ", "));
    }
    std::string operator()(const std::vector<float>& v) const { return fmt::format("[{}]", fmt::join(v, ", ")); }
};

// A byte string the journal may keep: a long one becomes a note of its length and CRC-32.
void bound(std::string& bytes) {
    if (bytes.size() <= limits::kJournalArgumentBytes) return;
    bytes = fmt::format("<{} bytes, CRC-32 {:08x}>", bytes.size(), crc32(bytes.data(), bytes.size()));
}

struct Bound {
    void operator()(std::string& v) const { bound(v); }
    void operator()(std::vector<std::string>& v) const {
        for (std::string& item : v) bound(item);
    }
    template <class Other>
    void operator()(Other&) const {}
};

// What an entry costs, near enough: its texts and the bookkeeping around them.
std::size_t size_of(const JournalEntry& entry) {
    constexpr std::size_t kOverhead = 64;
    std::size_t size = sizeof entry + kOverhead + entry.function.size();
    for (const auto& [name, value] : entry.arguments) {
        size += sizeof(std::pair<std::string, Value>) + name.size();
        if (const auto* bytes = std::get_if<std::string>(&value)) size += bytes->size();
        if (const auto* list = std::get_if<std::vector<std::string>>(&value)) {
            for (const std::string& item : *list) size += sizeof item + item.size();
        }
        if (const auto* numbers = std::get_if<std::vector<float>>(&value)) size += numbers->size() * sizeof(float);
    }
    return size;
}

// With the scripting lock held; `arguments` bounded already.
void record(Scripting& s, const char* function, Arguments arguments) {
    JournalEntry entry{function, std::move(arguments)};
    const std::size_t size = size_of(entry);
    while (!s.journal.empty() &&
           (s.journal.size() >= limits::kJournalCalls || s.journalBytes + size > limits::kJournalBytes)) {
        s.journalBytes -= s.journal.front().second;
        s.journal.pop_front();
    }
    s.journal.emplace_back(std::move(entry), size);
    s.journalBytes += size;
}

std::string describe(const Arguments& arguments) {
    std::vector<std::string> items;
    for (const auto& [name, value] : arguments) items.push_back(name + "=" + std::visit(Describe{}, value));
    return fmt::format("{}", fmt::join(items, ", "));
}

}  // namespace

Value as_value(const std::shared_ptr<QxCamera>& camera) {
    if (!camera) return std::monostate{};
    return static_cast<std::int64_t>(camera->impl().index);
}

Value as_value(const std::string& text) {
    return text;
}

Value as_bytes(const unsigned char* data, std::size_t count) {
    if (data == nullptr) return std::monostate{};
    return std::string(reinterpret_cast<const char*>(data), count);
}

ScriptedAnswer::ScriptedAnswer(const char* function, Script script)
    : function_(function), script_(std::move(script)) {}

const Value* ScriptedAnswer::take(const char* name) {
    const auto found = script_.outs.find(name);
    if (found == script_.outs.end()) return nullptr;
    written_.insert(found->first);
    return &found->second;
}

void ScriptedAnswer::write_bytes(const char* name, unsigned char* destination, std::size_t capacity) {
    const Value* value = take(name);
    if (value == nullptr) return;
    const auto* bytes = std::get_if<std::string>(value);
    if (bytes == nullptr) wrong_kind(std::string("out-parameter '") + name + "'", *value, "bytes");
    if (bytes->size() > capacity) {
        throw std::invalid_argument(std::string(function_) + ": out-parameter '" + name + "' holds at most " +
                                    std::to_string(capacity) + " bytes, the script gives " +
                                    std::to_string(bytes->size()));
    }
    if (destination != nullptr && !bytes->empty()) std::memcpy(destination, bytes->data(), bytes->size());
}

void ScriptedAnswer::check_all_written() const {
    for (const auto& entry : script_.outs) {
        if (!written_.count(entry.first)) {
            throw std::invalid_argument(std::string(function_) + ": the script sets out-parameter '" + entry.first +
                                        "', which " + function_ + " does not have");
        }
    }
}

void ScriptedAnswer::wrong_kind(const std::string& what, const Value& value, const char* expected) const {
    throw std::invalid_argument(std::string(function_) + ": " + what + " must be " + expected +
                                ", the script gives " + kind_of(value));
}

std::shared_ptr<QxCamera> ScriptedAnswer::camera_result() const {
    if (std::holds_alternative<std::monostate>(script_.result)) return nullptr;
    const auto* index = std::get_if<std::int64_t>(&script_.result);
    if (index == nullptr) wrong_kind("the result", script_.result, "a camera index or nothing");
    if (*index < 0 || *index > std::numeric_limits<int>::max()) return nullptr;
    return camera_at(static_cast<int>(*index));
}

Call::Call(const char* function, Arguments arguments) {
    spdlog::logger& log = logger();
    if (log.should_log(spdlog::level::trace)) log.trace("{}({})", function, describe(arguments));

    std::optional<Script> script;
    Scripting& s = scripting();
    const bool journalling = s.journalling;
    if (journalling) {
        for (auto& argument : arguments) std::visit(Bound{}, argument.second);  // outside the lock
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (journalling) record(s, function, std::move(arguments));
        const auto queue = s.queues.find(function);
        if (queue != s.queues.end() && !queue->second.empty()) {
            Script& next = queue->second.front();
            script = next;
            if (next.times == 1) queue->second.pop_front();
            else if (next.times > 1) --next.times;
        }
    }
    if (script) {
        log.debug("{}: answered by a script", function);
        answer_.emplace(function, std::move(*script));
    }
}

ScriptedAnswer* Call::scripted() {
    if (!answer_) return nullptr;
    if (const auto& message = answer_->exception()) throw std::runtime_error(*message);
    return &*answer_;
}

void reset() {
    forget_cameras();
    clear_active_routes();
    clear_scripts();
    clear_journal();
    set_journalling(journalling_by_default());
    reset_logging();
}

bool configure(const std::string& yamlText) {
    std::string problem;
    const auto configuration = yamlText.empty() ? builtin_configuration(&problem)
                                                : parse_configuration(yamlText, "configuration text", &problem);
    forget_saved_profiles();
    install_cameras(configuration, problem);
    return configuration.has_value();
}

void unplug(const std::string& path) {
    unplug_cameras(path);
}

void plug(const std::string& path) {
    plug_cameras(path);
}

std::string builtin_configuration_text() {
    return builtin_configuration_yaml();
}

std::mutex& scripting_mutex() {
    return scripting().mutex;
}

std::vector<std::string> function_names() {
    return {std::begin(kFunctionNames), std::end(kFunctionNames)};
}

void add_script(Script script) {
    const auto known = std::find_if(std::begin(kFunctionNames), std::end(kFunctionNames),
                                    [&](const char* name) { return script.function == name; });
    if (known == std::end(kFunctionNames))
        throw std::invalid_argument("QuorvexSDK has no function '" + script.function + "'");
    if (script.times < 0)
        throw std::invalid_argument("script for " + script.function + ": times must be 0 (always) or more");
    Scripting& s = scripting();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.queues[script.function].push_back(std::move(script));
}

void clear_scripts() {
    Scripting& s = scripting();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.queues.clear();
}

std::vector<JournalEntry> journal() {
    Scripting& s = scripting();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<JournalEntry> entries;
    entries.reserve(s.journal.size());
    for (const auto& kept : s.journal) entries.push_back(kept.first);
    return entries;
}

void clear_journal() {
    Scripting& s = scripting();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.journal.clear();
    s.journalBytes = 0;
}

void set_journalling(bool on) {
    scripting().journalling = on;
}

std::vector<std::pair<std::string, std::size_t>> limit_table() {
    std::vector<std::pair<std::string, std::size_t>> table;
    for (const auto& entry : limits::kTable) table.emplace_back(entry.name, entry.value);
    return table;
}

}  // namespace qx_emulator
