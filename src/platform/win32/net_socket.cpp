// Network sockets on Win32: Winsock, non-blocking sockets and WSAPoll. A NetWaker is a UDP
// socket on the loopback interface that sends itself a byte to wake a wait, so that every wait
// is one WSAPoll on the socket and the waker, as poll() does it on Linux. Socket handles are
// kernel handles, which Windows keeps within 32 significant bits: they are held as int.
#include "platform/net_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

SOCKET sock(int fd) {
    return static_cast<SOCKET>(static_cast<unsigned int>(fd));
}

int asInt(SOCKET s) {
    return static_cast<int>(static_cast<unsigned int>(s));
}

bool startWinsock() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::int64_t monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int msLeft(std::int64_t deadline) {
    std::int64_t left = deadline - monotonicMs();
    return left <= 0 ? 0 : left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

const sockaddr* sa(const NetAddress& a) {
    return reinterpret_cast<const sockaddr*>(a.bytes);
}

NetAddress fromStorage(const sockaddr_storage& ss, int len) {
    NetAddress a;
    a.size = len < 0 || static_cast<std::size_t>(len) > sizeof a.bytes
                 ? 0
                 : static_cast<std::uint32_t>(len);
    std::memcpy(a.bytes, &ss, a.size);
    return a;
}

void setNonBlocking(SOCKET s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

void drainWaker(int fd) {
    char tmp[64];
    while (recv(sock(fd), tmp, sizeof tmp, 0) > 0) {
    }
}

// Polls `fd` for `events` and the waker; Ok when the socket is ready (or failed: the caller's
// next call tells), Woken (the wake-up taken) or TimedOut otherwise.
NetSocket::Result pollWith(int fd, short events, int timeoutMs, int wakeFd) {
    std::int64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + timeoutMs;
    WSAPOLLFD fds[2] = {{sock(fd), events, 0}, {sock(wakeFd), POLLRDNORM, 0}};
    int r = WSAPoll(fds, 2, timeoutMs < 0 ? -1 : msLeft(deadline));
    if (r < 0)
        return NetSocket::Result::Failed;
    if (fds[1].revents & POLLRDNORM) {
        drainWaker(wakeFd);
        return NetSocket::Result::Woken;
    }
    if (r == 0)
        return NetSocket::Result::TimedOut;
    return NetSocket::Result::Ok;
}

}  // namespace

std::vector<NetAddress> resolveHost(const std::string& host, std::uint16_t port, NetKind kind,
                                    std::string* error) {
    std::vector<NetAddress> out;
    if (!startWinsock()) {
        if (error)
            *error = "no network (WSAStartup failed)";
        return out;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind == NetKind::Stream ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        if (error)
            *error = gai_strerrorA(rc);
        return out;
    }
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
            ai->ai_addrlen > sizeof(NetAddress::bytes))
            continue;
        NetAddress a;
        std::memcpy(a.bytes, ai->ai_addr, ai->ai_addrlen);
        a.size = static_cast<std::uint32_t>(ai->ai_addrlen);
        out.push_back(a);
    }
    freeaddrinfo(list);
    if (out.empty() && error)
        *error = "no IPv4 or IPv6 address";
    return out;
}

std::unique_ptr<NetWaker> NetWaker::create() {
    if (!startWinsock())
        return nullptr;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return nullptr;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof self;
    if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        closesocket(s);
        return nullptr;
    }
    setNonBlocking(s);
    return std::unique_ptr<NetWaker>(new NetWaker(asInt(s)));
}

NetWaker::~NetWaker() {
    closesocket(sock(fd_));
}

void NetWaker::wake() {
    const char one = 1;
    send(sock(fd_), &one, 1, 0);  // a full queue already means woken
}

void NetWaker::drain() {
    drainWaker(fd_);
}

bool NetWaker::wait(int timeoutMs) {
    WSAPOLLFD p{sock(fd_), POLLRDNORM, 0};
    if (WSAPoll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs) > 0) {
        drain();
        return true;
    }
    return false;
}

std::uint32_t NetWaker::handleValue() const {
    const std::uint32_t pid = GetCurrentProcessId() & 0xFFFFu;
    return (pid << 16) | (static_cast<std::uint32_t>(fd_) & 0xFFFFu);
}

