// The Win32 window layer: creation, timers, posts from other threads, the rules after
// WM_DESTROY, sends with buffers, pointer texts, handles reached by their low word.
#include "platform/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "message_pump.h"
#include "platform/win32/window_win32.h"

using namespace std::chrono_literals;
using platform::createWindow;
using platform::defWindowProc;
using platform::destroyWindow;
using platform::enumWindows;
using platform::isWindow;
using platform::killTimer;
using platform::lParamText;
using platform::MessageBuffer;
using platform::messageBufferSize;
using platform::postMessage;
using platform::postQuitMessage;
using platform::runMessageLoop;
using platform::sendMessage;
using platform::setTimer;
using platform::windowClassName;
using platform::win32::fromNative;
using platform::win32::toNative;
using Handle = platform::HWND;
using testing_support::pumpFor;
using testing_support::pumpUntil;

namespace {

constexpr UINT kPing = 0x8001;

struct Seen {
    UINT msg;
    WPARAM w;
    LPARAM l;
    DWORD thread;
};

class Win32WindowTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (Handle h : created_)
            destroyWindow(h);
    }

    // A window that records the messages of the layer's own kinds (WM_CREATE, WM_DESTROY,
    // WM_TIMER and our private ones); system messages go to the default processing.
    Handle recorder(LPARAM createParam = 0) {
        Handle h = createWindow(
            "recorder",
            [this](Handle hwnd, UINT m, WPARAM w, LPARAM l) {
                if (m == WM_CREATE || m == WM_DESTROY || m == WM_TIMER || m >= WM_USER) {
                    seen_.push_back({m, w, l, GetCurrentThreadId()});
                    return LRESULT{static_cast<LRESULT>(w) + 1};
                }
                return defWindowProc(hwnd, m, w, l);
            },
            createParam);
        if (h)
            created_.push_back(h);
        return h;
    }
    int count(UINT msg, WPARAM w) const {
        int n = 0;
        for (auto& s : seen_)
            n += s.msg == msg && s.w == w;
        return n;
    }

    std::vector<Seen> seen_;
    std::vector<Handle> created_;
};

TEST_F(Win32WindowTest, CreationDeliversItsParameterAndMinusOneFailsIt) {
    Handle h = recorder(1234);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(isWindow(h));
    EXPECT_EQ(windowClassName(h), "recorder");
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].msg, WM_CREATE);
    EXPECT_EQ(seen_[0].l, 1234);

    std::vector<UINT> msgs;
    Handle self = 0;
    Handle failed = createWindow("refuses", [&](Handle hwnd, UINT m, WPARAM w, LPARAM l) {
        if (m == WM_CREATE || m == WM_DESTROY)
            msgs.push_back(m);
        self = hwnd;
        return m == WM_CREATE ? LRESULT{-1} : defWindowProc(hwnd, m, w, l);
    });
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(msgs, (std::vector<UINT>{WM_CREATE, WM_DESTROY}));
    EXPECT_FALSE(isWindow(self));
}

TEST_F(Win32WindowTest, HandlesSurviveTheirCutTo32BitsAndAnswerToTheirLowWord) {
    Handle h = recorder();
    ASSERT_NE(h, 0u);
    ::HWND native = toNative(h);
    EXPECT_EQ(fromNative(native), h);
    EXPECT_TRUE(IsWindow(native));
    // The protocol names windows by their low word only.
    EXPECT_EQ(sendMessage(h & 0xFFFF, kPing, 41, 0), 42);
    auto all = enumWindows();
    EXPECT_NE(std::find(all.begin(), all.end(), h), all.end());
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    EXPECT_TRUE(platform::setWindowText(h, "Device 7"));
    EXPECT_EQ(platform::findWindow("recorder", "Device 7"), h);
    EXPECT_EQ(platform::findWindow("recorder", "Device 8"), 0u);
}

TEST_F(Win32WindowTest, TimersRestartWithANewPeriodAndStopWhenKilled) {
    Handle h = recorder();
    EXPECT_EQ(setTimer(h, 3, 10000), 3u);
    EXPECT_EQ(setTimer(h, 3, 20), 3u);  // the same id again: now every 20 ms
    ASSERT_TRUE(pumpUntil([&] { return count(WM_TIMER, 3) >= 2; }, 10s));
    EXPECT_TRUE(killTimer(h, 3));
    EXPECT_FALSE(killTimer(h, 3));
    EXPECT_FALSE(killTimer(h, 4));
    pumpFor(50ms);
    const int ticks = count(WM_TIMER, 3);
    pumpFor(150ms);
    EXPECT_EQ(count(WM_TIMER, 3), ticks);
    EXPECT_EQ(setTimer(0x12345, 1, 10), 0u) << "no window of this process";
}

