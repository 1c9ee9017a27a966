// The message bus: windows of all processes of a prefix reach each other over Unix sockets.
//
// Registry: every window owns a file "w<low word in hex>" in the prefix's runtime folder and holds
// an flock on it for its life. The file says which process owns the window (pid, full handle,
// class name). A file whose lock can be taken belongs to a dead process and is removed by whoever
// finds it; the kernel drops the lock when a process dies, even by SIGKILL.
//
// Transport: each process with windows listens on "b<pid>.s" in the runtime folder (mode 0700, so
// no other user can connect; the peer's uid is checked too). A connection starts with a Hello that
// carries the prefix id; then Send, Post and Reply frames (bus_frame.h). All socket work of the
// process happens on the UI thread, except a send made from another thread, which uses a
// connection of its own and does not handle incoming messages while it waits.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <dirent.h>
#include <QObject>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>

#include "platform/linux/bus_frame.h"
#include "platform/linux/bus_internal.h"
#include "platform/prefix.h"

namespace platform::detail {

namespace {

using Clock = std::chrono::steady_clock;
using bus::DecodeStatus;
using bus::Frame;
using bus::FrameType;

// A frame never needs more buffered bytes than this before it decodes.
constexpr std::size_t kMaxBuffered = bus::kHeaderSize + 64 + bus::kMaxPayload;

std::uint64_t prefixIdOf(const std::string& dir) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : dir) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
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
            int ms = remainingMs(deadline);
            if (ms == 0 || poll(&p, 1, ms) <= 0)
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
    pid_t peerPid = 0;  // incoming: the connecting process, from the kernel's credentials
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
bool readAvailable(Conn& c) {
    std::uint8_t chunk[65536];
    while (c.in.size() < kMaxBuffered) {
        ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            c.in.insert(c.in.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
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

// Bus state of the process; used on the UI thread only.
struct Bus {
    QObject* context = nullptr;
    int listenFd = -1;
    std::string listenDir;
    std::string listenPath;
    std::uint64_t prefixId = 0;
    QSocketNotifier* listenNotifier = nullptr;
    std::vector<ConnPtr> incoming;
    std::map<std::string, std::vector<ConnPtr>> sendPool;
    std::map<std::string, ConnPtr> postConn;
    std::uint32_t nextSeq = 1;
    int depth = 0;  // frames being handled and sends waiting, nested
};

Bus& theBus() {
    static Bus* b = new Bus;  // never destroyed: no static destructor order to worry about
    return *b;
}

void pumpIncoming(const ConnPtr& c);

void acceptAll() {
    Bus& b = theBus();
    for (;;) {
        int fd = accept4(b.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
            close(fd);
            continue;
        }
        auto c = std::make_shared<Conn>();
        c->fd = fd;
        c->peerPid = cred.pid;
        c->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, b.context);
        std::weak_ptr<Conn> weak = c;
        QObject::connect(c->notifier, &QSocketNotifier::activated, b.context, [weak] {
            if (auto conn = weak.lock())
                pumpIncoming(conn);
        });
        b.incoming.push_back(c);
    }
}

void dropClosedIncoming() {
    Bus& b = theBus();
    b.incoming.erase(std::remove_if(b.incoming.begin(), b.incoming.end(),
                                    [](const ConnPtr& c) { return c->closed; }),
                     b.incoming.end());
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
    b.listenFd = -1;
    b.listenDir.clear();
    b.listenPath.clear();
}

bool ensureListener(const std::string& dir) {
    Bus& b = theBus();
    if (!b.context)
        b.context = new QObject;
    if (b.listenFd >= 0 && b.listenDir == dir)
        return true;
    closeListener();
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
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return false;
    }
    b.listenFd = fd;
    b.listenDir = dir;
    b.listenPath = path;
    b.prefixId = prefixIdOf(dir);
    b.listenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, b.context);
    QObject::connect(b.listenNotifier, &QSocketNotifier::activated, b.context, [] { acceptAll(); });
    return true;
}

// Handles one frame that arrived on an incoming connection.
void handleIncoming(const ConnPtr& c, const Frame& f) {
    Bus& b = theBus();
    if (!c->helloOk) {
        // The first frame must introduce a process of this prefix.
        if (f.type != FrameType::Hello || f.prefixId != b.prefixId)
            return closeConn(c);
        c->helloOk = true;
        return;
    }
    switch (f.type) {
        case FrameType::Send: {
            Frame reply;
            reply.type = FrameType::Reply;
            reply.seq = f.seq;
            bool found = false;
            reply.result =
                deliverFromBus(static_cast<std::uint16_t>(f.hwnd & 0xFFFF), f.msg, f.wParam,
                               f.lParam, f.hasBuffer, f.bytes, f.outSize, reply.bytes, found);
            if (!found) {
                reply.status = bus::ReplyStatus::NoWindow;
                reply.bytes.clear();
            }
            std::vector<std::uint8_t> out;
            if (c->closed || !bus::encodeFrame(reply, out) ||
                !writeAll(c->fd, out, Clock::now() + std::chrono::milliseconds(kSendTimeoutMs)))
                closeConn(c);
            return;
        }
        case FrameType::Post:
            postFromBus(static_cast<std::uint16_t>(f.hwnd & 0xFFFF), f.msg, f.wParam, f.lParam);
            return;
        default:
            return closeConn(c);  // a second Hello or a Reply nobody asked for
    }
}

void processFrames(const ConnPtr& c) {
    Bus& b = theBus();
    ++b.depth;
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
    --b.depth;
}

// Reads and handles what an incoming connection has. Returns true when it had anything.
void pumpIncoming(const ConnPtr& c) {
    if (c->closed)
        return;
    if (!readAvailable(*c)) {
        processFrames(c);  // whatever whole frames came before the end
        closeConn(c);
    } else {
        processFrames(c);
    }
    if (theBus().depth == 0)
        dropClosedIncoming();
}

// A new connection to a process's socket, introduced with a Hello.
ConnPtr connectTo(const std::string& path, const std::string& dir) {
    sockaddr_un addr{};
    if (!fillAddress(path, addr))
        return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    auto c = std::make_shared<Conn>();
    c->fd = fd;
    // A Unix socket connects at once or not at all (EAGAIN: the peer's backlog is full).
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return nullptr;
    Frame hello;
    hello.type = FrameType::Hello;
    hello.prefixId = prefixIdOf(dir);
    hello.pid = static_cast<std::uint32_t>(getpid());
    std::vector<std::uint8_t> out;
    bus::encodeFrame(hello, out);
    if (!writeAll(fd, out, Clock::now() + std::chrono::milliseconds(kSendTimeoutMs)))
        return nullptr;
    c->helloOk = true;
    return c;
}

// An idle pooled connection to `path`, or a new one. UI thread.
ConnPtr pooledConn(const std::string& path, const std::string& dir) {
    auto& pool = theBus().sendPool[path];
    pool.erase(std::remove_if(pool.begin(), pool.end(), [](const ConnPtr& c) { return c->closed; }),
               pool.end());
    for (auto& c : pool)
        if (!c->busy)
            return c;
    ConnPtr c = connectTo(path, dir);
    if (c)
        pool.push_back(c);
    return c;
}

enum class WaitResult { Reply, Failed, TimedOut };

// Waits for the reply to `seq` on `c`. With `nested`, handles incoming messages meanwhile; a
// message from `peer` (the process asked) counts as a sign of life and extends the deadline.
// Messages from other processes do not: a chatty third process must not keep us waiting on a
// hung peer for ever.
WaitResult waitReply(const ConnPtr& c, std::uint32_t seq, bool nested, pid_t peer, Frame& reply) {
    Bus& b = theBus();
    auto deadline = Clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
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
        std::vector<pollfd> fds{{c->fd, POLLIN, 0}};
        std::vector<ConnPtr> watched;
        if (nested) {
            if (b.listenFd >= 0)
                fds.push_back({b.listenFd, POLLIN, 0});
            for (auto& in : b.incoming)
                if (!in->closed) {
                    fds.push_back({in->fd, POLLIN, 0});
                    watched.push_back(in);
                }
        }
        int ms = remainingMs(deadline);
        if (ms == 0)
            return WaitResult::TimedOut;
        int n = poll(fds.data(), fds.size(), ms);
        if (n < 0 && errno != EINTR)
            return WaitResult::Failed;
        if (n <= 0)
            continue;
        if (fds[0].revents) {
            if (!readAvailable(*c)) {
                // The peer closed; a reply it wrote just before is still good.
                Frame f;
                if (nextFrame(*c, f) == DecodeStatus::Ok && f.type == FrameType::Reply &&
                    f.seq == seq) {
                    reply = std::move(f);
                    return WaitResult::Reply;
                }
                return WaitResult::Failed;
            }
        }
        if (!nested)
            continue;
        std::size_t idx = 1;
        if (b.listenFd >= 0 && fds.size() > 1 && fds[1].fd == b.listenFd) {
            if (fds[1].revents)
                acceptAll();
            idx = 2;
        }
        for (std::size_t i = 0; i < watched.size(); ++i, ++idx) {
            if (!fds[idx].revents)
                continue;
            pumpIncoming(watched[i]);
            if (watched[i]->peerPid == peer)
                deadline = Clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
        }
    }
}

