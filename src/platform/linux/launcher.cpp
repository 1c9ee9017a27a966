#include "platform/launcher.h"

#include <dlfcn.h>
#include <signal.h>

#include <cstdio>
#include <initializer_list>

namespace platform {

int runLibraryEntry(const char* library, const char* entry, int argc, char** argv) {
    sigset_t termination;
    sigemptyset(&termination);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&termination, sig);
    sigprocmask(SIG_BLOCK, &termination, nullptr);

    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "%s\n", dlerror());
        return -1;
    }
    using Entry = int (*)(int, char**);
    auto run = reinterpret_cast<Entry>(dlsym(handle, entry));
    if (!run) {
        std::fprintf(stderr, "%s\n", dlerror());
        return -1;
    }
    return run(argc, argv);
}

}  // namespace platform
