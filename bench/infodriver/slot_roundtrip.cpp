// Round trips per second of a slot change echoed back through the real bus:
//   this process (sender, as kelp-slot) -> kelp-infodriver -> client (echo with setslot) -> stored
// The client is this program again, started with --client. Every process runs in a fresh
// temporary prefix; the children are killed whatever happens.
//
// usage: bench_infodriver_roundtrip [COUNT]   (default 2000)
#include <signal.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "../../tools/infodriver/standin.h"
#include "child_process.h"
#include "infodriver/infodriver_callback.h"
#include "infodriver/protocol.h"
#include "infodriver/roreziv.h"
#include "platform/window.h"
#include "test_prefix.h"

namespace {

constexpr int kDevice = 4242;

struct EchoAll : infodriver::InfodriverHost {
    void logLine(const std::string&) override {}
    void refreshCounters() override {}
    int dispatchSlotChange(int, int, const char*) override { return 0; }
};

int runClient() {
    int argc = 1;
    char name[] = "client";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    EchoAll host;
    infodriver::setInfodriverHost(&host);
    infodriver::roreziv client(infodriver::ROREZIV_HEADER_VERSION);
    client.setcallback(infodriver::InfodriverCallback);
    int r = client.connect(kDevice, nullptr, 0, 0, 0, 0);
    std::printf("connect %d\n", r);
    std::fflush(stdout);
    if (r != infodriver::IFSTATUS_CONNECTED)
        return 1;
    platform::onTerminationSignal([] { platform::postQuitMessage(0); });
    return platform::runMessageLoop();
}

// The stand-in prints a line for every echo: read them as they come (and whatever went to
// stderr), so that its pipes never fill and block it. The last read waits 10 ms for more: a
// shorter wait may end before it looks at the pipe.
void drain(testing_support::ChildProcess& child) {
    while (child.readLine(std::chrono::milliseconds(10))) {
    }
    child.stderrText();
}

// Changes between two drains: their lines fit well within a pipe's 64 KiB.
constexpr int kDrainEvery = 2048;

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && !std::strcmp(argv[1], "--client"))
        return runClient();
    int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (count <= 0)
        count = 2000;

    // A fresh prefix, removed at the end; the children (killed on any early return) inherit it.
    testing_support::TestPrefix prefix;
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string bin = std::filesystem::path(self).parent_path().string();
    using testing_support::ChildProcess;
    using namespace std::chrono_literals;

    ChildProcess info({bin + "/kelp-infodriver", std::to_string(kDevice)});
    if (info.readLine(20s).value_or("") != "ready") {
        std::fprintf(stderr, "kelp-infodriver did not start\n");
        return 1;
    }
    ChildProcess client({self, "--client"});
    if (client.readLine(20s).value_or("") != "connect 15") {
        std::fprintf(stderr, "the client did not connect\n");
        return 1;
    }

    QCoreApplication app(argc, argv);
    const platform::HWND standIn = standin::findStandIn(kDevice);
    if (!standIn) {
        std::fprintf(stderr, "stand-in not found\n");
        return 1;
    }

    auto t0 = std::chrono::steady_clock::now();
    char value[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(value, sizeof value, "%d", i);
        platform::MessageBuffer mb;
        mb.in = value;
        mb.inSize = std::strlen(value) + 1;
        if (platform::sendMessage(standIn, standin::KELP_SETSLOT, 8, 0, &mb) != 1) {
            std::fprintf(stderr, "change %d not delivered\n", i);
            return 1;
        }
        if (i % kDrainEvery == kDrainEvery - 1)
            drain(info);
    }
    auto t1 = std::chrono::steady_clock::now();

    // The last change must have come back as the stored value.
    char stored[infodriver::SLOT_READ_SIZE] = {};
    platform::MessageBuffer rb;
    rb.out = stored;
    rb.outSize = sizeof stored;
    platform::sendMessage(standIn, infodriver::ZED_SLOTREAD, 8, 0, &rb);
    bool ok = std::strcmp(stored, value) == 0;

    double seconds = std::chrono::duration<double>(t1 - t0).count();
    std::printf("%d slot changes echoed and stored in %.3f s: %.0f round trips/s, %.1f us each%s\n",
                count, seconds, count / seconds, seconds * 1e6 / count,
                ok ? "" : " (LAST VALUE NOT STORED)");
    for (ChildProcess* child : {&client, &info}) {
        child->signal(SIGTERM);
        drain(*child);
        if (child->waitExit(10s) != 0)
            ok = false;
    }
    return ok ? 0 : 1;
}
