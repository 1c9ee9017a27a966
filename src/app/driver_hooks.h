// The points where the driver proper plugs into the main window.
//
// The entry builds one DriverHooks object after the single-instance check and before the main
// window exists, and destroys it after the message loop has ended (while the bus and the event
// loop still work). Every call runs on the UI thread from the main window's procedure.
#pragma once

#include "app/shell.h"
#include "platform/window.h"

namespace app {

struct DriverHooks {
    virtual ~DriverHooks() = default;

    // Last step of WM_CREATE: settings are loaded and shown, the view mode is applied. The
    // default only does what the shell can on its own: status "Initialising", width ring reset.
    virtual void startup(Shell& shell) {
        shell.setStatusText("Initialising");
        shell.resetWidthRing();
    }
    // First step of WM_DESTROY.
    virtual void shutdown(Shell&) {}
    // Test > Set (command 32772).
    virtual void testSet(Shell&) {}
    // WM_TIMER of the main window (wParam = timer id).
    virtual void onTimer(Shell&, unsigned /*id*/) {}
    // WM_COMMNOTIFY of the main window (lParam = the serial port object).
    virtual void onCommNotify(Shell&, platform::LPARAM) {}
};

}  // namespace app
