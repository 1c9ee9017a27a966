#include "app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QProxyStyle>
#include <QResizeEvent>
#include <cstdio>

#include "app/about_box.h"
#include "app/icons.h"
#include "config/settings.h"
#include "platform/message_box.h"

namespace app {

namespace {
// The application's style, except that the menu bar honours separators, so that the items after
// one are right-aligned.
class RightAlignHelpStyle : public QProxyStyle {
  public:
    explicit RightAlignHelpStyle(QObject* owner) { setParent(owner); }
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_DrawMenuBarSeparator)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};
}  // namespace

std::string windowTitleFor(int deviceNumber) {
    char title[100];  // the string table's 100-byte buffer: at most 99 characters
    std::snprintf(title, sizeof title, kWindowTitleFormat, deviceNumber);
    return title;
}

MainWindow::MainWindow(int deviceNumber, DriverHooks* hooks)
    : deviceNumber_(deviceNumber), hooks_(hooks) {
    setObjectName("mainWindow");
    setWindowTitle(QString::fromLatin1(windowTitleFor(deviceNumber).c_str()));
    setWindowIcon(classIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    client_ = new QWidget(this);
    client_->setObjectName("client");
    client_->setAutoFillBackground(true);
    client_->installEventFilter(this);
    setCentralWidget(client_);
    buildMenu();
    // Before the window is created the minimum tracking height is 42 (no panel yet).
    setMinimumSize(minimumTrackSize());
    resize(kWindowWidth, kWindowHeight);

    // Accelerators: F1 About, F10 Exit; they do not highlight the menu.
    f1_ = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1_, &QShortcut::activated, this, [this] { sendCommand(kCmdAbout); });
    f10_ = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(f10_, &QShortcut::activated, this, [this] { sendCommand(kCmdExit); });
}

MainWindow::~MainWindow() {
    if (DebugLog::active() == log_.get())
        DebugLog::setActive(nullptr);
    // A window still alive when the object goes (no loop was run) leaves the bus. The hooks may
    // be gone by now, so no shutdown runs from here.
    hooks_ = nullptr;
    if (hwnd_ && !destroying_)
        platform::destroyWindow(hwnd_);
}

void MainWindow::buildMenu() {
    QMenuBar* bar = menuBar();
    auto addItem = [this](QMenu* menu, const char* text, int id, bool checkable) {
        QAction* action = menu->addAction(QString::fromLatin1(text));
        action->setData(id);
        action->setCheckable(checkable);
        connect(action, &QAction::triggered, this, [this, id] { sendCommand(id); });
        actions_[id] = action;
    };
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    addItem(file, "E&xit", kCmdExit, false);
    QMenu* debug = bar->addMenu(QStringLiteral("D&ebug"));
    addItem(debug, "On", kCmdDebugOn, true);
    addItem(debug, "Hide", kCmdDebugHide, true);
    debug->addSeparator();
    addItem(debug, "Clear", kCmdDebugClear, false);
    QMenu* log = bar->addMenu(QStringLiteral("L&og"));
    addItem(log, "Enabled", kCmdLogEnabled, true);
    QMenu* test = bar->addMenu(QStringLiteral("Test"));
    addItem(test, "Set", kCmdTestSet, false);
    // Help stands last, at the right end of the bar: the menu bar puts what follows a separator
    // at its right end when its style asks for menu bar separators.
    bar->setStyle(new RightAlignHelpStyle(bar));
    bar->addSeparator();
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    addItem(help, "&About ...", kCmdAbout, false);
    popups_ = {{0, file}, {1, debug}, {2, log}, {3, test}, {4, help}};
}

