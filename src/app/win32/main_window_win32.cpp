#include "app/win32/main_window_win32.h"

#include <algorithm>

#include "app/win32/about_box_win32.h"
#include "app/win32/resource.h"
#include "config/settings.h"
#include "platform/win32/window_win32.h"

namespace app::win32 {

namespace {

// The controls follow the model at most this often. The id is none of the driver's timers.
constexpr unsigned kRenderTimerId = 0x5245;
constexpr unsigned kRenderMs = 100;

// The main window's style: system menu, sizing border, minimise and maximise boxes (an
// overlapped window, which always gets a caption).
constexpr DWORD kMainStyle = WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
// The bits that the view modes switch.
constexpr DWORD kModeStyleBits = WS_THICKFRAME | WS_MAXIMIZEBOX;
// The debug list box: unsorted, no notifications, tab stops, both scroll bars, any height.
constexpr DWORD kListStyle =
    WS_CHILD | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_USETABSTOPS;

// The resource script's numbers are the shared model's.
static_assert(IDC_ABOUT == kCmdAbout && IDC_EXIT == kCmdExit && IDC_DEBUG_CLEAR == kCmdDebugClear &&
              IDC_TEST_SET == kCmdTestSet && IDC_DEBUG_ON == kCmdDebugOn &&
              IDC_DEBUG_HIDE == kCmdDebugHide && IDC_LOG_ENABLED == kCmdLogEnabled);
static_assert(IDC_STATUS_TEXT == kCtlStatusText && IDC_TYPE_TEXT == kCtlTypeText &&
              IDC_SETTINGS_TEXT == kCtlSettingsText && IDC_INFO_RX == kCtlInfoRx &&
              IDC_INFO_TX == kCtlInfoTx && IDC_SERIAL_RX == kCtlSerialRx &&
              IDC_SERIAL_TX == kCtlSerialTx && IDC_DEBUG_LIST == kListBoxId);

// The status panel has no behaviour of its own.
INT_PTR CALLBACK panelProc(HWND, UINT msg, WPARAM, LPARAM) {
    return msg == WM_INITDIALOG ? TRUE : FALSE;
}

int clientHeight(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return r.bottom - r.top;
}

}  // namespace

NativeMainWindow::NativeMainWindow(HINSTANCE instance, int deviceNumber, DriverHooks* hooks)
    : instance_(instance), hooks_(hooks), model_(deviceNumber), log_(model_) {
    model_.setChangeListener([this] { scheduleRender(); });
}

NativeMainWindow::~NativeMainWindow() {
    if (DebugLog::active() == &log_)
        DebugLog::setActive(nullptr);
    model_.setChangeListener({});
    // The hooks may be gone by now: no shutdown runs from here.
    hooks_ = nullptr;
    destroy();
}

bool NativeMainWindow::create(const std::string& title, const std::string& className) {
    platform::win32::WindowSpec spec;
    spec.style = kMainStyle;
    spec.title = title.c_str();
    spec.x = CW_USEDEFAULT;
    spec.y = 0;
    spec.width = kWindowWidth;
    spec.height = kWindowHeight;
    spec.menu = LoadMenuA(instance_, MAKEINTRESOURCEA(IDM_MAIN));
    spec.icon = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_CAMLET32));
    spec.smallIcon = static_cast<HICON>(
        LoadImageA(instance_, MAKEINTRESOURCEA(IDI_CAMLET32_SMALL), IMAGE_ICON, 16, 16, 0));
    spec.cursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    spec.background = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    const platform::HWND hwnd = platform::win32::createWindow(
        className, spec,
        [this](platform::HWND h, platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
            if (!hwnd_)
                hwnd_ = platform::win32::toNative(h);
            return windowProc(msg, w, l);
        });
    if (!hwnd) {
        hwnd_ = nullptr;
        return false;
    }
    accelerators_ = LoadAcceleratorsA(instance_, MAKEINTRESOURCEA(IDA_MAIN));
    return true;
}

void NativeMainWindow::showMinimised() {
    ShowWindow(hwnd_, SW_MINIMIZE);
    UpdateWindow(hwnd_);
}

void NativeMainWindow::destroy() {
    if (hwnd_ && IsWindow(hwnd_))
        DestroyWindow(hwnd_);
}

bool NativeMainWindow::translateAccelerator(MSG& msg) {
    return hwnd_ && accelerators_ && TranslateAcceleratorA(hwnd_, accelerators_, &msg);
}

