// What the rest of the driver may ask of the application shell, without depending on Qt.
#pragma once

#include <cstdarg>
#include <string_view>

#include "platform/window.h"

namespace app {

class Shell {
  public:
    virtual ~Shell() = default;

    // The main window's handle (on the bus): timers, WM_COMMNOTIFY target.
    virtual platform::HWND mainWindow() const = 0;
    // The device number from the command line (> 0).
    virtual int deviceNumber() const = 0;
    // Text of status panel control 2001 ("Initialising", "Connected OK", ...); 8-bit text.
    virtual void setStatusText(const char* text) = 0;
    // Writes the four traffic counters into the status panel.
    virtual void refreshCounters() = 0;
    // Zeroes the debug log's width ring and its position.
    virtual void resetWidthRing() = 0;
};

// The driver's one logging operation: printf-style, shown in the debug list box while debug mode
// is on and also filed while log mode is on. Does nothing before the main window exists. UI
// thread only. A text that comes from outside must be an argument ("%s"), never the format.
void logLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void vlogLine(const char* fmt, va_list args);
// The same for a line its caller has already formatted (taken as it is, not as a format).
void logText(std::string_view line);
// Whether a line would be shown now (a log exists and debug mode is on): callers skip building
// lines that nobody will see.
bool logging();

}  // namespace app
