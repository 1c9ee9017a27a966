#include "infodriver/iflib.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace infodriver {

namespace {

std::string exeDir() {
    std::vector<char> buf(4096);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0)
        return {};
    std::string p(buf.data(), static_cast<size_t>(n));
    auto slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

InterfaceLibrary load() {
    InterfaceLibrary lib;
    std::vector<std::string> candidates;
    const char* env = std::getenv(IFLIB_ENV);
    if (env && *env) {
        // An explicit choice is the only one tried: a library the user named but that fails to
        // load must not be silently replaced by another.
        candidates.emplace_back(env);
    } else {
        std::string dir = exeDir();
        if (!dir.empty())
            candidates.push_back(dir + "/../lib/" + IFLIB_FILE_NAME);
        candidates.emplace_back(IFLIB_FILE_NAME);
    }
    void* handle = nullptr;
    for (const auto& c : candidates) {
        handle = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle) {
            lib.path = c;
            break;
        }
        const char* e = dlerror();
        lib.error = e ? e : ("cannot load " + c);
    }
    if (!handle)
        return lib;
    lib.entry1 = reinterpret_cast<KelpIfEntry1>(dlsym(handle, IFLIB_ENTRY1));
    lib.entry2 = reinterpret_cast<KelpIfEntry2>(dlsym(handle, IFLIB_ENTRY2));
    if (!lib.entry1 || !lib.entry2)
        lib.error = lib.path + ": missing entry " + (lib.entry1 ? IFLIB_ENTRY2 : IFLIB_ENTRY1);
    else
        lib.error.clear();
    return lib;
}

}  // namespace

const InterfaceLibrary& interfaceLibrary() {
    static std::once_flag once;
    static InterfaceLibrary lib;
    std::call_once(once, [] {
        lib = load();
        if (!lib.error.empty())
            std::fprintf(stderr, "interface library not available: %s\n", lib.error.c_str());
    });
    return lib;
}

}  // namespace infodriver
