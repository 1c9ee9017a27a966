// The message bus: windows of all processes of a prefix reach each other over Unix sockets.
//
// Registry: every window owns a file "w<low word in hex>" in the prefix's runtime folder and holds
// an flock on it for its life. The file says which process owns the window (pid, full handle,
// class name, title) and, when the window has named them, the messages it handles: a broadcast
// passes by a window that does not handle its message, without a connection to its process. A
// file whose lock can be taken belongs to a dead process and is removed by whoever finds it; the
// kernel drops the lock when a process dies, even by SIGKILL. Every change of an entry sets its
// mark (bus_marks.h), so that a broadcast reads again only the entries that changed.
//
// Transport: each process with windows listens on "b<pid>.s" in the runtime folder (mode 0700, so
// no other user can connect; the peer's uid is checked too). A connection starts with a Hello that
// carries the prefix id; then Send, Post and Reply frames (bus_frame.h). All socket work of the
// process happens on the UI thread, except a send made from another thread, which uses a
// connection of its own and does not handle incoming messages while it waits.
//
// Descriptors stay bounded whatever the peers do: a process keeps at most kMaxIncoming incoming
// connections (the least recently active idle one makes room for a new one), drops a connection
// that has not said Hello within kHelloTimeoutMs, keeps at most kMaxPooled outgoing connections
// and closes those unused for kIdleCloseMs. A broadcast reaches every process of the prefix, so
// it pools nothing: a target without an idle pooled connection gets a one-send connection, whose
// Hello and send go in one write and which the target closes once it has answered, so that it
// never wakes again for the end of the stream. Sends from other threads than the UI thread go
// the same way. Running out of descriptors costs the
// connection that was waiting, never the process.
//
// A peer may close a connection that has our send unread (a pooled one it let go, one shed under
// load); the kernel then reports a reset instead of an end of stream. Nothing was delivered, so
// the send goes once more on a fresh connection.
//
// A send carries its deadline. The receiver answers a send taken after it without delivering it,
// so a sender that reported failure never sees its message acted on later.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <dirent.h>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/linux/bus_frame.h"
#include "platform/linux/bus_internal.h"
#include "platform/linux/bus_marks.h"
#include "platform/prefix.h"

namespace platform::detail {

namespace {

// steady_clock is CLOCK_MONOTONIC, which every process of the machine shares: deadlines travel
// in it.
using Clock = std::chrono::steady_clock;
using bus::DecodeStatus;
using bus::Frame;
using bus::FrameType;

// A frame never needs more buffered bytes than this before it decodes.
constexpr std::size_t kMaxBuffered = bus::kHeaderSize + 64 + bus::kMaxPayload;
// Incoming connections a process keeps.
constexpr std::size_t kMaxIncoming = 128;
// A connection must introduce itself within this time.
constexpr int kHelloTimeoutMs = 2000;
// Outgoing connections kept between sends, and how long an unused one stays open: longer than
// the slowest regular exchange between peers (a driver polls its camera every 20 s and reads its
// infodriver's slot on each reply), so a quiet pair keeps its connection instead of making a new
// one each time.
constexpr std::size_t kMaxPooled = 8;
constexpr int kIdleCloseMs = 30000;
// How long the listener rests when no descriptor can be had even for shedding a connection.
constexpr int kListenerRestMs = 100;

std::int64_t nsOf(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Clock::time_point fromNs(std::int64_t ns) {
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns)));
}

std::chrono::milliseconds ms(int n) {
    return std::chrono::milliseconds(n);
}

std::string socketPath(const std::string& dir, pid_t pid) {
    return dir + "/b" + std::to_string(pid) + ".s";
}

// A send or post frame for a window of another process.
Frame messageFrame(FrameType type, const RemoteWindow& w, UINT msg, WPARAM wParam, LPARAM lParam) {
    Frame f;
    f.type = type;
    f.hwnd = w.hwnd;
    f.msg = msg;
    f.wParam = wParam;
    f.lParam = lParam;
    return f;
}

