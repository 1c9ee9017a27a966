// A fake of what the infodriver client needs from the system: one window whose procedure the
// test drives directly, a record of every message and library call, and a scriptable peer.
#pragma once

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "infodriver/protocol.h"
#include "infodriver/roreziv.h"

namespace fake {

using namespace infodriver;

struct Sent {
    HWND to;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

struct LibraryCall {
    HWND info;
    UINT msg;
    std::int32_t slot;
    std::string value;  // written bytes, without the NUL
    std::int32_t one;
    std::int32_t count;
};

class FakeSystem : public RorezivSystem {
  public:
    // Peer behaviour for every send; the default answers nothing.
    std::function<LRESULT(const Sent&)> onSend;
    // Called for a write through entry 2, after it is recorded.
    std::function<void(const LibraryCall&)> onWrite;
    bool registerOk = true;
    int registerCalls = 0;
    HWND nextHandle = 0x12345;
    HWND window = 0;
    platform::WindowProc proc;
    std::vector<platform::HandledMessage> handled;  // what the window named
    std::vector<Sent> sent;
    std::vector<LibraryCall> calls;
    std::map<std::int32_t, std::string> slots;  // what reads return
    std::vector<std::pair<std::string, std::string>> boxes;

    bool registerClass(const char*) override {
        ++registerCalls;
        return registerOk;
    }
    HWND createWindow(const char*, platform::WindowProc p, LPARAM createParam) override {
        window = nextHandle;
        proc = std::move(p);
        if (proc(window, platform::WM_CREATE, 0, createParam) == -1) {
            proc(window, platform::WM_DESTROY, 0, 0);
            window = 0;
        }
        return window;
    }
    void setHandledMessages(HWND hwnd, std::vector<platform::HandledMessage> messages) override {
        if (hwnd == window || !window)
            handled = std::move(messages);
    }
    bool destroyWindow(HWND hwnd) override {
        if (!window || hwnd != window)
            return false;
        proc(window, platform::WM_DESTROY, 0, 0);
        window = 0;
        return true;
    }
    LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) override {
        sent.push_back({hwnd, msg, wParam, lParam});
        return onSend ? onSend(sent.back()) : 0;
    }
    void messageBox(const char* text, const char* caption) override {
        boxes.emplace_back(text, caption);
    }
    std::int32_t libraryEntry1(HWND hwnd, WPARAM wParam, LPARAM lParam) override {
        sent.push_back({hwnd, 0, wParam, lParam});
        return 77;
    }
    std::int32_t libraryEntry2(HWND info, UINT msg, std::int32_t slot, char* buffer,
                               std::int32_t one, std::int32_t count) override {
        if (msg == ZED_SLOTREAD) {
            calls.push_back({info, msg, slot, {}, one, count});
            std::string v = slots[slot].substr(0, 255);
            std::memcpy(buffer, v.c_str(), v.size() + 1);
        } else {
            calls.push_back(
                {info, msg, slot, std::string(buffer, strnlen(buffer, count)), one, count});
            slots[slot] = calls.back().value;
            if (onWrite)
                onWrite(calls.back());
        }
        return 1;
    }

    // A message from the peer to the client window.
    LRESULT deliver(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return proc(window, msg, wParam, lParam);
    }
    // A peer that answers the handshake as the infodriver `info`.
    void answerHandshake(HWND info) {
        onSend = [this, info](const Sent& s) -> LRESULT {
            if (s.msg == ZED_FINDINFODRIVER)
                proc(lowWord(s.wParam), ZED_INFODRIVERHWND, info, 0);
            return 0;
        };
    }
    std::vector<UINT> messages() const {
        std::vector<UINT> v;
        for (const auto& s : sent)
            v.push_back(s.msg);
        return v;
    }
    std::vector<LibraryCall> writes() const {
        std::vector<LibraryCall> v;
        for (const auto& c : calls)
            if (c.msg != ZED_SLOTREAD)
                v.push_back(c);
        return v;
    }
};

}  // namespace fake
