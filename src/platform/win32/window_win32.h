// The Win32 side of platform/window.h, for code that must see real window handles: the native
// view of the driver and the Windows stand-in tools. Everything else uses platform/window.h only.
//
// A platform::HWND is a real window handle cut to its low 32 bits: Windows keeps window handles
// within 32 significant bits (a 32-bit process can name a 64-bit process's windows), and turns
// such a value back into the handle by sign extension. toNative and fromNative convert.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "platform/window.h"

namespace platform::win32 {

::HWND toNative(platform::HWND hwnd);
platform::HWND fromNative(::HWND hwnd);

// How a window of createWindow looks. The class fields (classStyle, icons, cursor, background)
// take effect when the class is registered, i.e. with the first window of a class name.
struct WindowSpec {
    DWORD exStyle = 0;
    DWORD style = WS_OVERLAPPEDWINDOW;  // without WS_VISIBLE: the caller shows the window
    const char* title = "";
    int x = CW_USEDEFAULT, y = CW_USEDEFAULT, width = CW_USEDEFAULT, height = CW_USEDEFAULT;
    HMENU menu = nullptr;
    UINT classStyle = 0;
    HICON icon = nullptr, smallIcon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
};

// platform::createWindow with a title, styles, a menu and class resources. The procedure gets
// every message of the window from WM_CREATE on (WM_CREATE with lParam = createParam), under the
// delivery rules of platform/window.h; what it does not handle it passes to
// platform::defWindowProc, which is DefWindowProcA here.
platform::HWND createWindow(const std::string& className, const WindowSpec& spec, WindowProc proc,
                            LPARAM createParam = 0);

// Called by the message loop for each message before it is translated and dispatched; true
// means the message was consumed (an accelerator, a dialog's keyboard message). One filter per
// process; an empty function removes it.
void setMessageFilter(std::function<bool(MSG& msg)> filter);

}  // namespace platform::win32
