// The driver's main window on Windows: a native window built from the program's resources
// (camlet32.rc): menu 109, the status panel from dialog template 130 above the debug list box
// (a real LISTBOX, child id 100), accelerators F1 and F10, the About box from template 103.
//
// It renders the shared ViewModel, as the Qt window does on Linux: the driver writes panel texts,
// counters and debug lines into the model; the window copies the model's changes into its
// controls on a 100 ms timer, and only while it is visible and not minimised. Menu commands and
// WM_COMMAND from other processes go through one window procedure.
#pragma once

// The shared headers first: <windows.h> defines some of their names (the style bits) as macros.
#include "app/debug_log.h"
#include "app/driver_hooks.h"
#include "app/shell.h"
#include "app/view_model.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace app::win32 {

class NativeMainWindow final : public Shell {
  public:
    // `hooks` may be null (no driver); it must outlive the window's destruction.
    NativeMainWindow(HINSTANCE instance, int deviceNumber, DriverHooks* hooks);
    ~NativeMainWindow() override;
    NativeMainWindow(const NativeMainWindow&) = delete;
    NativeMainWindow& operator=(const NativeMainWindow&) = delete;

    // Registers the class and creates the window (WM_CREATE runs inside); false when it could
    // not be created. `title` and `className` come from the string table.
    bool create(const std::string& title, const std::string& className);
    // Shows the window minimised, whatever the process was started with.
    void showMinimised();
    // Destroys the window if it still exists (shutdown runs).
    void destroy();
    // Accelerators of the window: offers a message of the loop to table 109.
    bool translateAccelerator(MSG& msg);

    HWND nativeWindow() const { return hwnd_; }
    HWND statusPanel() const { return panel_; }
    HWND listBox() const { return list_; }
    ViewModel& model() { return model_; }
    // Copies the model's changes into the controls now, visible or not (for tests).
    void flush() { render(); }

    // Shell
    platform::HWND mainWindow() const override;
    int deviceNumber() const override { return model_.deviceNumber(); }
    void setStatusText(const char* text) override;
    void refreshCounters() override;
    void resetWidthRing() override;

  private:
    platform::LRESULT windowProc(platform::UINT msg, platform::WPARAM wParam,
                                 platform::LPARAM lParam);
    void onCreate();
    void onSize();
    void onCommand(int id);
    void applyViewMode();
    void applyMenuChecks();
    // Copies the model's changes into the panel and the list box.
    void render();
    void renderLines(bool scrollLeft);
    void scheduleRender();
    bool visibleToUser() const;
    std::uint32_t measure(std::string_view text) const;

    HINSTANCE instance_;
    DriverHooks* hooks_;
    ViewModel model_;
    DebugLog log_;
    HWND hwnd_ = nullptr;
    HWND panel_ = nullptr;
    HWND list_ = nullptr;
    HACCEL accelerators_ = nullptr;
    // The model's line sequence numbers the list box holds: [shownFirst_, shownEnd_).
    std::uint64_t shownFirst_ = 0;
    std::uint64_t shownEnd_ = 0;
    bool renderPending_ = false;
};

}  // namespace app::win32
