#include "camera/camera_controller.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/decimal.h"

namespace camera {

namespace {

constexpr std::uint8_t kTerminator = 0xFF;
constexpr int kReadSize = 32;

// Counters wrap like the 32-bit registers they stand for, without signed overflow.
void bump(std::int32_t& counter) {
    counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1u);
}

// Good replies from camera 1: 0x90 begins every reply, and 0x50, 0x02 and 0xFF are the later
// bytes of the auto-focus answer 90 50 02 FF, so each piece of that answer counts when it
// arrives split across reads and is judged.
bool isGoodFirstByte(std::uint8_t b) {
    return b == 0x90 || b == 0x50 || b == 0x02 || b == 0xFF;
}

}  // namespace

void CameraController::logLine(const char* format, ...) {
    if (!host_.logging())
        return;
    logBuffer_.resize(kLogLineMax);
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(logBuffer_.data(), logBuffer_.size(), format, args);
    va_end(args);
    if (n < 0)
        return;
    // The text is cut at the buffer's end; what is passed on is a NUL-terminated line.
    host_.log(logBuffer_.c_str());
}

int CameraController::dispatchSlotChange(int device, int slot, const char* value) {
    if (!value)
        value = "";
    switch (slot) {
        case 1:  // the link state is the driver's own; nobody else may set it
            return 1;
        case 8: {
            std::int32_t v = common::parseDecimal(value);
            if (v < 0 || v > 4)
                return 1;
            sendZoom(v);
            return 0;
        }
        case 9: {
            std::int32_t v = common::parseDecimal(value);
            if (v < 0 || v > 7 || v == 5)
                return 1;
            sendFocus(v);
            return 0;
        }
        case 31: {
            std::int32_t v = common::parseDecimal(value);
            if (v <= 0 || v >= 19)
                return 1;
            packet.panSpeed = v;
            return 0;
        }
        case 32: {
            std::int32_t v = common::parseDecimal(value);
            if (v <= 0 || v >= 18)
                return 1;
            packet.tiltSpeed = v;
            return 0;
        }
        case 33: {
            std::int32_t v = common::parseDecimal(value);
            if (v < 0 || v > 9)
                return 1;
            sendPanTilt(v);
            return 0;
        }
        default:
            // The value is an argument of the line, never part of its format.
            logLine("Slot change function from device %d - slot %d has changed to '%s'", device,
                    slot, value);
            return 0;
    }
}

void CameraController::buildAndSend(std::initializer_list<std::uint8_t> bytes) {
    int count = 0;
    for (std::uint8_t b : bytes) {
        if (count >= static_cast<int>(sizeof packet.command))
            break;
        packet.command[count++] = b;
    }
    sendPacket(packet.command, count);
}

void CameraController::sendZoom(int v) {
    const std::uint8_t h = packet.header;
    switch (v) {
        case 0:  // Zoom Stop; the port is handed one 0x00 byte after the terminator
            buildAndSend({h, 0x01, 0x04, 0x07, 0x00, kTerminator, 0x00});
            break;
        case 1:  // tele, speed 2
            buildAndSend({h, 0x01, 0x04, 0x07, 0x22, kTerminator});
            break;
        case 2:  // wide, speed 2
            buildAndSend({h, 0x01, 0x04, 0x07, 0x32, kTerminator});
            break;
        case 3:  // tele, speed 7
            buildAndSend({h, 0x01, 0x04, 0x07, 0x27, kTerminator});
            break;
        case 4:  // wide, speed 7
            buildAndSend({h, 0x01, 0x04, 0x07, 0x37, kTerminator});
            break;
    }
}

void CameraController::sendFocus(int v) {
    const std::uint8_t h = packet.header;
    switch (v) {
        case 0:  // stop
            buildAndSend({h, 0x01, 0x04, 0x08, 0x00, kTerminator});
            break;
        case 1:  // near
        case 3:
            buildAndSend({h, 0x01, 0x04, 0x08, 0x03, kTerminator});
            break;
        case 2:  // far
        case 4:
            buildAndSend({h, 0x01, 0x04, 0x08, 0x02, kTerminator});
            break;
        case 6:  // auto focus
            buildAndSend({h, 0x01, 0x04, 0x38, 0x02, kTerminator});
            break;
        case 7:  // manual focus
            buildAndSend({h, 0x01, 0x04, 0x38, 0x03, kTerminator});
            break;
    }
}

