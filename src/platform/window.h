// Windows and window messages.
//
// On Win32 these are the real thing (win32/window.cpp): real windows, SendMessageA, PostMessageA,
// SetTimer, EnumWindows. A platform::HWND there is the real window handle cut to 32 bits, which
// loses nothing: Windows keeps window handles within 32 significant bits and restores them by
// sign extension (see win32/window_win32.h). So handles are kept and compared as they are, and a
// window reached by its low word alone is the same window, as with the stand-in below. On Win32
// a MessageBuffer reaches windows of this process only; a pointer lParam from another process is
// valid here because its sender made it so, and lParamText reads it only after checking that a
// NUL-terminated text lies in readable memory. Sends to other threads give up after 5 s without
// an answer.
//
// On Linux they are our stand-in for Win32 top-level windows, on Qt's event loop.
//
// Every window is a top-level window of the prefix's message bus: it has a 32-bit handle whose
// low 16 bits are unique among the live windows of the prefix, so it can be reached by its low
// word alone (0xFFFF is the broadcast handle and never a window). Its procedure runs on the UI
// thread (the thread of the QCoreApplication) only.
//
// Delivery rules:
//  - sendMessage is synchronous. To a window of this process it calls the procedure directly; to
//    a window of another process it goes over the bus and waits for the result. While it waits
//    it handles messages sent to this process's windows (and only those: no posted messages,
//    timers or input), so a peer may call back during the send.
//  - HWND_BROADCAST sends to every live window of the prefix in turn, results ignored; a window
//    whose process is gone is skipped and its entry cleaned up; one that does not answer within
//    5 s is skipped.
//  - postMessage queues the message for the UI thread; it may be called from any thread.
//  - Once WM_DESTROY has begun nothing more reaches the procedure: its timers stop, posted
//    messages still queued are dropped, and isWindow answers false.
//  - A message a procedure does not handle gets defWindowProc: result 0 (on Win32 the system's
//    default processing, DefWindowProcA).
//  - Another process can only send or post messages that carry plain numbers or bytes: system
//    messages below WM_USER (creation, destruction, timers, serial notifications and the like)
//    reach a procedure only from this process's own window machinery; from another process they
//    are ignored (result 0), except WM_NULL, WM_SIZE, WM_CLOSE and WM_COMMAND.
//  - A send carries its deadline: a window that takes it after the sender has given up does not
//    get it (the bus says so through the debug hook).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// <windows.h> defines these names as macros of the same values; the declarations below must
// not see them, and a file that included it keeps its macros.
#pragma push_macro("HWND_BROADCAST")
#undef HWND_BROADCAST
#pragma push_macro("WM_CREATE")
#undef WM_CREATE
#pragma push_macro("WM_DESTROY")
#undef WM_DESTROY
#pragma push_macro("WM_SIZE")
#undef WM_SIZE
#pragma push_macro("WM_CLOSE")
#undef WM_CLOSE
#pragma push_macro("WM_GETMINMAXINFO")
#undef WM_GETMINMAXINFO
#pragma push_macro("WM_COMMNOTIFY")
#undef WM_COMMNOTIFY
#pragma push_macro("WM_COMMAND")
#undef WM_COMMAND
#pragma push_macro("WM_TIMER")
#undef WM_TIMER

namespace platform {

using HWND = std::uint32_t;  // 0: no window
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

inline constexpr HWND HWND_BROADCAST = 0xFFFF;

inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_SIZE = 0x0005;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_GETMINMAXINFO = 0x0024;
inline constexpr UINT WM_COMMNOTIFY = 0x0044;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

using WindowProc = std::function<LRESULT(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)>;

#ifdef _WIN32
LRESULT defWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);  // DefWindowProcA
#else
inline LRESULT defWindowProc(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}
#endif

// Bytes that stand for the memory a pointer lParam points at. The receiving procedure gets an
// lParam that points at a buffer of max(inSize, outSize) bytes plus a NUL, filled with the `in`
// bytes (the rest zero). After the procedure returns, the first outSize bytes of that buffer are
// copied back to `out`. The buffer lives for the duration of the call only.
struct MessageBuffer {
    const void* in = nullptr;
    std::size_t inSize = 0;
    void* out = nullptr;
    std::size_t outSize = 0;
};

// Creates a window of the given class name with its procedure, and delivers WM_CREATE with
// lParam = createParam before returning. If the procedure answers -1 to WM_CREATE the window is
// destroyed again (WM_DESTROY is delivered) and 0 is returned. Needs a QCoreApplication; call on
// the UI thread.
HWND createWindow(const std::string& className, WindowProc proc, LPARAM createParam = 0);

// Delivers WM_DESTROY to a window of this process and removes it from the bus. False for a
// handle that is no window of this process.
bool destroyWindow(HWND hwnd);

// Sets a window's title (SetWindowText), which findWindow matches. False for a handle that is no
// window of this process. UI thread.
bool setWindowText(HWND hwnd, const std::string& text);

