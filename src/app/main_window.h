// The driver's one top-level window (the Qt view): menu, status panel above the debug list box.
//
// What it shows lives in a ViewModel (view_model.h). The widgets follow the model on a 100 ms
// timer, and only while the window can be seen: headless (offscreen) or minimised nothing is
// painted, and a window that is restored or shown catches up at once. flushView brings the
// widgets up to date whenever asked (tests).
//
// Every message of the window goes through one window procedure registered on the message bus
// (platform::createWindow), so other processes of the prefix can send it WM_COMMAND like the
// menu does. Qt events (menu, accelerators, resizing, the close box) are turned into those
// messages; the procedure does the work.
#pragma once

#include <QMainWindow>
#include <QShortcut>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "app/debug_log.h"
#include "app/driver_hooks.h"
#include "app/log_list_widget.h"
#include "app/shell.h"
#include "app/status_panel.h"
#include "app/view_model.h"
#include "platform/window.h"

class QAction;
class QMenu;

namespace app {

class MainWindow : public QMainWindow, public ModelShell, private CommandView {
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
    void applyViewMode() override;

    // Shell
    platform::HWND mainWindow() const override { return hwnd_; }

    // Brings the panel and the list up to date with the model now, seen or not.
    void flushView();
    // Headless (the default when running offscreen), the widgets follow the model only when
    // flushView is called.
    void setHeadless(bool headless) { headless_ = headless; }

    ViewModel& viewModel() { return model_; }
    StatusPanel* statusPanel() const { return panel_; }
    LogListWidget* listBox() const { return list_; }
    DebugLog* debugLog() { return &log_; }
    int panelHeight() const { return model_.panelHeight(); }
    std::uint32_t styleWord() const { return model_.frame().style; }
    // The menu item of a command id; null when there is none.
    QAction* menuAction(int id) const;
    // The popup at a menu bar position (0 File .. 4 Help).
    QMenu* popup(int position) const;
    QSize minimumTrackSize() const;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildMenu();
    void sendCommand(int id);
    void onCreate(platform::HWND hwnd);
    void onDestroy();
    void onSize();
    // CommandView
    void showAboutBox() override;
    void destroyWindow() override;
    void testSet() override;
    void showMenuChecks() override;
    void setItemChecked(int position, int id, bool checked);
    void setResizableFrame(bool resizable);
    bool seen() const;
    void scheduleRefresh();

    DriverHooks* hooks_;
    platform::HWND hwnd_ = 0;
    bool destroying_ = false;
    QWidget* client_ = nullptr;
    StatusPanel* panel_ = nullptr;
    LogListWidget* list_ = nullptr;
    DebugLog log_{model_};
    QTimer refresh_;
    bool headless_ = false;
    std::map<int, QAction*> actions_;
    std::map<int, QMenu*> popups_;
    QShortcut* f1_ = nullptr;
    QShortcut* f10_ = nullptr;
};

}  // namespace app
