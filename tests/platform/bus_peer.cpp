// A small peer for the bus tests: creates one window on the prefix's bus and reacts to messages.
//
//   bus_peer [CLASS]      window of class CLASS (default "peer"); prints "hwnd <hex>", "ready"
//   bus_peer signal       prints "ready"; on SIGTERM/SIGINT/SIGHUP prints "signal ui=<0|1>" and
//                         quits with code 0
//
// Every message the window gets is printed as "msg <hex msg> <wParam> <lParam>". Messages:
//   0x8001  echo: upper-cases the buffer behind lParam, answers wParam * 2 (-1 when it came
//           from another process without a buffer)
//   0x8002  call back: posts 0x8011 to window wParam, then sends it 0x8003 with the text
//           "from-peer" and 8 bytes wanted back; answers that send's result + 1 and prints
//           "callback <result> <returned text>"
//   0x8004  dies at once (SIGKILL) without answering
//   0x8005  hangs (sleeps 60 s) without answering
//   0x8006  busy: sleeps wParam milliseconds, then answers 1
// Stdin lines: "send HWND MSG WPARAM [LPARAM]", "post HWND MSG WPARAM [LPARAM]" (numbers in hex)
// and "title HWND TEXT" print "result <value>"; "handles HWND [MSG[=wWORD|=lWORD] ...]" names the
// messages the window handles (setHandledMessages; all of a MSG, or only those whose wParam or
// lParam has that low word) and prints "result <value>"; "farewell HWND" makes a
// termination signal send 0x8001 to HWND (printing "farewell <result>") before the process quits;
// "find CLASS" prints "found <hex>" for each window of that class, then "found end"; "destroy HWND"
// destroys the window (the process goes on) and prints "result <value>"; "quit" ends the loop.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/window.h"

using namespace platform;

namespace {

HWND farewellTo = 0;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

LRESULT peerProc(HWND self, UINT msg, WPARAM w, LPARAM l) {
    char line[128];
    std::snprintf(line, sizeof line, "msg %x %llu %lld", msg, static_cast<unsigned long long>(w),
                  static_cast<long long>(l));
    if (msg != WM_CREATE && msg != WM_DESTROY)
        say(line);
    switch (msg) {
        case 0x8001: {
            if (lParamFromOtherProcess())
                return -1;  // no buffer came with it: nothing to read behind lParam
            for (char* p = reinterpret_cast<char*>(l); *p; ++p)
                *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
            return static_cast<LRESULT>(w * 2);
        }
        case 0x8002: {
            postMessage(static_cast<HWND>(w), 0x8011, self & 0xFFFF, 0);
            char back[9] = {};
            MessageBuffer b{"from-peer", 9, back, 8};
            LRESULT r = sendMessage(static_cast<HWND>(w), 0x8003, self & 0xFFFF, 0, &b);
            say("callback " + std::to_string(r) + " " + back);
            return r + 1;
        }
        case 0x8004:
            raise(SIGKILL);
            return 0;
        case 0x8005:
            sleep(60);
            return 0;
        case 0x8006:
            usleep(static_cast<useconds_t>(w * 1000));
            return 1;
    }
    return defWindowProc(self, msg, w, l);
}

// Handles one command line; false for "quit".
bool runCommand(const std::string& line) {
    if (line == "quit") {
        postQuitMessage(0);
        return false;
    }
    if (line.starts_with("find ")) {
        for (HWND h : enumWindows())
            if (windowClassName(h) == line.substr(5)) {
                char found[32];
                std::snprintf(found, sizeof found, "found %x", h);
                say(found);
            }
        say("found end");
        return true;
    }
    char verb[16] = {};
    unsigned hwnd = 0, msg = 0;
    char title[64] = {};
    if (std::sscanf(line.c_str(), "farewell %x", &hwnd) == 1) {
        farewellTo = hwnd;
        return true;
    }
    if (std::sscanf(line.c_str(), "destroy %x", &hwnd) == 1) {
        say("result " + std::to_string(destroyWindow(hwnd)));
        return true;
    }
    if (std::sscanf(line.c_str(), "title %x %63s", &hwnd, title) == 2) {
        say("result " + std::to_string(setWindowText(hwnd, title)));
        return true;
    }
    if (int used = 0; std::sscanf(line.c_str(), "handles %x%n", &hwnd, &used) == 1) {
        std::vector<HandledMessage> handled;
        unsigned word = 0;
        char which = 0;
        for (const char* p = line.c_str() + used; std::sscanf(p, " %x%n", &msg, &used) == 1;) {
            p += used;
            if (std::sscanf(p, "=%c%x%n", &which, &word, &used) == 2) {
                p += used;
                handled.emplace_back(msg,
                                     which == 'w' ? HandledMessage::Only::WParamLowWord
                                                  : HandledMessage::Only::LParamLowWord,
                                     static_cast<std::uint16_t>(word));
            } else {
                handled.emplace_back(msg);
            }
        }
        say("result " + std::to_string(setHandledMessages(hwnd, handled)));
        return true;
    }
    unsigned long long w = 0, l = 0;
    if (std::sscanf(line.c_str(), "%15s %x %x %llx %llx", verb, &hwnd, &msg, &w, &l) < 4)
        return true;
    const auto lParam = static_cast<LPARAM>(l);
    if (std::strcmp(verb, "send") == 0)
        say("result " + std::to_string(sendMessage(hwnd, msg, w, lParam)));
    else if (std::strcmp(verb, "post") == 0)
        say("result " + std::to_string(postMessage(hwnd, msg, w, lParam)));
    return true;
}

// Runs every whole line that has come, not only the first of a batch. The end of input quits.
void readCommands() {
    static std::string pending;
    char buf[4096];
    ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) {
        postQuitMessage(0);
        return;
    }
    pending.append(buf, static_cast<std::size_t>(n));
    for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!runCommand(line))
            return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string mode = argc > 1 ? argv[1] : "peer";
    if (mode == "signal") {
        onTerminationSignal([] {
            bool ui = QThread::currentThread() == QCoreApplication::instance()->thread();
            say(std::string("signal ui=") + (ui ? "1" : "0"));
            postQuitMessage(0);
        });
        say("ready");
        return runMessageLoop();
    }
    HWND h = createWindow(mode, peerProc);
    if (!h)
        return 1;
    char line[32];
    std::snprintf(line, sizeof line, "hwnd %x", h);
    say(line);
    onTerminationSignal([] {
        if (farewellTo) {
            MessageBuffer b{"bye", 3, nullptr, 0};
            say("farewell " + std::to_string(sendMessage(farewellTo, 0x8001, 1, 0, &b)));
        }
        postQuitMessage(0);
    });
    QSocketNotifier in(0, QSocketNotifier::Read);
    QObject::connect(&in, &QSocketNotifier::activated, [] { readCommands(); });
    say("ready");
    int code = runMessageLoop();
    destroyWindow(h);
    return code;
}
