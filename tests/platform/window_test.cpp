// The window layer on Linux beyond the rules both systems share (window_rules_test.cpp): a
// window that keeps posting to itself, a timer killed and set again many times, local sends with
// buffers.
#include "platform/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "window_recorder.h"

using namespace platform;
using namespace std::chrono_literals;
using testing_support::pumpFor;
using testing_support::pumpUntil;

namespace {

using WindowTest = testing_support::WindowRecorderTest;

TEST_F(WindowTest, WindowPostingToItselfForeverDoesNotStarveTimers) {
    int posts = 0, timers = 0;
    HWND h = createWindow("busy", [&](HWND self, UINT m, WPARAM, LPARAM) {
        if (m == WM_COMMAND) {
            ++posts;
            postMessage(self, WM_COMMAND, 0, 0);
        }
        if (m == WM_TIMER)
            ++timers;
        return LRESULT{0};
    });
    ASSERT_NE(h, 0u);
    created_.push_back(h);
    setTimer(h, 1, 20);
    postMessage(h, WM_COMMAND, 0, 0);
    EXPECT_TRUE(pumpUntil([&] { return timers >= 2; }, 5s));
    EXPECT_GT(posts, 1);
}

// The reply timer's life: set for a packet, killed by the reply (or by its own expiry), set
// again for the next packet, many times over.
TEST_F(WindowTest, TimerKilledAndSetAgainRunsAgainAndCanBeKilledInItsOwnExpiry) {
    int expiries = 0;
    bool killedInExpiry = false;
    HWND h = createWindow("reply-timer", [&](HWND self, UINT m, WPARAM, LPARAM) {
        if (m == WM_TIMER) {
            ++expiries;
            killedInExpiry = killTimer(self, 3);
        }
        return LRESULT{0};
    });
    ASSERT_NE(h, 0u);
    created_.push_back(h);
    for (int packet = 0; packet < 1000; ++packet) {
        ASSERT_EQ(setTimer(h, 3, 800), 3u);
        ASSERT_TRUE(killTimer(h, 3));
    }
    EXPECT_FALSE(killTimer(h, 3)) << "a killed timer does not run";
    pumpFor(50ms);
    EXPECT_EQ(expiries, 0);

    ASSERT_EQ(setTimer(h, 3, 20), 3u);
    ASSERT_TRUE(pumpUntil([&] { return expiries == 1; }, 5s));
    EXPECT_TRUE(killedInExpiry);
    pumpFor(200ms);
    EXPECT_EQ(expiries, 1) << "killed in its own expiry, it fires no more";
    EXPECT_FALSE(killTimer(h, 3));

    ASSERT_EQ(setTimer(h, 3, 20), 3u);
    ASSERT_TRUE(pumpUntil([&] { return expiries == 2; }, 5s));
}

TEST_F(WindowTest, LocalSendCarriesBytesBothWaysAndMatchesLowWord) {
    std::string got;
    HWND h = createWindow("echo", [&](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m != WM_COMMAND)
            return 0;
        EXPECT_FALSE(lParamFromOtherProcess());
        char* buf = reinterpret_cast<char*>(l);
        got = buf;  // NUL-terminated by the layer
        std::memcpy(buf, "reply", 5);
        return static_cast<LRESULT>(w) + 1;
    });
    ASSERT_NE(h, 0u);
    created_.push_back(h);
    char out[8] = "xxxxxxx";
    MessageBuffer b{"abc", 3, out, 7};
    EXPECT_EQ(sendMessage(h, WM_COMMAND, 41, 0, &b), 42);
    EXPECT_EQ(got, "abc");
    // The first outSize bytes come back, including the zeroed rest of the buffer.
    EXPECT_EQ(std::memcmp(out, "reply\0\0", 7), 0);
    // Low word alone, and a different high word, reach the same window.
    EXPECT_EQ(sendMessage(h & 0xFFFF, WM_COMMAND, 1, 0, &b), 2);
    EXPECT_EQ(sendMessage((h & 0xFFFF) | 0x12340000u, WM_COMMAND, 2, 0, &b), 3);
    EXPECT_EQ(sendMessage(0, WM_COMMAND, 1, 0), 0);

    // From another thread the procedure still runs on the UI thread.
    std::atomic<LRESULT> fromThread{0};
    std::thread t([&] { fromThread = sendMessage(h, WM_COMMAND, 9, 0, &b); });
    ASSERT_TRUE(pumpUntil([&] { return fromThread.load() == 10; }, 5s));
    t.join();
}

}  // namespace
