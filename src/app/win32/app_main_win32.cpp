// The process entry of camlet32.exe: the same steps as on Linux, with the native window.
#include "app/app_main.h"

#include <cstdio>

#include "app/win32/main_window_win32.h"
#include "app/win32/resource.h"
#include "platform/interface_library.h"
#include "platform/message_box.h"
#include "platform/named_object.h"
#include "platform/native_controls.h"

namespace app {

int runCamlet32(int argc, char** argv, const DriverFactory& makeDriver) {
    // The control system's interface library is the driver's link to its infodriver. Without
    // it the driver would connect but no slot write would ever arrive, so it says which file is
    // missing and does not start, as the system does for a program whose library is missing.
    const platform::InterfaceLibrary& library = platform::interfaceLibrary();
    if (!library.entry1 || !library.entry2) {
        platform::messageBox(std::string(platform::kInterfaceLibraryFile) +
                                 " (the control system's interface library) could not be "
                                 "loaded: " +
                                 library.error,
                             "Error", platform::BoxIcon::Error);
        return -1;
    }

    const int deviceNumber = parseDeviceNumber(joinCommandLine(argc, argv));
    if (deviceNumber <= 0) {
        platform::messageBox("Valid device number must be supplied as command line parameter",
                             "Error", platform::BoxIcon::Error);
        return -1;
    }

    char title[100] = {};
    std::snprintf(title, sizeof title, platform::native::loadString(IDS_TITLE).c_str(),
                  deviceNumber);
    const std::string className = platform::native::loadString(IDS_CLASS_NAME);

    // One process per device number: the mutex is named by the window title.
    std::unique_ptr<platform::InstanceLock> lock = platform::InstanceLock::acquire(title);
    if (!lock)
        return -1;

    std::unique_ptr<DriverHooks> driver =
        makeDriver ? makeDriver(deviceNumber) : std::make_unique<DriverHooks>();
    int exitCode = 0;
    {
        win32::NativeMainWindow window(deviceNumber, driver.get());
        if (window.create(title, className)) {
            window.showMinimised();
            exitCode = window.runMessageLoop();
            // A loop ended by anything but the window's destruction still takes the window down
            // while the driver exists, so its shutdown runs.
            window.destroy();
        }
        // The driver goes first (its farewell still needs the window system), then the window.
        driver.reset();
    }
    lock.reset();
    return exitCode;
}

}  // namespace app
