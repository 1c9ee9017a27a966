#include "platform/linux/bus_frame.h"

#include <cstring>

namespace platform::bus {

namespace {

// Fixed body sizes (before any trailing bytes).
constexpr std::size_t kHelloBody = 8 + 4;
// seq, hwnd, msg, wParam, lParam
constexpr std::size_t kMsgFixed = 4 + 4 + 4 + 8 + 8;
// + hasBuffer (u8), outSize (u32), deadline (u64), byte count (u32)
constexpr std::size_t kSendBody = kMsgFixed + 1 + 4 + 8 + 4;
constexpr std::size_t kPostBody = kMsgFixed;
// seq, result, status, byte count
constexpr std::size_t kReplyBody = 4 + 8 + 1 + 4;

class Writer {
  public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i)
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void bytes(const std::vector<std::uint8_t>& b) { out_.insert(out_.end(), b.begin(), b.end()); }

  private:
    std::vector<std::uint8_t>& out_;
};

// Bounds-checked little-endian reader over a body whose full length is known to be present.
class Reader {
  public:
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    bool u8(std::uint8_t& v) {
        if (n_ - pos_ < 1)
            return false;
        v = p_[pos_++];
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (n_ - pos_ < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(p_[pos_ + i]) << (8 * i);
        pos_ += 4;
        return true;
    }
    bool u64(std::uint64_t& v) {
        if (n_ - pos_ < 8)
            return false;
        v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(p_[pos_ + i]) << (8 * i);
        pos_ += 8;
        return true;
    }
    bool i64(std::int64_t& v) {
        std::uint64_t u;
        if (!u64(u))
            return false;
        v = static_cast<std::int64_t>(u);
        return true;
    }
    bool bytes(std::size_t count, std::vector<std::uint8_t>& out) {
        if (n_ - pos_ < count)
            return false;
        out.assign(p_ + pos_, p_ + pos_ + count);
        pos_ += count;
        return true;
    }
    bool atEnd() const { return pos_ == n_; }

  private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

std::uint32_t readU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Largest body a frame of this type may declare; 0 for an unknown type.
std::size_t maxBody(std::uint8_t type) {
    switch (static_cast<FrameType>(type)) {
        case FrameType::Hello:
        case FrameType::HelloOneSend:
            return kHelloBody;
        case FrameType::Send:
            return kSendBody + kMaxPayload;
        case FrameType::Post:
            return kPostBody;
        case FrameType::Reply:
            return kReplyBody + kMaxPayload;
    }
    return 0;
}

bool readMsgFields(Reader& r, Frame& f) {
    return r.u32(f.seq) && r.u32(f.hwnd) && r.u32(f.msg) && r.u64(f.wParam) && r.i64(f.lParam);
}

}  // namespace

std::uint64_t prefixIdOf(const std::string& runtimeDir) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : runtimeDir) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

DecodeStatus decodeFrame(const std::uint8_t* data, std::size_t size, Frame& out,
                         std::size_t& consumed) {
    consumed = 0;
    // Reject a wrong magic or type as soon as those bytes are there, so garbage never waits.
    std::uint8_t magic[4] = {0x4B, 0x4C, 0x42, 0x31};
    for (std::size_t i = 0; i < 4 && i < size; ++i)
        if (data[i] != magic[i])
            return DecodeStatus::Malformed;
    if (size > 4 && maxBody(data[4]) == 0)
        return DecodeStatus::Malformed;
    if (size < kHeaderSize)
        return DecodeStatus::NeedMore;
    if (data[5] != 0 || data[6] != 0 || data[7] != 0)
        return DecodeStatus::Malformed;
    std::uint32_t bodyLen = readU32(data + 8);
    if (bodyLen > maxBody(data[4]))
        return DecodeStatus::Malformed;
    if (size - kHeaderSize < bodyLen)
        return DecodeStatus::NeedMore;

    Frame f;
    f.type = static_cast<FrameType>(data[4]);
    Reader r(data + kHeaderSize, bodyLen);
    bool ok = false;
    switch (f.type) {
        case FrameType::Hello:
        case FrameType::HelloOneSend:
            ok = r.u64(f.prefixId) && r.u32(f.pid);
            break;
        case FrameType::Post:
            ok = readMsgFields(r, f);
            break;
        case FrameType::Send: {
            std::uint8_t hasBuf = 0;
            std::uint32_t count = 0;
            ok = readMsgFields(r, f) && r.u8(hasBuf) && r.u32(f.outSize) && r.u64(f.deadlineNs) &&
                 r.u32(count) && hasBuf <= 1 && f.outSize <= kMaxPayload && count <= kMaxPayload &&
                 (hasBuf || (count == 0 && f.outSize == 0)) && r.bytes(count, f.bytes);
            f.hasBuffer = hasBuf != 0;
            break;
        }
        case FrameType::Reply: {
            std::uint8_t status = 0;
            std::uint32_t count = 0;
            ok = r.u32(f.seq) && r.i64(f.result) && r.u8(status) && r.u32(count) &&
                 status <= static_cast<std::uint8_t>(ReplyStatus::Expired) &&
                 count <= kMaxPayload && r.bytes(count, f.bytes);
            f.status = static_cast<ReplyStatus>(status);
            break;
        }
    }
    // The declared length must match the fields exactly: trailing bytes mean a confused peer.
    if (!ok || !r.atEnd())
        return DecodeStatus::Malformed;
    out = std::move(f);
    consumed = kHeaderSize + bodyLen;
    return DecodeStatus::Ok;
}

bool encodeFrame(const Frame& f, std::vector<std::uint8_t>& out) {
    if (f.bytes.size() > kMaxPayload || f.outSize > kMaxPayload)
        return false;
    // Room for the largest fixed part and the payload, so that the frame is built without
    // growing its buffers byte by byte.
    constexpr std::size_t kHeaderBytes = 12, kFixedBodyBytes = 48;
    std::vector<std::uint8_t> body;
    body.reserve(kFixedBodyBytes + f.bytes.size());
    Writer w(body);
    switch (f.type) {
        case FrameType::Hello:
        case FrameType::HelloOneSend:
            w.u64(f.prefixId);
            w.u32(f.pid);
            break;
        case FrameType::Send:
        case FrameType::Post:
            w.u32(f.seq);
            w.u32(f.hwnd);
            w.u32(f.msg);
            w.u64(f.wParam);
            w.u64(static_cast<std::uint64_t>(f.lParam));
            if (f.type == FrameType::Send) {
                w.u8(f.hasBuffer ? 1 : 0);
                w.u32(f.hasBuffer ? f.outSize : 0);
                w.u64(f.deadlineNs);
                w.u32(f.hasBuffer ? static_cast<std::uint32_t>(f.bytes.size()) : 0);
                if (f.hasBuffer)
                    w.bytes(f.bytes);
            }
            break;
        case FrameType::Reply:
            w.u32(f.seq);
            w.u64(static_cast<std::uint64_t>(f.result));
            w.u8(static_cast<std::uint8_t>(f.status));
            w.u32(static_cast<std::uint32_t>(f.bytes.size()));
            w.bytes(f.bytes);
            break;
        default:
            return false;
    }
    out.reserve(out.size() + kHeaderBytes + body.size());
    Writer h(out);
    h.u32(kFrameMagic);
    h.u8(static_cast<std::uint8_t>(f.type));
    h.u8(0);
    h.u8(0);
    h.u8(0);
    h.u32(static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return true;
}

}  // namespace platform::bus