struct Entry {
    pid_t pid = 0;
    HWND hwnd = 0;
    std::string className;
};

bool parseEntry(const std::string& text, Entry& e) {
    auto nl = text.find('\n');
    if (nl == std::string::npos)
        return false;
    long long pid = 0;
    unsigned long long hwnd = 0;
    if (std::sscanf(text.substr(0, nl).c_str(), "%lld %llx", &pid, &hwnd) != 2)
        return false;
    if (pid <= 0 || hwnd == 0 || hwnd > 0xFFFFFFFFull)
        return false;
    e.pid = static_cast<pid_t>(pid);
    e.hwnd = static_cast<HWND>(hwnd);
    e.className = text.substr(nl + 1);
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
        char head[64];
        std::snprintf(head, sizeof head, "%lld %x\n", static_cast<long long>(getpid()), hwnd);
        std::string text = head + className.substr(0, 255);
        if (ftruncate(fd, 0) != 0 ||
            pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            unlink(path.c_str());
            close(fd);
            return 0;
        }
        entry.fd = fd;
        entry.path = path;
        return hwnd;
    }
    return 0;
}

void busUnregister(BusEntry& entry) {
    if (entry.fd >= 0) {
        unlink(entry.path.c_str());  // still under our lock
        close(entry.fd);
    }
    entry.fd = -1;
    entry.path.clear();
    // The last window gone: stop listening, unless a send or a handler is still on the stack.
    Bus& b = theBus();
    if (localWindowCount() == 0 && b.depth == 0)
        closeListener();
}