std::string entryPath(const std::string& dir, std::uint16_t low) {
    char name[8];
    std::snprintf(name, sizeof name, "/w%04x", low);
    return dir + name;
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// Writes all of `data` by the deadline. Never raises SIGPIPE.
bool writeAll(int fd, const std::vector<std::uint8_t>& data, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            int left = remainingMs(deadline);
            if (left == 0 || poll(&p, 1, left) <= 0)
                return false;
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

struct Conn {
    int fd = -1;
    std::vector<std::uint8_t> in;
    bool helloOk = false;
    bool busy = false;  // an outgoing connection waiting for its reply
    bool closed = false;
    bool reset = false;    // the peer closed with bytes of ours unread: it never took them
    bool oneSend = false;  // carries one send, written with the Hello; closed after the reply
    int handling = 0;      // frames of this connection being handled right now (nested)
    pid_t peerPid = 0;     // incoming: the connecting process, from the kernel's credentials
    Clock::time_point lastActive;
    QSocketNotifier* notifier = nullptr;

    ~Conn() {
        if (fd >= 0)
            close(fd);
    }
};
using ConnPtr = std::shared_ptr<Conn>;

void closeConn(const ConnPtr& c) {
    if (c->closed)
        return;
    c->closed = true;
    if (c->notifier) {
        c->notifier->setEnabled(false);
        c->notifier->deleteLater();
        c->notifier = nullptr;
    }
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
    c->in.clear();
}

// Reads what the socket has, up to what one frame may need. False on end of stream or error.
// A read that does not fill the chunk has taken everything there was: asking again would only
// hear EAGAIN, and whatever comes later makes the socket readable again.
bool readAvailable(Conn& c) {
    std::uint8_t chunk[65536];
    while (c.in.size() < kMaxBuffered) {
        ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            c.in.insert(c.in.end(), chunk, chunk + n);
            if (static_cast<std::size_t>(n) < sizeof chunk)
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        c.reset = n < 0 && errno == ECONNRESET;
        return false;
    }
    return true;
}

// Takes the next whole frame off the connection's buffer.
DecodeStatus nextFrame(Conn& c, Frame& f) {
    std::size_t used = 0;
    DecodeStatus st = bus::decodeFrame(c.in.data(), c.in.size(), f, used);
    if (st == DecodeStatus::Ok)
        c.in.erase(c.in.begin(), c.in.begin() + used);
    return st;
}

// Peers that let a send time out, with the time of the last probe sent to each. Any thread.
class PeerHealth {
  public:
    bool unresponsive(pid_t pid) {
        std::lock_guard lock(mu_);
        return lastProbe_.count(pid) != 0;
    }
    // True when a probe of an unresponsive peer may go out now (at most one per interval).
    bool takeProbe(pid_t pid) {
        std::lock_guard lock(mu_);
        auto it = lastProbe_.find(pid);
        auto now = Clock::now();
        if (it == lastProbe_.end() || now - it->second < ms(kProbeIntervalMs))
            return false;
        it->second = now;
        return true;
    }
    void markUnresponsive(pid_t pid) {
        std::lock_guard lock(mu_);
        lastProbe_[pid] = Clock::now();
    }
    void markAlive(pid_t pid) {
        std::lock_guard lock(mu_);
        lastProbe_.erase(pid);
    }

  private:
    std::mutex mu_;
    std::map<pid_t, Clock::time_point> lastProbe_;
};

PeerHealth& peerHealth() {
    static PeerHealth* h = new PeerHealth;  // never destroyed, like the rest of the bus state
    return *h;
}

// Addresses of remote windows by low word, from their first lookup. Any thread.
class AddressCache {
  public:
    std::optional<RemoteWindow> find(const std::string& dir, std::uint16_t low) {
        std::lock_guard lock(mu_);
        if (dir != dir_)
            return std::nullopt;
        auto it = windows_.find(low);
        return it == windows_.end() ? std::nullopt : std::optional<RemoteWindow>(it->second.w);
    }
    // The window as its entry was read under this mark, when the mark is known and the same.
    std::optional<RemoteWindow> findUnchanged(const std::string& dir, std::uint16_t low,
                                              std::uint64_t mark) {
        std::lock_guard lock(mu_);
        if (dir != dir_ || mark == 0)
            return std::nullopt;
        auto it = windows_.find(low);
        if (it == windows_.end() || it->second.mark != mark)
            return std::nullopt;
        return it->second.w;
    }
    // `mark`: the entry's mark, read before the entry was (0 when not known).
    void remember(const std::string& dir, std::uint16_t low, const RemoteWindow& w,
                  std::uint64_t mark = 0) {
        std::lock_guard lock(mu_);
        if (dir != dir_) {  // another prefix: nothing known there
            windows_.clear();
            dir_ = dir;
        }
        windows_[low] = Known{w, mark};
    }
    void forget(std::uint16_t low) {
        std::lock_guard lock(mu_);
        windows_.erase(low);
    }

  private:
    struct Known {
        RemoteWindow w;
        std::uint64_t mark = 0;
    };
    std::mutex mu_;
    std::string dir_;
    std::unordered_map<std::uint16_t, Known> windows_;
};

AddressCache& addressCache() {
    static AddressCache* c = new AddressCache;
    return *c;
}

// The deadline of the send being handled on this thread (CLOCK_MONOTONIC ns, 0 for none): a send
// made while handling it is of no use to anyone after it.
thread_local std::int64_t inboundDeadlineNs = 0;

class InboundDeadline {
  public:
    explicit InboundDeadline(std::int64_t ns) : saved_(inboundDeadlineNs) {
        inboundDeadlineNs = ns;
    }
    ~InboundDeadline() { inboundDeadlineNs = saved_; }
    InboundDeadline(const InboundDeadline&) = delete;
    InboundDeadline& operator=(const InboundDeadline&) = delete;

  private:
    std::int64_t saved_;
};

// The latest time a send made now may wait until: the deadline of the send being handled, and
// the grace after a termination signal.
Clock::time_point hardLimit() {
    auto limit = Clock::time_point::max();
    if (inboundDeadlineNs)
        limit = fromNs(inboundDeadlineNs);
    if (std::int64_t sig = terminationSignalNs())
        limit = std::min(limit, fromNs(sig) + ms(kShutdownGraceMs));
    return limit;
}

struct Outgoing {
    std::string path;
    ConnPtr conn;
    bool forPosts = false;  // the one connection that carries posts to this peer, in order
    Clock::time_point lastUsed;
};

// Bus state of the process; used on the UI thread only.
struct Bus {
    QObject* context = nullptr;
    int listenFd = -1;
    std::string listenDir;
    std::string listenPath;
    std::uint64_t prefixId = 0;
    QSocketNotifier* listenNotifier = nullptr;
    // Held in reserve so that, out of descriptors, a waiting connection can still be taken and
    // shed.
    int reserveFd = -1;
    std::vector<ConnPtr> incoming;
    std::vector<Outgoing> outgoing;
    QTimer* sweepTimer = nullptr;
    std::uint32_t nextSeq = 1;
    int depth = 0;  // frames being handled and sends waiting, nested
};

Bus& theBus() {
    static Bus* b = new Bus;  // never destroyed: no static destructor order to worry about
    return *b;
}

QObject* busContext() {
    Bus& b = theBus();
    if (!b.context)
        b.context = new QObject;
    return b.context;
}

void sweep();

// Arms the sweep for the earliest moment something may expire: a connection that has not said
// Hello, an unused pooled connection. Idle, nothing is armed.
void scheduleSweep() {
    Bus& b = theBus();
    auto due = Clock::time_point::max();
    for (const auto& c : b.incoming)
        if (!c->closed && !c->helloOk)
            due = std::min(due, c->lastActive + ms(kHelloTimeoutMs));
    for (const auto& o : b.outgoing)
        if (!o.conn->closed && !o.conn->busy)
            due = std::min(due, o.lastUsed + ms(kIdleCloseMs));
    if (due == Clock::time_point::max()) {
        if (b.sweepTimer)
            b.sweepTimer->stop();
        return;
    }
    if (!b.sweepTimer) {
        b.sweepTimer = new QTimer(busContext());
        b.sweepTimer->setSingleShot(true);
        QObject::connect(b.sweepTimer, &QTimer::timeout, busContext(), [] { sweep(); });
    }
    // The sweep is armed for the earliest due moment. One that would come too late (a new
    // connection's Hello time limit ends before a pooled connection's idle time) is brought
    // forward; one that would come more than a second early is put back, so that a connection
    // in regular use (such as a driver's, used on each poll of its 20 s cycle) never wakes an
    // idle process just to find that nothing has expired. Within that second the timer is left
    // alone: restarting it on every send of a busy process would cost more than the early sweep
    // it saves.
    const int wait = std::max(1, remainingMs(due));
    const int armed = b.sweepTimer->isActive() ? b.sweepTimer->remainingTime() : -1;
    if (armed < 0 || armed > wait || armed + 1000 < wait)
        b.sweepTimer->start(wait);
}

void dropClosed() {
    Bus& b = theBus();
    if (b.depth != 0)
        return;  // frames of these connections may still be on the stack
    b.incoming.erase(std::remove_if(b.incoming.begin(), b.incoming.end(),
                                    [](const ConnPtr& c) { return c->closed; }),
                     b.incoming.end());
}

void prunePool() {
    auto& out = theBus().outgoing;
    out.erase(
        std::remove_if(out.begin(), out.end(), [](const Outgoing& o) { return o.conn->closed; }),
        out.end());
}

void sweep() {
    Bus& b = theBus();
    auto now = Clock::now();
    for (auto& c : b.incoming)
        if (!c->closed && !c->helloOk && c->handling == 0 &&
            now - c->lastActive >= ms(kHelloTimeoutMs))
            closeConn(c);
    for (auto& o : b.outgoing)
        if (!o.conn->busy && now - o.lastUsed >= ms(kIdleCloseMs))
            closeConn(o.conn);
    dropClosed();
    prunePool();
    scheduleSweep();
}

// Closes the incoming connection that matters least: one that has not said Hello, else the least
// recently active one; never one with a frame under way. False when every one is busy.
bool evictIncoming() {
    Bus& b = theBus();
    ConnPtr victim;
    for (auto& c : b.incoming) {
        if (c->closed || c->handling || !c->in.empty())
            continue;
        if (!victim || (!c->helloOk && victim->helloOk) ||
            (c->helloOk == victim->helloOk && c->lastActive < victim->lastActive))
            victim = c;
    }
    if (!victim)
        return false;
    closeConn(victim);
    dropClosed();
    return true;
}

std::size_t openIncoming() {
    const auto& in = theBus().incoming;
    return static_cast<std::size_t>(
        std::count_if(in.begin(), in.end(), [](const ConnPtr& c) { return !c->closed; }));
}

// Out of descriptors with nothing to evict: takes the waiting connection with the reserve
// descriptor and closes it, so that it does not keep the listener readable for ever.
bool shedWaitingConnection() {
    Bus& b = theBus();
    if (b.reserveFd < 0)
        return false;
    close(b.reserveFd);
    int fd = accept4(b.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        close(fd);
    b.reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd >= 0;
}

void restListener() {
    Bus& b = theBus();
    if (!b.listenNotifier)
        return;
    b.listenNotifier->setEnabled(false);
    QSocketNotifier* n = b.listenNotifier;
    QTimer::singleShot(kListenerRestMs, n, [n] { n->setEnabled(true); });
}

void pumpIncoming(const ConnPtr& c);

void acceptAll() {
    Bus& b = theBus();
    for (;;) {
        int fd = accept4(b.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (evictIncoming() || shedWaitingConnection())
                    continue;
                restListener();
            }
            break;  // EAGAIN: nobody else is waiting
        }
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid() ||
            (openIncoming() >= kMaxIncoming && !evictIncoming())) {
            close(fd);
            continue;
        }
        auto c = std::make_shared<Conn>();
        c->fd = fd;
        c->peerPid = cred.pid;
        c->lastActive = Clock::now();
        b.incoming.push_back(c);
        // A peer writes its Hello and first frame right after connecting: usually they are here
        // already, and a turn of the event loop is saved. A one-send connection is then done
        // with, and never needs watching.
        pumpIncoming(c);
        if (c->closed)
            continue;
        c->notifier = new QSocketNotifier(c->fd, QSocketNotifier::Read, busContext());
        std::weak_ptr<Conn> weak = c;
        QObject::connect(c->notifier, &QSocketNotifier::activated, busContext(), [weak] {
            if (auto conn = weak.lock())
                pumpIncoming(conn);
        });
    }
    scheduleSweep();
}

void closeListener() {
    Bus& b = theBus();
    if (b.listenNotifier) {
        b.listenNotifier->setEnabled(false);
        b.listenNotifier->deleteLater();
        b.listenNotifier = nullptr;
    }
    if (b.listenFd >= 0) {
        close(b.listenFd);
        unlink(b.listenPath.c_str());
    }
    if (b.reserveFd >= 0)
        close(b.reserveFd);
    b.reserveFd = -1;
    b.listenFd = -1;
    b.listenDir.clear();
    b.listenPath.clear();
}

// A process with windows may hold many connections: the soft descriptor limit goes up to the
// hard one, once.
void raiseDescriptorLimit() {
    static bool done = false;
    if (done)
        return;
    done = true;
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

bool ensureListener(const std::string& dir) {
    Bus& b = theBus();
    if (b.listenFd >= 0 && b.listenDir == dir)
        return true;
    closeListener();
    raiseDescriptorLimit();
    std::string path = socketPath(dir, getpid());
    sockaddr_un addr{};
    if (!fillAddress(path, addr)) {
        std::fprintf(stderr, "kelp: bus socket path too long: %s\n", path.c_str());
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    unlink(path.c_str());  // left by an earlier process with our pid
    // The deepest backlog the system allows: when many processes start together, each of their
    // broadcasts connects to every process at once.
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, SOMAXCONN) != 0) {
        close(fd);
        return false;
    }
    b.listenFd = fd;
    b.listenDir = dir;
    b.listenPath = path;
    b.prefixId = bus::prefixIdOf(dir);
    b.reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    b.listenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, busContext());
    QObject::connect(b.listenNotifier, &QSocketNotifier::activated, busContext(),
                     [] { acceptAll(); });
    return true;
}