std::unique_ptr<NetSocket> NetSocket::create(const NetAddress& family, NetKind kind) {
    if (family.size < sizeof(ADDRESS_FAMILY) || !startWinsock())
        return nullptr;
    SOCKET s = socket(sa(family)->sa_family, kind == NetKind::Stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return nullptr;
    setNonBlocking(s);
    if (kind == NetKind::Stream) {
        BOOL one = TRUE;  // a packet goes out at once
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    }
    return std::unique_ptr<NetSocket>(new NetSocket(asInt(s), kind == NetKind::Datagram));
}

NetSocket::~NetSocket() {
    closesocket(sock(fd_));
}

NetSocket::Result NetSocket::connect(const NetAddress& peer, int timeoutMs, NetWaker& waker) {
    if (::connect(sock(fd_), sa(peer), static_cast<int>(peer.size)) == 0)
        return Result::Ok;
    if (WSAGetLastError() != WSAEWOULDBLOCK)
        return Result::Failed;
    return waitConnected(timeoutMs, waker);
}

NetSocket::Result NetSocket::waitConnected(int timeoutMs, NetWaker& waker) {
    Result r = pollWith(fd_, POLLWRNORM, timeoutMs, waker.fd_);
    if (r != Result::Ok)
        return r;
    int error = 0;
    int len = sizeof error;
    if (getsockopt(sock(fd_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0 ||
        error != 0)
        return Result::Failed;
    return Result::Ok;
}

bool NetSocket::listen(const NetAddress& local) {
    if (sa(local)->sa_family == AF_INET6) {
        DWORD one = 1;
        setsockopt(sock(fd_), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one),
                   sizeof one);
    }
    if (::bind(sock(fd_), sa(local), static_cast<int>(local.size)) != 0)
        return false;
    return datagram_ || ::listen(sock(fd_), 4) == 0;
}

NetAddress NetSocket::localAddress() const {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (getsockname(sock(fd_), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return NetAddress{};
    return fromStorage(ss, len);
}

std::unique_ptr<NetSocket> NetSocket::accept(NetAddress* peer) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    SOCKET s = ::accept(sock(fd_), reinterpret_cast<sockaddr*>(&ss), &len);
    if (s == INVALID_SOCKET)
        return nullptr;
    if (peer)
        *peer = fromStorage(ss, len);
    setNonBlocking(s);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return std::unique_ptr<NetSocket>(new NetSocket(asInt(s), false));
}

NetSocket::Result NetSocket::waitReadable(int timeoutMs, NetWaker& waker) {
    return pollWith(fd_, POLLRDNORM, timeoutMs, waker.fd_);
}

long NetSocket::receive(void* buf, std::size_t n, NetAddress* from, bool* truncated) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    int r = recvfrom(sock(fd_), static_cast<char*>(buf), static_cast<int>(n), 0,
                     reinterpret_cast<sockaddr*>(&ss), &len);
    bool cut = false;
    if (r < 0) {
        int e = WSAGetLastError();
        if (e == WSAEWOULDBLOCK)
            return -1;
        // A datagram longer than the buffer: its first n bytes arrived, the rest is lost.
        if (e != WSAEMSGSIZE || !datagram_)
            return -2;
        r = static_cast<int>(n);
        cut = true;
    }
    if (from)
        *from = fromStorage(ss, len);
    if (truncated)
        *truncated = cut;
    return r;
}

long NetSocket::send(const void* buf, std::size_t n, int timeoutMs) {
    const auto* p = static_cast<const char*>(buf);
    std::int64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + timeoutMs;
    std::size_t done = 0;
    while (done < n) {
        int w = ::send(sock(fd_), p + done, static_cast<int>(n - done), 0);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            return -1;
        int wait = timeoutMs < 0 ? -1 : msLeft(deadline);
        if (wait == 0)
            break;
        WSAPOLLFD pf{sock(fd_), POLLWRNORM, 0};
        int r = WSAPoll(&pf, 1, wait);
        if (r < 0)
            return -1;
        if (r > 0 && (pf.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return -1;
    }
    return static_cast<long>(done);
}

bool NetSocket::sendTo(const void* buf, std::size_t n, const NetAddress& to) {
    int w = ::sendto(sock(fd_), static_cast<const char*>(buf), static_cast<int>(n), 0, sa(to),
                     static_cast<int>(to.size));
    return w == static_cast<int>(n);
}

}  // namespace platform
