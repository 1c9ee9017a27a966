// KELPIF32.dll, our stand-in for the control system's interface library on Windows: entry 1
// answers a library message with 0; entry 2 carries a slot write or read to the stand-in
// infodriver's window as one WM_COPYDATA (tools/infodriver/win32/slot_request.h). The entries
// are exported by ordinal only (kelpif32.def).
// First: it brings <windows.h> in after the protocol's names.
#include "infodriver/win32/slot_request.h"

#include <windows.h>

#include <cstdint>
#include <type_traits>

#include "infodriver/iflib.h"

namespace {

// Largest buffer entry 2 carries; a longer count is cut to it.
constexpr std::int32_t kMaxCount = 64 * 1024;

}  // namespace

extern "C" {

std::int32_t kelpif_entry1(std::uint32_t, std::uintptr_t, std::intptr_t) {
    return 0;
}

std::int32_t kelpif_entry2(std::uint32_t hWndInfo, std::uint32_t message, std::int32_t slot,
                           char* buffer, std::int32_t, std::int32_t count) {
    if (!buffer || count <= 0)
        return 0;
    if (count > kMaxCount)
        count = kMaxCount;
    // Window handles keep their meaning in 32 bits.
    const HWND infodriverWindow = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(hWndInfo));
    if (message != infodriver::ZED_SLOTREAD)
        return static_cast<std::int32_t>(
            standin::sendSlotRequest(infodriverWindow, message, static_cast<std::uint32_t>(slot),
                                     buffer, static_cast<std::size_t>(count)));
    const LRESULT r =
        standin::sendSlotRequest(infodriverWindow, message, static_cast<std::uint32_t>(slot),
                                 nullptr, 0, buffer, static_cast<std::size_t>(count));
    // Whatever came back, a read leaves a terminated text.
    buffer[count - 1] = '\0';
    return static_cast<std::int32_t>(r);
}

}  // extern "C"

// The entries must match the types the client loads them as.
static_assert(std::is_same_v<decltype(&kelpif_entry1), KelpIfEntry1>);
static_assert(std::is_same_v<decltype(&kelpif_entry2), KelpIfEntry2>);