// Answers a send: delivered, or refused unseen when its sender has given up or the window is gone.
void answerSend(const ConnPtr& c, const Frame& f) {
    Frame reply;
    reply.type = FrameType::Reply;
    reply.seq = f.seq;
    if (f.deadlineNs && nsOf(Clock::now()) > static_cast<std::int64_t>(f.deadlineNs)) {
        reply.status = bus::ReplyStatus::Expired;
        debugLine("Dropped message " + std::to_string(f.msg) + " from an expired send");
    } else {
        InboundDeadline scope(static_cast<std::int64_t>(f.deadlineNs));
        bool found = false;
        reply.result =
            deliverFromBus(static_cast<std::uint16_t>(f.hwnd & 0xFFFF), f.msg, f.wParam, f.lParam,
                           f.hasBuffer, f.bytes, f.outSize, reply.bytes, found);
        if (!found) {
            reply.status = bus::ReplyStatus::NoWindow;
            reply.bytes.clear();
        }
    }
    std::vector<std::uint8_t> out;
    if (c->closed || !bus::encodeFrame(reply, out) ||
        !writeAll(c->fd, out, Clock::now() + ms(kSendTimeoutMs)) || c->oneSend)
        closeConn(c);
}

// Handles one frame that arrived on an incoming connection.
void handleIncoming(const ConnPtr& c, const Frame& f) {
    Bus& b = theBus();
    if (!c->helloOk) {
        // The first frame must introduce a process of this prefix.
        if ((f.type != FrameType::Hello && f.type != FrameType::HelloOneSend) ||
            f.prefixId != b.prefixId)
            return closeConn(c);
        c->helloOk = true;
        c->oneSend = f.type == FrameType::HelloOneSend;
        return;
    }
    switch (f.type) {
        case FrameType::Send:
            return answerSend(c, f);
        case FrameType::Post:
            if (c->oneSend)
                return closeConn(c);
            postFromBus(static_cast<std::uint16_t>(f.hwnd & 0xFFFF), f.msg, f.wParam, f.lParam);
            return;
        default:
            return closeConn(c);  // a second Hello or a Reply nobody asked for
    }
}

