// The native main window with its real controls (under Wine in the Windows build): what the
// user sees of the panel and the list, the view modes' frames and check marks, the minimum
// track size, and commands that reach the driver's hooks.
#include "app/win32/main_window_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/debug_log.h"
#include "app/win32/resource.h"
#include "config/settings.h"
#include "platform/win32/window_win32.h"

namespace app::win32 {
namespace {

// What a thread timer saw of the modal About box before it closed it with Escape.
struct AboutSeen {
    bool found = false;
    std::string version;
    std::string stamp;
};
AboutSeen aboutSeen;

void CALLBACK closeAboutBox(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND box = FindWindowA(MAKEINTATOM(32770), "About");
    if (!box)
        return;
    KillTimer(nullptr, timer);
    char text[256] = {};
    GetDlgItemTextA(box, IDC_VERSION_TEXT, text, sizeof text);
    aboutSeen = {true, text, {}};
    GetDlgItemTextA(box, IDC_BUILD_STAMP, text, sizeof text);
    aboutSeen.stamp = text;
    PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
}

// Ends a message loop that would otherwise wait for ever.
void CALLBACK giveUp(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    PostQuitMessage(99);
}

struct RecordingHooks : DriverHooks {
    int testSets = 0;
    int shutdowns = 0;
    void testSet(Shell&) override { ++testSets; }
    void shutdown(Shell&) override { ++shutdowns; }
};

class NativeMainWindowTest : public ::testing::Test {
  protected:
    // Each test its own device number, so no settings file is shared.
    void writeSettings(const std::string& lines) {
        file_ = config::resolveConfigPaths() + "/" + config::deviceSettingsFileName(device_);
        FILE* f = std::fopen(file_.c_str(), "wb");
        ASSERT_NE(f, nullptr) << file_;
        std::fputs(("[Camlet32]\r\n" + lines).c_str(), f);
        std::fclose(f);
    }
    void TearDown() override {
        window_.reset();
        if (!file_.empty())
            std::remove(file_.c_str());
    }
    NativeMainWindow& open() {
        // The quit message of an earlier test's window would end the next loop at once.
        MSG quit;
        while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        window_ = std::make_unique<NativeMainWindow>(device_, &hooks_);
        EXPECT_TRUE(window_->create("test window", "CLASS_CAMLET32_TEST"));
        return *window_;
    }
    HWND frame() const { return platform::win32::toNative(window_->mainWindow()); }
    std::string controlText(int id) {
        char text[256] = {};
        GetDlgItemTextA(platform::win32::toNative(window_->statusPanel()), id, text, sizeof text);
        return text;
    }
    SIZE windowSize() {
        RECT r{};
        GetWindowRect(frame(), &r);
        return {r.right - r.left, r.bottom - r.top};
    }
    bool checked(int position, int id) {
        HMENU popup = GetSubMenu(GetMenu(frame()), position);
        return (GetMenuState(popup, static_cast<UINT>(id), MF_BYCOMMAND) & MF_CHECKED) != 0;
    }
    void command(int id) { SendMessageA(frame(), WM_COMMAND, id, 0); }

    static inline int nextDevice_ = 9100;
    int device_ = nextDevice_++;
    RecordingHooks hooks_;
    std::unique_ptr<NativeMainWindow> window_;
    std::string file_;
};

TEST_F(NativeMainWindowTest, PanelShowsTheTemplateThenTheModelsTexts) {
    writeSettings(
        "DebugMode=1\r\nPort=3\r\nSpeed=19200\r\nDataBits=7\r\nStopBits=2\r\nParity=E\r\n");
    NativeMainWindow& w = open();
    EXPECT_EQ(controlText(IDC_INFO_RX), "00000000");
    EXPECT_EQ(controlText(IDC_SERIAL_TX), "00000000");
    w.setStatusText("Connected OK");
    w.flush();
    EXPECT_EQ(controlText(IDC_STATUS_TEXT), "Connected OK");
    EXPECT_EQ(controlText(IDC_SETTINGS_TEXT), "COM3 19200,7,2,E");
    EXPECT_EQ(controlText(IDC_TYPE_TEXT), "");
}

TEST_F(NativeMainWindowTest, ListKeeps501LinesWithTheNewestLast) {
    writeSettings("DebugMode=1\r\n");
    NativeMainWindow& w = open();
    for (int i = 0; i < 600; ++i)
        logLine("line %d", i);
    w.flush();
    HWND list = platform::win32::toNative(w.listBox());
    ASSERT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 501);
    char text[64] = {};
    SendMessageA(list, LB_GETTEXT, 500, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "line 599");
    SendMessageA(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "line 99");
    EXPECT_GT(SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0), 0);

