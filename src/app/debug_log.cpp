#include "app/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QFontMetrics>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/shell.h"
#include "config/settings.h"

namespace app {

// ---------------------------------------------------------------------------------------------
// LogListWidget

namespace {

class ExtentDelegate : public QStyledItemDelegate {
  public:
    explicit ExtentDelegate(LogListWidget* list) : QStyledItemDelegate(list), list_(list) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(list_->horizontalExtent(),
                     QStyledItemDelegate::sizeHint(option, index).height());
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        // The viewport clips; the row itself never cuts a line short.
        QStyleOptionViewItem wide(option);
        wide.rect.setWidth(std::max(wide.rect.width(), 1 << 20));
        QStyledItemDelegate::paint(painter, wide, index);
    }

  private:
    LogListWidget* list_;
};

}  // namespace

LogListWidget::LogListWidget(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setTextElideMode(Qt::ElideNone);
    setWordWrap(false);
    setUniformItemSizes(true);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setItemDelegate(new ExtentDelegate(this));
}

void LogListWidget::setHorizontalExtent(int pixels) {
    pixels = std::max(0, pixels);
    if (pixels == extent_)
        return;
    extent_ = pixels;
    doItemsLayout();
}

// ---------------------------------------------------------------------------------------------
// Time

LocalTime systemLocalTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    LocalTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
}

// ---------------------------------------------------------------------------------------------
// DebugLog

namespace {
DebugLog* g_active = nullptr;
}

DebugLog::DebugLog(LogListWidget* list)
    : list_(list),
      clock_(systemLocalTime),
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
    if (!debugMode_ || !debugMode_())
        return;
    if (!fmt)
        return;
    // vsnprintf cuts a longer line at the buffer's end and always terminates it.
    std::unique_ptr<char[]> line(new char[kLineBufferBytes]);
    std::vsnprintf(line.get(), kLineBufferBytes, fmt, args);
    addLine(line.get());
    if (logMode_ && logMode_())
        appendLogFile(line.get());
}

void DebugLog::addLine(const char* text) {
    const QString qtext = QString::fromLatin1(text);
    list_->setUpdatesEnabled(false);

    int n = list_->count();
    if (n > kLineCap) {
        list_->setHorizontalExtent(0);
        list_->horizontalScrollBar()->setValue(0);
        delete list_->takeItem(0);
        --n;
    }

    const QFontMetrics fm(list_->font());
    const int measured = fm.horizontalAdvance(qtext) + fm.averageCharWidth();
    widthRing_[ringPos_] = static_cast<std::uint32_t>(std::max(0, measured));
    ringPos_ = (ringPos_ + 1) % kWidthRingSize;
    const std::uint32_t widest = *std::max_element(widthRing_.begin(), widthRing_.end());
    list_->setHorizontalExtent(static_cast<int>(std::min<std::uint32_t>(widest, 0x7fffffff)));

    list_->addItem(qtext);
    // The line before the new one goes to the top, and since the view cannot scroll past its end
    // this shows the end of the list with the newest line.
    list_->scrollToBottom();

    list_->setUpdatesEnabled(true);

    if (echo_) {
        std::fwrite(text, 1, std::strlen(text), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

std::string DebugLog::logFilePath(const LocalTime& t) const {
    char date[32];
    std::snprintf(date, sizeof date, "%04d%02d%02d", t.year, t.month, t.day);
    return (logDir_ ? logDir_() : std::string()) + "/" + date + "_child2_" +
           std::to_string(device_) + ".log";
}

void DebugLog::appendLogFile(const char* text) {
    const LocalTime t = clock_ ? clock_() : systemLocalTime();
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second,
                  t.millisecond);
    const std::string path = logFilePath(t);
    ensureLogDirectory();

    // O_NONBLOCK: a pipe without a reader in place of the file fails at once (the line is lost)
    // instead of stalling the UI thread; regular files are unaffected.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return;
    // One write per line, so that concurrent readers never see half a line.
    std::string record = stamp;
    record += " - ";
    record += text;
    record += "\r\n";
    const char* p = record.data();
    std::size_t left = record.size();
    while (left > 0) {
        ssize_t w = write(fd, p, left);
        if (w <= 0)
            break;
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    close(fd);
}

int DebugLog::ensureLogDirectory() {
    if (!mkdirPending_)
        return 0;
    const std::string dir = logDir_ ? logDir_() : std::string();
    if (!dir.empty())
        mkdir(dir.c_str(), 0777);  // one level; the result is not looked at
    mkdirPending_ = false;
    return 1;
}

void DebugLog::resetWidthRing() {
    widthRing_.fill(0);
    ringPos_ = 0;
}

void DebugLog::clear() {
    resetWidthRing();
    list_->setHorizontalExtent(0);
    list_->horizontalScrollBar()->setValue(0);
    list_->clear();
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

}  // namespace app
