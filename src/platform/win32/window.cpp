// Windows and window messages on Win32: real windows, SendMessage, PostMessage and timers, with
// the delivery rules of platform/window.h kept by one window procedure for every class we
// register.
#include "platform/window.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "platform/win32/window_win32.h"

namespace platform {

namespace {

// A send to another thread that shows no sign of life for this long is given up (a hung peer
// must not hang the caller); a broadcast skips such a window and goes on with the next.
constexpr UINT kSendTimeoutMs = 5000;

// Longest text that lParamText accepts behind a pointer before it gives up looking for its end.
constexpr std::size_t kMaxLParamText = 1 << 20;

// Posted to the UI thread (no window) when a termination event arrived.
constexpr UINT kTerminationMessage = WM_APP + 0x3F00;

struct Window {
    WindowProc proc;
    bool destroying = false;    // WM_DESTROY has begun: nothing more reaches proc
    std::set<unsigned> timers;  // ids set and not yet killed
};

// Windows of this process by handle. Procedures run on the UI thread; the lock is for isWindow
// and postMessage, which any thread may call.
std::mutex windowsMutex;
std::map<HWND, std::shared_ptr<Window>> windows;

std::shared_ptr<Window> ownWindow(HWND hwnd) {
    std::lock_guard<std::mutex> lock(windowsMutex);
    auto it = windows.find(hwnd);
    return it == windows.end() ? nullptr : it->second;
}

// What createWindow hands to the window procedure through CreateWindowEx.
struct Creation {
    WindowProc proc;
    LPARAM createParam;
};

// Size of the buffer behind lParam while a procedure handles a send that carries one.
thread_local std::size_t currentBufferSize = 0;

std::mutex filterMutex;
std::function<bool(MSG&)> messageFilter;

// Termination events (console control events) reach the UI thread as a thread message.
std::atomic<DWORD> uiThreadId{0};
std::atomic<bool> terminationPending{false};
std::mutex terminationMutex;
std::function<void()> terminationHandler;

// Delivers WM_DESTROY, after which nothing more reaches the procedure.
LRESULT beginDestroy(::HWND native, Window& window) {
    window.destroying = true;
    for (unsigned id : window.timers)
        KillTimer(native, id);
    window.timers.clear();
    return window.proc(win32::fromNative(native), WM_DESTROY, 0, 0);
}

LRESULT CALLBACK dispatch(::HWND native, UINT msg, WPARAM wParam, LPARAM lParam) {
    const HWND hwnd = win32::fromNative(native);
    if (msg == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        const auto* creation = static_cast<const Creation*>(cs->lpCreateParams);
        auto window = std::make_shared<Window>();
        window->proc = creation->proc;
        std::lock_guard<std::mutex> lock(windowsMutex);
        windows[hwnd] = std::move(window);
    } else if (msg == WM_NCDESTROY) {
        std::lock_guard<std::mutex> lock(windowsMutex);
        windows.erase(hwnd);
    }
    // Messages before WM_NCCREATE (WM_GETMINMAXINFO), the non-client creation and destruction,
    // and everything after WM_DESTROY began get the system's default processing only.
    std::shared_ptr<Window> window = ownWindow(hwnd);
    if (!window || window->destroying || msg == WM_NCCREATE || msg == WM_NCDESTROY)
        return DefWindowProcA(native, msg, wParam, lParam);
    switch (msg) {
        case WM_CREATE: {
            const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            const auto* creation = static_cast<const Creation*>(cs->lpCreateParams);
            LRESULT result = window->proc(hwnd, msg, wParam, creation->createParam);
            // A refused creation destroys the window again; its procedure is told so, whether
            // or not the system sends WM_DESTROY for a window that never finished its creation.
            if (result == -1)
                beginDestroy(native, *window);
            return result;
        }
        case WM_DESTROY:
            return beginDestroy(native, *window);
        default:
            return window->proc(hwnd, msg, wParam, lParam);
    }
}

bool registerClass(const std::string& className, const win32::WindowSpec& spec) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (GetClassInfoExA(instance, className.c_str(), &wc))
        return wc.lpfnWndProc == dispatch;
    wc = WNDCLASSEXA{};
    wc.cbSize = sizeof wc;
    wc.style = spec.classStyle;
    wc.lpfnWndProc = dispatch;
    wc.hInstance = instance;
    wc.hIcon = spec.icon;
    wc.hIconSm = spec.smallIcon;
    wc.hCursor = spec.cursor;
    wc.hbrBackground = spec.background;
    wc.lpszClassName = className.c_str();
    return RegisterClassExA(&wc) != 0;
}

bool readable(DWORD protect) {
    if (protect & (PAGE_GUARD | PAGE_NOACCESS))
        return false;
    return (protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                       PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

// True when a NUL-terminated text starts at p in memory this process may read.
bool readableText(const char* p) {
    const char* cursor = p;
    std::size_t scanned = 0;
    while (scanned < kMaxLParamText) {
        MEMORY_BASIC_INFORMATION mbi{};
        if (VirtualQuery(cursor, &mbi, sizeof mbi) == 0 || mbi.State != MEM_COMMIT ||
            !readable(mbi.Protect))
            return false;
        const char* regionEnd = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
        std::size_t span = std::min<std::size_t>(static_cast<std::size_t>(regionEnd - cursor),
                                                 kMaxLParamText - scanned);
        if (std::memchr(cursor, 0, span))
            return true;
        cursor = regionEnd;
        scanned += span;
    }
    return false;
}

LRESULT sendTimed(::HWND target, UINT msg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(target, msg, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &result))
        return 0;
    return static_cast<LRESULT>(result);
}

// A send whose lParam points at a copy of the buffer's bytes. Only windows of this process can
// follow such a pointer.
LRESULT sendWithBuffer(HWND hwnd, UINT msg, WPARAM wParam, const MessageBuffer& buffer) {
    std::shared_ptr<Window> window = ownWindow(hwnd);
    if (!window || window->destroying)
        return 0;
    const std::size_t size = std::max(buffer.inSize, buffer.outSize);
    auto bytes = std::make_unique<char[]>(size + 1);
    std::memset(bytes.get(), 0, size + 1);
    if (buffer.in && buffer.inSize)
        std::memcpy(bytes.get(), buffer.in, buffer.inSize);
    const std::size_t outer = std::exchange(currentBufferSize, size);
    LRESULT result =
        sendTimed(win32::toNative(hwnd), msg, wParam, reinterpret_cast<LPARAM>(bytes.get()));
    currentBufferSize = outer;
    if (buffer.out && buffer.outSize)
        std::memcpy(buffer.out, bytes.get(), buffer.outSize);
    return result;
}

}  // namespace

namespace win32 {

::HWND toNative(platform::HWND hwnd) {
    return reinterpret_cast<::HWND>(static_cast<LONG_PTR>(static_cast<std::int32_t>(hwnd)));
}

platform::HWND fromNative(::HWND hwnd) {
    return static_cast<platform::HWND>(reinterpret_cast<ULONG_PTR>(hwnd));
}

platform::HWND createWindow(const std::string& className, const WindowSpec& spec, WindowProc proc,
                            LPARAM createParam) {
    if (!proc || !registerClass(className, spec))
        return 0;
    Creation creation{std::move(proc), createParam};
    ::HWND native = CreateWindowExA(spec.exStyle, className.c_str(), spec.title, spec.style, spec.x,
                                    spec.y, spec.width, spec.height, nullptr, spec.menu,
                                    GetModuleHandleA(nullptr), &creation);
    return fromNative(native);
}

void setMessageFilter(std::function<bool(MSG&)> filter) {
    std::lock_guard<std::mutex> lock(filterMutex);
    messageFilter = std::move(filter);
}

}  // namespace win32

LRESULT defWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(win32::toNative(hwnd), msg, wParam, lParam);
}

