// The process's serial ports: a table of 256 records indexed by port index (port number - 1),
// each open port with its device, receive ring buffer and reader thread.
//
// The owner's thread (the UI thread) calls every function except comm_reader_thread and
// comm_receive, which run on a port's reader thread. Data arrival is told to the owner by posting
// WM_COMMNOTIFY (wParam 0, lParam = the owner) to a window, throttled to one post per 100 ms
// until the owner reads, or by calling a callback with
// the owner for every chunk. With neither target the device's receive queue is discarded after
// each chunk. While more than 8192 bytes are pending every chunk posts, as long as the posts
// still queued, at one read of the port's read size each, would not take all of them: a post
// beyond that would only reach the owner after the ring has been emptied.
//
// A port's device is the serial line of COMn or the network camera that C:\kelp_config.ini names
// for it (see comms/line_device.h); everything above the device is the same for both.
//
// A port's device handle value (see platform::CommDevice::handleValue) names its ring buffer's
// lock "%XBUFSEM" and its start-handshake semaphore "Creating Thread for hCom %#x.\r\n".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "comms/rx_ring_buffer.h"
#include "platform/serial_device.h"
#include "platform/window.h"

namespace platform {
class NamedSemaphore;
}

namespace comms {

class SerialPort;

using platform::COMMPROP;
using platform::COMMTIMEOUTS;
using platform::COMSTAT;

inline constexpr int COMM_MAX_PORTS = 256;
inline constexpr int COMM_READ_BUFFER = 256;  // the reader's buffer: read sizes are cut to this

using CommNotifyCallback = void (*)(void* owner);

struct PortRecord {
    platform::CommDevice* hCom = nullptr;  // the open device; null = record free
    std::int32_t baudRate = 0;
    std::thread* hThread = nullptr;
    RxBufHandle hRxBuf = 0;
    // Targets and notification state, shared with the reader thread.
    std::atomic<CommNotifyCallback> notifyCallback{nullptr};
    std::atomic<platform::HWND> notifyWnd{0};
    std::atomic<std::int32_t> notified{0};
    std::atomic<std::uint32_t> lastNotifyTick{0};
    COMMTIMEOUTS timeouts{};  // last applied to the device (owner's thread only)
    COMMPROP properties{};
    std::int32_t portNumber = 0;
    std::uint32_t threadId = 0;
    std::atomic<std::int32_t> pendingBytes{0};
    // Posts of WM_COMMNOTIFY not yet followed by a read: each read takes one off (never below 0).
    std::atomic<std::int32_t> queuedPosts{0};
    std::shared_ptr<platform::NamedSemaphore> hStartSem;
    std::atomic<SerialPort*> owner{nullptr};

    // Back to the free state (all zero). Only with no reader running for the record.
    void clear();
    // Copies every field (the handles too, not what they refer to).
    void copyFrom(const PortRecord& other);
};

// The table: null while no port is open. Allocated by the first open, freed when a close or a
// failed open leaves no record in use.
extern std::atomic<PortRecord*> PortTable;
// Per port index: bytes per read (also the read time-out multiplier), and the reader's run flag.
extern std::atomic<std::int32_t> portReadSize[COMM_MAX_PORTS];
extern std::atomic<std::int32_t> portRunning[COMM_MAX_PORTS];
// Hands the new record to the reader as it starts.
extern PortRecord threadStartRecord;
// The millisecond tick of the notification throttle (platform::tickCount); tests set another to
// reach the 32-bit wrap.
extern std::atomic<std::uint32_t (*)()> commTickCount;

// Port index 0..255; -1 on failure (port number outside 1..256, no device, settings the line
// cannot take, no ring buffer or thread); -2 when the device is held by another open, in this
// process or another.
int comm_open(SerialPort* owner, int baudRate, int dataBits, int stopBits, int parity);
// Stops and joins the reader, closes the device and frees the ring buffer and record. Index -1
// only frees an unused table.
void comm_close(int port);
// Size < 0: remove both targets, nothing else. Size >= 0: apply the time-outs for it and make
// the reader ask for that many bytes (at most 256) per read. Always 1.
int comm_set_read_size(int port, int size);
// Set one target, clear the other, then comm_set_read_size. 0 for a bad index or no table.
int comm_notify_window(int port, platform::HWND hwnd, int size);
int comm_notify_callback(int port, CommNotifyCallback callback, int size);
// The ring buffer's unread count as cbInQue (all bits set when its lock timed out) and the line's
// errors since the last call. Fills nothing for a bad index or no table.
void comm_status(int port, COMSTAT* status, std::uint32_t* errors);
// Up to the low 16 bits of count bytes from the ring buffer; re-arms the notification.
int comm_read(int port, void* dest, std::uint32_t count);
// Writes the low 16 bits of length bytes; the number written (low 16 bits), -1 on failure, 0 for
// a bad index or no table.
int comm_write(int port, const void* bytes, std::uint32_t length);

// Used by comm_open and the reader thread.
int comm_setup(PortRecord* record, int baudRate, int dataBits, int stopBits, int parity);
std::uint32_t comm_reader_thread(PortRecord* start);
void comm_receive(int port, const std::uint8_t* bytes, std::uint32_t n);
int comm_rx_error(std::uint32_t error, platform::CommDevice* device);

// The time-outs applied to a port's device, for inspection.
COMMTIMEOUTS comm_device_timeouts(int port);

}  // namespace comms
