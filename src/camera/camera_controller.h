// Camera control: turns slot changes into VISCA command packets for camera 1, keeps the pan and
// tilt speeds, polls the camera and supervises its replies, and publishes the link state in
// slot 1.
//
// One process-wide object, owned by main() and used on the user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "camera/camera_host.h"

namespace camera {

// Timer ids on the main window.
inline constexpr unsigned kReplyTimerId = 3;
inline constexpr unsigned kPollTimerId = 4;
inline constexpr unsigned kReplyTimeoutMs = 800;

// The command state: the buffer packets are built in, the camera address header and the speeds
// that pan/tilt drive commands carry.
struct ViscaPacket {
    std::uint8_t command[13] = {};
    std::uint8_t header = 0x81;  // controller 0 to camera 1
    std::int32_t panSpeed = 7;   // 1..18, set through slot 31
    std::int32_t tiltSpeed = 7;  // 1..17, set through slot 32
};

class CameraController {
  public:
    explicit CameraController(CameraHost& host) : host_(host) {}
    CameraController(const CameraController&) = delete;
    CameraController& operator=(const CameraController&) = delete;

    // A slot of the device changed in the infodriver. Returns 0 when the change is accepted
    // (the caller then writes the value back to the slot), 1 when it is refused. `value` may be
    // null (treated as empty).
    int dispatchSlotChange(int device, int slot, const char* value);

    // Sends `count` bytes (at most the 13 of the command buffer are meaningful to callers, but
    // any count is passed on) and restarts the reply timer.
    void sendPacket(const std::uint8_t* bytes, int count);

    // Handlers of the main window's messages: WM_COMMNOTIFY from the serial port (`port` is the
    // message's lParam; there is one port object, so it only identifies the sender), WM_TIMER 3
    // and WM_TIMER 4.
    void onSerialData(std::intptr_t port);
    void onReplyTimeout();
    void onPollTimer();

    // Formats one debug line (bounded; text beyond the log line limit is cut) and logs it, when
    // the host wants debug lines at all.
    void logLine(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Command state.
    ViscaPacket packet;

    // Link state.
    bool connected = false;
    std::int32_t pollCount = 0;     // 0..20; 22 marks the 20 s cycle
    std::int32_t timeoutCount = 0;  // reply-timer expiries in a row
    // The last read ended inside a packet (its last byte was not the terminator 0xFF). A read
    // that begins a packet is judged by its first byte; one that continues a packet by the byte
    // after the terminator that finishes it.
    bool midPacket = false;

    // Traffic counters shown by the status panel. They wrap past INT32_MAX rather than overflow.
    std::int32_t serialRxCount = 0;
    std::int32_t serialTxCount = 0;

    static constexpr std::size_t kLogLineMax = 65536;

  private:
    void buildAndSend(std::initializer_list<std::uint8_t> bytes);
    void sendZoom(int v);
    void sendFocus(int v);
    void sendPanTilt(int v);
    void setPollPeriod(unsigned ms);

    CameraHost& host_;
    std::string logBuffer_;
};

}  // namespace camera
