// The steps of network sockets that are the same on both systems (net_address.cpp), for the two
// implementations of net_socket.h. Both systems have the BSD socket structures and getaddrinfo.
#pragma once

#include "platform/net_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace platform::net {

inline const sockaddr* sa(const NetAddress& a) {
    return reinterpret_cast<const sockaddr*>(a.bytes);
}

// The socket address of `len` bytes at `addr`; an empty one (size 0) when it does not fit.
NetAddress addressOf(const void* addr, std::size_t len);

// Readies the system's network layer for use (Winsock's start-up); false, with the reason in
// `error`, when it cannot be. Each system's net_socket.cpp has it.
bool networkReady(std::string* error);

}  // namespace platform::net
