// The entries of the interface library as our stand-in libraries define them (tools/kelpif).
// The client loads the library through platform/interface_library.h.
//
//   entry 1  kelpif_entry1(hwnd, wParam, lParam) -> result
//            one protocol message (ZED_LIBRARYMSG) handed on by the client window.
//   entry 2  kelpif_entry2(hWndInfo, message, slot, buffer, 1, count) -> result (never looked at)
//            a slot write (ZED_SLOTWRITE/ZED_SLOTWRITEALT: `count` bytes of `buffer` go to the
//            infodriver window) or a slot read (ZED_SLOTREAD: the slot's value comes back into
//            `buffer`, at most `count` bytes, NUL-terminated).
//
// Window handles are taken as 32-bit values: on x86-64 Windows such a parameter reads the low half
// of the HWND that the client passes, which holds all of it.
#pragma once

#include <cstdint>

extern "C" {
using KelpIfEntry1 = std::int32_t (*)(std::uint32_t hwnd, std::uintptr_t wParam,
                                      std::intptr_t lParam);
using KelpIfEntry2 = std::int32_t (*)(std::uint32_t hWndInfo, std::uint32_t message,
                                      std::int32_t slot, char* buffer, std::int32_t one,
                                      std::int32_t count);
}