platform::HWND NativeMainWindow::mainWindow() const {
    return platform::win32::fromNative(hwnd_);
}

platform::LRESULT NativeMainWindow::windowProc(platform::UINT msg, platform::WPARAM wParam,
                                               platform::LPARAM lParam) {
    switch (msg) {
        case WM_CREATE:
            onCreate();
            return 0;
        case WM_DESTROY:
            if (hooks_)
                hooks_->shutdown(*this);
            PostQuitMessage(0);
            return 0;
        case WM_ENDSESSION:
            // Windows is ending the session and may end the process without destroying the
            // window: shut down now, as File > Exit does, so that slot 1 and the farewell go out.
            if (wParam)
                DestroyWindow(hwnd_);
            return 0;
        case WM_SIZE:
            onSize();
            // Shown again after being minimised: bring the controls up to date at once.
            if (visibleToUser() && model_.changed())
                render();
            return 0;
        case WM_GETMINMAXINFO:
            reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {kWindowWidth,
                                                                     model_.minimumTrackHeight()};
            return 0;
        case WM_COMMNOTIFY:
            if (hooks_)
                hooks_->onCommNotify(*this, lParam);
            return 0;
        case WM_TIMER:
            if (wParam == kRenderTimerId) {
                KillTimer(hwnd_, kRenderTimerId);
                renderPending_ = false;
                if (visibleToUser())
                    render();
            } else if (hooks_) {
                hooks_->onTimer(*this, static_cast<unsigned>(wParam));
            }
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case kCmdAbout:
                case kCmdExit:
                case kCmdDebugClear:
                case kCmdTestSet:
                case kCmdDebugOn:
                case kCmdDebugHide:
                case kCmdLogEnabled:
                    onCommand(LOWORD(wParam));
                    return 0;
                default:
                    break;
            }
            break;
        default:
            break;
    }
    return DefWindowProcA(hwnd_, msg, wParam, lParam);
}

void NativeMainWindow::onCreate() {
    panel_ = CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_STATUS_PANEL), hwnd_, panelProc, 0);
    model_.setPanelHeight(clientHeight(panel_) + 10);
    const int panelHeight = model_.panelHeight();
    RECT client{};
    GetClientRect(hwnd_, &client);
    list_ = CreateWindowExA(0, "LISTBOX", "", kListStyle, 0, panelHeight, client.right,
                            std::max(0, static_cast<int>(client.bottom) - panelHeight), hwnd_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListBoxId)), instance_,
                            nullptr);
    ShowWindow(list_, SW_SHOW);
    model_.setMeasure([this](std::string_view text) { return measure(text); });
    DebugLog::setActive(&log_);

    config::loadDeviceSettings(model_.deviceNumber(), kSectionName);
    const auto& settings = config::deviceSettings();
    model_.showSerialSettings(settings.portNumber, static_cast<long>(settings.speed),
                              settings.dataBits, settings.stopBitsCode, settings.parityCode);
    applyViewMode();
    if (hooks_)
        hooks_->startup(*this);
}

void NativeMainWindow::onSize() {
    if (!panel_ || !list_)
        return;
    RECT client{};
    GetClientRect(hwnd_, &client);
    const int panelHeight = clientHeight(panel_);
    MoveWindow(panel_, 0, 0, client.right, panelHeight, TRUE);
    ShowWindow(panel_, SW_SHOW);
    MoveWindow(list_, 0, panelHeight + 2, client.right,
               std::max(0, static_cast<int>(client.bottom) - panelHeight - 2), TRUE);
    ShowWindow(list_, SW_SHOW);
}

void NativeMainWindow::onCommand(int id) {
    switch (id) {
        case kCmdAbout:
            showAboutBox(instance_, hwnd_);
            break;
        case kCmdExit:
            DestroyWindow(hwnd_);
            break;
        case kCmdDebugClear:
            model_.clearLines();
            break;
        case kCmdTestSet:
            if (hooks_)
                hooks_->testSet(*this);
            break;
        case kCmdDebugOn:
            model_.commandDebugOn();
            applyViewMode();
            break;
        case kCmdDebugHide:
            model_.commandDebugHide();
            applyViewMode();
            break;
        case kCmdLogEnabled:
            model_.commandLogEnabled();
            applyMenuChecks();
            break;
        default:
            break;
    }
}

