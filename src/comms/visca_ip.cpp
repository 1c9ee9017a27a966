#include "comms/visca_ip.h"

namespace comms {

Bytes encodeViscaIp(std::uint16_t type, std::uint32_t sequence, const std::uint8_t* payload,
                    std::size_t n) {
    Bytes out;
    out.reserve(kViscaIpHeaderSize + n);
    out.push_back(static_cast<std::uint8_t>(type >> 8));
    out.push_back(static_cast<std::uint8_t>(type));
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(sequence >> shift));
    out.insert(out.end(), payload, payload + n);
    return out;
}

std::optional<ViscaIpHeader> decodeViscaIp(const std::uint8_t* datagram, std::size_t n) {
    if (n < kViscaIpHeaderSize)
        return std::nullopt;
    ViscaIpHeader h;
    h.type = static_cast<std::uint16_t>(datagram[0] << 8 | datagram[1]);
    h.length = static_cast<std::uint16_t>(datagram[2] << 8 | datagram[3]);
    h.sequence = static_cast<std::uint32_t>(datagram[4]) << 24 |
                 static_cast<std::uint32_t>(datagram[5]) << 16 |
                 static_cast<std::uint32_t>(datagram[6]) << 8 | datagram[7];
    if (h.length != n - kViscaIpHeaderSize)
        return std::nullopt;
    return h;
}

std::uint16_t viscaTypeOf(const Bytes& packet) {
    return packet.size() >= 2 && packet[1] == 0x09 ? kViscaInquiry : kViscaCommand;
}

}  // namespace comms
