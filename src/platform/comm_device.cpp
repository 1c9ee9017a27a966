// What every communications device shares: the time-outs it keeps, the start of a read, and the
// time-out rules for devices that carry them out themselves.
#include <algorithm>

#include "platform/serial_device.h"

namespace platform {

namespace {

// The longest time-out kept exactly (about 69 years): multiplier x count + constant can exceed
// what a clock's time point holds, and a longer wait is the same as no end.
constexpr std::int64_t kLongestMs = std::int64_t{1} << 41;

std::chrono::milliseconds totalMs(std::uint32_t multiplier, std::size_t count,
                                  std::uint32_t constant) {
    const auto perByte = static_cast<std::int64_t>(multiplier);
    const auto n = static_cast<std::int64_t>(std::min<std::size_t>(count, kLongestMs));
    const std::int64_t ms =
        perByte != 0 && n > (kLongestMs - constant) / perByte ? kLongestMs : perByte * n + constant;
    return std::chrono::milliseconds(ms);
}

}  // namespace

void CommDevice::setTimeouts(const COMMTIMEOUTS& t) {
    std::lock_guard<std::mutex> lock(timeoutsMutex_);
    applyTimeouts(t);
    timeouts_ = t;
}

COMMTIMEOUTS CommDevice::timeouts() const {
    std::lock_guard<std::mutex> lock(timeoutsMutex_);
    return timeouts_;
}

CommDevice::ReadResult CommDevice::read(void* buf, std::size_t n) {
    if (cancelled())
        return {IoStatus::Cancelled, 0};
    if (n == 0 || !buf)
        return {IoStatus::Ok, 0};
    return readSome(buf, n);
}

ReadDeadline::ReadDeadline(const COMMTIMEOUTS& t, std::size_t count, Clock::time_point start) {
    using std::chrono::milliseconds;
    const bool intervalMax = t.ReadIntervalTimeout == MAXDWORD;
    // MAXDWORD / 0 / 0: return at once with whatever is there.
    immediate_ =
        intervalMax && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    // MAXDWORD / MAXDWORD / c: wait up to c for the first byte, then return what is there.
    firstByteOnly_ = intervalMax && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                     t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    if (firstByteOnly_) {
        total_ = start + milliseconds(t.ReadTotalTimeoutConstant);
    } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
        total_ = start + totalMs(t.ReadTotalTimeoutMultiplier, count, t.ReadTotalTimeoutConstant);
    }
    if (t.ReadIntervalTimeout != 0 && !intervalMax)
        interval_ = milliseconds(t.ReadIntervalTimeout);
}

std::optional<ReadDeadline::Clock::time_point> ReadDeadline::waitUntil() const {
    if (!interval_ || !anyByte_)
        return total_;
    const Clock::time_point afterLast = lastByte_ + *interval_;
    return total_ ? std::min(*total_, afterLast) : afterLast;
}

std::optional<std::chrono::milliseconds> writeLimit(const COMMTIMEOUTS& t, std::size_t count) {
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0)
        return std::nullopt;
    return totalMs(t.WriteTotalTimeoutMultiplier, count, t.WriteTotalTimeoutConstant);
}

COMMPROP selfDrivenProperties(std::uint16_t packetLength, std::uint32_t provSubType) {
    COMMPROP prop;
    prop.wPacketLength = packetLength;
    prop.wPacketVersion = 2;
    prop.dwServiceMask = 1;  // SP_SERIALCOMM
    prop.dwProvSubType = provSubType;
    prop.dwMaxBaud = prop.dwSettableBaud = 0x10000000;  // BAUD_USER: any rate
    prop.wSettableData = 0x000F;                        // 5, 6, 7 and 8 data bits
    prop.wSettableStopParity = 0x1F07;  // one, one and a half, two; none/odd/even/mark/space
    return prop;
}

int pollTimeoutMs(std::optional<ReadDeadline::Clock::time_point> deadline) {
    if (!deadline)
        return -1;
    const auto left = *deadline - ReadDeadline::Clock::now();
    if (left <= ReadDeadline::Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

}  // namespace platform
