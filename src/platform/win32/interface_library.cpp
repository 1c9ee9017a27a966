// The interface library on Win32: KELPIF32.dll, entries by ordinal only, called with real
// window handles.
#include "platform/interface_library.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "platform/win32/window_win32.h"

namespace platform {

namespace {

// The entries as the library defines them: handles, wParam and lParam at their full width.
using Entry1 = std::int32_t(WINAPI*)(::HWND hwnd, ::WPARAM wParam, ::LPARAM lParam);
using Entry2 = std::int32_t(WINAPI*)(::HWND hWndInfo, ::UINT message, std::int32_t slot,
                                     char* buffer, std::int32_t one, std::int32_t count);

InterfaceLibrary load() {
    InterfaceLibrary lib;
    HMODULE module = LoadLibraryA(kInterfaceLibraryFile);
    if (!module) {
        lib.error = std::string("cannot load ") + kInterfaceLibraryFile;
        return lib;
    }
    lib.path = kInterfaceLibraryFile;
    // MAKEINTRESOURCE: the ordinal in the low word of the name pointer.
    auto entry1 = reinterpret_cast<Entry1>(
        reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1))));
    auto entry2 = reinterpret_cast<Entry2>(
        reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(2))));
    if (entry1)
        lib.entry1 = [entry1](HWND hwnd, WPARAM wParam, LPARAM lParam) {
            return entry1(win32::toNative(hwnd), wParam, lParam);
        };
    if (entry2)
        lib.entry2 = [entry2](HWND hWndInfo, UINT message, std::int32_t slot, char* buffer,
                              std::int32_t one, std::int32_t count) {
            return entry2(win32::toNative(hWndInfo), message, slot, buffer, one, count);
        };
    if (!entry1 || !entry2)
        lib.error = std::string(kInterfaceLibraryFile) + ": missing entry " + (entry1 ? "2" : "1");
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