void processFrames(const ConnPtr& c) {
    Bus& b = theBus();
    ++b.depth;
    ++c->handling;
    while (!c->closed) {
        Frame f;
        DecodeStatus st = nextFrame(*c, f);
        if (st == DecodeStatus::NeedMore)
            break;
        if (st == DecodeStatus::Malformed) {
            closeConn(c);
            break;
        }
        handleIncoming(c, f);
    }
    --c->handling;
    --b.depth;
}

// Reads and handles what an incoming connection has.
void pumpIncoming(const ConnPtr& c) {
    if (c->closed)
        return;
    c->lastActive = Clock::now();
    bool open = readAvailable(*c);
    // Anything a peer that introduced itself says is a sign of life.
    if (c->helloOk && !c->in.empty())
        peerHealth().markAlive(c->peerPid);
    processFrames(c);  // on a closed stream, whatever whole frames came before the end
    if (!open)
        closeConn(c);
    dropClosed();
}

// Connects `fd` to `addr`. A Unix socket connects at once or not at all: EAGAIN means that the
// peer's backlog is full, as when many processes start and send to it together. That peer is
// busy, not gone, so the connection is tried again, more and more slowly, until `by`.
bool connectBy(int fd, const sockaddr_un& addr, Clock::time_point by) {
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN || Clock::now() + pause >= by)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(2 * pause, std::chrono::milliseconds(20));
    }
}

// A new connection to a process's socket, introduced with a Hello; a full backlog at the peer
// is waited out until `by`. With `oneSend`, the connection carries that one encoded send frame,
// written together with the Hello, and the peer closes it after its reply.
ConnPtr connectTo(const std::string& path, const std::string& dir, Clock::time_point by,
                  const std::vector<std::uint8_t>* oneSend = nullptr) {
    sockaddr_un addr{};
    if (!fillAddress(path, addr))
        return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    auto c = std::make_shared<Conn>();
    c->fd = fd;
    if (!connectBy(fd, addr, by))
        return nullptr;
    Frame hello;
    hello.type = oneSend ? FrameType::HelloOneSend : FrameType::Hello;
    hello.prefixId = bus::prefixIdOf(dir);
    hello.pid = static_cast<std::uint32_t>(getpid());
    std::vector<std::uint8_t> out;
    bus::encodeFrame(hello, out);
    if (oneSend)
        out.insert(out.end(), oneSend->begin(), oneSend->end());
    if (!writeAll(fd, out, by))
        return nullptr;
    c->helloOk = true;
    c->oneSend = oneSend != nullptr;
    return c;
}

// Closes the least recently used idle pooled connections beyond the pool's size, never `keep`
// (the one about to be used).
void trimPool(const ConnPtr& keep) {
    auto& out = theBus().outgoing;
    while (out.size() > kMaxPooled) {
        auto victim = out.end();
        for (auto it = out.begin(); it != out.end(); ++it)
            if (!it->conn->busy && it->conn != keep &&
                (victim == out.end() || it->lastUsed < victim->lastUsed))
                victim = it;
        if (victim == out.end())
            return;  // all in use by nested sends
        closeConn(victim->conn);
        out.erase(victim);
    }
}

