// Message boxes on Win32: the real modal box, owned by no window. Windows programs always have a
// display, so there is no offscreen mode and no Qt platform to choose.
#include "platform/message_box.h"

#include <windows.h>

namespace platform {

void messageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    UINT type = MB_OK | (icon == BoxIcon::Error ? MB_ICONERROR : 0);
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

void chooseQtPlatform() {}

bool runningOffscreen() {
    return false;
}

}  // namespace platform
