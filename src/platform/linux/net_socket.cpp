#include "platform/net_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

// Unacknowledged data older than this ends a TCP connection, so a camera that vanished without a
// reset is noticed and reconnected instead of being written to for many minutes.
constexpr unsigned kTcpUserTimeoutMs = 10000;

std::int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int msLeft(std::int64_t deadline) {
    std::int64_t left = deadline - monotonicMs();
    return left <= 0 ? 0 : left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

const sockaddr* sa(const NetAddress& a) {
    return reinterpret_cast<const sockaddr*>(a.bytes);
}

NetAddress fromStorage(const sockaddr_storage& ss, socklen_t len) {
    NetAddress a;
    a.size = len > sizeof a.bytes ? 0 : static_cast<std::uint32_t>(len);
    std::memcpy(a.bytes, &ss, a.size);
    return a;
}

// Polls `fd` for `events` and the waker; Ok when the socket is ready (or failed: the caller's
// next call tells), Woken (the wake-up taken) or TimedOut otherwise.
NetSocket::Result pollWith(int fd, short events, int timeoutMs, int wakeFd) {
    std::int64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + timeoutMs;
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        int r = poll(fds, 2, timeoutMs < 0 ? -1 : msLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return NetSocket::Result::Failed;
        if (fds[1].revents & POLLIN) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
            return NetSocket::Result::Woken;
        }
        if (r == 0)
            return NetSocket::Result::TimedOut;
        return NetSocket::Result::Ok;
    }
}

}  // namespace

std::vector<NetAddress> resolveHost(const std::string& host, std::uint16_t port, NetKind kind,
                                    std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind == NetKind::Stream ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    std::vector<NetAddress> out;
    if (rc != 0) {
        if (error)
            *error = gai_strerror(rc);
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
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<NetWaker>(new NetWaker(fd));
}

NetWaker::~NetWaker() {
    ::close(fd_);
}

void NetWaker::wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(fd_, &one, sizeof one);  // full already means woken
}

void NetWaker::drain() {
    std::uint64_t value;
    [[maybe_unused]] ssize_t r = ::read(fd_, &value, sizeof value);
}

bool NetWaker::wait(int timeoutMs) {
    std::int64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + timeoutMs;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, timeoutMs < 0 ? -1 : msLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r > 0) {
            drain();
            return true;
        }
        return false;
    }
}

std::uint32_t NetWaker::handleValue() const {
    std::uint32_t pid = static_cast<std::uint32_t>(getpid()) & 0xFFFFu;
    return (pid << 16) | (static_cast<std::uint32_t>(fd_) & 0xFFFFu);
}

std::unique_ptr<NetSocket> NetSocket::create(const NetAddress& family, NetKind kind) {
    if (family.size < sizeof(sa_family_t))
        return nullptr;
    int type = (kind == NetKind::Stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
    int fd = ::socket(sa(family)->sa_family, type, 0);
    if (fd < 0)
        return nullptr;
    if (kind == NetKind::Stream) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // a packet goes out at once
        unsigned timeout = kTcpUserTimeoutMs;
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
    }
    return std::unique_ptr<NetSocket>(new NetSocket(fd, kind == NetKind::Datagram));
}

NetSocket::~NetSocket() {
    ::close(fd_);
}

NetSocket::Result NetSocket::connect(const NetAddress& peer, int timeoutMs, NetWaker& waker) {
    if (::connect(fd_, sa(peer), peer.size) == 0)
        return Result::Ok;
    if (errno != EINPROGRESS && errno != EINTR)
        return Result::Failed;
    return waitConnected(timeoutMs, waker);
}

NetSocket::Result NetSocket::waitConnected(int timeoutMs, NetWaker& waker) {
    Result r = pollWith(fd_, POLLOUT, timeoutMs, waker.fd_);
    if (r != Result::Ok)
        return r;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
        return Result::Failed;
    return Result::Ok;
}

bool NetSocket::listen(const NetAddress& local) {
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (sa(local)->sa_family == AF_INET6)
        setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd_, sa(local), local.size) != 0)
        return false;
    return datagram_ || ::listen(fd_, 4) == 0;
}

NetAddress NetSocket::localAddress() const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return NetAddress{};
    return fromStorage(ss, len);
}

std::unique_ptr<NetSocket> NetSocket::accept(NetAddress* peer) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (peer)
        *peer = fromStorage(ss, len);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::unique_ptr<NetSocket>(new NetSocket(fd, false));
}

NetSocket::Result NetSocket::waitReadable(int timeoutMs, NetWaker& waker) {
    return pollWith(fd_, POLLIN, timeoutMs, waker.fd_);
}

long NetSocket::receive(void* buf, std::size_t n, NetAddress* from, bool* truncated) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    for (;;) {
        // MSG_TRUNC makes a datagram socket report the datagram's real length (on a stream it
        // would discard the bytes instead).
        ssize_t r = ::recvfrom(fd_, buf, n, datagram_ ? MSG_TRUNC : 0,
                               reinterpret_cast<sockaddr*>(&ss), &len);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
        if (from)
            *from = fromStorage(ss, len);
        if (truncated)
            *truncated = static_cast<std::size_t>(r) > n;
        return static_cast<std::size_t>(r) > n ? static_cast<long>(n) : static_cast<long>(r);
    }
}

long NetSocket::send(const void* buf, std::size_t n, int timeoutMs) {
    const auto* p = static_cast<const std::uint8_t*>(buf);
    std::int64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + timeoutMs;
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::send(fd_, p + done, n - done, MSG_NOSIGNAL);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        int wait = timeoutMs < 0 ? -1 : msLeft(deadline);
        if (wait == 0)
            break;
        pollfd pf{fd_, POLLOUT, 0};
        int r = poll(&pf, 1, wait);
        if (r < 0 && errno != EINTR)
            return -1;
        if (r > 0 && (pf.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return -1;
    }
    return static_cast<long>(done);
}

bool NetSocket::sendTo(const void* buf, std::size_t n, const NetAddress& to) {
    for (;;) {
        ssize_t w = ::sendto(fd_, buf, n, MSG_NOSIGNAL, sa(to), to.size);
        if (w < 0 && errno == EINTR)
            continue;
        return w == static_cast<ssize_t>(n);
    }
}

}  // namespace platform
