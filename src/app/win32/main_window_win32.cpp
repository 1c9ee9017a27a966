#include "app/win32/main_window_win32.h"

#include <algorithm>

#include "app/win32/about_box_win32.h"
#include "app/win32/resource.h"
#include "config/settings.h"
#include "platform/native_controls.h"

namespace app::win32 {

namespace native = platform::native;

namespace {

// The controls follow the model at most this often. The id is none of the driver's timers.
constexpr unsigned kRenderTimerId = 0x5245;
constexpr unsigned kRenderMs = 100;

// The main window's style: system menu, sizing border, minimise and maximise boxes (an
// overlapped window, which always gets a caption).
constexpr std::uint32_t kMainStyle = WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
// The bits that the view modes switch.
constexpr std::uint32_t kModeStyleBits = WS_THICKFRAME | WS_MAXIMIZEBOX;

// The resource script's numbers are the shared model's.
static_assert(IDC_ABOUT == kCmdAbout && IDC_EXIT == kCmdExit && IDC_DEBUG_CLEAR == kCmdDebugClear &&
              IDC_TEST_SET == kCmdTestSet && IDC_DEBUG_ON == kCmdDebugOn &&
              IDC_DEBUG_HIDE == kCmdDebugHide && IDC_LOG_ENABLED == kCmdLogEnabled);
static_assert(IDC_STATUS_TEXT == kCtlStatusText && IDC_TYPE_TEXT == kCtlTypeText &&
              IDC_SETTINGS_TEXT == kCtlSettingsText && IDC_INFO_RX == kCtlInfoRx &&
              IDC_INFO_TX == kCtlInfoTx && IDC_SERIAL_RX == kCtlSerialRx &&
              IDC_SERIAL_TX == kCtlSerialTx && IDC_DEBUG_LIST == kListBoxId);

}  // namespace

NativeMainWindow::NativeMainWindow(int deviceNumber, DriverHooks* hooks)
    : ModelShell(deviceNumber), hooks_(hooks), log_(model_) {
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
    native::FrameSpec spec;
    spec.className = className;
    spec.title = title;
    spec.style = kMainStyle;
    spec.y = 0;
    spec.width = kWindowWidth;
    spec.height = kWindowHeight;
    spec.menu = IDM_MAIN;
    spec.icon = IDI_CAMLET32;
    spec.smallIcon = IDI_CAMLET32_SMALL;
    const platform::HWND hwnd = native::createFrameWindow(
        spec, [this](platform::HWND h, platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
            if (!hwnd_)
                hwnd_ = h;
            return windowProc(msg, w, l);
        });
    if (!hwnd) {
        hwnd_ = 0;
        return false;
    }
    return true;
}

void NativeMainWindow::showMinimised() {
    native::showMinimised(hwnd_);
}

int NativeMainWindow::runMessageLoop() {
    return native::runMessageLoop(hwnd_, IDA_MAIN);
}

void NativeMainWindow::destroy() {
    if (hwnd_ && platform::isWindow(hwnd_))
        platform::destroyWindow(hwnd_);
}

platform::LRESULT NativeMainWindow::windowProc(platform::UINT msg, platform::WPARAM wParam,
                                               platform::LPARAM lParam) {
    switch (msg) {
        case platform::WM_CREATE:
            onCreate();
            return 0;
        case platform::WM_DESTROY:
            if (hooks_)
                hooks_->shutdown(*this);
            platform::postQuitMessage(0);
            return 0;
        case native::WM_ENDSESSION:
            // Windows is ending the session and may end the process without destroying the
            // window: shut down now, as File > Exit does, so that slot 1 and the farewell go out.
            if (wParam)
                platform::destroyWindow(hwnd_);
            return 0;
        case platform::WM_SIZE:
            onSize();
            // Shown again after being minimised: bring the controls up to date at once.
            if (visibleToUser() && model_.changed())
                render();
            return 0;
        case platform::WM_GETMINMAXINFO:
            native::setMinimumTrackSize(lParam, kWindowWidth, model_.minimumTrackHeight());
            return 0;
        case platform::WM_COMMNOTIFY:
            if (hooks_)
                hooks_->onCommNotify(*this, lParam);
            return 0;
        case platform::WM_TIMER:
            if (wParam == kRenderTimerId) {
                platform::killTimer(hwnd_, kRenderTimerId);
                renderPending_ = false;
                if (visibleToUser())
                    render();
            } else if (hooks_) {
                hooks_->onTimer(*this, static_cast<unsigned>(wParam));
            }
            return 0;
        case platform::WM_COMMAND:
            if (model_.command(wParam, *this))
                return 0;
            break;
        default:
            break;
    }
    return platform::defWindowProc(hwnd_, msg, wParam, lParam);
}

void NativeMainWindow::onCreate() {
    panel_ = native::createPanel(hwnd_, IDD_STATUS_PANEL);
    model_.setPanelHeight(native::clientSize(panel_).height + 10);
    const int panelHeight = model_.panelHeight();
    const native::Size client = native::clientSize(hwnd_);
    list_ = native::createListBox(hwnd_, kListBoxId, 0, panelHeight, client.width,
                                  client.height - panelHeight);
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
    const native::Size client = native::clientSize(hwnd_);
    const int panelHeight = native::clientSize(panel_).height;
    native::placeChild(panel_, 0, 0, client.width, panelHeight);
    native::placeChild(list_, 0, panelHeight + 2, client.width,
                       std::max(0, client.height - panelHeight - 2));
}

void NativeMainWindow::showAboutBox() {
    win32::showAboutBox(hwnd_);
}

void NativeMainWindow::destroyWindow() {
    platform::destroyWindow(hwnd_);
}

void NativeMainWindow::testSet() {
    if (hooks_)
        hooks_->testSet(*this);
}

void NativeMainWindow::showMenuChecks() {
    const MenuChecks checks = model_.menuChecks();
    native::checkMenuItem(hwnd_, kPopupDebug, kCmdDebugOn, checks.debugOn);
    native::checkMenuItem(hwnd_, kPopupDebug, kCmdDebugHide, checks.debugHide);
    native::checkMenuItem(hwnd_, kPopupLog, kCmdLogEnabled, checks.logEnabled);
}

void NativeMainWindow::applyViewMode() {
    model_.applyViewMode();
    showMenuChecks();
    const WindowFrame& frame = model_.frame();
    native::setFrame(hwnd_, frame.width, frame.height, frame.style, kModeStyleBits);
}

bool NativeMainWindow::visibleToUser() const {
    return native::shownToUser(hwnd_);
}

void NativeMainWindow::scheduleRender() {
    if (renderPending_ || !visibleToUser())
        return;
    renderPending_ = platform::setTimer(hwnd_, kRenderTimerId, kRenderMs) != 0;
}

void NativeMainWindow::render() {
    const ViewChanges changes = model_.takeChanges();
    if (changes.panel) {
        for (int id : kPanelControls)
            native::setItemText(panel_, id, model_.panelText(id));
    }
    if (changes.lines || changes.scrollLeft)
        renderLines(changes.scrollLeft);
}

void NativeMainWindow::renderLines(bool scrollLeft) {
    const auto& lines = model_.lines();
    const std::uint64_t first = model_.firstLineSeq();
    const std::uint64_t end = model_.endLineSeq();
    native::setListRedraw(list_, false);
    // Rows the model has dropped (all of them after Clear) leave from the top.
    if (shownEnd_ <= first) {
        native::clearList(list_);
    } else {
        for (std::uint64_t seq = shownFirst_; seq < first; ++seq)
            native::removeFirstRow(list_);
    }
    for (std::uint64_t seq = std::max(shownEnd_, first); seq < end; ++seq)
        native::appendRow(list_, lines[static_cast<std::size_t>(seq - first)]);
    shownFirst_ = first;
    shownEnd_ = end;
    native::setHorizontalExtent(list_, model_.horizontalExtent());
    if (scrollLeft)
        native::scrollToLeftEdge(list_);
    // The line before the newest at the top: the list shows its end.
    native::setTopRow(list_, native::rowCount(list_) - 2);
    native::setListRedraw(list_, true);
}

std::uint32_t NativeMainWindow::measure(std::string_view text) const {
    // A line's width is its text's plus one average character.
    const native::TextExtent extent = native::measureText(list_, text);
    return extent.width + extent.averageCharWidth;
}

}  // namespace app::win32
