// The main window on the offscreen platform: creation, menu, view modes, layout, commands.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <vector>

#include "app/about_box.h"
#include "config/settings.h"
#include "qt_env.h"
#include "test_prefix.h"

using app::MainWindow;
using testing_support::readFile;
using testing_support::TestPrefix;
using testing_support::writeFile;

namespace {

struct RecordingHooks : app::DriverHooks {
    std::vector<std::string> calls;
    void startup(app::Shell& shell) override {
        calls.push_back("startup");
        DriverHooks::startup(shell);
    }
    void shutdown(app::Shell&) override { calls.push_back("shutdown"); }
    void testSet(app::Shell&) override { calls.push_back("testSet"); }
    void onTimer(app::Shell&, unsigned id) override {
        calls.push_back("timer " + std::to_string(id));
    }
    void onCommNotify(app::Shell&, platform::LPARAM l) override {
        calls.push_back("comm " + std::to_string(l));
    }
};

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { config::deviceSettings() = {}; }
    void TearDown() override { finish(); }

    // Destroys the window as File > Exit does and runs the loop until the quit message it posts,
    // as the program does (a quit left pending would end the next modal loop at once).
    void finish() {
        if (!window)
            return;
        window->requestExit();
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { platform::postQuitMessage(-7); });
        guard.start(5000);
        EXPECT_EQ(platform::runMessageLoop(), 0);
        window.reset();
    }

    void start(const std::string& settings = {}) {
        if (!settings.empty())
            writeFile(prefix.windowsDir() + "/DEV_007.ini", settings);
        window = std::make_unique<MainWindow>(7, &hooks);
        ASSERT_TRUE(window->create());
    }
    std::string settingsFile() const { return readFile(prefix.windowsDir() + "/DEV_007.ini"); }
    bool checked(int id) const { return window->menuAction(id)->isChecked(); }
    void command(int id) {
        platform::sendMessage(window->mainWindow(), platform::WM_COMMAND,
                              static_cast<platform::WPARAM>(id), 0);
    }
    int hiddenHeight() const { return window->panelHeight() + 42; }

    testing_support::QtGuiAppGuard qt;
    TestPrefix prefix;
    RecordingHooks hooks;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, CreationBuildsPanelListAndSettingsAndRunsStartup) {
    start();
    EXPECT_EQ(window->windowTitle(), "KELP Camlet32 Application with Debug window - Device 7");
    EXPECT_EQ(app::windowTitleFor(70000),
              "KELP Camlet32 Application with Debug window - Device 70000");
    EXPECT_EQ(window->size(), QSize(640, 640));
    EXPECT_EQ(window->panelHeight(), window->statusPanel()->height() + 10);
    EXPECT_EQ(window->minimumSize(), QSize(640, hiddenHeight()));
    EXPECT_EQ(window->listBox()->objectName(), "100");
    EXPECT_EQ(window->listBox()->y(), window->panelHeight());
    EXPECT_EQ(window->styleWord(), 0xF0000u);
    EXPECT_EQ(platform::windowClassName(window->mainWindow()), "CLASS_CAMLET32");

    window->flushView();
    EXPECT_EQ(window->statusPanel()->controlText(2001), "Initialising");
    EXPECT_EQ(window->statusPanel()->controlText(2005), "COM1 9600,8,1,N");
    EXPECT_EQ(hooks.calls, std::vector<std::string>{"startup"});

    const std::string ini = settingsFile();
    EXPECT_EQ(ini.substr(0, ini.find_first_of("\r\n")), "[Camlet32]");
    std::size_t pos = 0;
    for (const char* key : {"DebugMode=1", "LogMode=0", "Port=1", "Speed=9600", "DataBits=8",
                            "StopBits=1", "Parity=N"}) {
        const std::size_t at = ini.find(key, pos);
        ASSERT_NE(at, std::string::npos) << key << " in order in:\n" << ini;
        pos = at;
    }
}

