#include "platform/clock.h"
#include "platform/net_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

using net::sa;

namespace {

// Unacknowledged data older than this ends a TCP connection, so a camera that vanished without a
// reset is noticed and reconnected instead of being written to for many minutes.
constexpr unsigned kTcpUserTimeoutMs = 10000;

// Polls `fd` for `events` and the waker; Ok when the socket is ready (or failed: the caller's
// next call tells), Woken (the wake-up taken) or TimedOut otherwise.
NetSocket::Result pollWith(int fd, short events, int timeoutMs, int wakeFd) {
    const std::int64_t deadline = deadlineIn(timeoutMs);
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        int r = poll(fds, 2, msUntil(deadline));
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

bool net::networkReady(std::string*) {
    return true;
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
    const std::int64_t deadline = deadlineIn(timeoutMs);
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, msUntil(deadline));
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
    return net::addressOf(&ss, len);
}

std::unique_ptr<NetSocket> NetSocket::accept(NetAddress* peer) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (peer)
        *peer = net::addressOf(&ss, len);
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
            *from = net::addressOf(&ss, len);
        if (truncated)
            *truncated = static_cast<std::size_t>(r) > n;
        return static_cast<std::size_t>(r) > n ? static_cast<long>(n) : static_cast<long>(r);
    }
}

long NetSocket::send(const void* buf, std::size_t n, int timeoutMs) {
    const auto* p = static_cast<const std::uint8_t*>(buf);
    const std::int64_t deadline = deadlineIn(timeoutMs);
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
        const int wait = msUntil(deadline);
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
