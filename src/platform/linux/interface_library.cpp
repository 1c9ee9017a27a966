// The interface library on Linux: a shared library whose entries are the symbols kelpif_entry1
// and kelpif_entry2, called with the bus's window handles.
#include "platform/interface_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform::interface_library_system {

namespace {

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

}  // namespace

std::vector<std::string> candidates() {
    const char* env = std::getenv(kEnvironment);
    // An explicit choice is the only one tried: a library the user named but that fails to load
    // must not be silently replaced by another.
    if (env && *env)
        return {env};
    std::vector<std::string> files;
    std::string dir = exeDir();
    if (!dir.empty())
        files.push_back(dir + "/../lib/" + kInterfaceLibraryFile);
    files.emplace_back(kInterfaceLibraryFile);
    return files;
}

std::string open(const std::string& file, InterfaceLibrary& lib) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* e = dlerror();
        return e ? e : ("cannot load " + file);
    }
    if (auto entry1 = reinterpret_cast<Entry1>(dlsym(handle, "kelpif_entry1")))
        lib.entry1 = entry1;
    if (auto entry2 = reinterpret_cast<Entry2>(dlsym(handle, "kelpif_entry2")))
        lib.entry2 = entry2;
    return {};
}

}  // namespace platform::interface_library_system
