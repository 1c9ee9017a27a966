// Windows, timers, posted messages, the message loop and termination signals on Qt's event loop.
//
// Procedures run on the UI thread only. Messages posted from other threads go through one queue
// guarded by our own mutex (so that the hand-over is visible to ThreadSanitizer) and a wake-up
// event posted to a dispatcher object that lives on the UI thread; the queue is drained in order.
#include "platform/window.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/linux/bus_internal.h"

namespace platform {

namespace {

// Shortest timer period; a period of 0 would fire on every pass of the loop and burn a core.
constexpr unsigned kMinTimerMs = 10;

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::User + 0x4B4C);

struct Window {
    HWND hwnd = 0;
    std::uint64_t serial = 0;  // tells a window apart from a later one with the same handle
    std::string className;
    std::string title;                                   // guarded by State::mu
    std::optional<std::vector<HandledMessage>> handled;  // none: every message. UI thread
    WindowProc proc;
    std::map<unsigned, QTimer*> timers;  // UI thread only
    detail::BusEntry entry;
};

class Dispatcher : public QObject {
  public:
    bool event(QEvent* e) override;
};

struct State {
    std::mutex mu;
    // Live windows by low word. Guarded by mu.
    std::map<std::uint16_t, std::shared_ptr<Window>> windows;
    std::uint64_t nextSerial = 1;
    std::uint16_t nextLocalLow = 1;
    // Jobs for the UI thread, in order. Guarded by mu.
    std::deque<std::function<void()>> jobs;
    bool wakePending = false;
    std::atomic<Dispatcher*> dispatcher{nullptr};

    // Receives the debug lines of the message layer (UI thread).
    std::function<void(const std::string&)> debugHook;