// An idle pooled connection to `path` (the posts' own one with `forPosts`), or a new one, which
// joins the pool unless it is a one-send connection for `oneSend` (see connectTo); a new one is
// waited for until `by`. UI thread.
ConnPtr pooledConn(const std::string& path, const std::string& dir, Clock::time_point by,
                   bool forPosts, const std::vector<std::uint8_t>* oneSend = nullptr) {
    Bus& b = theBus();
    prunePool();
    auto now = Clock::now();
    for (auto& o : b.outgoing)
        if (o.path == path && o.forPosts == forPosts && !o.conn->busy) {
            o.lastUsed = now;
            return o.conn;
        }
    ConnPtr c = connectTo(path, dir, by, oneSend);
    if (!c || oneSend)
        return c;
    b.outgoing.push_back({path, c, forPosts, now});
    trimPool(c);
    scheduleSweep();
    return c;
}

void touchPooled(const ConnPtr& c) {
    for (auto& o : theBus().outgoing)
        if (o.conn == c)
            o.lastUsed = Clock::now();
    scheduleSweep();
}

enum class WaitResult {
    Reply,
    Failed,
    TimedOut,
    Interrupted,
    Unread,  // the peer closed the connection without taking the send: nothing was delivered
};

// Waits for the reply to `seq` on `c`, up to `waitMs`, and never past `hard`. With `nested`,
// handles incoming messages meanwhile; a message from `peer` (the process asked) counts as a sign
// of life and extends the wait. Messages from other processes do not: a chatty third process must
// not keep us waiting on a hung peer for ever. A termination signal that waits for its handler
// ends the wait.
WaitResult waitReply(const ConnPtr& c, std::uint32_t seq, bool nested, pid_t peer, int waitMs,
                     Clock::time_point hard, Frame& reply) {
    Bus& b = theBus();
    auto deadline = std::min(Clock::now() + ms(waitMs), hard);
    const int signalFd = terminationSignalFd();
    for (;;) {
        // A reply may already be buffered.
        for (;;) {
            Frame f;
            DecodeStatus st = nextFrame(*c, f);
            if (st == DecodeStatus::NeedMore)
                break;
            if (st == DecodeStatus::Malformed || f.type != FrameType::Reply)
                return WaitResult::Failed;
            if (f.seq == seq) {
                reply = std::move(f);
                return WaitResult::Reply;
            }
            // A late reply to an earlier send that gave up: not ours, skip it.
        }
        std::vector<pollfd> fds{{c->fd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        std::vector<ConnPtr> watched;
        if (nested) {
            fds.push_back({b.listenFd, POLLIN, 0});
            for (auto& in : b.incoming)
                if (!in->closed) {
                    fds.push_back({in->fd, POLLIN, 0});
                    watched.push_back(in);
                }
        }
        int left = remainingMs(deadline);
        if (left == 0)
            return deadline < hard ? WaitResult::TimedOut : WaitResult::Interrupted;
        // poll ignores the negative descriptors (no signal pipe, no listener).
        int n = poll(fds.data(), fds.size(), left);
        if (n < 0 && errno != EINTR)
            return WaitResult::Failed;
        if (n <= 0)
            continue;
        if (fds[1].revents)
            return WaitResult::Interrupted;
        if (fds[0].revents) {
            if (!readAvailable(*c)) {
                // The peer closed; a reply it wrote just before is still good.
                Frame f;
                if (nextFrame(*c, f) == DecodeStatus::Ok && f.type == FrameType::Reply &&
                    f.seq == seq) {
                    reply = std::move(f);
                    return WaitResult::Reply;
                }
                return c->reset ? WaitResult::Unread : WaitResult::Failed;
            }
        }
        if (!nested)
            continue;
        if (fds[2].revents)
            acceptAll();
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (!fds[3 + i].revents)
                continue;
            pumpIncoming(watched[i]);
            if (watched[i]->peerPid == peer)
                deadline = std::min(Clock::now() + ms(waitMs), hard);
        }
    }
}

enum class Outcome {
    Answered,
    NotDelivered,  // nothing reached the window: it or its process had gone, or the peer was
                   // unresponsive and not probed
    Failed,        // no answer; the message may or may not have been seen
};

// One synchronous send to a window of another process; `dir` is the runtime folder. A
// broadcast's send does not pool the connection it makes.
Outcome sendOnce(const std::string& dir, const RemoteWindow& w, UINT msg, WPARAM wParam,
                 LPARAM lParam, const MessageBuffer* buffer, bool broadcast, LRESULT& result) {
    PeerHealth& health = peerHealth();
    int waitMs = kSendTimeoutMs;
    if (health.unresponsive(w.pid)) {
        if (!health.takeProbe(w.pid))
            return Outcome::NotDelivered;
        waitMs = kProbeWaitMs;
    }
    const Clock::time_point hard = hardLimit();
    if (hard <= Clock::now())
        return Outcome::Failed;

    Frame f = messageFrame(FrameType::Send, w, msg, wParam, lParam);
    f.deadlineNs = static_cast<std::uint64_t>(nsOf(std::min(Clock::now() + ms(waitMs), hard)));
    if (buffer) {
        if (buffer->inSize > bus::kMaxPayload || buffer->outSize > bus::kMaxPayload)
            return Outcome::Failed;
        f.hasBuffer = true;
        f.lParam = 0;
        f.outSize = static_cast<std::uint32_t>(buffer->outSize);
        if (buffer->in && buffer->inSize) {
            auto p = static_cast<const std::uint8_t*>(buffer->in);
            f.bytes.assign(p, p + buffer->inSize);
        }
    }

    const std::string path = socketPath(dir, w.pid);
    const bool ui = isUiThread();
    if (ui)
        busContext();
    f.seq = ui ? theBus().nextSeq++ : 1;
    std::vector<std::uint8_t> out;
    if (!bus::encodeFrame(f, out))
        return Outcome::NotDelivered;

    // From another thread every send has a one-send connection of its own; on the UI thread a
    // broadcast's is one too, unless an idle pooled connection is there. Either is closed when
    // `c` goes out of scope.
    const auto writeBy = std::min(Clock::now() + ms(waitMs), hard);
    auto connect = [&] {
        return ui ? pooledConn(path, dir, writeBy, false, broadcast ? &out : nullptr)
                  : connectTo(path, dir, writeBy, &out);
    };
    Frame reply;
    WaitResult res = WaitResult::Failed;
    bool written = false;
    ConnPtr c;
    if (ui)
        ++theBus().depth;
    // A connection that failed before the peer took the frame (a pooled one the peer has closed
    // since, one it shed unread) delivered nothing, so one fresh connection may try again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (c)
            closeConn(c);
        c = connect();
        if (!c)
            break;
        c->busy = true;
        written = c->oneSend || writeAll(c->fd, out, writeBy);
        if (!written)
            continue;
        res = waitReply(c, f.seq, ui, w.pid, waitMs, hard, reply);
        if (res != WaitResult::Unread)
            break;
        written = false;
    }
    if (ui)
        --theBus().depth;
    if (c)
        c->busy = false;
    if (res != WaitResult::Reply) {
        // The connection's state is unknown now (a late reply may still come): never reuse it.
        if (c)
            closeConn(c);
        if (ui) {
            prunePool();
            dropClosed();
        }
        if (res == WaitResult::TimedOut)
            health.markUnresponsive(w.pid);
        return written ? Outcome::Failed : Outcome::NotDelivered;
    }
    health.markAlive(w.pid);
    if (ui)
        touchPooled(c);
    if (reply.status == bus::ReplyStatus::NoWindow)
        return Outcome::NotDelivered;
    if (reply.status != bus::ReplyStatus::Ok)
        return Outcome::Failed;
    if (buffer && buffer->out && buffer->outSize)
        std::memcpy(buffer->out, reply.bytes.data(), std::min(reply.bytes.size(), buffer->outSize));
    result = static_cast<LRESULT>(reply.result);
    return Outcome::Answered;
}

