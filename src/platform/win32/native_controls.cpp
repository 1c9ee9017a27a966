// The native controls of the main window on Win32: the system's own windows, menus, dialogs and
// list box, made from the program's resources.
#include "platform/native_controls.h"

#include <windows.h>

#include <algorithm>

#include "platform/win32/window_win32.h"

namespace platform::native {

namespace {

using platform::win32::fromNative;
using platform::win32::toNative;

HINSTANCE programInstance() {
    return GetModuleHandleA(nullptr);
}

LPCSTR resource(int id) {
    return MAKEINTRESOURCEA(id);
}

// A panel has no behaviour: it takes no input focus and answers nothing.
INT_PTR CALLBACK panelProc(::HWND, UINT msg, WPARAM, LPARAM) {
    return msg == WM_INITDIALOG ? TRUE : FALSE;
}

// A modal dialog: `init` (the creation parameter) fills it; OK and Cancel (Enter, Escape, the
// close box) end it.
INT_PTR CALLBACK modalProc(::HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_INITDIALOG: {
            const auto* init = reinterpret_cast<const std::function<void(platform::HWND)>*>(lParam);
            if (init && *init)
                (*init)(fromNative(dialog));
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

LRESULT sendToList(platform::HWND list, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendMessageA(toNative(list), msg, wParam, lParam);
}

}  // namespace

std::string loadString(int id) {
    char text[100] = {};
    LoadStringA(programInstance(), static_cast<UINT>(id), text, sizeof text);
    return text;
}

platform::HWND createFrameWindow(const FrameSpec& spec, WindowProc proc) {
    HINSTANCE instance = programInstance();
    win32::WindowSpec native;
    native.style = spec.style;
    native.title = spec.title.c_str();
    native.x = CW_USEDEFAULT;
    native.y = spec.y;
    native.width = spec.width;
    native.height = spec.height;
    native.menu = LoadMenuA(instance, resource(spec.menu));
    native.icon = LoadIconA(instance, resource(spec.icon));
    native.smallIcon =
        static_cast<HICON>(LoadImageA(instance, resource(spec.smallIcon), IMAGE_ICON, 16, 16, 0));
    native.cursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    native.background = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    const platform::HWND window = win32::createWindow(spec.className, native, std::move(proc));
    // A menu that no window took is the caller's to free.
    if (!window && native.menu)
        DestroyMenu(native.menu);
    return window;
}

void showMinimised(platform::HWND window) {
    ShowWindow(toNative(window), SW_MINIMIZE);
    UpdateWindow(toNative(window));
}

bool shownToUser(platform::HWND window) {
    return window && IsWindowVisible(toNative(window)) && !IsIconic(toNative(window));
}

Size clientSize(platform::HWND window) {
    RECT r{};
    GetClientRect(toNative(window), &r);
    return {r.right - r.left, r.bottom - r.top};
}

void setFrame(platform::HWND window, int width, int height, std::uint32_t style,
              std::uint32_t switchedBits) {
    ::HWND hwnd = toNative(window);
    if (IsIconic(hwnd)) {
        // A minimised window keeps the new size for when it is restored.
        WINDOWPLACEMENT placement{};
        placement.length = sizeof placement;
        GetWindowPlacement(hwnd, &placement);
        placement.rcNormalPosition.right = placement.rcNormalPosition.left + width;
        placement.rcNormalPosition.bottom = placement.rcNormalPosition.top + height;
        SetWindowPlacement(hwnd, &placement);
    } else {
        RECT r{};
        GetWindowRect(hwnd, &r);
        MoveWindow(hwnd, r.left, r.top, width, height, TRUE);
    }
    const DWORD current = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
    SetWindowLongA(hwnd, GWL_STYLE,
                   static_cast<LONG>((current & ~switchedBits) | (style & switchedBits)));
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void setMinimumTrackSize(LPARAM minMaxInfo, int width, int height) {
    reinterpret_cast<MINMAXINFO*>(minMaxInfo)->ptMinTrackSize = {width, height};
}

void placeChild(platform::HWND child, int x, int y, int width, int height) {
    MoveWindow(toNative(child), x, y, width, height, TRUE);
    ShowWindow(toNative(child), SW_SHOW);
}

void checkMenuItem(platform::HWND window, int popupPosition, int id, bool checked) {
    HMENU popup = GetSubMenu(GetMenu(toNative(window)), popupPosition);
    CheckMenuItem(popup, static_cast<UINT>(id),
                  MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

int runMessageLoop(platform::HWND window, int acceleratorTable) {
    // Tables loaded from the program's resources are freed with the program.
    HACCEL accelerators = LoadAcceleratorsA(programInstance(), resource(acceleratorTable));
    ::HWND hwnd = toNative(window);
    if (accelerators)
        win32::setMessageFilter([hwnd, accelerators](MSG& msg) {
            return TranslateAcceleratorA(hwnd, accelerators, &msg) != 0;
        });
    const int code = platform::runMessageLoop();
    win32::setMessageFilter({});
    return code;
}

platform::HWND createPanel(platform::HWND parent, int dialogTemplate) {
    return fromNative(CreateDialogParamA(programInstance(), resource(dialogTemplate),
                                         toNative(parent), panelProc, 0));
}

void setItemText(platform::HWND dialog, int id, const std::string& text) {
    SetDlgItemTextA(toNative(dialog), id, text.c_str());
}

void runModalDialog(platform::HWND owner, int dialogTemplate,
                    const std::function<void(platform::HWND dialog)>& init) {
    DialogBoxParamA(programInstance(), resource(dialogTemplate), toNative(owner), modalProc,
                    reinterpret_cast<LPARAM>(&init));
}

platform::HWND createListBox(platform::HWND parent, int id, int x, int y, int width, int height) {
    constexpr DWORD kStyle =
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_USETABSTOPS;
    return fromNative(CreateWindowExA(
        0, "LISTBOX", "", kStyle, x, y, std::max(0, width), std::max(0, height), toNative(parent),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), programInstance(), nullptr));
}

void setListRedraw(platform::HWND list, bool redraw) {
    sendToList(list, WM_SETREDRAW, redraw ? TRUE : FALSE);
    if (redraw)
        InvalidateRect(toNative(list), nullptr, TRUE);
}

void clearList(platform::HWND list) {
    sendToList(list, LB_RESETCONTENT);
}

void removeFirstRow(platform::HWND list) {
    sendToList(list, LB_DELETESTRING, 0);
}

void appendRow(platform::HWND list, const std::string& text) {
    sendToList(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int rowCount(platform::HWND list) {
    const LRESULT count = sendToList(list, LB_GETCOUNT);
    return count < 0 ? 0 : static_cast<int>(count);
}

void setTopRow(platform::HWND list, int row) {
    sendToList(list, LB_SETTOPINDEX, static_cast<WPARAM>(std::max(0, row)));
}

void setHorizontalExtent(platform::HWND list, std::uint32_t pixels) {
    sendToList(list, LB_SETHORIZONTALEXTENT, pixels);
}

void scrollToLeftEdge(platform::HWND list) {
    sendToList(list, WM_HSCROLL, MAKEWPARAM(SB_LEFT, 0));
}

TextExtent measureText(platform::HWND list, std::string_view text) {
    ::HWND hwnd = toNative(list);
    HDC dc = GetDC(hwnd);
    if (!dc)
        return {};
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(sendToList(list, WM_GETFONT));
    HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    SIZE size{};
    GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    if (previous)
        SelectObject(dc, previous);
    ReleaseDC(hwnd, dc);
    return {static_cast<std::uint32_t>(size.cx),
            static_cast<std::uint32_t>(metrics.tmAveCharWidth)};
}

}  // namespace platform::native
