// Millisecond tick of the machine: CLOCK_MONOTONIC, cut to 32 bits, wrapping like GetTickCount.
// Also the deadlines of bounded waits: a steady millisecond clock that never wraps, and the time
// left until a deadline on it, in the form a wait call takes.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

std::uint32_t tickCount();

// Milliseconds of the steady clock (an arbitrary origin; only differences mean anything).
inline std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A deadline `timeoutMs` from now; none (-1) when `timeoutMs` is negative (no limit).
inline std::int64_t deadlineIn(int timeoutMs) {
    return timeoutMs < 0 ? -1 : steadyMs() + timeoutMs;
}

// The time-out for a wait that must end at `deadline` (from deadlineIn): -1 for no deadline,
// 0 once it has passed, else the milliseconds left (at most INT_MAX).
inline int msUntil(std::int64_t deadline) {
    if (deadline < 0)
        return -1;
    const std::int64_t left = deadline - steadyMs();
    return left <= 0 ? 0 : left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

}  // namespace platform
