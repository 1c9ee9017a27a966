// The interface library on Win32: KELPIF32.dll from the system's search order (the program's
// folder first), entries by ordinal only, called with real window handles.
#include "platform/interface_library.h"

#include <windows.h>

#include "platform/win32/window_win32.h"

namespace platform::interface_library_system {

namespace {

// The entries as the library defines them: handles, wParam and lParam at their full width.
using Entry1 = std::int32_t(WINAPI*)(::HWND hwnd, ::WPARAM wParam, ::LPARAM lParam);
using Entry2 = std::int32_t(WINAPI*)(::HWND hWndInfo, ::UINT message, std::int32_t slot,
                                     char* buffer, std::int32_t one, std::int32_t count);

// MAKEINTRESOURCE: the ordinal in the low word of the name pointer.
void* ordinal(HMODULE module, WORD n) {
    return reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(n)));
}

}  // namespace

std::vector<std::string> candidates() {
    return {kInterfaceLibraryFile};
}

std::string open(const std::string& file, InterfaceLibrary& lib) {
    HMODULE module = LoadLibraryA(file.c_str());
    if (!module)
        return "cannot load " + file;
    if (auto entry1 = reinterpret_cast<Entry1>(ordinal(module, 1)))
        lib.entry1 = [entry1](HWND hwnd, WPARAM wParam, LPARAM lParam) {
            return entry1(win32::toNative(hwnd), wParam, lParam);
        };
    if (auto entry2 = reinterpret_cast<Entry2>(ordinal(module, 2)))
        lib.entry2 = [entry2](HWND hWndInfo, UINT message, std::int32_t slot, char* buffer,
                              std::int32_t one, std::int32_t count) {
            return entry2(win32::toNative(hWndInfo), message, slot, buffer, one, count);
        };
    return {};
}

}  // namespace platform::interface_library_system