TEST_F(MainWindowTest, MenuTextsIdsPositionsAndInitialChecks) {
    start();
    QList<QAction*> top = window->menuBar()->actions();
    // Help is right-aligned: a separator of the bar stands before it, and Help ends at the
    // bar's right edge.
    ASSERT_EQ(top.size(), 6);
    EXPECT_TRUE(top[4]->isSeparator());
    top.removeAt(4);
    window->show();
    window->menuBar()->adjustSize();
    const QRect helpRect = window->menuBar()->actionGeometry(top[4]);
    EXPECT_GT(helpRect.left(), window->menuBar()->actionGeometry(top[3]).right() + 100);
    EXPECT_GE(helpRect.right(), window->menuBar()->width() - 10);
    const QStringList titles{"&File", "D&ebug", "L&og", "Test", "&Help"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(top[i]->text(), titles[i]);
        EXPECT_EQ(top[i]->menu(), window->popup(i));
    }
    auto items = [&](int pos) {
        QStringList out;
        for (QAction* a : window->popup(pos)->actions())
            out << (a->isSeparator() ? QString("-") : a->text() + "=" + a->data().toString());
        return out;
    };
    EXPECT_EQ(items(0), QStringList{"E&xit=105"});
    EXPECT_EQ(items(1), (QStringList{"On=32773", "Hide=32775", "-", "Clear=32771"}));
    EXPECT_EQ(items(2), QStringList{"Enabled=32776"});
    EXPECT_EQ(items(3), QStringList{"Set=32772"});
    EXPECT_EQ(items(4), QStringList{"&About ...=104"});

    EXPECT_TRUE(checked(32773));
    EXPECT_FALSE(checked(32775));
    EXPECT_FALSE(checked(32776));

    QStringList keys;
    for (QShortcut* s : window->findChildren<QShortcut*>())
        keys << s->key().toString();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{"F1", "F10"}));
}

TEST_F(MainWindowTest, ViewModeTransitionsSetChecksSizeFrameAndPersistDebugMode) {
    start();
    auto expectMode = [&](int debug, int hide, const char* what) {
        SCOPED_TRACE(what);
        const auto& ds = config::deviceSettings();
        EXPECT_EQ(ds.debugMode != 0, debug != 0);
        EXPECT_EQ(ds.hideMode, hide);
        EXPECT_EQ(checked(32773), debug != 0);
        EXPECT_EQ(checked(32775), hide != 0);
        EXPECT_NE(settingsFile().find(debug ? "DebugMode=1" : "DebugMode=0"), std::string::npos);
        if (hide) {
            EXPECT_EQ(window->size(), QSize(640, hiddenHeight()));
            EXPECT_EQ(window->styleWord() & 0x50000u, 0u);
            EXPECT_EQ(window->maximumSize(), window->size());
            EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        } else {
            EXPECT_EQ(window->size(), QSize(640, 640));
            EXPECT_EQ(window->styleWord() & 0x50000u, 0x50000u);
            EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        }
    };
    expectMode(1, 0, "normal at start");
    command(32773);
    expectMode(0, 0, "normal -> On -> quiet");
    command(32773);
    expectMode(1, 0, "quiet -> On -> normal");
    command(32773);
    command(32775);
    expectMode(0, 1, "quiet -> Hide -> hidden");
    command(32773);
    expectMode(1, 0, "hidden -> On -> normal");
    command(32775);
    expectMode(0, 1, "normal -> Hide -> hidden");
    command(32775);
    expectMode(1, 0, "hidden -> Hide -> normal");
}

