#include "log.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

#include <spdlog/common.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "file_output.h"
#include "guard.h"

namespace qx_emulator {
namespace {

constexpr const char* kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v";
constexpr auto kDefaultLevel = spdlog::level::warn;

// A distributing sink whose lock fork() can hold: while it is held, no thread is inside a
// destination (formatting, writing a FILE), so the child finds them all free.
class Destinations : public spdlog::sinks::dist_sink<std::mutex> {
public:
    std::mutex& mutex() { return mutex_; }
};

// The logger writes through one distributing sink whose destinations can be swapped under
// its own lock while other threads log; the logger's own sink list is not safe to change. That
// lock is the only one on the way: the destinations themselves have none (_st).
struct Logging {
    std::shared_ptr<Destinations> destinations = std::make_shared<Destinations>();
    std::shared_ptr<spdlog::sinks::sink> stderrSink = std::make_shared<spdlog::sinks::stderr_sink_st>();
    spdlog::logger logger{"QuorvexSDK", destinations};

    Logging() {
        stderrSink->set_pattern(kPattern);
        destinations->set_sinks({stderrSink});
        logger.set_level(kDefaultLevel);
        // Tests read the log file right after a call returns.
        logger.flush_on(spdlog::level::trace);
    }
};

// Never destroyed: a thread that logs while the process exits (a daemon thread of the program
// inside a call) would otherwise call into destroyed sinks, which aborts ("pure virtual method
// called") or crashes. Every log line is flushed as it is written, so nothing is left unwritten.
Logging& logging() {
    static Logging* instance = new Logging;
    return *instance;
}

}  // namespace

spdlog::logger& logger() {
    return logging().logger;
}

std::mutex& log_mutex() {
    return logging().destinations->mutex();
}

bool log_to_file(const std::string& path) {
    // spdlog would create missing folders; a library asked for a log file should not.
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code errorCode;
    if (!folder.empty() && !std::filesystem::is_directory(folder, errorCode)) {
        logger().error("QxSetLogFile: cannot log to '{}': no folder '{}'", path, folder.string());
        return false;
    }
    if (!may_append("QxSetLogFile", path)) return false;
    std::shared_ptr<spdlog::sinks::sink> file;
    try {
        file = std::make_shared<spdlog::sinks::basic_file_sink_st>(path, false);
    } catch (const std::exception& error) {  // spdlog_ex when the file cannot be opened
        logger().error("QxSetLogFile: cannot log to '{}': {}", path, error.what());
        return false;
    }
    file->set_pattern(kPattern);
    logging().destinations->set_sinks({file});
    logger().info("QxSetLogFile: logging to '{}'", path);
    return true;
}

void set_log_level(QX_LOG_LEVEL level) {
    spdlog::level::level_enum mapped;
    switch (level) {
    case QX_LOG_LEVEL::QX_LOG_LEVEL_TRACE: mapped = spdlog::level::trace; break;
    case QX_LOG_LEVEL::QX_LOG_LEVEL_DEBUG: mapped = spdlog::level::debug; break;
    case QX_LOG_LEVEL::QX_LOG_LEVEL_INFO: mapped = spdlog::level::info; break;
    case QX_LOG_LEVEL::QX_LOG_LEVEL_WARN: mapped = spdlog::level::warn; break;
    case QX_LOG_LEVEL::QX_LOG_LEVEL_ERROR: mapped = spdlog::level::err; break;
    case QX_LOG_LEVEL::QX_LOG_LEVEL_CRITICAL: mapped = spdlog::level::critical; break;
    case QX_LOG_LEVEL::QX_LOG_LEVEL_OFF: mapped = spdlog::level::off; break;
    default:
        logger().warn("QxSetLogLevel: unknown level {} ignored", static_cast<int>(level));
        return;
    }
    logger().set_level(mapped);
}

void log_exhausted(const char* function, const char* what) noexcept {
    try {
        logger().error("{}: out of {}; the call failed", function, what);
    } catch (...) {  // nothing more can be done: the status still tells the caller
    }
}

void reset_logging() {
    logging().destinations->set_sinks({logging().stderrSink});
    logger().set_level(kDefaultLevel);
}

}  // namespace qx_emulator
