// Test helper: takes a named object of the current prefix in its own process and holds it.
//   named_object_holder sem|lock NAME SECONDS
// Prints "held" once it holds the name (or "busy" and exits 1), then holds it for SECONDS and
// exits normally, releasing it.
//   named_object_holder churn sem|lock NAME ROUNDS FILE
// Takes and lets go of the name ROUNDS times, opening it afresh each round (so its lock file
// comes and goes), and appends "+" to FILE on entering and "-" on leaving; prints "done".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/named_object.h"

namespace {

int churn(bool semaphore, const char* name, int rounds, const char* file) {
    // Unbuffered appends: each mark is one write at the end of the file, whoever wrote last.
    std::FILE* out = std::fopen(file, "ab");
    if (!out)
        return 2;
    std::setvbuf(out, nullptr, _IONBF, 0);
    for (int i = 0; i < rounds; ++i) {
        std::shared_ptr<platform::NamedSemaphore> sem;
        std::unique_ptr<platform::InstanceLock> lock;
        if (semaphore) {
            sem = platform::NamedSemaphore::open(name);
            if (!sem || !sem->wait(std::chrono::seconds(10)))
                return 1;
        } else {
            while (!(lock = platform::InstanceLock::acquire(name)))
                std::this_thread::yield();
        }
        if (std::fputc('+', out) == EOF || std::fputc('-', out) == EOF)
            return 2;
        if (sem)
            sem->release();
    }
    std::fclose(out);
    std::puts("done");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "churn") == 0)
        return churn(std::strcmp(argv[2], "sem") == 0, argv[3], std::atoi(argv[4]), argv[5]);
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: named_object_holder sem|lock NAME SECONDS\n"
                     "       named_object_holder churn sem|lock NAME ROUNDS FILE\n");
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
