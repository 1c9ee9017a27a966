// camlet32's entry with driver hooks that report what the shell asks of them, for the process
// tests: start-up logs a debug line (shown, and on stdout when offscreen), shutdown prints a line.
#include <cstdio>

#include "app/app_main.h"

namespace {

struct ProbeHooks : app::DriverHooks {
    void startup(app::Shell& shell) override {
        DriverHooks::startup(shell);
        app::logLine("probe startup device %d", shell.deviceNumber());
    }
    void shutdown(app::Shell&) override {
        app::logLine("probe shutdown");
        std::printf("probe shutdown hook\n");
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    return app::runCamlet32(argc, argv, [](int) { return std::make_unique<ProbeHooks>(); });
}