    // Termination signals (UI thread).
    std::function<void()> signalHandler;
    int signalPipe[2] = {-1, -1};
    // CLOCK_MONOTONIC nanoseconds of the first termination signal, 0 before it. Written in the
    // signal handler.
    std::atomic<std::int64_t> terminationNs{0};
    QSocketNotifier* signalNotifier = nullptr;
};

// Never destroyed: lives until the process ends, so no static destructor runs in an unknown order.
State& state() {
    static State* s = new State;
    return *s;
}

std::uint16_t lowWord(HWND h) {
    return static_cast<std::uint16_t>(h & 0xFFFF);
}

// Set while a procedure runs for a message whose lParam came from another process as a number.
thread_local bool foreignLParam = false;
// Size of the buffer behind lParam while a procedure runs for a message that carries bytes.
thread_local std::size_t lParamBufferSize = 0;

// Calls a procedure, marking (or clearing) the lParam as foreign for the duration of the call.
LRESULT callProc(const std::shared_ptr<Window>& w, UINT msg, WPARAM wParam, LPARAM lParam,
                 bool foreign, std::size_t bufferSize = 0) {
    bool savedForeign = foreignLParam;
    std::size_t savedSize = lParamBufferSize;
    foreignLParam = foreign;
    lParamBufferSize = bufferSize;
    LRESULT r = w->proc(w->hwnd, msg, wParam, lParam);
    foreignLParam = savedForeign;
    lParamBufferSize = savedSize;
    return r;
}

bool Dispatcher::event(QEvent* e) {
    State& s = state();
    // Runs the jobs queued so far, oldest first. Jobs queued meanwhile post a new wake-up, so a
    // procedure that keeps posting to itself cannot starve timers and sockets, and a nested event
    // loop (a modal box) still gets its posted messages, in order.
    std::size_t budget = 0;
    bool wake = false;
    {
        // A wake-up is made under the lock by whichever thread queued the job (enqueue), and
        // looked at under it here: the hand-over inside Qt is one that ThreadSanitizer cannot see.
        std::lock_guard lock(s.mu);
        wake = e->type() == kWakeEvent;
        if (wake) {
            s.wakePending = false;
            budget = s.jobs.size();
        }
    }
    if (!wake)
        return QObject::event(e);
    for (; budget > 0; --budget) {
        std::function<void()> job;
        {
            std::lock_guard lock(s.mu);
            if (s.jobs.empty())
                break;
            job = std::move(s.jobs.front());
            s.jobs.pop_front();
        }
        job();
    }
    return true;
}

// The dispatcher, created on the UI thread on first use; null without a QCoreApplication.
Dispatcher* dispatcher() {
    State& s = state();
    if (Dispatcher* d = s.dispatcher.load())
        return d;
    if (!QCoreApplication::instance() || !detail::isUiThread())
        return nullptr;
    auto* d = new Dispatcher;
    s.dispatcher.store(d);
    return d;
}

// Queues a job for the UI thread. Safe from any thread.
bool enqueue(std::function<void()> job) {
    State& s = state();
    Dispatcher* d = s.dispatcher.load();
    if (!d)
        return false;
    QEvent* wake = nullptr;
    {
        std::lock_guard lock(s.mu);
        s.jobs.push_back(std::move(job));
        if (!s.wakePending) {
            s.wakePending = true;
            wake = new QEvent(kWakeEvent);
        }
    }
    if (wake)
        QCoreApplication::postEvent(d, wake);
    return true;
}

std::shared_ptr<Window> findLocal(HWND hwnd) {
    State& s = state();
    std::lock_guard lock(s.mu);
    auto it = s.windows.find(lowWord(hwnd));
    return it == s.windows.end() ? nullptr : it->second;
}

// True while `w` is still the live window it was when looked up.
bool stillLive(const std::shared_ptr<Window>& w) {
    auto now = findLocal(w->hwnd);
    return now && now->serial == w->serial;
}

// Calls the procedure with lParam pointing at a fresh buffer that holds the `in` bytes.
LRESULT callWithBuffer(const std::shared_ptr<Window>& w, UINT msg, WPARAM wParam, const void* in,
                       std::size_t inSize, void* out, std::size_t outSize) {
    const std::size_t size = std::max(inSize, outSize);
    std::vector<char> buf(size + 1, 0);
    if (in && inSize)
        std::memcpy(buf.data(), in, inSize);
    LRESULT r = callProc(w, msg, wParam, reinterpret_cast<LPARAM>(buf.data()), false, size);
    if (out && outSize)
        std::memcpy(out, buf.data(), outSize);
    return r;
}

LRESULT sendLocal(const std::shared_ptr<Window>& w, UINT msg, WPARAM wParam, LPARAM lParam,
                  const MessageBuffer* buffer) {
    if (!buffer)
        return callProc(w, msg, wParam, lParam, false);
    return callWithBuffer(w, msg, wParam, buffer->in, buffer->inSize, buffer->out, buffer->outSize);
}

// Sends to one window (by low word) from the UI thread, locally or over the bus.
LRESULT sendOne(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam,
                const MessageBuffer* buffer, bool broadcast, bool& answered) {
    answered = false;
    if (auto w = findLocal(low)) {
        answered = true;
        return sendLocal(w, msg, wParam, lParam, buffer);
    }
    return detail::busSendTo(low, msg, wParam, lParam, buffer, broadcast, answered);
}

// Sends to a window of this process from another thread: the UI thread runs the procedure while
// this thread waits.
LRESULT sendLocalFromThread(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam,
                            const MessageBuffer* buffer) {
    struct Wait {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        LRESULT result = 0;
    };
    auto wait = std::make_shared<Wait>();
    bool queued = enqueue([=] {
        LRESULT r = 0;
        if (auto w = findLocal(low))
            r = sendLocal(w, msg, wParam, lParam, buffer);
        std::lock_guard lock(wait->mu);
        wait->result = r;
        wait->done = true;
        wait->cv.notify_all();
    });
    if (!queued)
        return 0;
    std::unique_lock lock(wait->mu);
    wait->cv.wait(lock, [&] { return wait->done; });
    return wait->result;
}

// Low words of this process's windows added to `lows`, sorted, each once.
std::vector<std::uint16_t> withLocalWindows(std::vector<std::uint16_t> lows) {
    {
        State& s = state();
        std::lock_guard lock(s.mu);
        for (auto& [low, w] : s.windows)
            lows.push_back(low);
    }
    std::sort(lows.begin(), lows.end());
    lows.erase(std::unique(lows.begin(), lows.end()), lows.end());
    return lows;
}

std::vector<std::uint16_t> allLiveWindows() {
    return withLocalWindows(detail::busLiveWindows());
}

bool postLocal(const std::shared_ptr<Window>& w, UINT msg, WPARAM wParam, LPARAM lParam,
               bool foreign = false) {
    return enqueue([w, msg, wParam, lParam, foreign] {
        // A window destroyed (or replaced) since the post gets nothing.
        if (stillLive(w))
            callProc(w, msg, wParam, lParam, foreign);
    });
}

bool postOne(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (auto w = findLocal(low))
        return postLocal(w, msg, wParam, lParam);
    if (detail::isUiThread())
        return detail::busPostTo(low, msg, wParam, lParam);
    // Bus connections belong to the UI thread; it writes the post for us, in order.
    auto remote = detail::busLookup(low);
    if (!remote || remote->pid == getpid())
        return false;
    return enqueue([low, msg, wParam, lParam] { detail::busPostTo(low, msg, wParam, lParam); });
}

// System messages another process may send: they carry plain numbers only, and Win32 passes them
// between processes too. Every other message below WM_USER comes only from this process's own
// window machinery (creation, destruction, timers, serial notifications, pointer parameters).
bool acceptedFromOtherProcess(UINT msg) {
    constexpr UINT kWmNull = 0x0000;
    return msg >= WM_USER || msg == kWmNull || msg == WM_SIZE || msg == WM_CLOSE ||
           msg == WM_COMMAND;
}

void refuseFromOtherProcess(UINT msg) {
    detail::debugLine("Ignored message " + std::to_string(msg) + " from another process");
}

void onSignal(int sig) {
    int saved = errno;
    State& s = state();
    if (s.terminationNs.load() == 0) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
        s.terminationNs.store(std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec);
    }
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t n = write(state().signalPipe[1], &b, 1);
    (void)n;
    errno = saved;
}

}  // namespace