void NativeMainWindow::applyMenuChecks() {
    HMENU bar = GetMenu(hwnd_);
    const MenuChecks checks = model_.menuChecks();
    auto check = [bar](int position, int id, bool on) {
        CheckMenuItem(GetSubMenu(bar, position), static_cast<UINT>(id),
                      MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
    };
    check(kPopupDebug, kCmdDebugOn, checks.debugOn);
    check(kPopupDebug, kCmdDebugHide, checks.debugHide);
    check(kPopupLog, kCmdLogEnabled, checks.logEnabled);
}

void NativeMainWindow::applyViewMode() {
    model_.applyViewMode();
    applyMenuChecks();
    const WindowFrame& frame = model_.frame();
    RECT r{};
    GetWindowRect(hwnd_, &r);
    if (IsIconic(hwnd_)) {
        // A minimised window keeps the new size for when it is restored.
        WINDOWPLACEMENT placement{};
        placement.length = sizeof placement;
        GetWindowPlacement(hwnd_, &placement);
        placement.rcNormalPosition.right = placement.rcNormalPosition.left + frame.width;
        placement.rcNormalPosition.bottom = placement.rcNormalPosition.top + frame.height;
        SetWindowPlacement(hwnd_, &placement);
    } else {
        MoveWindow(hwnd_, r.left, r.top, frame.width, frame.height, TRUE);
    }
    const DWORD style = static_cast<DWORD>(GetWindowLongA(hwnd_, GWL_STYLE));
    SetWindowLongA(hwnd_, GWL_STYLE,
                   static_cast<LONG>((style & ~kModeStyleBits) | (frame.style & kModeStyleBits)));
    SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void NativeMainWindow::setStatusText(const char* text) {
    model_.setStatusText(text ? text : "");
}

void NativeMainWindow::refreshCounters() {
    model_.refreshCounters();
}

void NativeMainWindow::resetWidthRing() {
    model_.resetWidthRing();
}

bool NativeMainWindow::visibleToUser() const {
    return hwnd_ && IsWindowVisible(hwnd_) && !IsIconic(hwnd_);
}

void NativeMainWindow::scheduleRender() {
    if (renderPending_ || !visibleToUser())
        return;
    renderPending_ = SetTimer(hwnd_, kRenderTimerId, kRenderMs, nullptr) != 0;
}

void NativeMainWindow::render() {
    const ViewChanges changes = model_.takeChanges();
    if (changes.panel) {
        for (int id : kPanelControls)
            SetDlgItemTextA(panel_, id, model_.panelText(id).c_str());
    }
    if (changes.lines || changes.scrollLeft)
        renderLines(changes.scrollLeft);
}

void NativeMainWindow::renderLines(bool scrollLeft) {
    const auto& lines = model_.lines();
    const std::uint64_t first = model_.firstLineSeq();
    const std::uint64_t end = model_.endLineSeq();
    SendMessageA(list_, WM_SETREDRAW, FALSE, 0);
    // Rows the model has dropped (all of them after Clear) leave from the top.
    if (shownEnd_ <= first) {
        SendMessageA(list_, LB_RESETCONTENT, 0, 0);
    } else {
        for (std::uint64_t seq = shownFirst_; seq < first; ++seq)
            SendMessageA(list_, LB_DELETESTRING, 0, 0);
    }
    for (std::uint64_t seq = std::max(shownEnd_, first); seq < end; ++seq)
        SendMessageA(
            list_, LB_ADDSTRING, 0,
            reinterpret_cast<LPARAM>(lines[static_cast<std::size_t>(seq - first)].c_str()));
    shownFirst_ = first;
    shownEnd_ = end;
    SendMessageA(list_, LB_SETHORIZONTALEXTENT, model_.horizontalExtent(), 0);
    if (scrollLeft)
        SendMessageA(list_, WM_HSCROLL, MAKEWPARAM(SB_LEFT, 0), 0);
    // The line before the newest at the top: the list shows its end.
    const LRESULT count = SendMessageA(list_, LB_GETCOUNT, 0, 0);
    SendMessageA(list_, LB_SETTOPINDEX, static_cast<WPARAM>(count - 2), 0);
    SendMessageA(list_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list_, nullptr, TRUE);
}

std::uint32_t NativeMainWindow::measure(std::string_view text) const {
    HDC dc = GetDC(list_);
    if (!dc)
        return 0;
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(list_, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    SIZE size{};
    GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    if (previous)
        SelectObject(dc, previous);
    ReleaseDC(list_, dc);
    return static_cast<std::uint32_t>(size.cx + metrics.tmAveCharWidth);
}

}  // namespace app::win32
