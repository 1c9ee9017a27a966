// The control system's interface library, loaded at run time and reached by its two entries:
//
//   entry 1 (client window, wParam, lParam) -> result
//           one protocol message (ZED_LIBRARYMSG) handed on by the client window.
//   entry 2 (infodriver window, message, slot, buffer, 1, count) -> result (never looked at)
//           a slot write or a slot read through the infodriver.
//
// On Win32 (win32/interface_library.cpp) the library is LoadLibraryA("KELPIF32.dll") (the
// system's search order: the program's folder first) and the entries are reached by ordinals 1
// and 2, never by name, called with real window handles. On Linux (linux/interface_library.cpp)
// it is the shared library in $KELP_IFLIB, else libkelpif32.so in the lib folder beside the
// program's bin folder (<exe dir>/../lib), else on the dynamic linker's search path, and the
// entries are its symbols kelpif_entry1 and kelpif_entry2.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/window.h"

namespace platform {

// The library's file name.
#ifdef _WIN32
inline constexpr const char* kInterfaceLibraryFile = "KELPIF32.dll";
#else
inline constexpr const char* kInterfaceLibraryFile = "libkelpif32.so";
#endif

// The process's interface library, loaded on first use and kept loaded until exit. When it
// cannot be loaded (or lacks an entry), the reason is printed once on stderr and the missing
// entries stay empty; what the user is told beyond that is the program's choice.
struct InterfaceLibrary {
    std::function<std::int32_t(HWND hwnd, WPARAM wParam, LPARAM lParam)> entry1;
    std::function<std::int32_t(HWND hWndInfo, UINT message, std::int32_t slot, char* buffer,
                               std::int32_t one, std::int32_t count)>
        entry2;
    std::string path;   // the file that was loaded, empty when none
    std::string error;  // why loading failed, empty on success
};

const InterfaceLibrary& interfaceLibrary();

// The system's part of loading it (linux/ and win32/interface_library.cpp); interfaceLibrary()
// (interface_library.cpp) tries the files in their order and keeps the first that loads.
namespace interface_library_system {

// The files to try, in order.
std::vector<std::string> candidates();

// Loads `file` and sets the entries of `lib` that the file has. Returns why it could not be
// loaded, empty on success.
std::string open(const std::string& file, InterfaceLibrary& lib);

}  // namespace interface_library_system

}  // namespace platform
