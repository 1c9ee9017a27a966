// Network sockets on Win32: Winsock, non-blocking sockets and select(). A NetWaker is a UDP
// socket on the loopback interface that sends itself a byte to wake a wait, so that every wait
// is one select() on the socket and the waker, as poll() does it on Linux. select() rather than
// WSAPoll: it reports a failed non-blocking connect (in the exception set), which WSAPoll of
// many Windows versions never does, leaving the connect to run into its time-out. Socket handles
// are kernel handles, which Windows keeps within 32 significant bits: they are held as int.
#include <winsock2.h>
#include <ws2tcpip.h>
// After Winsock: mswsock.h needs its types.
#include <mswsock.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/net_internal.h"

namespace platform {

using net::sa;

namespace {

// Unacknowledged data older than this ends a TCP connection, so a camera that vanished without a
// reset is noticed and reconnected instead of being written to for many minutes.
constexpr DWORD kTcpMaxRetransmitSeconds = 10;
#ifndef TCP_MAXRT
#define TCP_MAXRT 5  // ws2ipdef.h of the newer SDKs: the longest retransmission, in seconds
#endif

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

void setNonBlocking(SOCKET s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

void setOption(SOCKET s, int level, int name, DWORD value) {
    setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

void drainWaker(int fd) {
    char tmp[64];
    while (recv(sock(fd), tmp, sizeof tmp, 0) > 0) {
    }
}

enum class Ready { Socket, Waker, TimedOut, Failed };

// Waits until `s` can be read (or `write`: written, or its connect has ended either way), or
// the waker (INVALID_SOCKET: none) has a byte, for `timeoutMs` (-1: no limit).
Ready waitFor(SOCKET s, bool write, SOCKET waker, int timeoutMs) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (s != INVALID_SOCKET) {
        FD_SET(s, write ? &writable : &readable);
        FD_SET(s, &failed);
    }
    if (waker != INVALID_SOCKET)
        FD_SET(waker, &readable);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = select(0, &readable, &writable, &failed, timeoutMs < 0 ? nullptr : &limit);
    if (r == SOCKET_ERROR)
        return Ready::Failed;
    if (waker != INVALID_SOCKET && FD_ISSET(waker, &readable))
        return Ready::Waker;
    return r == 0 ? Ready::TimedOut : Ready::Socket;
}

// Waits on `fd` and the waker; Ok when the socket is ready (or failed: the caller's next call
// tells), Woken (the wake-up taken) or TimedOut otherwise.
NetSocket::Result waitWith(int fd, bool write, int timeoutMs, int wakeFd) {
    switch (waitFor(sock(fd), write, sock(wakeFd), timeoutMs)) {
        case Ready::Socket:
            return NetSocket::Result::Ok;
        case Ready::Waker:
            drainWaker(wakeFd);
            return NetSocket::Result::Woken;
        case Ready::TimedOut:
            return NetSocket::Result::TimedOut;
        case Ready::Failed:
            break;
    }
    return NetSocket::Result::Failed;
}

}  // namespace

bool net::networkReady(std::string* error) {
    if (startWinsock())
        return true;
    if (error)
        *error = "no network (WSAStartup failed)";
    return false;
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
    if (waitFor(INVALID_SOCKET, false, sock(fd_), timeoutMs) != Ready::Waker)
        return false;
    drain();
    return true;
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
        setOption(s, IPPROTO_TCP, TCP_NODELAY, TRUE);  // a packet goes out at once
        setOption(s, IPPROTO_TCP, TCP_MAXRT, kTcpMaxRetransmitSeconds);
    } else {
        // Without this, an ICMP "port unreachable" for an earlier datagram (a camera not yet
        // running) makes the next receive fail with WSAECONNRESET, as if the socket were broken.
        BOOL report = FALSE;
        DWORD ignored = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &ignored, nullptr,
                 nullptr);
    }
    return std::unique_ptr<NetSocket>(new NetSocket(asInt(s), kind == NetKind::Datagram));
}

NetSocket::~NetSocket() {
    closesocket(sock(fd_));
}

NetSocket::Result NetSocket::connect(const NetAddress& peer, int timeoutMs, NetWaker& waker) {
    if (::connect(sock(fd_), sa(peer), static_cast<int>(peer.size)) == 0)
        return Result::Ok;
    const int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK && e != WSAEINPROGRESS)
        return Result::Failed;
    return waitConnected(timeoutMs, waker);
}

NetSocket::Result NetSocket::waitConnected(int timeoutMs, NetWaker& waker) {
    Result r = waitWith(fd_, true, timeoutMs, waker.fd_);
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
    if (sa(local)->sa_family == AF_INET6)
        setOption(sock(fd_), IPPROTO_IPV6, IPV6_V6ONLY, 1);
    if (::bind(sock(fd_), sa(local), static_cast<int>(local.size)) != 0)
        return false;
    return datagram_ || ::listen(sock(fd_), 4) == 0;
}

NetAddress NetSocket::localAddress() const {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (getsockname(sock(fd_), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return NetAddress{};
    return net::addressOf(&ss, static_cast<std::size_t>(len));
}

std::unique_ptr<NetSocket> NetSocket::accept(NetAddress* peer) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    SOCKET s = ::accept(sock(fd_), reinterpret_cast<sockaddr*>(&ss), &len);
    if (s == INVALID_SOCKET)
        return nullptr;
    if (peer)
        *peer = net::addressOf(&ss, static_cast<std::size_t>(len));
    setNonBlocking(s);
    setOption(s, IPPROTO_TCP, TCP_NODELAY, TRUE);
    return std::unique_ptr<NetSocket>(new NetSocket(asInt(s), false));
}

NetSocket::Result NetSocket::waitReadable(int timeoutMs, NetWaker& waker) {
    return waitWith(fd_, false, timeoutMs, waker.fd_);
}

long NetSocket::receive(void* buf, std::size_t n, NetAddress* from, bool* truncated) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    int r = recvfrom(sock(fd_), static_cast<char*>(buf), static_cast<int>(n), 0,
                     reinterpret_cast<sockaddr*>(&ss), &len);
    bool cut = false;
    if (r < 0) {
        const int e = WSAGetLastError();
        if (e == WSAEWOULDBLOCK)
            return -1;
        // On a datagram socket these report an earlier datagram that went nowhere (where the
        // system ignores SIO_UDP_CONNRESET), not a broken socket: nothing to read.
        if (datagram_ && (e == WSAECONNRESET || e == WSAENETRESET))
            return -1;
        // A datagram longer than the buffer: its first n bytes arrived, the rest is lost.
        if (e != WSAEMSGSIZE || !datagram_)
            return -2;
        r = static_cast<int>(n);
        cut = true;
    }
    if (from)
        *from = net::addressOf(&ss, static_cast<std::size_t>(len));
    if (truncated)
        *truncated = cut;
    return r;
}

long NetSocket::send(const void* buf, std::size_t n, int timeoutMs) {
    const auto* p = static_cast<const char*>(buf);
    const std::int64_t deadline = deadlineIn(timeoutMs);
    std::size_t done = 0;
    while (done < n) {
        int w = ::send(sock(fd_), p + done, static_cast<int>(n - done), 0);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            return -1;
        const int wait = msUntil(deadline);
        if (wait == 0)
            break;
        if (waitFor(sock(fd_), true, INVALID_SOCKET, wait) == Ready::Failed)
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
