// Socket addresses and host lookup: the same BSD structures and getaddrinfo on both systems, so
// one file serves both builds.
#include "platform/net_internal.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>

namespace platform {

using net::sa;

bool NetAddress::operator==(const NetAddress& other) const {
    if (size != other.size || size < sizeof(sockaddr::sa_family))
        return false;
    const auto* a = sa(*this);
    const auto* b = sa(other);
    if (a->sa_family != b->sa_family)
        return false;
    if (a->sa_family == AF_INET) {
        const auto* x = reinterpret_cast<const sockaddr_in*>(a);
        const auto* y = reinterpret_cast<const sockaddr_in*>(b);
        return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
    }
    if (a->sa_family == AF_INET6) {
        const auto* x = reinterpret_cast<const sockaddr_in6*>(a);
        const auto* y = reinterpret_cast<const sockaddr_in6*>(b);
        return x->sin6_port == y->sin6_port &&
               std::memcmp(&x->sin6_addr, &y->sin6_addr, sizeof x->sin6_addr) == 0;
    }
    return false;
}

std::string NetAddress::text() const {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (size >= sizeof(sockaddr_in) && sa(*this)->sa_family == AF_INET) {
        const auto* x = reinterpret_cast<const sockaddr_in*>(bytes);
        inet_ntop(AF_INET, &x->sin_addr, host, sizeof host);
        port = ntohs(x->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (size >= sizeof(sockaddr_in6) && sa(*this)->sa_family == AF_INET6) {
        const auto* x = reinterpret_cast<const sockaddr_in6*>(bytes);
        inet_ntop(AF_INET6, &x->sin6_addr, host, sizeof host);
        port = ntohs(x->sin6_port);
    }
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

NetAddress net::addressOf(const void* addr, std::size_t len) {
    NetAddress a;
    if (len > sizeof a.bytes)
        return a;
    std::memcpy(a.bytes, addr, len);
    a.size = static_cast<std::uint32_t>(len);
    return a;
}

std::vector<NetAddress> resolveHost(const std::string& host, std::uint16_t port, NetKind kind,
                                    std::string* error) {
    std::vector<NetAddress> out;
    std::string reason;
    if (!net::networkReady(&reason)) {
        if (error)
            *error = reason;
        return out;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind == NetKind::Stream ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        if (error)
            *error = gai_strerror(rc);
        return out;
    }
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
            continue;
        const NetAddress a = net::addressOf(ai->ai_addr, ai->ai_addrlen);
        if (a.size != 0)
            out.push_back(a);
    }
    freeaddrinfo(list);
    if (out.empty() && error)
        *error = "no IPv4 or IPv6 address";
    return out;
}

}  // namespace platform
