// A small client for the whole-process tests: connects a roreziv to the infodriver of DEVICE over
// the real bus, echoes accepted slot changes through the driver's callback, and prints what
// happens, one flushed line each:
//   connect RESULT HANDLE   change DEVICE SLOT VALUE   log TEXT   sink TEXT
//   slot N VALUE            updated 0|1                status ISTATUS TX RX   text SZTEXT   ok
// Options: --params P1 P2 P3 P4, --refuse SLOT (the dispatcher refuses changes of SLOT),
// --die-on-change (SIGKILL itself on the first change), --hang (make a window, never answer).
// Standard input: setslot N V | updateslot N V | getslot N | status | text | quit.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "infodriver/infodriver_callback.h"
#include "infodriver/roreziv.h"
#include "platform/window.h"

using namespace infodriver;

namespace {

void out(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

struct PrintingHost : InfodriverHost {
    int refuse = -1;
    bool dieOnChange = false;
    void logLine(const std::string& text) override { out("log " + text); }
    void refreshCounters() override {}
    int dispatchSlotChange(int device, int slot, const char* value) override {
        if (dieOnChange)
            raise(SIGKILL);
        out("change " + std::to_string(device) + " " + std::to_string(slot) + " " + value);
        return slot == refuse ? 1 : 0;
    }
};

struct PrintingSink : RorezivLogSink {
    void log(const char* text) override { out(std::string("sink ") + text); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    int device = std::atoi(argv[1]);
    int params[4] = {0, 0, 0, 0};
    PrintingHost host;
    bool hang = false;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--params" && i + 4 < argc) {
            for (int& p : params)
                p = std::atoi(argv[++i]);
        } else if (a == "--refuse" && i + 1 < argc) {
            host.refuse = std::atoi(argv[++i]);
        } else if (a == "--die-on-change") {
            host.dieOnChange = true;
        } else if (a == "--hang") {
            hang = true;
        }
    }
    QCoreApplication app(argc, argv);
    if (hang) {
        // A peer whose UI thread never comes back to its messages.
        platform::createWindow("hung", platform::defWindowProc);
        out("ready");
        for (;;)
            pause();
    }

    auto* client = new roreziv(ROREZIV_HEADER_VERSION);
    PrintingSink sink;
    client->setLogSink(&sink);
    setInfodriverHost(&host);
    client->setcallback(InfodriverCallback);
    int result = client->connect(device, nullptr, params[0], params[1], params[2], params[3]);
    char line[64];
    std::snprintf(line, sizeof line, "connect %d 0x%04x", result, client->hWndClient & 0xFFFF);
    out(line);

    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    auto command = [&](const std::string& l) {
        auto sp = l.find(' ');
        std::string cmd = l.substr(0, sp);
        std::string rest = sp == std::string::npos ? "" : l.substr(sp + 1);
        auto sp2 = rest.find(' ');
        int n = std::atoi(rest.substr(0, sp2).c_str());
        std::string value = sp2 == std::string::npos ? "" : rest.substr(sp2 + 1);
        if (cmd == "setslot") {
            client->setslot(n, "%s", value.c_str());
        } else if (cmd == "updateslot") {
            out(client->updateslot(n, "%s", value.c_str()) ? "updated 1" : "updated 0");
        } else if (cmd == "getslot") {
            char buf[256];
            client->getslot(n, buf);
            out("slot " + std::to_string(n) + " " + buf);
        } else if (cmd == "status") {
            out("status " + std::to_string(client->iStatus) + " " +
                std::to_string(*client->piTxCount) + " " + std::to_string(*client->piRxCount));
        } else if (cmd == "text") {
            out(std::string("text ") + client->szText);
        } else if (cmd == "quit") {
            delete client;  // the farewell
            client = nullptr;
            out("bye");
            platform::postQuitMessage(0);
            return;
        }
        out("ok");
    };
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[4096];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (auto nl = pending.find('\n'); nl != std::string::npos && client;
             nl = pending.find('\n')) {
            std::string l = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            command(l);
        }
    });
    platform::onTerminationSignal([] { platform::postQuitMessage(0); });
    int code = platform::runMessageLoop();
    delete client;
    return code;
}
