// The native main window with its real controls (under Wine in the Windows build): what the
// user sees of the panel and the list, the view modes' frames and check marks, the minimum
// track size, and commands that reach the driver's hooks.
#include "app/win32/main_window_win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/debug_log.h"
#include "app/win32/resource.h"
#include "config/settings.h"

namespace app::win32 {
namespace {

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
        window_ = std::make_unique<NativeMainWindow>(GetModuleHandleA(nullptr), device_, &hooks_);
        EXPECT_TRUE(window_->create("test window", "CLASS_CAMLET32_TEST"));
        return *window_;
    }
    std::string controlText(HWND panel, int id) {
        char text[256] = {};
        GetDlgItemTextA(panel, id, text, sizeof text);
        return text;
    }
    SIZE windowSize() {
        RECT r{};
        GetWindowRect(window_->nativeWindow(), &r);
        return {r.right - r.left, r.bottom - r.top};
    }
    bool checked(int position, int id) {
        HMENU popup = GetSubMenu(GetMenu(window_->nativeWindow()), position);
        return (GetMenuState(popup, static_cast<UINT>(id), MF_BYCOMMAND) & MF_CHECKED) != 0;
    }
    void command(int id) { SendMessageA(window_->nativeWindow(), WM_COMMAND, id, 0); }

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
    HWND panel = w.statusPanel();
    EXPECT_EQ(controlText(panel, IDC_INFO_RX), "00000000");
    EXPECT_EQ(controlText(panel, IDC_SERIAL_TX), "00000000");
    w.setStatusText("Connected OK");
    w.flush();
    EXPECT_EQ(controlText(panel, IDC_STATUS_TEXT), "Connected OK");
    EXPECT_EQ(controlText(panel, IDC_SETTINGS_TEXT), "COM3 19200,7,2,E");
    EXPECT_EQ(controlText(panel, IDC_TYPE_TEXT), "");
}

TEST_F(NativeMainWindowTest, ListKeeps501LinesWithTheNewestLast) {
    writeSettings("DebugMode=1\r\n");
    NativeMainWindow& w = open();
    for (int i = 0; i < 600; ++i)
        logLine("line %d", i);
    w.flush();
    HWND list = w.listBox();
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
    EXPECT_EQ(GetWindowLongA(w.nativeWindow(), GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_TRUE(checked(1, IDC_DEBUG_HIDE));
    EXPECT_FALSE(checked(1, IDC_DEBUG_ON));
    EXPECT_TRUE(checked(2, IDC_LOG_ENABLED));

    command(IDC_DEBUG_HIDE);  // hidden -> normal
    EXPECT_EQ(windowSize().cx, 640);
    EXPECT_EQ(windowSize().cy, 640);
    EXPECT_NE(GetWindowLongA(w.nativeWindow(), GWL_STYLE) & WS_THICKFRAME, 0);
    EXPECT_TRUE(checked(1, IDC_DEBUG_ON));
    EXPECT_FALSE(checked(1, IDC_DEBUG_HIDE));

    command(IDC_LOG_ENABLED);
    EXPECT_FALSE(checked(2, IDC_LOG_ENABLED));
}

TEST_F(NativeMainWindowTest, MinimumTrackSizeAndCommandsReachTheDriver) {
    writeSettings("DebugMode=1\r\n");
    NativeMainWindow& w = open();
    MINMAXINFO info{};
    SendMessageA(w.nativeWindow(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 640);
    EXPECT_EQ(info.ptMinTrackSize.y, w.model().panelHeight() + 42);

    command(IDC_TEST_SET);
    EXPECT_EQ(hooks_.testSets, 1);
    // An id the window does not know changes nothing.
    command(40000);
    EXPECT_EQ(hooks_.testSets, 1);
    command(IDC_EXIT);
    EXPECT_EQ(hooks_.shutdowns, 1);
    EXPECT_FALSE(IsWindow(w.nativeWindow()));
}

}  // namespace
}  // namespace app::win32