// A message a window acts on (see setHandledMessages): every one, or only those whose wParam or
// lParam has the given low word (a window that answers the handshake of one device, say).
struct HandledMessage {
    enum class Only : std::uint8_t { Any, WParamLowWord, LParamLowWord };
    HandledMessage(UINT m) : msg(m) {}  // every one; implicit, so that a list of numbers will do
    HandledMessage(UINT m, Only o, std::uint16_t word) : msg(m), only(o), lowWord(word) {}
    // Whether a broadcast of this message with these parameters is one of those.
    bool covers(UINT m, WPARAM wParam, LPARAM lParam) const {
        return m == msg && (only == Only::Any ||
                            (only == Only::WParamLowWord && (wParam & 0xFFFF) == lowWord) ||
                            (only == Only::LParamLowWord &&
                             (static_cast<std::uintptr_t>(lParam) & 0xFFFF) == lowWord));
    }
    UINT msg;
    Only only = Only::Any;
    std::uint16_t lowWord = 0;
    friend bool operator==(const HandledMessage&, const HandledMessage&) = default;
};

// Names the messages from WM_USER up that a window of this process acts on now; its procedure
// gives every other one of them to defWindowProc. A broadcast from another process then passes
// the window by for those others, without waking this process: a broadcast's results are not
// looked at, so no peer can tell, and processes that start together no longer make each other
// handle the broadcasts of every other one that they would ignore anyway. Messages below
// WM_USER, and messages sent or posted to the window itself, are delivered as always. A window
// that never calls this gets every broadcast; one whose procedure starts to act on more calls it
// again first. False for a handle that is no window of this process. UI thread. On Win32
// broadcasts are the system's, and this only checks the handle.
bool setHandledMessages(HWND hwnd, std::vector<HandledMessage> messages);

// The first live window of the prefix (this process's included) with this class name and title,
// or 0 (FindWindow). Reads the registry only: no window is sent anything.
HWND findWindow(const std::string& className, const std::string& title);

// True for a live window of this process, or of another live process of the prefix.
bool isWindow(HWND hwnd);

// Handles (low words) of every live window of the prefix, this process's included, in
// ascending order (EnumWindows).
std::vector<HWND> enumWindows();

// Class name of a live window (of any process of the prefix), empty when there is none.
std::string windowClassName(HWND hwnd);

// Timers by id on a window of this process. Setting an id that runs restarts it with the new
// period; WM_TIMER (wParam = id) arrives every `ms` milliseconds until killed. Precise timers.
// setTimer returns the id, or 0 for a handle that is no window of this process.
unsigned setTimer(HWND hwnd, unsigned id, unsigned ms);
// Killing a timer that does not run does nothing (and returns false).
bool killTimer(HWND hwnd, unsigned id);

// Queues a message for a window (of this process, or of another process over the bus). Safe to
// call from any thread. False when the window does not exist.
bool postMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Synchronous send, see above. `buffer`, when given, carries the bytes behind a pointer lParam
// (the lParam argument is then ignored). Returns the procedure's result, 0 when the window does
// not exist or did not answer.
LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                    const MessageBuffer* buffer = nullptr);

// True while the calling procedure handles a message that another process sent or posted without
// a MessageBuffer: its lParam is then a plain number of that process, never a pointer that this
// process may follow. A procedure that reads memory behind lParam checks this first.
bool lParamFromOtherProcess();

// Size in bytes of the buffer behind lParam while the calling procedure handles a message that
// carries a MessageBuffer (from this process or another); 0 for any other message. A procedure
// that writes through lParam writes at most this many bytes.
std::size_t messageBufferSize();

// The NUL-terminated text behind a pointer lParam of the message being handled: "" when lParam
// is 0 or came from another process as a plain number (see lParamFromOtherProcess).
const char* lParamText(LPARAM lParam);

// Receives the message layer's own debug lines: a message from another process that was refused,
// a send that arrived after its sender had given up. Without a hook they go to stderr. Called on
// the UI thread.
void setDebugHook(std::function<void(const std::string& line)> hook);

// Ends the message loop with this exit code (PostQuitMessage).
void postQuitMessage(int code);

// Runs the UI thread's message loop until postQuitMessage; returns its code.
int runMessageLoop();

// Call before the process's Qt application object is built (Linux). The message loop then runs on
// Qt's own event dispatcher rather than GLib's: the loop uses nothing of GLib's, and GLib's costs
// more on every wake-up, which is most of what an idle driver does.
void chooseEventDispatcher();

// Calls `handler` on the UI thread (from the event loop, never inside a signal handler) when the
// process receives SIGTERM, SIGINT or SIGHUP. A synchronous send waiting when the signal comes
// ends at once (result 0), and no send made after it waits beyond 4 s after the signal, so that a
// hung peer cannot hold up the process's end.
void onTerminationSignal(std::function<void()> handler);

// Catches SIGTERM, SIGINT and SIGHUP from now on and keeps them until onTerminationSignal has a
// handler for them, so that a signal sent while the process is still starting up ends it
// cleanly instead of killing it. Call first thing in main(). Nothing runs in the signal handler
// itself: it only records the signal. Unblocks the three signals in the calling thread, so that
// ones a launcher held back (launcher.h) arrive now.
void holdTerminationSignals();

}  // namespace platform

#pragma pop_macro("HWND_BROADCAST")
#pragma pop_macro("WM_CREATE")
#pragma pop_macro("WM_DESTROY")
#pragma pop_macro("WM_SIZE")
#pragma pop_macro("WM_CLOSE")
#pragma pop_macro("WM_GETMINMAXINFO")
#pragma pop_macro("WM_COMMNOTIFY")
#pragma pop_macro("WM_COMMAND")
#pragma pop_macro("WM_TIMER")
