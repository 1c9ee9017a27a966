// Messages between kelp-slot (and other tools) and the stand-in infodriver, outside the numbers
// the client protocol uses.
#pragma once

#include "platform/window.h"

namespace standin {

// Broadcast by a tool looking for the stand-in of a device. wParam: the tool's window (low word);
// lParam: the device number, all 32 bits. The stand-in for that device answers by sending
// KELP_STANDINHWND to the tool's window.
inline constexpr platform::UINT KELP_FINDSTANDIN = 0x8A01;
// wParam: the stand-in's window handle.
inline constexpr platform::UINT KELP_STANDINHWND = 0x8A02;
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

}  // namespace standin
