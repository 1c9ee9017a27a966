#include "app/debug_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/shell.h"
#include "config/settings.h"

namespace app {

namespace {
DebugLog* g_active = nullptr;
}

DebugLog::DebugLog(ViewModel& model)
    : model_(model),
      line_(new char[kLineBufferBytes]),
      clock_(platform::localTimeNow),
      logDir_([] { return std::string(config::configPaths().logDir); }),
      debugMode_([] { return config::deviceSettings().debugMode != 0; }),
      logMode_([] { return config::deviceSettings().logMode != 0; }) {}

DebugLog::~DebugLog() {
    if (g_active == this)
        g_active = nullptr;
}

void DebugLog::setActive(DebugLog* log) {
    g_active = log;
}
DebugLog* DebugLog::active() {
    return g_active;
}

void DebugLog::setModeSource(std::function<bool()> debugMode, std::function<bool()> logMode) {
    debugMode_ = std::move(debugMode);
    logMode_ = std::move(logMode);
}

void DebugLog::logLine(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlogLine(fmt, args);
    va_end(args);
}

void DebugLog::vlogLine(const char* fmt, va_list args) {
    if (!enabled() || !fmt)
        return;
    char* line = line_.get();
    // vsnprintf cuts a longer line at the buffer's end and always terminates it.
    const int formatted = std::vsnprintf(line, kLineBufferBytes, fmt, args);
    const std::size_t length =
        formatted < 0 ? 0 : std::min<std::size_t>(formatted, kLineBufferBytes - 1);
    logText(std::string_view(line, length));
}

void DebugLog::logText(std::string_view line) {
    if (!enabled())
        return;
    line = line.substr(0, kLineBufferBytes - 1);
    model_.addLine(line);
    if (echo_) {
        // One write of the line with its newline.
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (logMode_ && logMode_())
        appendLogFile(line);
}

std::string DebugLog::logFilePath(const LocalTime& t) const {
    char date[32];
    std::snprintf(date, sizeof date, "%04d%02d%02d", t.year, t.month, t.day);
    return (logDir_ ? logDir_() : std::string()) + "/" + date + "_child2_" +
           std::to_string(model_.deviceNumber()) + ".log";
}

void DebugLog::appendLogFile(std::string_view text) {
    const LocalTime t = clock_ ? clock_() : platform::localTimeNow();
    char stamp[48];
    const int stampLength = std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d - ", t.hour,
                                          t.minute, t.second, t.millisecond);
    const std::string path = logFilePath(t);
    ensureLogDirectory();

    std::string record;
    record.reserve(static_cast<std::size_t>(stampLength) + text.size() + 2);
    record.append(stamp, static_cast<std::size_t>(stampLength));
    record.append(text);
    record += "\r\n";
    platform::appendToFile(path, record);
}

int DebugLog::ensureLogDirectory() {
    if (!mkdirPending_)
        return 0;
    if (logDir_)
        platform::makeDirectory(logDir_());  // one level; the result is not looked at
    mkdirPending_ = false;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Process-wide entry

void vlogLine(const char* fmt, va_list args) {
    if (DebugLog* log = DebugLog::active())
        log->vlogLine(fmt, args);
}

void logLine(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlogLine(fmt, args);
    va_end(args);
}

bool logging() {
    DebugLog* log = DebugLog::active();
    return log && log->enabled();
}

void logText(std::string_view line) {
    if (DebugLog* log = DebugLog::active())
        log->logText(line);
}

}  // namespace app