    // Clear empties the list; later lines start a new one.
    command(IDC_DEBUG_CLEAR);
    logLine("after clear");
    w.flush();
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 1);
}

TEST_F(NativeMainWindowTest, StoredQuietModeComesUpHiddenAndHideTwiceRestoresNormal) {
    writeSettings("DebugMode=0\r\nLogMode=1\r\n");
    NativeMainWindow& w = open();
    const int hiddenHeight = w.model().panelHeight() + 42;
    EXPECT_GT(w.model().panelHeight(), 10);
    EXPECT_EQ(windowSize().cx, 640);
    EXPECT_EQ(windowSize().cy, hiddenHeight);
    EXPECT_EQ(GetWindowLongA(frame(), GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_TRUE(checked(1, IDC_DEBUG_HIDE));
    EXPECT_FALSE(checked(1, IDC_DEBUG_ON));
    EXPECT_TRUE(checked(2, IDC_LOG_ENABLED));

    command(IDC_DEBUG_HIDE);  // hidden -> normal
    EXPECT_EQ(windowSize().cx, 640);
    EXPECT_EQ(windowSize().cy, 640);
    EXPECT_NE(GetWindowLongA(frame(), GWL_STYLE) & WS_THICKFRAME, 0);
    EXPECT_TRUE(checked(1, IDC_DEBUG_ON));
    EXPECT_FALSE(checked(1, IDC_DEBUG_HIDE));

    command(IDC_LOG_ENABLED);
    EXPECT_FALSE(checked(2, IDC_LOG_ENABLED));
}

TEST_F(NativeMainWindowTest, MinimumTrackSizeAndCommandsReachTheDriver) {
    writeSettings("DebugMode=1\r\n");
    NativeMainWindow& w = open();
    MINMAXINFO info{};
    SendMessageA(frame(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 640);
    EXPECT_EQ(info.ptMinTrackSize.y, w.model().panelHeight() + 42);

    command(IDC_TEST_SET);
    EXPECT_EQ(hooks_.testSets, 1);
    // An id the window does not know changes nothing.
    command(40000);
    EXPECT_EQ(hooks_.testSets, 1);
    command(IDC_EXIT);
    EXPECT_EQ(hooks_.shutdowns, 1);
    EXPECT_FALSE(IsWindow(frame()));
}

TEST_F(NativeMainWindowTest, AboutBoxShowsTheProgramsVersionRecordAndEscapeClosesIt) {
    writeSettings("DebugMode=1\r\n");
    open();
    aboutSeen = {};
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, closeAboutBox);
    command(IDC_ABOUT);  // returns once the box is closed
    KillTimer(nullptr, timer);
    ASSERT_TRUE(aboutSeen.found);
    EXPECT_EQ(aboutSeen.version, "Version 1.03  (1, 3, 0, 0)");
    EXPECT_EQ(aboutSeen.stamp.size(), std::string("Dec 09 2026 - 03:26:15").size())
        << aboutSeen.stamp;
    EXPECT_EQ(FindWindowA(MAKEINTATOM(32770), "About"), nullptr);
    EXPECT_TRUE(IsWindow(frame()));
}

TEST_F(NativeMainWindowTest, MessageLoopRunsTheAcceleratorsF10Exits) {
    writeSettings("DebugMode=1\r\n");
    NativeMainWindow& w = open();
    const UINT_PTR timer = SetTimer(nullptr, 0, 30000, giveUp);
    PostMessageA(frame(), WM_KEYDOWN, VK_F10, 0);
    EXPECT_EQ(w.runMessageLoop(), 0);
    KillTimer(nullptr, timer);
    EXPECT_EQ(hooks_.shutdowns, 1);
    EXPECT_FALSE(IsWindow(frame()));
}

}  // namespace
}  // namespace app::win32
