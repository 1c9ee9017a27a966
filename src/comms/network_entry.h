// The network cameras of C:\kelp_config.ini: section [Ports] maps a COM port to a camera on the
// network instead of a serial device:
//
//   [Ports]
//   COM3=tcp:cam3.studio.lan:5678       raw VISCA bytes over a TCP stream
//   COM4=udp:cam4.studio.lan:52381      VISCA over IP: datagrams with an 8-byte header
//   COM5=udp-raw:[fd00::15]:1259        one VISCA packet per datagram, no header
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets; PORT is 1..65535. The file is
// read each time a port opens, so an edit takes effect at the next open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace comms {

enum class NetScheme { Tcp, Udp, UdpRaw };

struct NetworkEntry {
    NetScheme scheme = NetScheme::Tcp;
    std::string host;  // without brackets
    std::uint16_t port = 0;
};

// Parses "SCHEME:HOST:PORT". Nullopt for a bad entry, with the reason in `reason`.
std::optional<NetworkEntry> parseNetworkEntry(std::string_view text, std::string* reason);

// The [Ports] value for COM `portNumber` in C:\kelp_config.ini; empty when there is none.
std::string portEntryText(int portNumber);

}  // namespace comms