TEST_F(MainWindowTest, QuietModeKeepsSizeShowsNoLinesAndNextStartIsHidden) {
    start();
    app::logLine("before");
    command(32773);
    app::logLine("after");
    window->flushView();
    EXPECT_EQ(window->listBox()->count(), 1);
    EXPECT_EQ(window->size(), QSize(640, 640));
    finish();
    config::deviceSettings() = {};

    start();
    EXPECT_EQ(config::deviceSettings().hideMode, 1);
    EXPECT_EQ(window->size(), QSize(640, hiddenHeight()));
    EXPECT_TRUE(checked(32775));
    EXPECT_FALSE(checked(32773));
}

TEST_F(MainWindowTest, StoredDebugModeZeroStartsHiddenWithoutLines) {
    start("[Camlet32]\nDebugMode=0\n");
    EXPECT_EQ(window->size(), QSize(640, hiddenHeight()));
    EXPECT_EQ(window->styleWord(), 0xA0000u);
    EXPECT_TRUE(checked(32775));
    EXPECT_FALSE(checked(32773));
    app::logLine("not shown");
    window->flushView();
    EXPECT_EQ(window->listBox()->count(), 0);
}

TEST_F(MainWindowTest, LogToggleChecksAndPersists) {
    start("[Camlet32]\nLogMode=1\n");
    EXPECT_TRUE(checked(32776));
    command(32776);
    EXPECT_FALSE(checked(32776));
    EXPECT_EQ(config::deviceSettings().logMode, 0);
    EXPECT_NE(settingsFile().find("LogMode=0"), std::string::npos);
    command(32776);
    EXPECT_TRUE(checked(32776));
    EXPECT_NE(settingsFile().find("LogMode=1"), std::string::npos);
}

TEST_F(MainWindowTest, WindowCannotShrinkBelowMinimumTrackSize) {
    start();
    window->show();
    window->resize(100, 10);
    EXPECT_EQ(window->size(), QSize(640, hiddenHeight()));
    window->resize(900, 700);
    EXPECT_EQ(window->size(), QSize(900, 700));
}

TEST_F(MainWindowTest, ResizeLaysOutPanelAboveListWithTwoPixelGap) {
    start();
    window->show();
    window->resize(800, 600);
    QApplication::processEvents();
    QWidget* client = window->centralWidget();
    const int panelHeight = window->statusPanel()->height();
    EXPECT_EQ(window->statusPanel()->geometry(), QRect(0, 0, client->width(), panelHeight));
    EXPECT_EQ(window->listBox()->geometry(),
              QRect(0, panelHeight + 2, client->width(), client->height() - panelHeight - 2));
}

TEST_F(MainWindowTest, CommandsTimersAndNotificationsReachTheHooks) {
    start();
    app::logLine("x");
    window->flushView();
    EXPECT_EQ(window->listBox()->count(), 1);
    command(32771);
    window->flushView();
    EXPECT_EQ(window->listBox()->count(), 0);
    command(32772);
    command(32772);
    command(4711);  // no such command: default processing
    const platform::HWND hwnd = window->mainWindow();
    platform::sendMessage(hwnd, platform::WM_COMMNOTIFY, 0, 0x1234);
    // The high word of wParam (notification code) does not change the command.
    platform::sendMessage(hwnd, platform::WM_COMMAND, (1u << 16) | 32772u, 0);
    platform::setTimer(hwnd, 4, 20);
    QElapsedTimer t;
    t.start();
    while (std::find(hooks.calls.begin(), hooks.calls.end(), "timer 4") == hooks.calls.end() &&
           t.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    platform::killTimer(hwnd, 4);
    ASSERT_GE(hooks.calls.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(hooks.calls.begin(), hooks.calls.begin() + 6),
              (std::vector<std::string>{"startup", "testSet", "testSet", "comm 4660", "testSet",
                                        "timer 4"}));
}

TEST_F(MainWindowTest, ExitCommandDestroysWindowAndRunsShutdownOnce) {
    start();
    const platform::HWND hwnd = window->mainWindow();
    command(105);
    EXPECT_FALSE(platform::isWindow(hwnd));
    EXPECT_FALSE(window->isVisible());
    window->requestExit();
    platform::sendMessage(hwnd, platform::WM_COMMAND, 32772, 0);
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"startup", "shutdown"}));
}