// Longest class name and title an entry keeps.
constexpr std::size_t kMaxName = 255;
// Most handled messages an entry names; a window that names more gets every broadcast.
constexpr std::size_t kMaxHandled = 64;
// Largest entry: the head line with the handled messages (up to 16 characters each), the class
// name and the title, each with its newline.
constexpr std::size_t kMaxEntry = 64 + 16 * kMaxHandled + 2 * (kMaxName + 1);

// The check of a handled-messages list as an entry spells it: an entry rewritten while a reader
// reads it can show the reader the start of the new list and the rest of the old one, and such a
// mix must never pass for a list.
std::uint32_t listCheck(std::string_view list) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(list));
}

// An entry's text: "PID HWND[ h MSG MSG ... #CHECK]\nCLASS\nTITLE", the messages when the window
// has named the ones it handles: MSG is the message in hex, followed by "=wWORD" or "=lWORD" when
// only a low word of wParam or lParam (hex) is handled; CHECK is listCheck of " h MSG MSG ...".
// They are on the head line, which a change of title rewrites unchanged.
std::string entryText(HWND hwnd, const std::string& className, const std::string& title,
                      const std::optional<std::vector<HandledMessage>>& handled) {
    char word[64];
    std::snprintf(word, sizeof word, "%lld %x", static_cast<long long>(getpid()), hwnd);
    std::string text = word;
    if (handled && handled->size() <= kMaxHandled) {
        const std::size_t list = text.size();
        text += " h";
        for (const HandledMessage& h : *handled) {
            using Only = HandledMessage::Only;
            if (h.only == Only::Any)
                std::snprintf(word, sizeof word, " %x", h.msg);
            else
                std::snprintf(word, sizeof word, " %x=%c%x", h.msg,
                              h.only == Only::WParamLowWord ? 'w' : 'l', h.lowWord);
            text += word;
        }
        std::snprintf(word, sizeof word, " #%08x", listCheck(std::string_view(text).substr(list)));
        text += word;
    }
    auto name = [](const std::string& s) { return s.substr(0, std::min(s.find('\n'), kMaxName)); };
    return text + "\n" + name(className) + "\n" + name(title);
}

// The handled messages of a head line after its handle: none when it names none or is malformed
// (or torn), so that the window gets every broadcast.
std::optional<std::vector<HandledMessage>> parseHandled(std::string_view rest) {
    const std::size_t mark = rest.rfind(" #");
    unsigned check = 0;
    int used = 0;
    if (!rest.starts_with(" h") || mark == std::string_view::npos || rest.size() != mark + 10 ||
        std::sscanf(std::string(rest.substr(mark)).c_str(), " #%8x%n", &check, &used) != 1 ||
        used != 10 || check != listCheck(rest.substr(0, mark)))
        return std::nullopt;
    const std::string list(rest.substr(2, mark - 2));
    const char* p = list.c_str();
    // One hex number right at `p`, at most `max`; false when there is none.
    auto hex = [&p](unsigned long max, unsigned long& v) {
        if (!std::isxdigit(static_cast<unsigned char>(*p)))
            return false;
        char* end = nullptr;
        v = std::strtoul(p, &end, 16);
        p = end;
        return v <= max;
    };
    std::vector<HandledMessage> handled;
    while (*p == ' ') {
        ++p;
        unsigned long m = 0, word = 0;
        if (!hex(0xFFFFFFFFul, m))
            return std::nullopt;
        if (*p != '=') {
            handled.emplace_back(static_cast<UINT>(m));
            continue;
        }
        const char which = p[1];
        if (which != 'w' && which != 'l')
            return std::nullopt;
        p += 2;
        if (!hex(0xFFFFul, word))
            return std::nullopt;
        handled.emplace_back(static_cast<UINT>(m),
                             which == 'w' ? HandledMessage::Only::WParamLowWord
                                          : HandledMessage::Only::LParamLowWord,
                             static_cast<std::uint16_t>(word));
    }
    if (*p != '\0')
        return std::nullopt;
    return handled;
}

