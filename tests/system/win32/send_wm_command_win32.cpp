// send_wm_command.exe CLASS ID: the Windows twin of send_wm_command. Sends WM_COMMAND with wParam
// ID to every top-level window of class CLASS, as a menu choice in that window would; each send
// is synchronous, so the command has been carried out when this program exits.
// Exit codes: 0 sent to at least one window, 1 bad usage, 2 no window of that class.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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
    int sent = 0;
    for (HWND h = FindWindowExA(nullptr, nullptr, argv[1], nullptr); h;
         h = FindWindowExA(nullptr, h, argv[1], nullptr)) {
        SendMessageA(h, WM_COMMAND, static_cast<WPARAM>(id), 0);
        ++sent;
    }
    std::printf("sent %d\n", sent);
    return sent > 0 ? 0 : 2;
}
