// The driver's main window on Windows: a native window built from the program's resources
// (camlet32.rc): menu 109, the status panel from dialog template 130 above the debug list box
// (a real LISTBOX, child id 100), accelerators F1 and F10, the About box from template 103. The
// system's controls are reached through platform/native_controls.h.
//
// It renders the shared ViewModel, as the Qt window does on Linux: the driver writes panel texts,
// counters and debug lines into the model; the window copies the model's changes into its
// controls on a 100 ms timer, and only while it is visible and not minimised. Menu commands and
// WM_COMMAND from other processes go through one window procedure; the model decides what a
// command does, the window applies it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/debug_log.h"
#include "app/driver_hooks.h"
#include "app/shell.h"
#include "app/view_model.h"
#include "platform/window.h"

namespace app::win32 {

class NativeMainWindow final : public ModelShell, private CommandView {
  public:
    // `hooks` may be null (no driver); it must outlive the window's destruction.
    NativeMainWindow(int deviceNumber, DriverHooks* hooks);
    ~NativeMainWindow() override;
    NativeMainWindow(const NativeMainWindow&) = delete;
    NativeMainWindow& operator=(const NativeMainWindow&) = delete;

    // Registers the class and creates the window (WM_CREATE runs inside); false when it could
    // not be created. `title` and `className` come from the string table.
    bool create(const std::string& title, const std::string& className);
    // Shows the window minimised, whatever the process was started with.
    void showMinimised();
    // Runs the message loop with the window's accelerators until the quit message; its code.
    int runMessageLoop();
    // Destroys the window if it still exists (shutdown runs).
    void destroy();

    platform::HWND statusPanel() const { return panel_; }
    platform::HWND listBox() const { return list_; }
    ViewModel& model() { return model_; }
    // Copies the model's changes into the controls now, visible or not (for tests).
    void flush() { render(); }

    // Shell
    platform::HWND mainWindow() const override { return hwnd_; }

  private:
    platform::LRESULT windowProc(platform::UINT msg, platform::WPARAM wParam,
                                 platform::LPARAM lParam);
    void onCreate();
    void onSize();
    // CommandView
    void showAboutBox() override;
    void destroyWindow() override;
    void testSet() override;
    void applyViewMode() override;
    void showMenuChecks() override;
    // Copies the model's changes into the panel and the list box.
    void render();
    void renderLines(bool scrollLeft);
    void scheduleRender();
    bool visibleToUser() const;
    std::uint32_t measure(std::string_view text) const;

    DriverHooks* hooks_;
    DebugLog log_;
    platform::HWND hwnd_ = 0;
    platform::HWND panel_ = 0;
    platform::HWND list_ = 0;
    // The model's line sequence numbers the list box holds: [shownFirst_, shownEnd_).
    std::uint64_t shownFirst_ = 0;
    std::uint64_t shownEnd_ = 0;
    bool renderPending_ = false;
};

}  // namespace app::win32
