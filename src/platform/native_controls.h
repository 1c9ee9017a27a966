// The native controls of the driver's main window: the frame window with its menu, icons and
// accelerators, a status panel made from a dialog template, the debug list box, menu check
// marks, modal dialogs, and the message loop that runs the accelerators.
//
// Windows only (win32/native_controls.cpp): there the main window is made of the system's own
// controls, built from the program's resource script. On Linux the main window is made of Qt
// widgets; Qt is a toolkit that runs on the system, not a service of it, so this header has no
// Linux side and nothing on Linux includes it.
//
// Windows are named by platform::HWND (window.h): the real handle cut to 32 bits, which serves
// child windows as well as top-level ones. Resources (menus, icons, accelerator tables, dialog
// templates, strings) are named by their numbers in the program file's resource script. Every
// call here is for the UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/window.h"

// <windows.h> defines this name as a macro of the same value (see window.h).
#pragma push_macro("WM_ENDSESSION")
#undef WM_ENDSESSION

namespace platform::native {

// The session ends (wParam non-zero): the system may end the process without destroying its
// windows.
inline constexpr UINT WM_ENDSESSION = 0x0016;

// A string of the program's string table, at most 99 characters; empty when there is none.
std::string loadString(int id);

// --- The frame window

// A top-level window with a caption, the program's menu and icons, the arrow cursor and the
// window colour as background. It is placed where the system puts a new window across, at `y`
// down.
struct FrameSpec {
    std::string className;
    std::string title;
    std::uint32_t style = 0;  // WS_* bits; without WS_VISIBLE: showMinimised shows it
    int y = 0;
    int width = 0;
    int height = 0;
    int menu = 0;       // menu resource
    int icon = 0;       // class icon resource (32 x 32)
    int smallIcon = 0;  // small class icon resource (16 x 16)
};

// Creates the window with `proc` as its procedure, under the delivery rules of window.h
// (WM_CREATE arrives inside); 0 when it could not be created. The class resources take effect
// with the first window of a class name.
HWND createFrameWindow(const FrameSpec& spec, WindowProc proc);

// Shows the window minimised and paints it, whatever the process was started with.
void showMinimised(HWND window);

// True while the window is visible and not minimised.
bool shownToUser(HWND window);

struct Size {
    int width = 0;
    int height = 0;
};

// The size of a window's client area.
Size clientSize(HWND window);

// Gives a top-level window this outer size (kept for its restore when it is minimised) and
// these style bits among `switchedBits`; the frame is redrawn to match.
void setFrame(HWND window, int width, int height, std::uint32_t style, std::uint32_t switchedBits);

// Answers WM_GETMINMAXINFO: the window cannot be sized below width x height. `minMaxInfo` is the
// message's lParam.
void setMinimumTrackSize(LPARAM minMaxInfo, int width, int height);

// Moves a child window to this place in its parent's client area and shows it.
void placeChild(HWND child, int x, int y, int width, int height);

// Sets the check mark of menu item `id` in the popup at `popupPosition` of the window's menu bar.
void checkMenuItem(HWND window, int popupPosition, int id, bool checked);

// Runs the message loop (platform::runMessageLoop) with the accelerator table `acceleratorTable`
// translated for `window`; returns the quit code.
int runMessageLoop(HWND window, int acceleratorTable);

// --- Dialogs

// A child dialog of `parent` made from template `dialogTemplate`, shown as the template says,
// with no behaviour of its own (a panel of texts); 0 when it could not be made.
HWND createPanel(HWND parent, int dialogTemplate);

// Sets the text of control `id` of a dialog.
void setItemText(HWND dialog, int id, const std::string& text);

// Runs the modal dialog of template `dialogTemplate` over `owner` and returns when it is closed
// (OK, Enter, Escape or the close box). `init` fills its controls before it is shown.
void runModalDialog(HWND owner, int dialogTemplate, const std::function<void(HWND dialog)>& init);

// --- The list box

// An unsorted list box child with id `id`: tab stops, both scroll bars, any height, no
// notifications to its parent. Shown at the given place; 0 when it could not be made.
HWND createListBox(HWND parent, int id, int x, int y, int width, int height);

// Stops (false) or resumes (true) painting while rows change; resuming repaints the whole list.
void setListRedraw(HWND list, bool redraw);
void clearList(HWND list);
void removeFirstRow(HWND list);
// Appends an 8-bit text as the last row.
void appendRow(HWND list, const std::string& text);
int rowCount(HWND list);
// Scrolls so that `row` is the top row (as far as the list can scroll).
void setTopRow(HWND list, int row);
// The width in pixels that the horizontal scroll bar covers.
void setHorizontalExtent(HWND list, std::uint32_t pixels);
// Scrolls back to the left edge.
void scrollToLeftEdge(HWND list);

// How wide a text is in the list's font, and the font's average character width, in pixels.
struct TextExtent {
    std::uint32_t width = 0;
    std::uint32_t averageCharWidth = 0;
};
TextExtent measureText(HWND list, std::string_view text);

}  // namespace platform::native

#pragma pop_macro("WM_ENDSESSION")