QAction* MainWindow::menuAction(int id) const {
    auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

QMenu* MainWindow::popup(int position) const {
    auto it = popups_.find(position);
    return it == popups_.end() ? nullptr : it->second;
}

QSize MainWindow::minimumTrackSize() const {
    return QSize(kWindowWidth, panelHeight_ + 42);
}

bool MainWindow::create() {
    platform::HWND hwnd = platform::createWindow(
        kClassName, [this](platform::HWND h, platform::UINT msg, platform::WPARAM w,
                           platform::LPARAM l) { return windowProc(h, msg, w, l); });
    if (!hwnd)
        return false;
    hwnd_ = hwnd;
    return true;
}

void MainWindow::requestExit() {
    if (hwnd_ && !destroying_ && platform::isWindow(hwnd_)) {
        platform::destroyWindow(hwnd_);
    } else if (!hwnd_) {
        platform::postQuitMessage(0);
    }
}

void MainWindow::sendCommand(int id) {
    if (!hwnd_ || destroying_)
        return;
    platform::sendMessage(hwnd_, platform::WM_COMMAND, static_cast<platform::WPARAM>(id), 0);
}

platform::LRESULT MainWindow::windowProc(platform::HWND hwnd, platform::UINT msg,
                                         platform::WPARAM wParam, platform::LPARAM lParam) {
    switch (msg) {
        case platform::WM_CREATE:
            onCreate(hwnd);
            return 0;
        case platform::WM_DESTROY:
            onDestroy();
            return 0;
        case platform::WM_SIZE:
            onSize();
            return 0;
        case platform::WM_GETMINMAXINFO:
            setMinimumSize(minimumTrackSize());
            return 0;
        case platform::WM_COMMNOTIFY:
            if (hooks_)
                hooks_->onCommNotify(*this, lParam);
            return 0;
        case platform::WM_TIMER:
            if (hooks_)
                hooks_->onTimer(*this, static_cast<unsigned>(wParam));
            return 0;
        case platform::WM_COMMAND: {
            const int id = static_cast<int>(wParam & 0xFFFF);
            switch (id) {
                case kCmdAbout:
                case kCmdExit:
                case kCmdDebugClear:
                case kCmdTestSet:
                case kCmdDebugOn:
                case kCmdDebugHide:
                case kCmdLogEnabled:
                    onCommand(id);
                    return 0;
                default:
                    return platform::defWindowProc(hwnd, msg, wParam, lParam);
            }
        }
        default:
            return platform::defWindowProc(hwnd, msg, wParam, lParam);
    }
}

void MainWindow::onCreate(platform::HWND hwnd) {
    hwnd_ = hwnd;

    // Status panel at the top; its client height plus 10 is the panel height of the layout.
    panel_ = new StatusPanel(client_);
    panel_->move(0, 0);
    panel_->show();
    panelHeight_ = panel_->height() + 10;

    // The client area: the window less its menu bar (the central widget is laid out only once
    // the window is shown).
    const int clientWidth = width();
    const int clientHeight = std::max(0, height() - menuBar()->sizeHint().height());

    list_ = new LogListWidget(client_);
    list_->setObjectName(QString::number(kListBoxId));
    list_->setGeometry(0, panelHeight_, clientWidth, std::max(0, clientHeight - panelHeight_));
    list_->show();
    log_ = std::make_unique<DebugLog>(list_);
    log_->setDeviceNumber(deviceNumber_);
    log_->setEchoToStdout(platform::runningOffscreen());
    DebugLog::setActive(log_.get());

    setMinimumSize(minimumTrackSize());

    config::loadDeviceSettings(deviceNumber_, kSectionName);
    const auto& ds = config::deviceSettings();
    panel_->showSerialSettings(ds.portNumber, static_cast<long>(ds.speed), ds.dataBits,
                               ds.stopBitsCode, ds.parityCode);

    applyViewMode();
    setItemChecked(2, kCmdLogEnabled, config::deviceSettings().logMode != 0);

    if (hooks_)
        hooks_->startup(*this);
}

void MainWindow::onDestroy() {
    destroying_ = true;
    if (hooks_)
        hooks_->shutdown(*this);
    platform::postQuitMessage(0);
    hide();
}

void MainWindow::onSize() {
    if (!panel_ || !list_)
        return;
    const QRect r = client_->rect();
    const int panelHeight = panel_->rect().height();
    panel_->setGeometry(0, 0, r.width(), panelHeight);
    panel_->show();
    list_->setGeometry(0, panelHeight + 2, r.width(), std::max(0, r.height() - panelHeight - 2));
    list_->show();
}

void MainWindow::onCommand(int id) {
    auto& ds = config::deviceSettings();
    switch (id) {
        case kCmdAbout: {
            AboutBox box(this);
            box.exec();
            break;
        }
        case kCmdExit:
            platform::destroyWindow(hwnd_);
            break;
        case kCmdDebugClear:
            if (log_)
                log_->clear();
            break;
        case kCmdTestSet:
            if (hooks_)
                hooks_->testSet(*this);
            break;
        case kCmdDebugOn:
            if (ds.debugMode) {
                ds.debugMode = 0;
            } else {
                ds.debugMode = 1;
                ds.hideMode = 0;
            }
            applyViewMode();
            break;
        case kCmdDebugHide:
            if (ds.hideMode) {
                ds.hideMode = 0;
                ds.debugMode = 1;
            } else {
                ds.hideMode = 1;
                ds.debugMode = 0;
            }
            applyViewMode();
            break;
        case kCmdLogEnabled:
            ds.logMode = ds.logMode ? 0 : 1;
            setItemChecked(2, kCmdLogEnabled, ds.logMode != 0);
            config::writeSetting(settingsFileName().c_str(), kSectionName, "LogMode",
                                 ds.logMode ? "1" : "0");
            break;
        default:
            break;
    }
}

std::string MainWindow::settingsFileName() const {
    char name[32];
    std::snprintf(name, sizeof name, "dev_%03d.ini", deviceNumber_);
    return name;
}

void MainWindow::setItemChecked(int position, int id, bool checked) {
    QMenu* menu = popup(position);
    if (!menu)
        return;
    for (QAction* action : menu->actions()) {
        if (action->data().toInt() == id)
            action->setChecked(checked);
    }
}

void MainWindow::applyViewMode() {
    const auto& ds = config::deviceSettings();
    setItemChecked(1, kCmdDebugOn, ds.debugMode != 0);
    config::writeSetting(settingsFileName().c_str(), kSectionName, "DebugMode",
                         ds.debugMode ? "1" : "0");

    std::uint32_t style = style_;
    if (ds.hideMode) {
        setMaximumSize(kWindowWidth, panelHeight_ + 42);
        resize(kWindowWidth, panelHeight_ + 42);
        setItemChecked(1, kCmdDebugHide, true);
        style &= ~(WS_THICKFRAME | WS_MAXIMIZEBOX);
    } else {
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        resize(kWindowWidth, kWindowHeight);
        setItemChecked(1, kCmdDebugHide, false);
        style |= WS_THICKFRAME | WS_MAXIMIZEBOX;
    }
    style_ = style;
    setResizableFrame((style_ & WS_THICKFRAME) != 0);
}

void MainWindow::setResizableFrame(bool resizable) {
    // Without a sizing border the window keeps its size (maximum = current) and has no maximise
    // button.
    const Qt::WindowFlags current = windowFlags();
    Qt::WindowFlags wanted = current;
    wanted.setFlag(Qt::WindowMaximizeButtonHint, resizable);
    if (wanted == current)
        return;
    const bool wasVisible = isVisible();
    const Qt::WindowStates state = windowState();
    setWindowFlags(wanted);  // hides a visible window
    if (wasVisible) {
        setWindowState(state);
        show();
    }
}

void MainWindow::setStatusText(const char* text) {
    if (panel_)
        panel_->setControlText(StatusPanel::kStatusText, text);
}

void MainWindow::refreshCounters() {
    if (panel_)
        panel_->refreshCounters();
}

void MainWindow::resetWidthRing() {
    if (log_)
        log_->resetWidthRing();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The close box ends the process as File > Exit does.
    event->ignore();
    requestExit();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == client_ && event->type() == QEvent::Resize && hwnd_ && !destroying_) {
        const QSize s = static_cast<QResizeEvent*>(event)->size();
        const auto packed = static_cast<platform::LPARAM>(
            (static_cast<std::uint32_t>(s.height() & 0xFFFF) << 16) | (s.width() & 0xFFFF));
        platform::sendMessage(hwnd_, platform::WM_SIZE, 0, packed);
    }
    return QMainWindow::eventFilter(watched, event);
}

}  // namespace app
