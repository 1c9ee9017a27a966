#include "platform/launcher.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <string>

namespace platform {

int runLibraryEntry(const char* library, const char* entry, int argc, char** argv) {
    sigset_t termination;
    sigemptyset(&termination);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&termination, sig);
    sigprocmask(SIG_BLOCK, &termination, nullptr);

    // Along the program's run path; failing that (a sanitizer's dlopen looks along its own run
    // path, not the program's), beside the program's own folder, in ../lib.
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            std::string path(self, static_cast<std::size_t>(n));
            path = path.substr(0, path.rfind('/') + 1) + "../lib/" + library;
            handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
    }
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
