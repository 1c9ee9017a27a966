// The window layer's rules that hold on both systems: creation, timers by id, posts from other
// threads, nothing after WM_DESTROY, the quit message. Built into the window test of each system.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "window_recorder.h"

using namespace std::chrono_literals;
using Handle = platform::HWND;
using testing_support::pumpFor;
using testing_support::pumpUntil;
#ifndef _WIN32
using namespace platform;
#endif

namespace {

using WindowRules = testing_support::WindowRecorderTest;

TEST_F(WindowRules, CreationDeliversItsParameterAndMinusOneFailsIt) {
    Handle h = recorder(1234);
    ASSERT_NE(h, 0u);
    EXPECT_NE(h & 0xFFFF, 0u);
    EXPECT_NE(h & 0xFFFF, 0xFFFFu);
    EXPECT_TRUE(platform::isWindow(h));
    EXPECT_EQ(platform::windowClassName(h), "recorder");
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].msg, WM_CREATE);
    EXPECT_EQ(seen_[0].l, 1234);

    std::vector<UINT> msgs;
    Handle self = 0;
    Handle failed = platform::createWindow("refuses", [&](Handle hwnd, UINT m, WPARAM w, LPARAM l) {
        if (m == WM_CREATE || m == WM_DESTROY)
            msgs.push_back(m);
        self = hwnd;
        return m == WM_CREATE ? LRESULT{-1} : platform::defWindowProc(hwnd, m, w, l);
    });
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(msgs, (std::vector<UINT>{WM_CREATE, WM_DESTROY}));
    EXPECT_FALSE(platform::isWindow(self));
    EXPECT_FALSE(platform::destroyWindow(self));
}

TEST_F(WindowRules, TimerSetAgainRestartsWithTheNewPeriod) {
    Handle h = recorder();
    ASSERT_EQ(platform::setTimer(h, 3, 100), 3u);
    // Restart at once with a long period: the 100 ms expiry must not happen any more.
    ASSERT_EQ(platform::setTimer(h, 3, 60000), 3u);
    pumpFor(500ms);
    EXPECT_EQ(count(WM_TIMER), 0);

    ASSERT_EQ(platform::setTimer(h, 3, 20), 3u);
    ASSERT_TRUE(pumpUntil([&] { return count(WM_TIMER) >= 3; }, 5s));
    for (auto& s : seen_)
        if (s.msg == WM_TIMER) {
            EXPECT_EQ(s.w, 3u);
            EXPECT_TRUE(s.onUiThread);
        }
}

TEST_F(WindowRules, KillingATimerStopsItAndKillingAnUnknownOneDoesNothing) {
    Handle h = recorder();
    ASSERT_EQ(platform::setTimer(h, 4, 20), 4u);
    EXPECT_FALSE(platform::killTimer(h, 99));
    EXPECT_FALSE(platform::killTimer(0x1234, 4));
    EXPECT_EQ(platform::setTimer(0x1234, 4, 20), 0u) << "no window of this process";
    ASSERT_TRUE(pumpUntil([&] { return count(WM_TIMER) >= 2; }, 5s));

    EXPECT_TRUE(platform::killTimer(h, 4));
    EXPECT_FALSE(platform::killTimer(h, 4));
    pumpFor(50ms);
    const int after = count(WM_TIMER);
    pumpFor(200ms);
    EXPECT_EQ(count(WM_TIMER), after);
}

TEST_F(WindowRules, PostsFromOtherThreadsArriveOnceInOrderOnTheUiThread) {
    Handle h = recorder();
    constexpr int kPosts = 2000;
    std::vector<int> objects(kPosts);
    std::thread reader([&] {
        for (int i = 0; i < kPosts; ++i)
            ASSERT_TRUE(
                platform::postMessage(h, WM_COMMNOTIFY, i, reinterpret_cast<LPARAM>(&objects[i])));
    });
    reader.join();
    ASSERT_TRUE(pumpUntil([&] { return count(WM_COMMNOTIFY) >= kPosts; }, 10s));
    pumpFor(50ms);
    ASSERT_EQ(count(WM_COMMNOTIFY), kPosts);
    int next = 0;
    for (auto& s : seen_) {
        if (s.msg != WM_COMMNOTIFY)
            continue;
        EXPECT_EQ(s.w, static_cast<WPARAM>(next));
        EXPECT_EQ(s.l, reinterpret_cast<LPARAM>(&objects[next]));
        EXPECT_TRUE(s.onUiThread);
        ++next;
    }
}

TEST_F(WindowRules, NothingArrivesOnceDestroyBegins) {
    Handle h = recorder();
    ASSERT_EQ(platform::setTimer(h, 3, 10), 3u);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(platform::postMessage(h, WM_COMMAND, i, 0));
    ASSERT_TRUE(platform::destroyWindow(h));
    created_.clear();
    EXPECT_FALSE(platform::isWindow(h));
    EXPECT_FALSE(platform::postMessage(h, WM_COMMAND, 99, 0));
    EXPECT_EQ(platform::sendMessage(h, WM_COMMAND, 99, 0), 0);
    EXPECT_EQ(platform::setTimer(h, 5, 10), 0u);
    EXPECT_FALSE(platform::destroyWindow(h));
    pumpFor(300ms);
    ASSERT_FALSE(seen_.empty());
    EXPECT_EQ(seen_.back().msg, WM_DESTROY);
    EXPECT_EQ(count(WM_COMMAND), 0);
    EXPECT_EQ(count(WM_TIMER), 0);
}

TEST_F(WindowRules, AWindowMayDestroyItselfFromItsOwnTimer) {
    int timers = 0, destroys = 0;
    Handle h = platform::createWindow("selfdestruct", [&](Handle self, UINT m, WPARAM w, LPARAM l) {
        if (m == WM_TIMER) {
            ++timers;
            platform::destroyWindow(self);
        }
        if (m == WM_DESTROY) {
            ++destroys;
            // Neither a timer, a post nor a send started now reaches the procedure.
            EXPECT_FALSE(platform::isWindow(self));
            EXPECT_EQ(platform::setTimer(self, 9, 1), 0u);
            EXPECT_FALSE(platform::postMessage(self, WM_COMMAND, 0, 0));
            platform::sendMessage(self, WM_TIMER, 1, 0);
        }
        return platform::defWindowProc(self, m, w, l);
    });
    ASSERT_NE(h, 0u);
    platform::setTimer(h, 1, 10);
    ASSERT_TRUE(pumpUntil([&] { return destroys == 1; }, 5s));
    pumpFor(100ms);
    EXPECT_EQ(timers, 1);
    EXPECT_EQ(destroys, 1);
}

TEST(WindowMessageLoop, AQuitPostedBeforeTheLoopEndsItWithItsCode) {
#ifndef _WIN32
    testing_support::qtApp();
#endif
    platform::postQuitMessage(7);
    EXPECT_EQ(platform::runMessageLoop(), 7);
}

}  // namespace