namespace detail {

bool isUiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread();
}

LRESULT deliverFromBus(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam, bool hasBuffer,
                       const std::vector<std::uint8_t>& in, std::uint32_t outSize,
                       std::vector<std::uint8_t>& out, bool& found) {
    auto w = findLocal(low);
    found = w != nullptr;
    if (!w)
        return 0;
    if (!acceptedFromOtherProcess(msg)) {
        refuseFromOtherProcess(msg);
        return 0;
    }
    if (!hasBuffer)
        return callProc(w, msg, wParam, lParam, true);
    out.assign(outSize, 0);
    return callWithBuffer(w, msg, wParam, in.data(), in.size(), out.data(), outSize);
}

void postFromBus(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto w = findLocal(low);
    if (!w)
        return;
    if (!acceptedFromOtherProcess(msg))
        return refuseFromOtherProcess(msg);
    postLocal(w, msg, wParam, lParam, true);
}

void debugLine(const std::string& line) {
    State& s = state();
    if (s.debugHook && isUiThread()) {
        auto hook = s.debugHook;  // the hook may replace itself
        hook(line);
    } else {
        std::fprintf(stderr, "kelp: %s\n", line.c_str());
    }
}

int terminationSignalFd() {
    return state().signalPipe[0];
}

std::int64_t terminationSignalNs() {
    return state().terminationNs.load();
}

std::size_t localWindowCount() {
    State& s = state();
    std::lock_guard lock(s.mu);
    return s.windows.size();
}

}  // namespace detail

