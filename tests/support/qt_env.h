// One Qt application object per test binary (a QCoreApplication, or a QApplication for tests of
// widgets), and helpers that run the event loop until a condition holds.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <functional>
#include <thread>

namespace testing_support {

inline QCoreApplication& qtApp() {
    static int argc = 1;
    static char name[] = "platform_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

// A QApplication, for binaries that test widgets (on the offscreen platform). Call it before any
// other Qt object is made; a binary uses either this or qtApp(), not both.
inline QApplication& qtGuiApp() {
    static int argc = 1;
    static char name[] = "widget_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Place first among a fixture's members, so that the application exists before any widget.
struct QtGuiAppGuard {
    QtGuiAppGuard() { qtGuiApp(); }
};

// Runs the event loop until `done` is true or `limit` has passed; returns `done()`.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void pumpFor(std::chrono::milliseconds d) {
    pumpUntil([] { return false; }, d);
}

}  // namespace testing_support
