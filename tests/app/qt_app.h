// One QApplication for a test binary (the tests run on Qt's offscreen platform).
#pragma once

#include <QApplication>

namespace app_test {

inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "app_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Place first among a fixture's members, so that the application exists before any widget.
struct QtAppGuard {
    QtAppGuard() { qtApp(); }
};

}  // namespace app_test