HWND createWindow(const std::string& className, WindowProc proc, LPARAM createParam) {
    // A hidden top-level window: it receives broadcasts, which a message-only window would not.
    return win32::createWindow(className, win32::WindowSpec{}, std::move(proc), createParam);
}

bool destroyWindow(HWND hwnd) {
    if (!ownWindow(hwnd))
        return false;
    return DestroyWindow(win32::toNative(hwnd)) != 0;
}

bool setWindowText(HWND hwnd, const std::string& text) {
    if (!ownWindow(hwnd))
        return false;
    return SetWindowTextA(win32::toNative(hwnd), text.c_str()) != 0;
}

// The system delivers broadcasts itself; there is nothing to tell it.
bool setHandledMessages(HWND hwnd, std::vector<HandledMessage>) {
    return ownWindow(hwnd) != nullptr;
}

HWND findWindow(const std::string& className, const std::string& title) {
    return win32::fromNative(FindWindowA(className.c_str(), title.c_str()));
}

bool isWindow(HWND hwnd) {
    if (hwnd == 0 || hwnd == HWND_BROADCAST)
        return false;
    if (std::shared_ptr<Window> window = ownWindow(hwnd))
        return !window->destroying;
    return IsWindow(win32::toNative(hwnd)) != 0;
}

std::vector<HWND> enumWindows() {
    std::vector<HWND> found;
    EnumWindows(
        [](::HWND native, LPARAM context) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(context)->push_back(win32::fromNative(native));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    std::sort(found.begin(), found.end());
    return found;
}

std::string windowClassName(HWND hwnd) {
    char name[256];
    int n = GetClassNameA(win32::toNative(hwnd), name, sizeof name);
    return n > 0 ? std::string(name, static_cast<std::size_t>(n)) : std::string();
}

unsigned setTimer(HWND hwnd, unsigned id, unsigned ms) {
    std::shared_ptr<Window> window = ownWindow(hwnd);
    if (!window || window->destroying)
        return 0;
    if (!SetTimer(win32::toNative(hwnd), id, ms, nullptr))
        return 0;
    window->timers.insert(id);
    return id;
}

bool killTimer(HWND hwnd, unsigned id) {
    std::shared_ptr<Window> window = ownWindow(hwnd);
    if (!window || window->timers.erase(id) == 0)
        return false;
    return KillTimer(win32::toNative(hwnd), id) != 0;
}

bool postMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == 0)
        return false;
    if (std::shared_ptr<Window> window = ownWindow(hwnd); window && window->destroying)
        return false;
    return PostMessageA(win32::toNative(hwnd), msg, wParam, lParam) != 0;
}

LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                    const MessageBuffer* buffer) {
    if (hwnd == 0)
        return 0;
    if (buffer)
        return hwnd == HWND_BROADCAST ? 0 : sendWithBuffer(hwnd, msg, wParam, *buffer);
    if (hwnd != HWND_BROADCAST)
        return sendTimed(win32::toNative(hwnd), msg, wParam, lParam);
    // A broadcast is a send to every top-level window in turn, results ignored. It is made here
    // rather than by the system, which leaves out messages in the range from WM_USER to 0xBFFF,
    // where some of the protocol's broadcasts lie; a hung window is skipped after 5 s.
    for (HWND target : enumWindows())
        sendTimed(win32::toNative(target), msg, wParam, lParam);
    return 0;
}

bool lParamFromOtherProcess() {
    // A pointer lParam from another process is made valid in this one by its sender, as the
    // protocol demands; lParamText still checks the memory before anything reads it.
    return false;
}

std::size_t messageBufferSize() {
    return currentBufferSize;
}

const char* lParamText(LPARAM lParam) {
    if (lParam == 0)
        return "";
    const auto* text = reinterpret_cast<const char*>(lParam);
    return readableText(text) ? text : "";
}

void setDebugHook(std::function<void(const std::string& line)>) {
    // The system delivers and refuses messages itself: this layer has no lines of its own.
}

void postQuitMessage(int code) {
    PostQuitMessage(code);
}

void chooseEventDispatcher() {
    // The system's own message loop: nothing to choose.
}

int runMessageLoop() {
    MSG msg{};
    for (;;) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(msg.wParam);
        if (got < 0)
            return -1;
        if (msg.hwnd == nullptr && msg.message == kTerminationMessage) {
            std::function<void()> handler;
            {
                std::lock_guard<std::mutex> lock(terminationMutex);
                handler = terminationHandler;
            }
            if (handler && terminationPending.exchange(false))
                handler();
            continue;
        }
        std::function<bool(MSG&)> filter;
        {
            std::lock_guard<std::mutex> lock(filterMutex);
            filter = messageFilter;
        }
        if (filter && filter(msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

namespace {

void postTermination() {
    if (DWORD thread = uiThreadId.load())
        PostThreadMessageA(thread, kTerminationMessage, 0, 0);
}

BOOL WINAPI consoleControl(DWORD) {
    // Runs on a thread of its own: record the event and let the UI thread act on it.
    terminationPending = true;
    postTermination();
    return TRUE;
}

}  // namespace

void onTerminationSignal(std::function<void()> handler) {
    {
        std::lock_guard<std::mutex> lock(terminationMutex);
        terminationHandler = std::move(handler);
    }
    if (terminationPending.load())
        postTermination();
}

void holdTerminationSignals() {
    uiThreadId = GetCurrentThreadId();
    // Gives the thread its message queue now, so that an event arriving before the message loop
    // runs is queued and not lost.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetConsoleCtrlHandler(consoleControl, TRUE);
}

}  // namespace platform
