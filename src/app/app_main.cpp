#include "app/app_main.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/main_window.h"
#include "platform/message_box.h"
#include "platform/named_object.h"
#include "platform/window.h"

namespace app {

namespace {
// The driver prints only what it means to (message boxes when headless, debug lines): Qt's own
// diagnostics, such as the note about an unset XDG_RUNTIME_DIR that every start over ssh or
// under cron would print, are dropped. A fatal one still ends the process, as Qt would.
void dropQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg)
        return;
    const QByteArray text = message.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
    std::abort();
}
}  // namespace

int runCamlet32(int argc, char** argv, const DriverFactory& makeDriver) {
    // Read the command line before Qt sees it: Qt would take options such as "-style" away.
    const std::string commandLine = joinCommandLine(argc, argv);
    // A termination signal sent before its handler exists is kept for it.
    platform::holdTerminationSignals();

    qInstallMessageHandler(dropQtMessages);
    platform::chooseQtPlatform();
    platform::chooseEventDispatcher();
    // Qt gets only the program name, so that no device argument is taken for a Qt option.
    static char programName[] = "camlet32";
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 && argv && argv[0] ? argv[0] : programName, nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setQuitOnLastWindowClosed(false);

    // SIGTERM, SIGINT and SIGHUP end the process as File > Exit does. They are taken from here
    // on and handled from the message loop, by which time the window exists.
    MainWindow* mainWindow = nullptr;
    platform::onTerminationSignal([&mainWindow] {
        if (mainWindow)
            mainWindow->requestExit();
        else
            platform::postQuitMessage(0);
    });

    const int deviceNumber = parseDeviceNumber(commandLine);
    if (deviceNumber <= 0) {
        platform::messageBox("Valid device number must be supplied as command line parameter",
                             "Error", platform::BoxIcon::Error);
        return -1;
    }

    // One process per device number: the lock is named by the window title.
    const std::string title = windowTitleFor(deviceNumber);
    std::unique_ptr<platform::InstanceLock> lock = platform::InstanceLock::acquire(title);
    if (!lock)
        return -1;

    // The message layer's own notes (a message refused from another process, a send that came
    // after its sender gave up) are debug lines of the driver, not stderr output.
    platform::setDebugHook([](const std::string& line) { logLine("%s", line.c_str()); });

    std::unique_ptr<DriverHooks> driver =
        makeDriver ? makeDriver(deviceNumber) : std::make_unique<DriverHooks>();

    int exitCode = 0;
    {
        MainWindow window(deviceNumber, driver.get());
        mainWindow = &window;
        if (window.create()) {
            window.showMinimized();
            exitCode = platform::runMessageLoop();
        }
        mainWindow = nullptr;
        // A loop ended by anything but the window's destruction still takes the window down
        // while the driver exists, so its shutdown runs.
        window.requestExit();
        // The driver goes first (its farewell still needs the bus and the event loop), then the
        // window.
        driver.reset();
    }
    lock.reset();
    platform::setDebugHook(nullptr);
    platform::onTerminationSignal([] {});
    return exitCode;
}

}  // namespace app
