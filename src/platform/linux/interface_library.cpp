#include "platform/interface_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace platform {

namespace {

constexpr const char* kEntry1 = "kelpif_entry1";
constexpr const char* kEntry2 = "kelpif_entry2";
constexpr const char* kEnvironment = "KELP_IFLIB";

// The entries as the Linux libraries export them: window handles are the bus's 32-bit handles.
using Entry1 = std::int32_t (*)(std::uint32_t hwnd, std::uintptr_t wParam, std::intptr_t lParam);
using Entry2 = std::int32_t (*)(std::uint32_t hWndInfo, std::uint32_t message, std::int32_t slot,
                                char* buffer, std::int32_t one, std::int32_t count);

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
    const char* env = std::getenv(kEnvironment);
    if (env && *env) {
        // An explicit choice is the only one tried: a library the user named but that fails to
        // load must not be silently replaced by another.
        candidates.emplace_back(env);
    } else {
        std::string dir = exeDir();
        if (!dir.empty())
            candidates.push_back(dir + "/../lib/" + kInterfaceLibraryFile);
        candidates.emplace_back(kInterfaceLibraryFile);
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
    if (auto entry1 = reinterpret_cast<Entry1>(dlsym(handle, kEntry1)))
        lib.entry1 = entry1;
    if (auto entry2 = reinterpret_cast<Entry2>(dlsym(handle, kEntry2)))
        lib.entry2 = entry2;
    if (!lib.entry1 || !lib.entry2)
        lib.error = lib.path + ": missing entry " + (lib.entry1 ? kEntry2 : kEntry1);
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

}  // namespace platform
