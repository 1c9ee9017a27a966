#include "platform/message_box.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QString>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool envSet(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// "offscreen" or "offscreen:options".
bool namesOffscreen(const char* platform) {
    static const char kOffscreen[] = "offscreen";
    std::size_t n = sizeof kOffscreen - 1;
    return platform && std::strncmp(platform, kOffscreen, n) == 0 &&
           (platform[n] == '\0' || platform[n] == ':');
}

void printBox(const std::string& text, const std::string& caption) {
    // Written as bytes: the texts are never used as a format.
    std::string line = caption + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void showBox(const QString& text, const QString& caption, BoxIcon icon) {
    QMessageBox box(icon == BoxIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon, caption,
                    text, QMessageBox::Ok);
    box.exec();
}

}  // namespace

void messageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || runningOffscreen()) {
        printBox(text, caption);
        return;
    }
    // Text is 8-bit; Qt shows it as Latin-1.
    QString qtext = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    QString qcaption = QString::fromLatin1(caption.data(), static_cast<qsizetype>(caption.size()));
    if (QThread::currentThread() == app->thread()) {
        showBox(qtext, qcaption, icon);
        return;
    }
    // Widgets live on the UI thread only. A box asked for by another thread is shown there
    // without waiting for it (the UI thread may itself be waiting for the caller); stderr gets
    // the text at once.
    printBox(text, caption);
    QMetaObject::invokeMethod(
        app, [qtext, qcaption, icon] { showBox(qtext, qcaption, icon); }, Qt::QueuedConnection);
}

void chooseQtPlatform() {
    if (envSet("QT_QPA_PLATFORM") || envSet("DISPLAY") || envSet("WAYLAND_DISPLAY"))
        return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

bool runningOffscreen() {
    if (QGuiApplication::instance() && qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return QGuiApplication::platformName() == QLatin1String("offscreen");
    return namesOffscreen(std::getenv("QT_QPA_PLATFORM"));
}

}  // namespace platform
