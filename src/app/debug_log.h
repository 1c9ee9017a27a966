// The debug list box and the daily log files.
//
// logLine formats a line (at most 65,535 bytes), shows it at the end of the list box while debug
// mode is on, and also appends it to "<logDir>/<yyyymmdd>_child2_<device>.log" while log mode is
// on too. The list box keeps at most 501 lines; its horizontal scroll range is the widest of the
// last 500 lines, kept in widthRing so that no line is ever measured twice.
#pragma once

#include <QListWidget>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

namespace app {

// The debug list box: a QListWidget whose horizontal scroll range is set from outside (the way a
// list box's horizontal extent is), not from the width of the lines it holds. Every row is as
// wide as the extent (uniform rows), so the view's own scroll range is the extent less the
// visible width; a line wider than its row is still drawn whole.
class LogListWidget : public QListWidget {
    Q_OBJECT
  public:
    explicit LogListWidget(QWidget* parent = nullptr);

    void setHorizontalExtent(int pixels);
    int horizontalExtent() const { return extent_; }

  private:
    int extent_ = 0;
};

// Local time with milliseconds, as the log file stamps it.
struct LocalTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};
using LocalClock = std::function<LocalTime()>;
LocalTime systemLocalTime();

class DebugLog {
  public:
    static constexpr std::size_t kLineBufferBytes = 65536;  // including the terminating NUL
    static constexpr std::size_t kWidthRingSize = 500;
    static constexpr int kLineCap = 500;  // oldest line dropped when more stand before an add

    // `list` must outlive this object. The modes come from the process's device settings unless
    // replaced by setModeSource; the log directory from the configuration paths unless replaced
    // by setLogDirSource.
    explicit DebugLog(LogListWidget* list);
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    void setDeviceNumber(int device) { device_ = device; }
    void setClock(LocalClock clock) { clock_ = std::move(clock); }
    void setLogDirSource(std::function<std::string()> source) { logDir_ = std::move(source); }
    // Debug mode and log mode, read at every line.
    void setModeSource(std::function<bool()> debugMode, std::function<bool()> logMode);
    // Every shown line also goes to stdout (used when running offscreen).
    void setEchoToStdout(bool on) { echo_ = on; }

    void logLine(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void vlogLine(const char* fmt, va_list args);

    // Appends one time-stamped line to today's log file; the line is lost silently when the file
    // cannot be opened.
    void appendLogFile(const char* text);
    // Creates the log directory (one level) on the first call only: 1 when it tried now, else 0.
    int ensureLogDirectory();

    // Debug > Clear: empties the list box and the width ring.
    void clear();
    // Zeroes the width ring and its position (driver start-up).
    void resetWidthRing();

    const std::array<std::uint32_t, kWidthRingSize>& widthRing() const { return widthRing_; }
    std::size_t widthRingPosition() const { return ringPos_; }
    LogListWidget* list() const { return list_; }
    // The path of the log file for a given day.
    std::string logFilePath(const LocalTime& t) const;

    // The log that app::logLine writes to (the main window's); null when there is none.
    static void setActive(DebugLog* log);
    static DebugLog* active();

  private:
    void addLine(const char* text);

    LogListWidget* list_;
    std::array<std::uint32_t, kWidthRingSize> widthRing_{};
    std::size_t ringPos_ = 0;
    int device_ = 0;
    bool mkdirPending_ = true;
    bool echo_ = false;
    LocalClock clock_;
    std::function<std::string()> logDir_;
    std::function<bool()> debugMode_, logMode_;
};

}  // namespace app
