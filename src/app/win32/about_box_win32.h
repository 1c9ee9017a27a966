// The About box on Windows: dialog template 103, run modally over its owner.
#pragma once

#include "platform/window.h"

namespace app::win32 {

// Shows the box and returns when it is closed (OK, Enter, Escape or the close box). It shows the
// version line read from the program file's own version record, and the build stamp.
void showAboutBox(platform::HWND owner);

}  // namespace app::win32
