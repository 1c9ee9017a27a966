// Internal seam between the window layer (window.cpp) and the message bus (bus.cpp). Not part of
// the public platform interface.
#pragma once

#include <sys/types.h>

#include <algorithm>
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
// Publishes the window's title and the messages it handles (see setHandledMessages) beside its
// class name. UI thread.
void busPublish(BusEntry& entry, HWND hwnd, const std::string& className, const std::string& title,
                const std::optional<std::vector<HandledMessage>>& handled);

struct RemoteWindow {
    pid_t pid = 0;
    HWND hwnd = 0;
    std::string className;
    std::string title;
    std::optional<std::vector<HandledMessage>> handled;  // none: every message

    // Whether a broadcast of this message must reach the window.
    bool takesBroadcast(UINT msg, WPARAM wParam, LPARAM lParam) const {
        if (msg < WM_USER || !handled)
            return true;
        return std::any_of(handled->begin(), handled->end(),
                           [&](const HandledMessage& h) { return h.covers(msg, wParam, lParam); });
    }
};
// The live window with this low word, from the registry (this process's windows included). An
// entry whose owner has died is removed on the way. With `keepFd`, the entry of a live window is
// handed over open (-1 otherwise) instead of being closed.
std::optional<RemoteWindow> busLookup(std::uint16_t low, int* keepFd = nullptr);
// Whether a window of another process with this low word lives. The entries of the few windows
// asked about last are kept open: while the owner holds its entry's lock the window lives, which
// one flock() tells without reading the entry again. Anything else is looked up afresh.
bool busIsRemoteWindow(std::uint16_t low);
// Low words of every live window of the prefix, in ascending order.
std::vector<std::uint16_t> busLiveWindows();
// Low words of other processes' windows for a broadcast of this message: every live one whose
// entry says it takes the message, in ascending order, and maybe some whose owner has died since
// its entry was read (a send finds that out and cleans up after it). An entry is read again only
// when its mark says it has changed since it was last read.
std::vector<std::uint16_t> busBroadcastTargets(UINT msg, WPARAM wParam, LPARAM lParam);
// Low word of the first live window of the prefix with this class and title, 0 when none.
HWND busFindWindow(const std::string& className, const std::string& title);

// Synchronous send to the window with this low word in another process. The window's address is
// remembered from the first lookup and looked up again only when a send to it fails; a send that
// was not delivered (the window or its process had gone) goes once to the window's current owner.
// On the UI thread it handles messages sent to our windows while it waits; elsewhere it just
// waits. `answered` is false when the window was gone, the peer died or did not answer in time.
// A `broadcast` send leaves no pooled connection behind.
//
// A peer that let a send time out is remembered as unresponsive until it shows a sign of life (a
// reply or any message from it): sends to it then fail at once, except one short probe a second.
// Once a termination signal has come, a wait ends at once while the signal waits for its handler,
// and no send waits past kShutdownGraceMs after the signal.
LRESULT busSendTo(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam,
                  const MessageBuffer* buffer, bool broadcast, bool& answered);
// Queues a message for the window with this low word in another process. UI thread.
bool busPostTo(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam);

// How long a send waits for a peer that shows no sign of life.
inline constexpr int kSendTimeoutMs = 5000;
// How long a probe of an unresponsive peer waits, and how often one goes out.
inline constexpr int kProbeWaitMs = 100;
inline constexpr int kProbeIntervalMs = 1000;
// Sends made after a termination signal end by this long after it.
inline constexpr int kShutdownGraceMs = 4000;

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
// Read end of the termination signal pipe (-1 when signals are not caught): readable while a
// signal waits for its handler.
int terminationSignalFd();
// CLOCK_MONOTONIC nanoseconds of the first termination signal, 0 when none came.
std::int64_t terminationSignalNs();
// Passes a debug line of the message layer to the hook (or stderr).
void debugLine(const std::string& line);

}  // namespace platform::detail
