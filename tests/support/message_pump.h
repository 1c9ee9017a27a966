// Runs the calling thread's message queue until a condition holds, for tests of the Win32 layer.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>

namespace testing_support {

// Dispatches messages until `done` is true or `limit` has passed; returns done().
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return false;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done())
            return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return true;
}

inline void pumpFor(std::chrono::milliseconds d) {
    pumpUntil([] { return false; }, d);
}

}  // namespace testing_support
