// Modal message boxes with one OK button.
//
// With a display the box is a real dialog. Whenever the process runs offscreen (no display, or
// QT_QPA_PLATFORM=offscreen) or has no QApplication, the caption and text go to stderr as
// "<caption>: <text>" and the call returns at once as if OK was pressed.
#pragma once

#include <string>

namespace platform {

enum class BoxIcon { None, Error };

void messageBox(const std::string& text, const std::string& caption, BoxIcon icon = BoxIcon::None);

// Chooses Qt's offscreen platform when there is no display (no DISPLAY, no WAYLAND_DISPLAY and
// QT_QPA_PLATFORM unset). Call before the QApplication is built.
void chooseQtPlatform();

// True when the Qt platform in use is offscreen (chosen or set).
bool runningOffscreen();

}  // namespace platform