HWND createWindow(const std::string& className, WindowProc proc, LPARAM createParam) {
    if (!proc || !dispatcher())
        return 0;
    State& s = state();
    auto w = std::make_shared<Window>();
    w->className = className;
    w->proc = std::move(proc);
    HWND h = detail::busRegister(className, w->entry);
    {
        std::lock_guard lock(s.mu);
        if (h == 0) {
            // No bus: a handle unique within this process (the high word marks it as local).
            for (int tries = 0; tries < 0xFFFE && h == 0; ++tries) {
                std::uint16_t low = s.nextLocalLow;
                s.nextLocalLow = s.nextLocalLow >= 0xFFFE ? 1 : s.nextLocalLow + 1;
                if (!s.windows.count(low))
                    h = 0x7FFF0000u | low;
            }
            if (h == 0)
                return 0;
        }
        w->hwnd = h;
        w->serial = s.nextSerial++;
        s.windows[lowWord(h)] = w;
    }
    if (callProc(w, WM_CREATE, 0, createParam, false) == -1) {
        destroyWindow(h);
        return 0;
    }
    return stillLive(w) ? h : 0;
}

bool destroyWindow(HWND hwnd) {
    State& s = state();
    std::shared_ptr<Window> w;
    {
        std::lock_guard lock(s.mu);
        auto it = s.windows.find(lowWord(hwnd));
        if (it == s.windows.end())
            return false;
        w = it->second;
        s.windows.erase(it);
    }
    // From here on the window is gone for everyone: queued posts find no live window, timers stop.
    for (auto& [id, t] : w->timers) {
        t->stop();
        t->deleteLater();
    }
    w->timers.clear();
    detail::busUnregister(w->entry);
    callProc(w, WM_DESTROY, 0, 0, false);
    return true;
}

bool setWindowText(HWND hwnd, const std::string& text) {
    auto w = findLocal(hwnd);
    if (!w || !detail::isUiThread())
        return false;
    {
        std::lock_guard lock(state().mu);
        w->title = text;
    }
    if (w->entry.fd >= 0)
        detail::busPublish(w->entry, w->hwnd, w->className, text, w->handled);
    return true;
}

bool setHandledMessages(HWND hwnd, std::vector<HandledMessage> messages) {
    auto w = findLocal(hwnd);
    if (!w || !detail::isUiThread())
        return false;
    w->handled = std::move(messages);
    std::string title;
    {
        std::lock_guard lock(state().mu);
        title = w->title;
    }
    if (w->entry.fd >= 0)
        detail::busPublish(w->entry, w->hwnd, w->className, title, w->handled);
    return true;
}

HWND findWindow(const std::string& className, const std::string& title) {
    {
        State& s = state();
        std::lock_guard lock(s.mu);
        for (auto& [low, w] : s.windows)
            if (w->className == className && w->title == title)
                return low;
    }
    return detail::busFindWindow(className, title);
}

bool isWindow(HWND hwnd) {
    std::uint16_t low = lowWord(hwnd);
    if (low == 0 || low == 0xFFFF)
        return false;
    if (findLocal(low))
        return true;
    return detail::busIsRemoteWindow(low);
}

std::vector<HWND> enumWindows() {
    std::vector<std::uint16_t> lows = allLiveWindows();
    return std::vector<HWND>(lows.begin(), lows.end());
}

std::string windowClassName(HWND hwnd) {
    std::uint16_t low = lowWord(hwnd);
    if (low == 0 || low == 0xFFFF)
        return {};
    if (auto w = findLocal(low))
        return w->className;
    auto r = detail::busLookup(low);
    return r && r->pid != getpid() ? r->className : std::string();
}

unsigned setTimer(HWND hwnd, unsigned id, unsigned ms) {
    auto w = findLocal(hwnd);
    Dispatcher* d = state().dispatcher.load();
    if (!w || !d || !detail::isUiThread())
        return 0;
    int period = static_cast<int>(std::clamp<unsigned>(ms, kMinTimerMs, 0x7FFFFFFF));
    QTimer*& t = w->timers[id];
    if (!t) {
        t = new QTimer(d);
        t->setTimerType(Qt::PreciseTimer);
        std::weak_ptr<Window> weak = w;
        QObject::connect(t, &QTimer::timeout, d, [weak, id] {
            auto win = weak.lock();
            if (win && stillLive(win))
                callProc(win, WM_TIMER, id, 0, false);
        });
    }
    t->start(period);  // restarts a running timer with the new period
    return id;
}

