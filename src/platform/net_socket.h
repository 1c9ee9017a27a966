// Network sockets for lines that reach a camera over TCP or UDP.
//
// Every socket is non-blocking; every wait is bounded and also ends when the NetWaker given to it
// is woken, so that the thread that owns a connection can be stopped at once. Addresses are
// IPv4 or IPv6; a NetAddress holds one with its port and compares equal only to the same
// address, port and family.
//
// Thread use: one thread may receive and wait on a socket while another sends on it. A socket
// must not be destroyed while another thread uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class NetKind { Stream, Datagram };

struct NetAddress {
    std::uint8_t bytes[28] = {};  // the system's socket address (sockaddr_in or sockaddr_in6)
    std::uint32_t size = 0;

    bool operator==(const NetAddress& other) const;
    // "127.0.0.1:5678" or "[::1]:5678".
    std::string text() const;
};

// The addresses of `host` (a name, an IPv4 address or an IPv6 address without brackets) at
// `port`. Blocks for a name lookup. Empty, with the reason in `error`, when there is none.
std::vector<NetAddress> resolveHost(const std::string& host, std::uint16_t port, NetKind kind,
                                    std::string* error);

// A wake-up for waits on sockets: wake() ends the current wait (or the next one, if none runs).
class NetWaker {
  public:
    static std::unique_ptr<NetWaker> create();
    ~NetWaker();
    NetWaker(const NetWaker&) = delete;
    NetWaker& operator=(const NetWaker&) = delete;

    void wake();
    // Waits until woken or `timeoutMs` pass (-1: no limit); true when woken. Takes the wake-up.
    bool wait(int timeoutMs);
    // A value unique among the live wakers and devices of the process (the low 16 bits of the
    // process id above the low 16 bits of a descriptor), to name objects after.
    std::uint32_t handleValue() const;

  private:
    friend class NetSocket;
    explicit NetWaker(int fd) : fd_(fd) {}
    void drain();
    int fd_;
};

class NetSocket {
  public:
    // A socket of the family of `family`, not yet bound or connected; null when the system
    // refuses one.
    static std::unique_ptr<NetSocket> create(const NetAddress& family, NetKind kind);
    ~NetSocket();
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    enum class Result { Ok, Woken, TimedOut, Failed };

    // Connects a stream socket to `peer`, waiting up to `timeoutMs`.
    Result connect(const NetAddress& peer, int timeoutMs, NetWaker& waker);
    // Goes on waiting for a connect that a wake-up interrupted.
    Result waitConnected(int timeoutMs, NetWaker& waker);
    // Binds to `local` (port 0: any free port) and, for a stream socket, listens.
    bool listen(const NetAddress& local);
    // The address the socket is bound to.
    NetAddress localAddress() const;
    // Takes a waiting connection of a listening socket; null when none waits.
    std::unique_ptr<NetSocket> accept(NetAddress* peer);

    // Waits until the socket can be read (or has failed or closed), `timeoutMs` (-1: no limit).
    Result waitReadable(int timeoutMs, NetWaker& waker);

    // One receive: the number of bytes, 0 when a stream was closed by the peer, -1 when nothing
    // is waiting, -2 on an error. For a datagram socket `from` gets the sender, and `truncated`
    // tells that the datagram was longer than `n` (its rest is lost).
    long receive(void* buf, std::size_t n, NetAddress* from = nullptr, bool* truncated = nullptr);

    // Sends on a connected stream, waiting for room up to `timeoutMs` (-1: no limit). The number
    // sent (fewer than n when the time ran out), or -1 when the connection failed.
    long send(const void* buf, std::size_t n, int timeoutMs);
    // Sends one datagram. False when the system refused it.
    bool sendTo(const void* buf, std::size_t n, const NetAddress& to);

  private:
    NetSocket(int fd, bool datagram) : fd_(fd), datagram_(datagram) {}
    int fd_;
    bool datagram_;
};

}  // namespace platform
