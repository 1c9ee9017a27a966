// VISCA packets on datagrams: the 8-byte header of VISCA over IP, and the cutter that turns the
// byte stream the driver writes into one packet per datagram.
//
// Header: payload type (2 bytes), payload length (2 bytes), sequence number (4 bytes), all
// big-endian. A controller sends commands (0x0100) and inquiries (0x0110) with a sequence number
// that rises by one per message; the camera answers with replies (0x0111) that carry the number
// of the message they answer. Control messages (0x0200 / 0x0201) reset the sequence number and
// report errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace comms {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kViscaIpHeaderSize = 8;
inline constexpr std::uint16_t kViscaCommand = 0x0100;
inline constexpr std::uint16_t kViscaInquiry = 0x0110;
inline constexpr std::uint16_t kViscaReply = 0x0111;
inline constexpr std::uint16_t kControlCommand = 0x0200;
inline constexpr std::uint16_t kControlReply = 0x0201;

// Control payloads: RESET (and its acknowledgement), and the two errors a camera reports.
inline constexpr std::uint8_t kControlReset = 0x01;
inline const Bytes kSequenceError{0x0F, 0x01};
inline const Bytes kMessageError{0x0F, 0x02};

struct ViscaIpHeader {
    std::uint16_t type = 0;
    std::uint16_t length = 0;
    std::uint32_t sequence = 0;
};

// Header and payload as one datagram. The payload is at most 65535 bytes.
Bytes encodeViscaIp(std::uint16_t type, std::uint32_t sequence, const std::uint8_t* payload,
                    std::size_t n);
// The header of a datagram whose length field matches the payload that follows it; nullopt for
// one that is too short or whose length field is wrong.
std::optional<ViscaIpHeader> decodeViscaIp(const std::uint8_t* datagram, std::size_t n);
// Command or inquiry: an inquiry has 0x09 as its second byte.
std::uint16_t viscaTypeOf(const Bytes& packet);

// Cuts a byte stream into packets at each 0xFF. Bytes after the last 0xFF wait for the next
// feed; a run of bytes longer than any datagram payload without a terminator is passed on as a
// packet of its own rather than kept without limit. Stray bytes in front of a packet's header
// byte (0x80..0x8F), such as a byte written after a terminator, are dropped when the header
// comes: on a serial line the camera skips them, but in a datagram they would spoil the packet.
class PacketCutter {
  public:
    static constexpr std::size_t kMaxPending = 1024;

    template <typename Emit>
    void feed(const std::uint8_t* bytes, std::size_t n, Emit emit) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t b = bytes[i];
            if ((b & 0xF0) == 0x80 && !pending_.empty() && (pending_[0] & 0xF0) != 0x80)
                pending_.clear();
            pending_.push_back(b);
            if (b == 0xFF || pending_.size() >= kMaxPending) {
                emit(pending_);
                pending_.clear();
            }
        }
    }
    std::size_t pending() const { return pending_.size(); }

  private:
    Bytes pending_;
};

}  // namespace comms
