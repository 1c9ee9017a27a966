// A fixture for the window layer's tests on both systems (the stand-in on Linux, in a fresh
// prefix; real windows on Win32): windows that record the messages the layer delivers, and the
// message pump of the system (testing_support::pumpUntil, pumpFor).
#pragma once

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/window.h"

#ifdef _WIN32
// <windows.h>: the WM_ names are its macros, UINT, WPARAM and LPARAM its types (the same types as
// the layer's); only a window handle differs, so handles here are platform::HWND.
#include "message_pump.h"
#else
#include "qt_env.h"
#include "test_prefix.h"
#endif

namespace testing_support {

#ifndef _WIN32
using namespace platform;
#endif

class WindowRecorderTest : public ::testing::Test {
  protected:
    struct Seen {
        UINT msg;
        WPARAM w;
        LPARAM l;
        bool onUiThread;
    };

    void SetUp() override {
#ifndef _WIN32
        qtApp();
#endif
        uiThread_ = std::this_thread::get_id();
    }
    void TearDown() override {
        for (platform::HWND h : created_)
            platform::destroyWindow(h);
    }

    // A window that records the messages of the layer's own kinds (WM_CREATE, WM_DESTROY,
    // WM_TIMER, WM_COMMNOTIFY, WM_COMMAND and private ones from WM_USER up) and answers a
    // private message with its wParam + 1; the system's other messages get the default
    // processing.
    platform::HWND recorder(LPARAM createParam = 0) {
        platform::HWND h = platform::createWindow(
            "recorder",
            [this](platform::HWND hwnd, UINT m, WPARAM w, LPARAM l) {
                if (m != WM_CREATE && m != WM_DESTROY && m != WM_TIMER && m != WM_COMMNOTIFY &&
                    m != WM_COMMAND && m < WM_USER)
                    return platform::defWindowProc(hwnd, m, w, l);
                seen_.push_back({m, w, l, std::this_thread::get_id() == uiThread_});
                return m >= WM_USER ? static_cast<LRESULT>(w) + 1 : LRESULT{0};
            },
            createParam);
        if (h)
            created_.push_back(h);
        return h;
    }
    int count(UINT msg) const {
        int n = 0;
        for (const Seen& s : seen_)
            n += s.msg == msg;
        return n;
    }
    int count(UINT msg, WPARAM w) const {
        int n = 0;
        for (const Seen& s : seen_)
            n += s.msg == msg && s.w == w;
        return n;
    }

#ifndef _WIN32
    TestPrefix prefix_;
#endif
    std::thread::id uiThread_;
    std::vector<Seen> seen_;
    std::vector<platform::HWND> created_;
};

}  // namespace testing_support
