// Messages between kelp-slot (and other tools) and the stand-in infodriver, outside the numbers
// the client protocol uses.
#pragma once

#include "platform/window.h"

namespace standin {

// Class name of the stand-in's window on the bus.
inline constexpr const char* CLASS_NAME = "kelpinfodriver";
// Asks a stand-in whether it serves a device. lParam: the device number, all 32 bits. Result: 1
// when it does, 0 otherwise.
inline constexpr platform::UINT KELP_FINDSTANDIN = 0x8A01;
// A change request for a slot, as the rest of the control system makes it. wParam: the slot;
// bytes: the value and its NUL. Result: 1 delivered to the connected client, 2 stored directly
// (no client), 0 refused (slot out of range).
inline constexpr platform::UINT KELP_SETSLOT = 0x8A03;
// Slots are read with the client's own ZED_SLOTREAD.

// Slot indexes the stand-in holds: 0 .. SLOT_COUNT-1.
inline constexpr unsigned SLOT_COUNT = 65536;
// Characters a stored value keeps.
inline constexpr std::size_t VALUE_MAX = 255;
// Largest value a tool sends as a change request.
inline constexpr std::size_t REQUEST_MAX = 64 * 1024;

// The window of the stand-in infodriver that serves `device`, or 0 when none runs. Only windows
// of the stand-in's class are asked, so a hung window elsewhere on the bus cannot delay the search.
inline platform::HWND findStandIn(long long device) {
    for (platform::HWND h : platform::enumWindows()) {
        if (platform::windowClassName(h) == CLASS_NAME &&
            platform::sendMessage(h, KELP_FINDSTANDIN, 0, static_cast<platform::LPARAM>(device)) ==
                1)
            return h;
    }
    return 0;
}

}  // namespace standin
