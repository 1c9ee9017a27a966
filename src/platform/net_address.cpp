// Socket addresses: the same BSD structures on both systems, so one file serves both builds.
#include "platform/net_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace platform {

namespace {

const sockaddr* sa(const NetAddress& a) {
    return reinterpret_cast<const sockaddr*>(a.bytes);
}

}  // namespace

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

}  // namespace platform
