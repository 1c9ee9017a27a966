// Test helper: takes a named object of the current prefix in its own process and holds it.
//   named_object_holder sem|lock NAME SECONDS
// Prints "held" once it holds the name (or "busy" and exits 1), then holds it for SECONDS and
// exits normally, releasing it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/named_object.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: named_object_holder sem|lock NAME SECONDS\n");
        return 2;
    }
    std::shared_ptr<platform::NamedSemaphore> sem;
    std::unique_ptr<platform::InstanceLock> lock;
    bool held = false;
    if (std::strcmp(argv[1], "sem") == 0) {
        sem = platform::NamedSemaphore::open(argv[2]);
        held = sem && sem->wait(std::chrono::milliseconds(0));
    } else {
        lock = platform::InstanceLock::acquire(argv[2]);
        held = lock != nullptr;
    }
    std::puts(held ? "held" : "busy");
    std::fflush(stdout);
    if (!held)
        return 1;
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[3])));
    if (sem)
        sem->release();
    return 0;
}
