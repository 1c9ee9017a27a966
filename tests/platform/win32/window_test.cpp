// The Win32 window layer beyond the rules both systems share (window_rules_test.cpp): handles
// reached by their low word, sends with buffers, pointer texts, broadcasts.
#include "platform/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "../window_recorder.h"
#include "platform/win32/window_win32.h"

using platform::createWindow;
using platform::defWindowProc;
using platform::enumWindows;
using platform::lParamText;
using platform::MessageBuffer;
using platform::messageBufferSize;
using platform::sendMessage;
using platform::win32::fromNative;
using platform::win32::toNative;
using Handle = platform::HWND;

namespace {

constexpr UINT kPing = 0x8001;

using Win32WindowTest = testing_support::WindowRecorderTest;

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

}  // namespace
