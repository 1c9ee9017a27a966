#include "app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QProxyStyle>
#include <QResizeEvent>
#include <QShowEvent>
#include <cstdio>

#include "app/about_box.h"
#include "app/icons.h"
#include "config/settings.h"
#include "platform/message_box.h"

namespace app {

namespace {
// The widgets follow the model at most this often.
constexpr int kRefreshMs = 100;

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

MainWindow::MainWindow(int deviceNumber, DriverHooks* hooks)
    : ModelShell(deviceNumber), hooks_(hooks) {
    setObjectName("mainWindow");
    headless_ = platform::runningOffscreen();
    refresh_.setSingleShot(true);
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, [this] {
        if (seen())
            flushView();
    });
    model_.setChangeListener([this] { scheduleRefresh(); });
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
    if (DebugLog::active() == &log_)
        DebugLog::setActive(nullptr);
    model_.setChangeListener({});
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
    return QSize(kWindowWidth, model_.minimumTrackHeight());
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
            // The procedure acts on system messages only: no broadcast of the control system is
            // for it, not even while the start-up below connects to the infodriver.
            platform::setHandledMessages(hwnd, {});
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
        case platform::WM_COMMAND:
            if (model_.command(wParam, *this))
                return 0;
            return platform::defWindowProc(hwnd, msg, wParam, lParam);
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
    model_.setPanelHeight(panel_->height() + 10);
    const int panelHeight = model_.panelHeight();

    // The client area: the window less its menu bar (the central widget is laid out only once
    // the window is shown).
    const int clientWidth = width();
    const int clientHeight = std::max(0, height() - menuBar()->sizeHint().height());

    list_ = new LogListWidget(client_);
    list_->setObjectName(QString::number(kListBoxId));
    list_->setGeometry(0, panelHeight, clientWidth, std::max(0, clientHeight - panelHeight));
    list_->show();
    model_.setMeasure([list = list_](std::string_view text) { return list->measure(text); });
    log_.setEchoToStdout(headless_);
    DebugLog::setActive(&log_);

    setMinimumSize(minimumTrackSize());

    config::loadDeviceSettings(deviceNumber(), kSectionName);
    const auto& ds = config::deviceSettings();
    model_.showSerialSettings(ds.portNumber, static_cast<long>(ds.speed), ds.dataBits,
                              ds.stopBitsCode, ds.parityCode);

    applyViewMode();

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

void MainWindow::showAboutBox() {
    AboutBox box(this);
    box.exec();
}

void MainWindow::destroyWindow() {
    platform::destroyWindow(hwnd_);
}

void MainWindow::testSet() {
    if (hooks_)
        hooks_->testSet(*this);
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

void MainWindow::showMenuChecks() {
    const MenuChecks checks = model_.menuChecks();
    setItemChecked(kPopupDebug, kCmdDebugOn, checks.debugOn);
    setItemChecked(kPopupDebug, kCmdDebugHide, checks.debugHide);
    setItemChecked(kPopupLog, kCmdLogEnabled, checks.logEnabled);
}

void MainWindow::applyViewMode() {
    model_.applyViewMode();
    showMenuChecks();
    const WindowFrame& frame = model_.frame();
    if (frame.resizable())
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    else
        setMaximumSize(frame.width, frame.height);
    resize(frame.width, frame.height);
    setResizableFrame(frame.resizable());
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

bool MainWindow::seen() const {
    return !headless_ && isVisible() && !isMinimized();
}

void MainWindow::scheduleRefresh() {
    if (seen() && !refresh_.isActive())
        refresh_.start();
}

void MainWindow::flushView() {
    const ViewChanges changes = model_.takeChanges();
    if (changes.panel && panel_)
        panel_->showFrom(model_);
    if ((changes.lines || changes.scrollLeft) && list_)
        list_->follow(model_, changes.scrollLeft);
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Restored from minimised: show what happened meanwhile at once.
    if (event->type() == QEvent::WindowStateChange && seen() && model_.changed())
        flushView();
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (seen() && model_.changed())
        flushView();
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