bool killTimer(HWND hwnd, unsigned id) {
    auto w = findLocal(hwnd);
    if (!w || !detail::isUiThread())
        return false;
    auto it = w->timers.find(id);
    if (it == w->timers.end() || !it->second->isActive())
        return false;
    // The stopped timer object is kept for the next setTimer of this id: a reply timer is killed
    // and set again for every packet, and making and deleting a QTimer each time costs more than
    // the rest of the packet's handling in the window layer.
    it->second->stop();
    return true;
}

bool postMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::uint16_t low = lowWord(hwnd);
    if (low == 0)
        return false;
    if (low == 0xFFFF) {
        for (std::uint16_t l : allLiveWindows())
            postOne(l, msg, wParam, lParam);
        return true;
    }
    return postOne(low, msg, wParam, lParam);
}

LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                    const MessageBuffer* buffer) {
    std::uint16_t low = lowWord(hwnd);
    if (low == 0)
        return 0;
    bool ui = detail::isUiThread();
    const bool broadcast = low == 0xFFFF;
    auto one = [&](std::uint16_t l) -> LRESULT {
        bool answered = false;
        if (ui)
            return sendOne(l, msg, wParam, lParam, buffer, broadcast, answered);
        if (findLocal(l))
            return sendLocalFromThread(l, msg, wParam, lParam, buffer);
        return detail::busSendTo(l, msg, wParam, lParam, buffer, broadcast, answered);
    };
    if (!broadcast)
        return one(low);
    // Broadcast: ours and every other live window that takes the message, in turn, results
    // ignored. Dead and hung peers are skipped by the send (which finds the dead ones out) and
    // its time limit.
    for (std::uint16_t l : withLocalWindows(detail::busBroadcastTargets(msg, wParam, lParam)))
        one(l);
    return 0;
}

bool lParamFromOtherProcess() {
    return foreignLParam;
}

std::size_t messageBufferSize() {
    return lParamBufferSize;
}

const char* lParamText(LPARAM lParam) {
    if (lParam == 0 || foreignLParam)
        return "";
    return reinterpret_cast<const char*>(lParam);
}

void setDebugHook(std::function<void(const std::string& line)> hook) {
    state().debugHook = std::move(hook);
}

void postQuitMessage(int code) {
    // Queued, so that a quit requested before the loop runs still ends it once it starts.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

int runMessageLoop() {
    if (!QCoreApplication::instance())
        return -1;
    return QCoreApplication::exec();
}

void chooseEventDispatcher() {
    setenv("QT_NO_GLIB", "1", 1);
}

void holdTerminationSignals() {
    // The handler only writes the signal's number into a pipe; whatever reads the pipe later
    // (onTerminationSignal) sees the signals that came meanwhile.
    State& s = state();
    sigset_t termination;
    sigemptyset(&termination);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&termination, sig);
    if (s.signalPipe[0] < 0 && pipe2(s.signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            sigaction(sig, &sa, nullptr);
    }
    // A launcher may have blocked them until now (launcher.h); a signal that came meanwhile is
    // delivered to the handler here.
    pthread_sigmask(SIG_UNBLOCK, &termination, nullptr);
}

void onTerminationSignal(std::function<void()> handler) {
    State& s = state();
    Dispatcher* d = dispatcher();
    if (!d)
        return;
    s.signalHandler = std::move(handler);
    if (s.signalNotifier)
        return;
    holdTerminationSignals();
    if (s.signalPipe[0] < 0)
        return;
    s.signalNotifier = new QSocketNotifier(s.signalPipe[0], QSocketNotifier::Read, d);
    QObject::connect(s.signalNotifier, &QSocketNotifier::activated, d, [] {
        State& st = state();
        unsigned char buf[64];
        bool got = false;
        while (read(st.signalPipe[0], buf, sizeof buf) > 0)
            got = true;
        if (got && st.signalHandler) {
            auto h = st.signalHandler;  // the handler may replace itself
            h();
        }
    });
}

}  // namespace platform
