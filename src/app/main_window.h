// The driver's one top-level window: menu, status panel above the debug list box.
//
// Every message of the window goes through one window procedure registered on the message bus
// (platform::createWindow), so other processes of the prefix can send it WM_COMMAND like the
// menu does. Qt events (menu, accelerators, resizing, the close box) are turned into those
// messages; the procedure does the work.
#pragma once

#include <QMainWindow>
#include <QShortcut>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "app/debug_log.h"
#include "app/driver_hooks.h"
#include "app/shell.h"
#include "app/status_panel.h"
#include "platform/window.h"

class QAction;
class QMenu;

namespace app {

// Texts of the string table.
inline constexpr char kWindowTitleFormat[] =
    "KELP Camlet32 Application with Debug window - Device %d";
inline constexpr char kClassName[] = "CLASS_CAMLET32";
inline constexpr char kSectionName[] = "Camlet32";

// Menu and accelerator command ids.
inline constexpr int kCmdAbout = 104;
inline constexpr int kCmdExit = 105;
inline constexpr int kCmdDebugClear = 32771;
inline constexpr int kCmdTestSet = 32772;
inline constexpr int kCmdDebugOn = 32773;
inline constexpr int kCmdDebugHide = 32775;
inline constexpr int kCmdLogEnabled = 32776;

// Window style bits kept in the style word (only these matter to the driver).
inline constexpr std::uint32_t WS_MAXIMIZEBOX = 0x10000;
inline constexpr std::uint32_t WS_MINIMIZEBOX = 0x20000;
inline constexpr std::uint32_t WS_THICKFRAME = 0x40000;
inline constexpr std::uint32_t WS_SYSMENU = 0x80000;

inline constexpr int kWindowWidth = 640;
inline constexpr int kWindowHeight = 640;
inline constexpr int kListBoxId = 100;

// The window title (also the name of the single-instance lock) for a device number.
std::string windowTitleFor(int deviceNumber);

class MainWindow : public QMainWindow, public Shell {
    Q_OBJECT
  public:
    // `hooks` may be null (no driver); it must outlive the window's destruction message.
    MainWindow(int deviceNumber, DriverHooks* hooks);
    ~MainWindow() override;

    // Registers the window procedure on the bus; WM_CREATE runs inside. False when the window
    // could not be created.
    bool create();
    // Ends the process as File > Exit does: destroys the window (WM_DESTROY, shutdown, quit).
    // Used by the close box and the termination signals.
    void requestExit();

    platform::LRESULT windowProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                 platform::LPARAM lParam);
    // Applies debugMode/hideMode to the menu, the settings file and the window frame.
    void applyViewMode();

    // Shell
    platform::HWND mainWindow() const override { return hwnd_; }
    int deviceNumber() const override { return deviceNumber_; }
    void setStatusText(const char* text) override;
    void refreshCounters() override;
    void resetWidthRing() override;

    StatusPanel* statusPanel() const { return panel_; }
    LogListWidget* listBox() const { return list_; }
    DebugLog* debugLog() const { return log_.get(); }
    int panelHeight() const { return panelHeight_; }
    std::uint32_t styleWord() const { return style_; }
    // The menu item of a command id; null when there is none.
    QAction* menuAction(int id) const;
    // The popup at a menu bar position (0 File .. 4 Help).
    QMenu* popup(int position) const;
    QSize minimumTrackSize() const;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildMenu();
    void sendCommand(int id);
    void onCreate(platform::HWND hwnd);
    void onDestroy();
    void onSize();
    void onCommand(int id);
    void setItemChecked(int position, int id, bool checked);
    void setResizableFrame(bool resizable);
    std::string settingsFileName() const;

    int deviceNumber_;
    DriverHooks* hooks_;
    platform::HWND hwnd_ = 0;
    bool destroying_ = false;
    QWidget* client_ = nullptr;
    StatusPanel* panel_ = nullptr;
    LogListWidget* list_ = nullptr;
    std::unique_ptr<DebugLog> log_;
    int panelHeight_ = 0;
    std::uint32_t style_ = WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    std::map<int, QAction*> actions_;
    std::map<int, QMenu*> popups_;
    QShortcut* f1_ = nullptr;
    QShortcut* f10_ = nullptr;
};

}  // namespace app
