// The emulated library's logger "QuorvexSDK": stderr at level warn until the caller picks
// a log file or level.
#pragma once

#include <mutex>
#include <string>

#include <spdlog/logger.h>

#include <QuorvexSDK/QxEnums.h>

namespace qx_emulator {

spdlog::logger& logger();

// The one lock every message passes through; fork() holds it.
std::mutex& log_mutex();

// Sends all further messages to the file at `path` (appending). Returns false and keeps the
// current destination when the file cannot be opened.
bool log_to_file(const std::string& path);

void set_log_level(QX_LOG_LEVEL level);

// Back to stderr at level warn.
void reset_logging();

}  // namespace qx_emulator
