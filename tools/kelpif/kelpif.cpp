// The interface library stand-in: entry 1 answers a library message with 0; entry 2 carries a
// slot write or read to the infodriver window as one synchronous send over the message bus.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "infodriver/iflib.h"
#include "infodriver/protocol.h"
#include "platform/window.h"

namespace {

// Largest buffer entry 2 carries; a longer count is cut to it.
constexpr std::int32_t kMaxCount = 64 * 1024;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::int32_t kelpif_entry1(std::uint32_t, std::uintptr_t,
                                                                  std::intptr_t) {
    return 0;
}

__attribute__((visibility("default"))) std::int32_t kelpif_entry2(std::uint32_t hWndInfo,
                                                                  std::uint32_t message,
                                                                  std::int32_t slot, char* buffer,
                                                                  std::int32_t,
                                                                  std::int32_t count) {
    if (!buffer || count <= 0)
        return 0;
    if (count > kMaxCount)
        count = kMaxCount;
    platform::MessageBuffer mb;
    if (message == infodriver::ZED_SLOTREAD) {
        mb.out = buffer;
        mb.outSize = static_cast<std::size_t>(count);
    } else {
        mb.in = buffer;
        mb.inSize = static_cast<std::size_t>(count);
    }
    auto r = platform::sendMessage(
        hWndInfo, message, static_cast<platform::WPARAM>(static_cast<std::uint32_t>(slot)), 0, &mb);
    // Whatever came back, a read leaves a terminated text.
    if (message == infodriver::ZED_SLOTREAD)
        buffer[count - 1] = '\0';
    return static_cast<std::int32_t>(r);
}

}  // extern "C"

// The entries must match the types the client loads them as.
static_assert(std::is_same_v<decltype(&kelpif_entry1), KelpIfEntry1>);
static_assert(std::is_same_v<decltype(&kelpif_entry2), KelpIfEntry2>);
