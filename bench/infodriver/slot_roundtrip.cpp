// Round trips per second of a slot change echoed back through the real bus:
//   this process (sender, as kelp-slot) -> kelp-infodriver -> client (echo with setslot) -> stored
// The client is this program again, started with --client. Every process runs in a fresh
// temporary prefix.
//
// usage: bench_infodriver_roundtrip [COUNT]   (default 2000)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "../../tools/infodriver/standin.h"
#include "infodriver/infodriver_callback.h"
#include "infodriver/protocol.h"
#include "infodriver/roreziv.h"
#include "platform/window.h"

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

struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
};

// Starts a program with its stdout on a pipe and waits for a line beginning with `first`.
Child start(const std::vector<std::string>& args, const char* first) {
    int fds[2];
    if (pipe(fds) != 0)
        std::exit(1);
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    c.out = fdopen(fds[0], "r");
    char line[256];
    if (!std::fgets(line, sizeof line, c.out) || std::strncmp(line, first, std::strlen(first))) {
        std::fprintf(stderr, "%s did not start\n", args[0].c_str());
        std::exit(1);
    }
    return c;
}

void stop(Child& c) {
    kill(c.pid, SIGTERM);
    waitpid(c.pid, nullptr, 0);
    std::fclose(c.out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && !std::strcmp(argv[1], "--client"))
        return runClient();
    int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (count <= 0)
        count = 2000;

    char tmpl[] = "/tmp/kelp-bench-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    setenv("KELP_PREFIX", tmpl, 1);
    unsetenv("XDG_RUNTIME_DIR");
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string bin = std::filesystem::path(self).parent_path().string();

    Child info = start({bin + "/kelp-infodriver", std::to_string(kDevice)}, "ready");
    Child client = start({self, "--client"}, "connect 15");

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
    stop(client);
    stop(info);
    std::filesystem::remove_all(tmpl);
    return ok ? 0 : 1;
}