void CameraController::sendPanTilt(int v) {
    const std::uint8_t h = packet.header;
    if (v == 9) {  // home carries no speeds
        buildAndSend({h, 0x01, 0x06, 0x04, kTerminator});
        return;
    }
    // Direction bytes (pan, tilt): 01 left/up, 02 right/down, 03 stop.
    static constexpr std::uint8_t kDirections[9][2] = {
        {0x03, 0x03},  // 0 stop
        {0x03, 0x01},  // 1 up
        {0x03, 0x02},  // 2 down
        {0x01, 0x03},  // 3 left
        {0x02, 0x03},  // 4 right
        {0x01, 0x01},  // 5 up-left
        {0x02, 0x01},  // 6 up-right
        {0x01, 0x02},  // 7 down-left
        {0x02, 0x02},  // 8 down-right
    };
    const auto vv = static_cast<std::uint8_t>(packet.panSpeed & 0xFF);
    const auto ww = static_cast<std::uint8_t>(packet.tiltSpeed & 0xFF);
    buildAndSend({h, 0x01, 0x06, 0x01, vv, ww, kDirections[v][0], kDirections[v][1], kTerminator});
}

void CameraController::sendPacket(const std::uint8_t* bytes, int count) {
    host_.serialWrite(bytes, count);
    host_.killTimer(kReplyTimerId);
    host_.setTimer(kReplyTimerId, kReplyTimeoutMs);
    bump(serialTxCount);
    host_.refreshCounters();
}

void CameraController::setPollPeriod(unsigned ms) {
    host_.setTimer(kPollTimerId, ms);
}

void CameraController::onSerialData(std::intptr_t /*port*/) {
    host_.serialGetStatus();

    // One zeroed buffer per notification with room for a terminating NUL, so the text and the
    // byte fields below never show anything but bytes of this read.
    std::uint8_t buffer[kReadSize + 1] = {};
    int count = host_.serialRead(buffer, kReadSize);
    if (count < 0)
        count = 0;
    if (count > kReadSize)
        count = kReadSize;

    char text[kReadSize + 1] = {};
    std::size_t textLen = 0;
    while (textLen < static_cast<std::size_t>(count) && buffer[textLen] != 0) {
        text[textLen] = static_cast<char>(buffer[textLen]);
        ++textLen;
    }
    // Byte fields at or past the count show 0: the buffer holds no received byte there.
    logLine("Read %d bytes from port %d \"%s\" %d %x %x %x %x %x", count, host_.serialPortNumber(),
            text, buffer[0], buffer[1], buffer[2], buffer[3], buffer[4], buffer[5]);

    bump(serialRxCount);
    host_.refreshCounters();

    // A read that found nothing (an earlier read already took the bytes) has no first byte to
    // judge: it leaves the link state as it is.
    if (count == 0)
        return;

    // The byte that begins the first packet of this read. When the last read ended inside a
    // packet, this read's bytes up to its first terminator finish that packet; a read that holds
    // no packet start leaves the link state as it is.
    int start = 0;
    if (midPacket) {
        const auto* end = std::find(buffer, buffer + count, kTerminator);
        start = static_cast<int>(end - buffer) + 1;
    }
    midPacket = buffer[count - 1] != kTerminator;
    if (start >= count)
        return;

    if (isGoodFirstByte(buffer[start])) {
        host_.updateslot(1, "1");
        host_.setStatusText("Connected OK");
        host_.killTimer(kReplyTimerId);
        timeoutCount = 0;
        if (!connected) {
            setPollPeriod(1000);
            pollCount = 0;
            logLine("comms test cycle set to 1 second");
        }
        connected = true;
    } else {
        host_.updateslot(1, "0");
        host_.setStatusText("Reply error");
        connected = false;
    }
}

void CameraController::onReplyTimeout() {
    logLine("Reply Timer - no response from device");
    host_.killTimer(kReplyTimerId);
    if (connected) {
        setPollPeriod(5000);
        pollCount = 0;
        logLine("comms test cycle set to 5 second");
    }
    connected = false;
    if (++timeoutCount >= 3) {
        host_.updateslot(1, "0");
        timeoutCount = 0;
        host_.setStatusText("Error Status");
    }
}

void CameraController::onPollTimer() {
    // Focus-mode inquiry to camera 1.
    buildAndSend({packet.header, 0x09, 0x04, 0x38, kTerminator});
    if (pollCount < 20) {
        ++pollCount;
    } else if (pollCount != 22) {
        setPollPeriod(20000);
        pollCount = 22;
        connected = true;
        logLine("comms test cycle set to 20 seconds");
    }
}

}  // namespace camera