std::optional<RemoteWindow> busLookup(std::uint16_t low) {
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
            char buf[64];
            ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
            Entry e;
            if (n > 0 && parseEntry(std::string(buf, static_cast<std::size_t>(n)), e) &&
                e.pid != getpid() && kill(e.pid, 0) != 0 && errno == ESRCH)
                unlink(socketPath(dir, e.pid).c_str());
            unlink(path.c_str());
        }
        close(fd);
        return std::nullopt;
    }
    char buf[512];
    ssize_t n = pread(fd, buf, sizeof buf, 0);
    close(fd);
    Entry e;
    if (n <= 0 || !parseEntry(std::string(buf, static_cast<std::size_t>(n)), e))
        return std::nullopt;
    if ((e.hwnd & 0xFFFF) != low)
        return std::nullopt;
    return RemoteWindow{e.pid, e.hwnd, e.className};
}

std::vector<std::uint16_t> busLiveWindows() {
    std::vector<std::uint16_t> lows;
    std::string dir = runtimeDir();
    if (dir.empty())
        return lows;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return lows;
    std::vector<std::uint16_t> candidates;
    while (dirent* ent = readdir(d)) {
        unsigned v = 0;
        char extra = 0;
        if (ent->d_name[0] == 'w' && std::strlen(ent->d_name) == 5 &&
            std::sscanf(ent->d_name + 1, "%4x%c", &v, &extra) == 1)
            candidates.push_back(static_cast<std::uint16_t>(v));
    }
    closedir(d);
    for (std::uint16_t low : candidates)
        if (busLookup(low))
            lows.push_back(low);
    std::sort(lows.begin(), lows.end());
    return lows;
}

