// How the Windows stand-ins carry the bytes of slot traffic between processes. The interface
// library (KELPIF32.dll) and kelp-slot.exe send the stand-in infodriver's window a WM_COPYDATA
// whose dwData is kSlotRequestTag and whose data is a SlotRequest followed by the value's bytes.
// A read carries no bytes: it names a buffer in the reader's process, which the stand-in fills
// (at most `count` bytes, NUL-terminated) before the send returns.
#pragma once

// The protocol's names first: <windows.h> defines some of them as macros.
#include "infodriver/protocol.h"
#include "infodriver/standin_core.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace standin {

inline constexpr ULONG_PTR kSlotRequestTag = 0x4B454C50;

struct SlotRequest {
    std::uint32_t message;        // ZED_SLOTWRITE, ZED_SLOTWRITEALT, ZED_SLOTREAD or KELP_SETSLOT
    std::uint32_t slot;           // the slot index
    std::uint32_t readerProcess;  // ZED_SLOTREAD: id of the process that owns the buffer
    std::uint32_t count;          // ZED_SLOTREAD: the buffer's size in bytes
    std::uint64_t readerBuffer;   // ZED_SLOTREAD: the buffer's address in that process
};

// Sends one request to the stand-in's window and returns its result (0 when the window does not
// exist or did not answer within 5 s). A write carries `size` bytes of `bytes`; a read has the
// value put into `readBuffer` (`readSize` bytes).
inline LRESULT sendSlotRequest(HWND standIn, std::uint32_t message, std::uint32_t slot,
                               const char* bytes, std::size_t size, char* readBuffer = nullptr,
                               std::size_t readSize = 0) {
    SlotRequest request{message, slot, 0, 0, 0};
    if (readBuffer) {
        request.readerProcess = GetCurrentProcessId();
        request.count = static_cast<std::uint32_t>(readSize);
        request.readerBuffer = reinterpret_cast<std::uintptr_t>(readBuffer);
        size = 0;
    }
    std::vector<char> data(sizeof request + size);
    std::memcpy(data.data(), &request, sizeof request);
    if (size)
        std::memcpy(data.data() + sizeof request, bytes, size);
    COPYDATASTRUCT copy{kSlotRequestTag, static_cast<DWORD>(data.size()), data.data()};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(standIn, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL,
                             5000, &result))
        return 0;
    return static_cast<LRESULT>(result);
}

// The window of the stand-in infodriver that serves `device`, or null when none runs.
inline HWND findStandIn(long long device) {
    return FindWindowA(CLASS_NAME, std::to_string(device).c_str());
}

}  // namespace standin
