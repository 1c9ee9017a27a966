// Internal seam between the window layer (window.cpp) and the message bus (bus.cpp). Not part of
// the public platform interface.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/window.h"

namespace platform::detail {

// ---- provided by bus.cpp ----

// A window's entry in the prefix's registry, held for the window's life.
struct BusEntry {
    int fd = -1;  // the registry file, locked (flock) while the window lives
    std::string path;
};

// Reserves a low word unique in the prefix and publishes the window. Returns the full handle, or
// 0 when the bus is not available (no safe runtime folder); the caller then allocates locally.
// UI thread.
HWND busRegister(const std::string& className, BusEntry& entry);
// Removes the window's entry. UI thread.
void busUnregister(BusEntry& entry);

struct RemoteWindow {
    pid_t pid = 0;
    HWND hwnd = 0;
    std::string className;
};
// The live window with this low word, from the registry (this process's windows included). An
// entry whose owner has died is removed on the way.
std::optional<RemoteWindow> busLookup(std::uint16_t low);
// Low words of every live window of the prefix, in ascending order.
std::vector<std::uint16_t> busLiveWindows();

// Synchronous send to a window of another process. On the UI thread it handles messages sent to
// our windows while it waits; elsewhere it just waits. `answered` is false when the window was
// gone, the peer died or did not answer in time.
LRESULT busSend(const RemoteWindow& w, UINT msg, WPARAM wParam, LPARAM lParam,
                const MessageBuffer* buffer, bool& answered);
// Queues a message for a window of another process. UI thread.
bool busPost(const RemoteWindow& w, UINT msg, WPARAM wParam, LPARAM lParam);

// How long a send waits for a peer that shows no sign of life.
inline constexpr int kSendTimeoutMs = 5000;

// ---- provided by window.cpp ----

bool isUiThread();
// Delivers a message that came over the bus to a window of this process (UI thread). `found` is
// false when there is no such live window. With `hasBuffer`, the procedure sees a buffer built
// from `in` and at least `outSize` bytes; `out` receives its first `outSize` bytes.
LRESULT deliverFromBus(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam, bool hasBuffer,
                       const std::vector<std::uint8_t>& in, std::uint32_t outSize,
                       std::vector<std::uint8_t>& out, bool& found);
// Queues a message that came over the bus for a window of this process.
void postFromBus(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam);
// Number of live windows of this process.
std::size_t localWindowCount();

}  // namespace platform::detail
