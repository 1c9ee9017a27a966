// The window layer on its own: creation, timers, posts from other threads, destruction rules,
// local sends with buffers, the quit message.
#include "platform/window.h"

#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "qt_env.h"
#include "test_prefix.h"

using namespace platform;
using namespace std::chrono_literals;
using testing_support::pumpFor;
using testing_support::pumpUntil;

namespace {

struct Seen {
    UINT msg;
    WPARAM w;
    LPARAM l;
    bool onUiThread;
};

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override { testing_support::qtApp(); }
    void TearDown() override {
        for (HWND h : created_)
            destroyWindow(h);
    }

    // A window that records every message it gets.
    HWND recorder(LPARAM createParam = 0) {
        HWND h = createWindow(
            "recorder",
            [this](HWND, UINT m, WPARAM w, LPARAM l) {
                seen_.push_back(
                    {m, w, l, QThread::currentThread() == QCoreApplication::instance()->thread()});
                return LRESULT{0};
            },
            createParam);
        if (h)
            created_.push_back(h);
        return h;
    }
    int count(UINT msg) const {
        int n = 0;
        for (auto& s : seen_)
            n += s.msg == msg;
        return n;
    }

    testing_support::TestPrefix prefix_;
    std::vector<Seen> seen_;
    std::vector<HWND> created_;
};

TEST_F(WindowTest, CreateDeliversParamAndMinusOneFailsCreation) {
    HWND h = recorder(1234);
    ASSERT_NE(h, 0u);
    EXPECT_NE(h & 0xFFFF, 0u);
    EXPECT_NE(h & 0xFFFF, 0xFFFFu);
    EXPECT_TRUE(isWindow(h));
    EXPECT_EQ(windowClassName(h), "recorder");
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].msg, WM_CREATE);
    EXPECT_EQ(seen_[0].l, 1234);

    std::vector<UINT> msgs;
    HWND self = 0;
    HWND failed = createWindow("refuses", [&](HWND hwnd, UINT m, WPARAM, LPARAM) {
        msgs.push_back(m);
        self = hwnd;
        return m == WM_CREATE ? LRESULT{-1} : LRESULT{0};
    });
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(msgs, (std::vector<UINT>{WM_CREATE, WM_DESTROY}));
    EXPECT_FALSE(isWindow(self));
    EXPECT_FALSE(destroyWindow(self));
}

TEST_F(WindowTest, TimerSetAgainRestartsWithNewPeriod) {
    HWND h = recorder();
    ASSERT_EQ(setTimer(h, 3, 100), 3u);
    // Restart at once with a long period: the 100 ms expiry must not happen any more.
    ASSERT_EQ(setTimer(h, 3, 60000), 3u);
    pumpFor(500ms);
    EXPECT_EQ(count(WM_TIMER), 0);

    ASSERT_EQ(setTimer(h, 3, 20), 3u);
    ASSERT_TRUE(pumpUntil([&] { return count(WM_TIMER) >= 3; }, 5s));
    for (auto& s : seen_)
        if (s.msg == WM_TIMER) {
            EXPECT_EQ(s.w, 3u);
            EXPECT_TRUE(s.onUiThread);
        }
}

TEST_F(WindowTest, KillingUnknownTimerDoesNothing) {
    HWND h = recorder();
    ASSERT_EQ(setTimer(h, 4, 20), 4u);
    EXPECT_FALSE(killTimer(h, 99));
    EXPECT_FALSE(killTimer(0x1234, 4));
    EXPECT_EQ(setTimer(0x1234, 4, 20), 0u);
    ASSERT_TRUE(pumpUntil([&] { return count(WM_TIMER) >= 2; }, 5s));

    EXPECT_TRUE(killTimer(h, 4));
    EXPECT_FALSE(killTimer(h, 4));
    pumpFor(50ms);
    int after = count(WM_TIMER);
    pumpFor(200ms);
    EXPECT_EQ(count(WM_TIMER), after);
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

TEST_F(WindowTest, PostsFromOtherThreadsArriveOnceInOrderOnUiThread) {
    HWND h = recorder();
    constexpr int kPosts = 2000;
    std::vector<int> objects(kPosts);
    std::thread reader([&] {
        for (int i = 0; i < kPosts; ++i)
            ASSERT_TRUE(postMessage(h, WM_COMMNOTIFY, i, reinterpret_cast<LPARAM>(&objects[i])));
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

TEST_F(WindowTest, NothingArrivesOnceDestroyBegins) {
    HWND h = recorder();
    ASSERT_EQ(setTimer(h, 3, 10), 3u);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(postMessage(h, WM_COMMAND, i, 0));
    ASSERT_TRUE(destroyWindow(h));
    created_.erase(created_.begin());
    EXPECT_FALSE(isWindow(h));
    EXPECT_FALSE(postMessage(h, WM_COMMAND, 99, 0));
    EXPECT_EQ(sendMessage(h, WM_COMMAND, 99, 0), 0);
    EXPECT_EQ(setTimer(h, 5, 10), 0u);
    pumpFor(300ms);
    ASSERT_FALSE(seen_.empty());
    EXPECT_EQ(seen_.back().msg, WM_DESTROY);
    EXPECT_EQ(count(WM_COMMAND), 0);
    EXPECT_EQ(count(WM_TIMER), 0);
}

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

TEST_F(WindowTest, WindowMayDestroyItselfFromItsOwnTimer) {
    int timers = 0, destroys = 0;
    HWND h = createWindow("selfdestruct", [&](HWND self, UINT m, WPARAM, LPARAM) {
        if (m == WM_TIMER) {
            ++timers;
            destroyWindow(self);
        }
        if (m == WM_DESTROY) {
            ++destroys;
            EXPECT_FALSE(isWindow(self));
            EXPECT_FALSE(postMessage(self, WM_COMMAND, 0, 0));
        }
        return LRESULT{0};
    });
    ASSERT_NE(h, 0u);
    setTimer(h, 1, 10);
    ASSERT_TRUE(pumpUntil([&] { return destroys == 1; }, 5s));
    pumpFor(100ms);
    EXPECT_EQ(timers, 1);
    EXPECT_EQ(destroys, 1);
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

TEST_F(WindowTest, QuitPostedBeforeLoopEndsIt) {
    postQuitMessage(7);
    EXPECT_EQ(runMessageLoop(), 7);
}

}  // namespace
