// The driver's debug log: lines for the debug list box, the daily log files and, headless,
// stdout.
//
// logLine formats a line (at most 65,535 bytes) into one buffer kept for the life of the log,
// adds it to the view model's lines while debug mode is on (the list shows the model's last 501
// lines), and appends it, time-stamped, to "<logDir>/<yyyymmdd>_child2_<device>.log" while log
// mode is on too. logText does the same with a line its caller has already formatted, so that a
// line is formatted exactly once. The file and stdout get each line at once; the list gets it
// when the window next refreshes. Free of any toolkit; UI thread only.
#pragma once

#include <cstdarg>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/view_model.h"
#include "platform/log_file.h"

namespace app {

using LocalTime = platform::LocalTime;
using LocalClock = std::function<LocalTime()>;

class DebugLog {
  public:
    static constexpr std::size_t kLineBufferBytes = 65536;  // including the terminating NUL

    // `model` must outlive this object; its device number names the log file. The modes come
    // from the process's device settings unless replaced by setModeSource; the log directory
    // from the configuration paths unless replaced by setLogDirSource.
    explicit DebugLog(ViewModel& model);
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    void setClock(LocalClock clock) { clock_ = std::move(clock); }
    void setLogDirSource(std::function<std::string()> source) { logDir_ = std::move(source); }
    // Debug mode and log mode, read at every line.
    void setModeSource(std::function<bool()> debugMode, std::function<bool()> logMode);
    // Every shown line also goes to stdout (used when running headless).
    void setEchoToStdout(bool on) { echo_ = on; }

    // Whether lines are wanted now (debug mode is on); when not, logLine and logText do nothing.
    bool enabled() const { return debugMode_ && debugMode_(); }
    void logLine(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void vlogLine(const char* fmt, va_list args);
    // A finished line (not a format), cut at the line limit like a formatted one.
    void logText(std::string_view line);

    // Appends one time-stamped line to today's log file; the line is lost silently when the file
    // cannot be written.
    void appendLogFile(std::string_view text);
    // Creates the log directory (one level) on the first call only: 1 when it tried now, else 0.
    int ensureLogDirectory();

    // The path of the log file for a given day.
    std::string logFilePath(const LocalTime& t) const;
    ViewModel& model() const { return model_; }

    // The log that app::logLine writes to (the main window's); null when there is none.
    static void setActive(DebugLog* log);
    static DebugLog* active();

  private:
    ViewModel& model_;
    std::unique_ptr<char[]> line_;  // the formatting buffer, allocated once and never cleared
    bool mkdirPending_ = true;
    bool echo_ = false;
    LocalClock clock_;
    std::function<std::string()> logDir_;
    std::function<bool()> debugMode_, logMode_;
};

}  // namespace app