bool parseEntry(const std::string& text, RemoteWindow& e) {
    auto nl = text.find('\n');
    if (nl == std::string::npos)
        return false;
    const std::string head = text.substr(0, nl);
    long long pid = 0;
    unsigned long long hwnd = 0;
    int used = 0;
    if (std::sscanf(head.c_str(), "%lld %llx%n", &pid, &hwnd, &used) != 2)
        return false;
    if (pid <= 0 || hwnd == 0 || hwnd > 0xFFFFFFFFull)
        return false;
    e.pid = static_cast<pid_t>(pid);
    e.hwnd = static_cast<HWND>(hwnd);
    e.handled = parseHandled(std::string_view(head).substr(static_cast<std::size_t>(used)));
    auto nl2 = text.find('\n', nl + 1);
    e.className = text.substr(nl + 1, nl2 == std::string::npos ? std::string::npos : nl2 - nl - 1);
    e.title = nl2 == std::string::npos ? std::string() : text.substr(nl2 + 1);
    return true;
}

bool sameFile(int fd, const std::string& path) {
    struct stat a {
    }, b{};
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

}  // namespace

HWND busRegister(const std::string& className, BusEntry& entry) {
    std::string dir = runtimeDir();
    if (dir.empty() || !ensureListener(dir))
        return 0;
    static std::minstd_rand rng(static_cast<unsigned>(getpid()) ^
                                static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    unsigned start = rng();
    for (unsigned i = 0; i < 0xFFFE; ++i) {
        auto low = static_cast<std::uint16_t>(1 + (start + i) % 0xFFFE);
        std::string path = entryPath(dir, low);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            continue;
        // Held: a live window (of any process, ours included). Replaced after we opened it:
        // someone cleaned up a dead entry under our feet; try another word.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !sameFile(fd, path)) {
            close(fd);
            continue;
        }
        HWND hwnd = (static_cast<HWND>(getpid() & 0x7FFF) << 16) | low;
        std::string text = entryText(hwnd, className, "", std::nullopt);
        if (ftruncate(fd, 0) != 0 ||
            pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            unlink(path.c_str());
            raiseMark(path);
            close(fd);
            return 0;
        }
        raiseMark(path);
        entry.fd = fd;
        entry.path = path;
        return hwnd;
    }
    return 0;
}

void busUnregister(BusEntry& entry) {
    if (entry.fd >= 0) {
        unlink(entry.path.c_str());  // still under our lock
        raiseMark(entry.path);
        close(entry.fd);
    }
    entry.fd = -1;
    entry.path.clear();
    // The last window gone: stop listening, unless a send or a handler is still on the stack.
    Bus& b = theBus();
    if (localWindowCount() == 0 && b.depth == 0)
        closeListener();
}

void busPublish(BusEntry& entry, HWND hwnd, const std::string& className, const std::string& title,
                const std::optional<std::vector<HandledMessage>>& handled) {
    if (entry.fd < 0)
        return;
    // The new text first, then the length: a reader meanwhile sees the old title or the new one,
    // possibly followed by a tail of the old, never a torn head line.
    std::string text = entryText(hwnd, className, title, handled);
    if (pwrite(entry.fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()))
        (void)ftruncate(entry.fd, static_cast<off_t>(text.size()));
    raiseMark(entry.path);
}

std::optional<RemoteWindow> busLookup(std::uint16_t low, int* keepFd) {
    if (keepFd)
        *keepFd = -1;
    if (low == 0 || low == 0xFFFF)
        return std::nullopt;
    std::string dir = runtimeDir();
    if (dir.empty())
        return std::nullopt;
    std::string path = entryPath(dir, low);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody holds it: the owner is gone. Remove the entry if it is still this file, and the
        // owner's socket when no process of that pid runs any more.
        if (sameFile(fd, path)) {
            char buf[kMaxEntry];
            ssize_t n = pread(fd, buf, sizeof buf, 0);
            RemoteWindow e;
            if (n > 0 && parseEntry(std::string(buf, static_cast<std::size_t>(n)), e) &&
                e.pid != getpid() && kill(e.pid, 0) != 0 && errno == ESRCH)
                unlink(socketPath(dir, e.pid).c_str());
            unlink(path.c_str());
            raiseMark(path);
        }
        close(fd);
        return std::nullopt;
    }
    char buf[kMaxEntry];
    ssize_t n = pread(fd, buf, sizeof buf, 0);
    RemoteWindow e;
    if (n <= 0 || !parseEntry(std::string(buf, static_cast<std::size_t>(n)), e) ||
        (e.hwnd & 0xFFFF) != low) {
        close(fd);
        return std::nullopt;
    }
    if (keepFd)
        *keepFd = fd;
    else
        close(fd);
    return e;
}

