// Loading the interface library: the first candidate file that loads, once per process.
#include "platform/interface_library.h"

#include <cstdio>
#include <mutex>

namespace platform {

namespace {

InterfaceLibrary load() {
    InterfaceLibrary lib;
    for (const auto& file : interface_library_system::candidates()) {
        lib.error = interface_library_system::open(file, lib);
        if (lib.error.empty()) {
            lib.path = file;
            break;
        }
    }
    if (lib.path.empty())
        return lib;
    if (!lib.entry1 || !lib.entry2)
        lib.error = lib.path + ": missing entry " + (lib.entry1 ? "2" : "1");
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