TEST_F(Win32WindowTest, PostsFromOtherThreadsArriveOnTheWindowsThreadInOrder) {
    Handle h = recorder();
    std::thread poster([h] {
        for (WPARAM i = 0; i < 100; ++i)
            postMessage(h, kPing, i, 7);
    });
    poster.join();
    ASSERT_TRUE(pumpUntil([&] { return count(kPing, 99) == 1; }, 10s));
    std::vector<WPARAM> order;
    for (auto& s : seen_)
        if (s.msg == kPing) {
            order.push_back(s.w);
            EXPECT_EQ(s.thread, GetCurrentThreadId());
        }
    ASSERT_EQ(order.size(), 100u);
    for (WPARAM i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
}

TEST_F(Win32WindowTest, NothingReachesTheProcedureOnceDestroyHasBegun) {
    std::vector<UINT> after;
    bool destroying = false;
    bool windowDuringDestroy = true;
    Handle h = 0;
    h = createWindow("closing", [&](Handle hwnd, UINT m, WPARAM w, LPARAM l) {
        if (destroying)
            after.push_back(m);
        if (m == WM_DESTROY) {
            destroying = true;
            windowDuringDestroy = isWindow(hwnd);
            // Neither a timer nor a send started now reaches us.
            EXPECT_EQ(setTimer(hwnd, 9, 1), 0u);
            sendMessage(hwnd, kPing, 0, 0);
        }
        return defWindowProc(hwnd, m, w, l);
    });
    ASSERT_NE(h, 0u);
    setTimer(h, 1, 1);
    for (int i = 0; i < 10; ++i)
        postMessage(h, kPing, static_cast<WPARAM>(i), 0);
    Sleep(20);  // the timer is due as well
    EXPECT_TRUE(destroyWindow(h));
    pumpFor(100ms);
    EXPECT_FALSE(windowDuringDestroy);
    EXPECT_TRUE(after.empty()) << after.size() << " messages after WM_DESTROY";
    EXPECT_FALSE(isWindow(h));
    EXPECT_FALSE(postMessage(h, kPing, 0, 0));
    EXPECT_FALSE(destroyWindow(h));
}

TEST_F(Win32WindowTest, BufferedSendsCopyInAndOutWithinTheirSize) {
    std::size_t sizeSeen = 0;
    std::string textSeen;
    Handle h = createWindow("buffered", [&](Handle hwnd, UINT m, WPARAM w, LPARAM l) {
        if (m != kPing)
            return defWindowProc(hwnd, m, w, l);
        sizeSeen = messageBufferSize();
        textSeen = lParamText(l);
        std::memset(reinterpret_cast<char*>(l), 'x', sizeSeen);
        return LRESULT{5};
    });
    created_.push_back(h);
    const char in[] = "abc";
    char out[8] = {};
    MessageBuffer buffer{in, sizeof in, out, 6};
    EXPECT_EQ(sendMessage(h, kPing, 0, 0, &buffer), 5);
    EXPECT_EQ(sizeSeen, 6u);
    EXPECT_EQ(textSeen, "abc");
    EXPECT_EQ(std::string(out), "xxxxxx");
    EXPECT_EQ(messageBufferSize(), 0u) << "outside the call";
    EXPECT_EQ(sendMessage(fromNative(HWND_BROADCAST), kPing, 0, 0, &buffer), 0)
        << "no pointers to all";
}

TEST(Win32LParamText, OnlyReadableTerminatedTextIsRead) {
    EXPECT_STREQ(lParamText(0), "");
    const char* text = "value";
    EXPECT_EQ(lParamText(reinterpret_cast<LPARAM>(text)), text);

    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::size_t page = info.dwPageSize;
    auto* pages = static_cast<char*>(
        VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + page, page, PAGE_NOACCESS, &old));
    // Text that runs into an unreadable page without its NUL.
    std::memset(pages, 'a', page);
    EXPECT_STREQ(lParamText(reinterpret_cast<LPARAM>(pages + page - 10)), "");
    EXPECT_STREQ(lParamText(reinterpret_cast<LPARAM>(pages + page)), "");
    pages[page - 1] = '\0';
    EXPECT_EQ(lParamText(reinterpret_cast<LPARAM>(pages + page - 4)), pages + page - 4);
    VirtualFree(pages, 0, MEM_RELEASE);
    EXPECT_STREQ(lParamText(reinterpret_cast<LPARAM>(pages)), "") << "freed memory";
}

TEST_F(Win32WindowTest, BroadcastsReachOurHiddenWindows) {
    Handle a = recorder();
    Handle b = recorder();
    ASSERT_TRUE(a && b);
    sendMessage(fromNative(HWND_BROADCAST), kPing, 3, 0);
    EXPECT_EQ(count(kPing, 3), 2);
}

TEST(Win32MessageLoop, QuitEndsTheLoopWithItsCode) {
    Handle h = createWindow("quitter", [](Handle hwnd, UINT m, WPARAM w, LPARAM l) {
        if (m == kPing)
            postQuitMessage(static_cast<int>(w));
        return defWindowProc(hwnd, m, w, l);
    });
    postMessage(h, kPing, 17, 0);
    EXPECT_EQ(runMessageLoop(), 17);
    destroyWindow(h);
}

}  // namespace