namespace {

// Registry entries of other processes' windows held open, for busIsRemoteWindow. An entry's owner
// holds its lock from the window's creation until it removes the entry (and at its death the
// system lets go of it): a lock that can be had means the window has gone, or the entry was
// replaced, and the window is then looked up afresh.
class HeldEntries {
  public:
    // True when the entry of `low` is held open here and its owner still holds its lock.
    bool stillHeld(const std::string& dir, std::uint16_t low) {
        std::lock_guard lock(mu_);
        if (dir != dir_)
            return false;
        auto it = std::find_if(items_.begin(), items_.end(),
                               [low](const Item& i) { return i.low == low; });
        if (it == items_.end())
            return false;
        if (flock(it->fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            return true;
        close(it->fd);  // lets go of the lock if we just took it
        items_.erase(it);
        return false;
    }

    // Keeps `fd`, the open entry of `low`; the oldest goes when kMaxHeld are kept.
    void hold(const std::string& dir, std::uint16_t low, int fd) {
        std::lock_guard lock(mu_);
        if (dir != dir_) {  // another prefix: nothing of the old one is of use
            closeAll();
            dir_ = dir;
        }
        for (auto it = items_.begin(); it != items_.end();)
            if (it->low == low || items_.size() >= kMaxHeld) {
                close(it->fd);
                it = items_.erase(it);
            } else {
                ++it;
            }
        items_.push_back({low, fd});
    }

  private:
    static constexpr std::size_t kMaxHeld = 4;
    struct Item {
        std::uint16_t low;
        int fd;
    };
    void closeAll() {
        for (const Item& i : items_)
            close(i.fd);
        items_.clear();
    }

    std::mutex mu_;
    std::string dir_;
    std::vector<Item> items_;
};

HeldEntries& heldEntries() {
    static HeldEntries* h = new HeldEntries;  // never destroyed, like the rest of the bus state
    return *h;
}

}  // namespace

bool busIsRemoteWindow(std::uint16_t low) {
    if (low == 0 || low == 0xFFFF)
        return false;
    const std::string dir = runtimeDir();
    if (dir.empty())
        return false;
    if (heldEntries().stillHeld(dir, low))
        return true;
    int fd = -1;
    auto w = busLookup(low, &fd);
    if (!w || w->pid == getpid()) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    heldEntries().hold(dir, low, fd);
    return true;
}

namespace {

// Low words of the registry's entries, live or not.
std::vector<std::uint16_t> registryEntries() {
    std::vector<std::uint16_t> candidates;
    std::string dir = runtimeDir();
    if (dir.empty())
        return candidates;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return candidates;
    while (dirent* ent = readdir(d)) {
        unsigned v = 0;
        char extra = 0;
        if (ent->d_name[0] == 'w' && std::strlen(ent->d_name) == 5 &&
            std::sscanf(ent->d_name + 1, "%4x%c", &v, &extra) == 1)
            candidates.push_back(static_cast<std::uint16_t>(v));
    }
    closedir(d);
    std::sort(candidates.begin(), candidates.end());
    return candidates;
}

}  // namespace

std::vector<std::uint16_t> busLiveWindows() {
    std::vector<std::uint16_t> lows;
    const std::string dir = runtimeDir();
    for (std::uint16_t low : registryEntries())
        if (auto w = busLookup(low)) {
            lows.push_back(low);
            // Just read: a broadcast that follows need not read the entry again.
            if (w->pid != getpid())
                addressCache().remember(dir, low, *w);
        }
    return lows;
}

std::vector<std::uint16_t> busBroadcastTargets(UINT msg, WPARAM wParam, LPARAM lParam) {
    std::vector<std::uint16_t> targets;
    const std::string dir = runtimeDir();
    if (dir.empty())
        return targets;
    const std::vector<std::uint16_t> lows = registryEntries();
    // All marks before any entry is read: an entry that changes after its mark was read is read
    // again by the next broadcast.
    const std::vector<std::uint64_t> marks = readMarks(dir, lows);
    for (std::size_t i = 0; i < lows.size(); ++i) {
        std::optional<RemoteWindow> w = addressCache().findUnchanged(dir, lows[i], marks[i]);
        if (!w) {
            w = busLookup(lows[i]);
            // Gone, or one of ours, which the window layer reaches itself.
            if (!w || w->pid == getpid())
                continue;
            addressCache().remember(dir, lows[i], *w, marks[i]);
        }
        if (w->takesBroadcast(msg, wParam, lParam))
            targets.push_back(lows[i]);
    }
    return targets;
}

HWND busFindWindow(const std::string& className, const std::string& title) {
    for (std::uint16_t low : registryEntries())
        if (auto w = busLookup(low); w && w->className == className && w->title == title)
            return low;
    return 0;
}

namespace {

// The window with this low word in another process: from the cache, else from the registry.
std::optional<RemoteWindow> resolve(const std::string& dir, std::uint16_t low) {
    if (auto w = addressCache().find(dir, low))
        return w;
    auto w = busLookup(low);
    if (!w || w->pid == getpid())
        return std::nullopt;
    addressCache().remember(dir, low, *w);
    return w;
}

}  // namespace

LRESULT busSendTo(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam,
                  const MessageBuffer* buffer, bool broadcast, bool& answered) {
    answered = false;
    std::string dir = runtimeDir();
    auto w = dir.empty() ? std::nullopt : resolve(dir, low);
    if (w && broadcast && !w->takesBroadcast(msg, wParam, lParam)) {
        // A window is passed by only as its entry says now: a remembered address may belong to
        // a window gone since, whose low word a new window has taken.
        addressCache().forget(low);
        w = resolve(dir, low);
        if (w && !w->takesBroadcast(msg, wParam, lParam))
            return 0;
    }
    if (!w)
        return 0;
    LRESULT result = 0;
    Outcome outcome = sendOnce(dir, *w, msg, wParam, lParam, buffer, broadcast, result);
    if (outcome == Outcome::NotDelivered && !peerHealth().unresponsive(w->pid)) {
        // The address may be stale: look again (which also cleans up after a dead owner) and
        // try the window's present owner once.
        addressCache().forget(low);
        auto now = resolve(dir, low);
        if (now && (now->pid != w->pid || now->hwnd != w->hwnd))
            outcome = sendOnce(dir, *now, msg, wParam, lParam, buffer, broadcast, result);
    } else if (outcome == Outcome::Failed) {
        addressCache().forget(low);
        busLookup(low);  // cleans up after an owner that died during the send
    }
    answered = outcome == Outcome::Answered;
    return answered ? result : 0;
}

bool busPostTo(std::uint16_t low, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::string dir = runtimeDir();
    if (dir.empty())
        return false;
    busContext();
    // One connection per peer for posts, so that they arrive in the order they were made. A
    // stale address or a connection the peer has closed gets one fresh attempt.
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto w = resolve(dir, low);
        if (!w)
            return false;
        Frame f = messageFrame(FrameType::Post, *w, msg, wParam, lParam);
        std::vector<std::uint8_t> out;
        bus::encodeFrame(f, out);
        const auto by = Clock::now() + ms(kSendTimeoutMs);
        ConnPtr c = pooledConn(socketPath(dir, w->pid), dir, by, true);
        if (c && writeAll(c->fd, out, by)) {
            touchPooled(c);
            return true;
        }
        if (c)
            closeConn(c);
        prunePool();
        addressCache().forget(low);
    }
    return false;
}

}  // namespace platform::detail
