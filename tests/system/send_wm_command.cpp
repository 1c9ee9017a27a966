// send_wm_command CLASS ID: sends WM_COMMAND with wParam ID to every top-level window of class
// CLASS (on Linux: of the prefix's message bus), as a menu choice in that window would. Each send
// is synchronous, so the command has been carried out when this program exits.
// Exit codes: 0 sent to at least one window, 1 bad usage, 2 no window of that class.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/window.h"

#ifndef _WIN32
#include <signal.h>

#include <QCoreApplication>
#endif

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: send_wm_command CLASS ID\n", stderr);
        return 1;
    }
    errno = 0;
    char* end = nullptr;
    const long id = std::strtol(argv[2], &end, 10);
    if (errno || !end || *end || id < 0 || id > 0xFFFF) {
        std::fputs("send_wm_command: ID must be a number 0..65535\n", stderr);
        return 1;
    }
#ifndef _WIN32
    // The bus needs Qt's event loop; a peer that goes away must not end this program.
    signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
#endif
    int sent = 0;
    for (platform::HWND h : platform::enumWindows()) {
        if (platform::windowClassName(h) != argv[1])
            continue;
        platform::sendMessage(h, platform::WM_COMMAND, static_cast<platform::WPARAM>(id), 0);
        ++sent;
    }
    std::printf("sent %d\n", sent);
    return sent > 0 ? 0 : 2;
}