TEST_F(MainWindowTest, CloseBoxEndsLikeExit) {
    start();
    window->show();
    const platform::HWND hwnd = window->mainWindow();
    window->close();
    EXPECT_FALSE(platform::isWindow(hwnd));
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"startup", "shutdown"}));
}

TEST_F(MainWindowTest, AboutCommandRunsTheBoxModally) {
    start();
    QString seen;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<app::AboutBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen = box->versionText();
        box->reject();
    });
    QTimer guard;  // never hang the suite: end any box still open after 5 s
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        for (auto* box : QApplication::topLevelWidgets())
            if (auto* about = qobject_cast<app::AboutBox*>(box))
                about->done(99);
    });
    guard.start(5000);
    command(104);
    EXPECT_EQ(seen, "Version 1.03  (1, 3, 0, 0)");
}

}  // namespace

namespace {

TEST_F(MainWindowTest, MenuItemsChosenByTheUserLeaveChecksAsTheModesSay) {
    // A checkable item flips its own mark when chosen; the command must still decide the mark.
    start();
    window->menuAction(32775)->trigger();
    EXPECT_TRUE(checked(32775));
    EXPECT_FALSE(checked(32773));
    EXPECT_EQ(config::deviceSettings().hideMode, 1);
    window->menuAction(32773)->trigger();
    EXPECT_TRUE(checked(32773));
    EXPECT_FALSE(checked(32775));
    window->menuAction(32773)->trigger();
    EXPECT_FALSE(checked(32773));
    EXPECT_FALSE(checked(32775));
    window->menuAction(32776)->trigger();
    EXPECT_TRUE(checked(32776));
    EXPECT_EQ(config::deviceSettings().logMode, 1);
    EXPECT_NE(settingsFile().find("LogMode=1"), std::string::npos);
}

}  // namespace

namespace {

// The widgets follow the model on their timer only while the window can be seen.
TEST_F(MainWindowTest, WidgetsFollowTheModelOnlyWhileTheWindowIsSeen) {
    start();
    window->setHeadless(false);
    window->showNormal();
    QApplication::processEvents();
    auto waitFor = [](auto done) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < 5000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        return done();
    };
    app::logLine("seen");
    window->setStatusText("Connected OK");
    EXPECT_TRUE(waitFor([&] { return window->listBox()->count() == 1; }));
    EXPECT_EQ(window->statusPanel()->controlText(2001), "Connected OK");

    window->showMinimized();
    QApplication::processEvents();
    for (int i = 0; i < 700; ++i)
        app::logLine("while minimised %d", i);
    window->setStatusText("Error Status");
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    EXPECT_EQ(window->listBox()->count(), 1) << "nothing reaches a minimised window";
    EXPECT_EQ(window->statusPanel()->controlText(2001), "Connected OK");

    window->showNormal();
    QApplication::processEvents();
    ASSERT_EQ(window->listBox()->count(), 501) << "restored, it shows the last 501 lines at once";
    EXPECT_EQ(window->listBox()->item(0)->text(), "while minimised 199");
    EXPECT_EQ(window->listBox()->item(500)->text(), "while minimised 699");
    EXPECT_EQ(window->statusPanel()->controlText(2001), "Error Status");
}

TEST_F(MainWindowTest, HeadlessWindowIsNeverUpdatedOnItsOwn) {
    start();
    window->showNormal();
    app::logLine("headless");
    window->setStatusText("Connected OK");
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    EXPECT_EQ(window->listBox()->count(), 0);
    EXPECT_EQ(window->statusPanel()->controlText(2001), "");
    window->flushView();
    EXPECT_EQ(window->listBox()->count(), 1);
    EXPECT_EQ(window->statusPanel()->controlText(2001), "Connected OK");
}

}  // namespace