LRESULT busSend(const RemoteWindow& w, UINT msg, WPARAM wParam, LPARAM lParam,
                const MessageBuffer* buffer, bool& answered) {
    answered = false;
    std::string dir = runtimeDir();
    if (dir.empty())
        return 0;
    std::string path = socketPath(dir, w.pid);
    bool ui = isUiThread();

    Frame f = messageFrame(FrameType::Send, w, msg, wParam, lParam);
    if (buffer) {
        if (buffer->inSize > bus::kMaxPayload || buffer->outSize > bus::kMaxPayload)
            return 0;
        f.hasBuffer = true;
        f.lParam = 0;
        f.outSize = static_cast<std::uint32_t>(buffer->outSize);
        if (buffer->in && buffer->inSize) {
            auto p = static_cast<const std::uint8_t*>(buffer->in);
            f.bytes.assign(p, p + buffer->inSize);
        }
    }

    ConnPtr c;
    if (ui) {
        Bus& b = theBus();
        if (!b.context)
            b.context = new QObject;
        c = pooledConn(path, dir);
        f.seq = b.nextSeq++;
    } else {
        c = connectTo(path, dir);
        f.seq = 1;
    }
    std::vector<std::uint8_t> out;
    if (!c || !bus::encodeFrame(f, out)) {
        busLookup(static_cast<std::uint16_t>(w.hwnd & 0xFFFF));  // cleans up a dead owner
        return 0;
    }

    Frame reply;
    WaitResult res = WaitResult::Failed;
    c->busy = true;
    if (ui)
        ++theBus().depth;
    bool written = writeAll(c->fd, out, Clock::now() + std::chrono::milliseconds(kSendTimeoutMs));
    if (!written && ui) {
        // A pooled connection the peer has closed since: nothing was delivered, so one fresh
        // connection may try again.
        closeConn(c);
        c = pooledConn(path, dir);
        if (c) {
            c->busy = true;
            written =
                writeAll(c->fd, out, Clock::now() + std::chrono::milliseconds(kSendTimeoutMs));
        }
    }
    if (written)
        res = waitReply(c, f.seq, ui, w.pid, reply);
    if (ui)
        --theBus().depth;
    if (c)
        c->busy = false;
    if (res != WaitResult::Reply) {
        // The connection's state is unknown now (a late reply may still come): never reuse it.
        if (c)
            closeConn(c);
        if (res == WaitResult::Failed)
            busLookup(static_cast<std::uint16_t>(w.hwnd & 0xFFFF));
        return 0;
    }
    if (reply.status != bus::ReplyStatus::Ok)
        return 0;
    answered = true;
    if (buffer && buffer->out && buffer->outSize)
        std::memcpy(buffer->out, reply.bytes.data(), std::min(reply.bytes.size(), buffer->outSize));
    return static_cast<LRESULT>(reply.result);
}

bool busPost(const RemoteWindow& w, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::string dir = runtimeDir();
    if (dir.empty())
        return false;
    Bus& b = theBus();
    if (!b.context)
        b.context = new QObject;
    std::string path = socketPath(dir, w.pid);
    Frame f = messageFrame(FrameType::Post, w, msg, wParam, lParam);
    std::vector<std::uint8_t> out;
    bus::encodeFrame(f, out);
    // One connection per peer for posts, so that they arrive in the order they were made.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ConnPtr& c = b.postConn[path];
        if (!c || c->closed)
            c = connectTo(path, dir);
        if (!c)
            return false;
        if (writeAll(c->fd, out, Clock::now() + std::chrono::milliseconds(kSendTimeoutMs)))
            return true;
        closeConn(c);
        c.reset();
    }
    return false;
}

}  // namespace platform::detail
