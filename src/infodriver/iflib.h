// The interface library: a shared library with two C entries that the client loads at run time,
// so that another implementation can be dropped in without rebuilding the driver.
//
//   entry 1  kelpif_entry1(hwnd, wParam, lParam) -> result
//            one protocol message (ZED_LIBRARYMSG) handed on by the client window.
//   entry 2  kelpif_entry2(hWndInfo, message, slot, buffer, 1, count) -> result (never looked at)
//            a slot write (ZED_SLOTWRITE/ZED_SLOTWRITEALT: `count` bytes of `buffer` go to the
//            infodriver window) or a slot read (ZED_SLOTREAD: the slot's value comes back into
//            `buffer`, at most `count` bytes, NUL-terminated).
//
// The library is looked for in this order: the path in $KELP_IFLIB; libkelpif32.so in the lib
// folder beside the program's bin folder (<exe dir>/../lib); the dynamic linker's search path.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
using KelpIfEntry1 = std::int32_t (*)(std::uint32_t hwnd, std::uintptr_t wParam,
                                      std::intptr_t lParam);
using KelpIfEntry2 = std::int32_t (*)(std::uint32_t hWndInfo, std::uint32_t message,
                                      std::int32_t slot, char* buffer, std::int32_t one,
                                      std::int32_t count);
}

namespace infodriver {

inline constexpr const char* IFLIB_FILE_NAME = "libkelpif32.so";
inline constexpr const char* IFLIB_ENTRY1 = "kelpif_entry1";
inline constexpr const char* IFLIB_ENTRY2 = "kelpif_entry2";
inline constexpr const char* IFLIB_ENV = "KELP_IFLIB";

// The process's interface library, loaded on first use and kept loaded until exit. When it
// cannot be loaded (or lacks an entry), the reason is printed once on stderr and the missing
// entries stay null.
struct InterfaceLibrary {
    KelpIfEntry1 entry1 = nullptr;
    KelpIfEntry2 entry2 = nullptr;
    std::string path;   // the file that was loaded, empty when none
    std::string error;  // why loading failed, empty on success
};

const InterfaceLibrary& interfaceLibrary();

}  // namespace infodriver
