// Message numbers and parameter packing of the infodriver window-message protocol, shared by the
// client (roreziv), the interface library stand-in and the stand-in infodriver.
#pragma once

#include <cstdint>

#include "platform/window.h"

namespace infodriver {

using platform::LPARAM;
using platform::UINT;
using platform::WPARAM;

// Sent by the client.
inline constexpr UINT ZED_FINDINFODRIVER = 49154;   // 0xC002, broadcast
inline constexpr UINT ZED_CLIENTCONNECTED = 49153;  // 0xC001, broadcast
inline constexpr UINT ZED_CLIENTANNOUNCE = 2031;    // 0x07EF, broadcast
inline constexpr UINT ZED_CLIENTPARAMS = 3124;      // 0x0C34
inline constexpr UINT ZED_CLIENTCLOSING = 2725;     // 0x0AA5

// Handed to the interface library's entry 2.
inline constexpr UINT ZED_SLOTWRITE = 2726;     // 0x0AA6
inline constexpr UINT ZED_SLOTREAD = 2727;      // 0x0AA7
inline constexpr UINT ZED_SLOTWRITEALT = 2731;  // 0x0AAB

// Handled by the client window.
inline constexpr UINT ZED_SUPPRESSANNOUNCE = 2032;  // 0x07F0
inline constexpr UINT ZED_LIBRARYMSG = 2074;        // 0x081A
inline constexpr UINT ZED_DISCONNECTED = 2175;      // 0x087F
inline constexpr UINT ZED_REQDEVGORXONLY = 2179;    // 0x0883
inline constexpr UINT ZED_REQDEVGOTXRX = 2180;      // 0x0884
inline constexpr UINT ZED_INQDEVGOTXRX = 2181;      // 0x0885
inline constexpr UINT ZED_DEVICEIDINUSE = 2190;     // 0x088E
inline constexpr UINT ZED_SLOTCHANGED = 2728;       // 0x0AA8
inline constexpr UINT ZED_INFODRIVERHWND = 2729;    // 0x0AA9
inline constexpr UINT ZED_TEXT = 2730;              // 0x0AAA

// Size of the buffer a slot read fills (value and NUL).
inline constexpr int SLOT_READ_SIZE = 256;

// Packs two values into a 32-bit parameter: each is cut to its low 16 bits, `low` goes to bits
// 0-15 and `high` to bits 16-31.
inline constexpr std::uint32_t packWords(std::uint32_t low, std::uint32_t high) {
    return (low & 0xFFFFu) | ((high & 0xFFFFu) << 16);
}

inline constexpr std::uint32_t lowWord(std::uint64_t v) {
    return static_cast<std::uint32_t>(v & 0xFFFFu);
}
inline constexpr std::uint32_t highWord(std::uint64_t v) {
    return static_cast<std::uint32_t>((v >> 16) & 0xFFFFu);
}

}  // namespace infodriver
