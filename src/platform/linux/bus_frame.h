// Wire format of the message bus: length-prefixed frames over a Unix stream socket.
//
//   header (12 bytes, little endian): magic "KLB1" (u32), type (u8), 3 zero bytes, body length
//   (u32); then the body, whose layout depends on the type (see bus_frame.cpp).
//
// The decoder is a pure function over bytes so that it can be fuzzed: it never reads past the
// input, never allocates more than the body it has actually received, and rejects any frame whose
// declared length exceeds kMaxPayload plus the fixed part of its type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::bus {

inline constexpr std::uint32_t kFrameMagic = 0x31424C4B;  // "KLB1"
inline constexpr std::size_t kHeaderSize = 12;
// Largest byte payload a message or a reply may carry, and the largest reply buffer a sender may
// ask for.
inline constexpr std::size_t kMaxPayload = 1u << 20;

enum class FrameType : std::uint8_t {
    Hello = 1,  // first frame of a connection: prefix id and pid of the connecting process
    Send = 2,   // synchronous message, answered by a Reply with the same seq
    Post = 3,   // queued message, no answer
    Reply = 4,  // result of a Send
    // First frame of a connection that carries one Send, which the receiver closes after its
    // Reply (a broadcast's, or a send from a thread other than the UI thread); body as Hello.
    HelloOneSend = 5,
};

// NoWindow and Expired guarantee that no procedure saw the message.
enum class ReplyStatus : std::uint8_t { Ok = 0, NoWindow = 1, Expired = 2 };

struct Frame {
    FrameType type = FrameType::Hello;
    // Hello, HelloOneSend
    std::uint64_t prefixId = 0;
    std::uint32_t pid = 0;
    // Send, Post, Reply
    std::uint32_t seq = 0;
    std::uint32_t hwnd = 0;
    std::uint32_t msg = 0;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
    // Send: whether the lParam stands for a buffer (`bytes` in, `outSize` bytes wanted back).
    bool hasBuffer = false;
    std::uint32_t outSize = 0;
    // Send: when the sender stops waiting, in nanoseconds of CLOCK_MONOTONIC (shared by every
    // process of the machine); 0 for no limit. A send taken later is not delivered.
    std::uint64_t deadlineNs = 0;
    // Reply
    std::int64_t result = 0;
    ReplyStatus status = ReplyStatus::Ok;
    // Send: the buffer's input bytes; Reply: the bytes copied back.
    std::vector<std::uint8_t> bytes;
};

enum class DecodeStatus {
    Ok,         // one frame decoded; `consumed` bytes belong to it
    NeedMore,   // the input holds only the start of a frame
    Malformed,  // the input cannot be a frame of ours: drop the connection
};

// The prefix id a Hello carries: a hash of the prefix's runtime folder.
std::uint64_t prefixIdOf(const std::string& runtimeDir);

DecodeStatus decodeFrame(const std::uint8_t* data, std::size_t size, Frame& out,
                         std::size_t& consumed);

// Appends the encoding of `f` to `out`. Byte payloads longer than kMaxPayload are the caller's
// error: encodeFrame returns false and appends nothing.
bool encodeFrame(const Frame& f, std::vector<std::uint8_t>& out);

}  // namespace platform::bus
