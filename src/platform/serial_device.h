// Communications devices: the interface through which the port table drives a line, and the
// serial line on termios that implements it.
//
// A CommDevice carries bytes under the COMMTIMEOUTS rules: a read ends when the requested count
// has arrived, when more than ReadIntervalTimeout ms pass after a byte without another (the
// interval timer starts only with the first byte), or when ReadTotalTimeoutMultiplier x count +
// ReadTotalTimeoutConstant ms have passed; a write ends after WriteTotalTimeoutMultiplier x length
// + WriteTotalTimeoutConstant ms at the latest. Zero totals mean no total limit. Each device also
// has a wake-up: cancel() makes a read that is waiting return at once, so a port can be closed
// without waiting for a time-out.
//
// Thread use: one thread reads (and may wait for a wake-up) while another writes, purges, reads
// the status or changes the time-outs; all of that is safe. Destruction must wait until no other
// thread uses the device.
//
// A SerialDevice is one exclusive open of a communications device.
//
// On Win32 (win32/serial_device.cpp) it is the real device "\\.\COMn" opened for overlapped I/O:
// GetCommState/SetCommState, SetCommTimeouts with the real COMMTIMEOUTS, overlapped
// ReadFile/WriteFile with GetOverlappedResult, ClearCommError, PurgeComm, GetCommProperties, and
// WaitCommEvent for waitReadable. A device held by another program (ERROR_ACCESS_DENIED, the
// sharing violation, or, as Wine does not refuse a second open, a named object that marks it open)
// is Busy. Its wake-ups are events; cancel() also cancels the transfer under way.
//
// On Linux it is a tty in raw mode (VMIN = VTIME = 0, non-blocking); every wait is a poll()
// against a CLOCK_MONOTONIC deadline, and its wake-up is an eventfd.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// <windows.h> defines these names as macros of the same values; the declarations below must
// not see them, and a file that included it keeps its macros.
#pragma push_macro("MAXDWORD")
#undef MAXDWORD
#pragma push_macro("CE_RXOVER")
#undef CE_RXOVER
#pragma push_macro("CE_OVERRUN")
#undef CE_OVERRUN
#pragma push_macro("CE_RXPARITY")
#undef CE_RXPARITY
#pragma push_macro("CE_FRAME")
#undef CE_FRAME
#pragma push_macro("CE_BREAK")
#undef CE_BREAK
#pragma push_macro("NOPARITY")
#undef NOPARITY
#pragma push_macro("ODDPARITY")
#undef ODDPARITY
#pragma push_macro("EVENPARITY")
#undef EVENPARITY
#pragma push_macro("MARKPARITY")
#undef MARKPARITY
#pragma push_macro("SPACEPARITY")
#undef SPACEPARITY
#pragma push_macro("ONESTOPBIT")
#undef ONESTOPBIT
#pragma push_macro("ONE5STOPBITS")
#undef ONE5STOPBITS
#pragma push_macro("TWOSTOPBITS")
#undef TWOSTOPBITS

namespace platform {

inline constexpr std::uint32_t MAXDWORD = 0xFFFFFFFFu;

struct COMMTIMEOUTS {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// The status record of ClearCommError: hold flags and the queue fill levels.
struct COMSTAT {
    std::uint32_t fCtsHold : 1;
    std::uint32_t fDsrHold : 1;
    std::uint32_t fRlsdHold : 1;
    std::uint32_t fXoffHold : 1;
    std::uint32_t fXoffSent : 1;
    std::uint32_t fEof : 1;
    std::uint32_t fTxim : 1;
    std::uint32_t fReserved : 25;
    std::uint32_t cbInQue;
    std::uint32_t cbOutQue;
};

// Bits of the error word.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;    // input buffer overflow
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;   // character lost in the hardware
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;  // parity error
inline constexpr std::uint32_t CE_FRAME = 0x0008;     // framing error
inline constexpr std::uint32_t CE_BREAK = 0x0010;     // break condition

// What the device tells of itself (GetCommProperties); filled from what termios knows.
struct COMMPROP {
    std::uint16_t wPacketLength = 0;
    std::uint16_t wPacketVersion = 0;
    std::uint32_t dwServiceMask = 0;
    std::uint32_t dwMaxTxQueue = 0;
    std::uint32_t dwMaxRxQueue = 0;
    std::uint32_t dwMaxBaud = 0;
    std::uint32_t dwProvSubType = 0;
    std::uint32_t dwSettableBaud = 0;
    std::uint16_t wSettableData = 0;
    std::uint16_t wSettableStopParity = 0;
    std::uint32_t dwCurrentTxQueue = 0;
    std::uint32_t dwCurrentRxQueue = 0;
};

// Line setting codes (DCB): parity and stop bits.
inline constexpr int NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr int ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

class CommDevice {
  public:
    virtual ~CommDevice() = default;

    // The "device handle value" that names the objects of this open; unique among the live
    // devices of the process.
    virtual std::uint32_t handleValue() const = 0;

    // Applies the line settings (rate, data bits, parity and stop-bit codes); false when the line
    // cannot take them.
    virtual bool configure(int baud, int dataBits, int stopBits, int parity) = 0;

    // The time-outs of the reads and writes that begin after the call.
    void setTimeouts(const COMMTIMEOUTS& t);
    COMMTIMEOUTS timeouts() const;

    enum class IoStatus { Ok, Cancelled, Failed };
    struct ReadResult {
        IoStatus status;
        std::size_t count;  // bytes stored in the buffer (Ok only)
    };

    // Reads up to n bytes under the current time-outs. Failed when the line reports an error
    // before any byte came; Cancelled once cancel() was called. A read of 0 bytes (or into no
    // buffer) returns at once.
    ReadResult read(void* buf, std::size_t n);

    // Writes n bytes under the write time-outs. Returns the number written (fewer than n when the
    // time-out ended the write), or -1 on an error.
    virtual long write(const void* buf, std::size_t n) = 0;

    // Discards what the line has received and not yet been read.
    virtual void purgeInput() = 0;

    // Fills the error word with the line's errors since the last call and the status record from
    // the queues. Either pointer may be null.
    virtual void clearErrors(std::uint32_t* errors, COMSTAT* stat) = 0;

    virtual void properties(COMMPROP* prop) const = 0;

    // Wake-ups for a reading thread. cancel() is final: every later read returns Cancelled and
    // waitWake returns at once. wake() only ends the current waitWake.
    virtual void cancel() = 0;
    virtual void wake() = 0;
    virtual bool cancelled() const = 0;
    // Waits until wake() or cancel() is called, or `timeoutMs` pass (-1: no limit). True when
    // woken.
    virtual bool waitWake(int timeoutMs) = 0;
    // Waits, with no time limit, until the line has a byte to read or reports a hang-up or an
    // error, so that a read begun then does not wait for its first byte. False when wake() or
    // cancel() ended the wait instead. A reader that calls this before each read sleeps while the
    // line is idle, and its reads' time-outs count from the first byte.
    virtual bool waitReadable() = 0;

  protected:
    // The device's part of read(): called with a buffer, n > 0, and not yet cancelled.
    virtual ReadResult readSome(void* buf, std::size_t n) = 0;
    // Hands new time-outs to a device that applies them itself; called under the time-outs' lock
    // before they are stored, so the device and timeouts() never disagree.
    virtual void applyTimeouts(const COMMTIMEOUTS&) {}

  private:
    mutable std::mutex timeoutsMutex_;
    COMMTIMEOUTS timeouts_{};
};

// The time-out rules of one read of `count` bytes, for a device that carries them out itself
// (the line on termios, a network line): read() with bytes in hand asks returnsNow(); otherwise it
// waits for more bytes until waitUntil(), and calls arrived() whenever bytes come.
class ReadDeadline {
  public:
    using Clock = std::chrono::steady_clock;

    ReadDeadline(const COMMTIMEOUTS& t, std::size_t count, Clock::time_point start = Clock::now());

    // Bytes came at `now` (the interval timer runs from the last of them).
    void arrived(Clock::time_point now = Clock::now()) {
        lastByte_ = now;
        anyByte_ = true;
    }

    // True when the read ends with what it holds, without waiting: MAXDWORD / 0 / 0 always,
    // MAXDWORD / MAXDWORD / c once a byte came.
    bool returnsNow() const { return immediate_ || (firstByteOnly_ && anyByte_); }

    // The end of the wait for more bytes: the total limit (multiplier x count + constant; c for
    // MAXDWORD / MAXDWORD / c) or, once a byte came, the interval after the last byte, whichever
    // is first. No value: wait without a limit.
    std::optional<Clock::time_point> waitUntil() const;

  private:
    bool immediate_ = false;
    bool firstByteOnly_ = false;
    std::optional<Clock::time_point> total_;
    std::optional<Clock::duration> interval_;
    Clock::time_point lastByte_{};
    bool anyByte_ = false;
};

// The total time-out of a write of `count` bytes: multiplier x count + constant; no value when
// both are 0 (no limit).
std::optional<std::chrono::milliseconds> writeLimit(const COMMTIMEOUTS& t, std::size_t count);

// The properties record of a line that we drive ourselves (the line on termios, a network line):
// a serial service that takes any rate, 5 to 8 data bits, every stop-bit and parity setting.
// The caller's packet length is kept, as GetCommProperties keeps it.
COMMPROP selfDrivenProperties(std::uint16_t packetLength, std::uint32_t provSubType);

// Milliseconds for a poll() until `deadline` (-1 for none), rounded up so that a wait never ends
// early and turns into a loop of zero-length polls.
int pollTimeoutMs(std::optional<ReadDeadline::Clock::time_point> deadline);

class SerialDevice final : public CommDevice {
  public:
    enum class OpenError { None, Busy, Failed };

    // Opens `path` for reading and writing, exclusively: flock(LOCK_EX | LOCK_NB) (which holds for
    // root as well) plus TIOCEXCL. Busy when another open file, in this process or another one,
    // holds the device; Failed for anything else (no such device, not a tty, no permission).
    static std::unique_ptr<SerialDevice> open(const std::string& path, OpenError* error);

    // Puts the line's original settings back and closes it (which drops the lock).
    ~SerialDevice() override;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

#ifndef _WIN32
    int fd() const {
        return fd_;
    }
#endif

    // The low 16 bits of the process id above the low 16 bits of the descriptor (on Win32: of the
    // device handle). Unique among the live devices of the process, and unlikely to meet the value
    // of another process's device.
    std::uint32_t handleValue() const override {
        return handleValue_;
    }

    // Raw mode with the given speed (any positive rate; B-constants where one exists, otherwise
    // termios2), data bits 5..8, parity code 0..4 (mark and space with CMSPAR) and stop-bit code
    // (one; one and a half only with 5 data bits; two only with 6..8 data bits). The settings are
    // read back: false when the line did not take them (a speed more than 3% off included).
    bool configure(int baud, int dataBits, int stopBits, int parity) override;

    long write(const void* buf, std::size_t n) override;

    // tcflush TCIFLUSH.
    void purgeInput() override;

    // The error word comes from the line's error counters (a driver that keeps none, such as a
    // pseudo-terminal, reports no errors).
    void clearErrors(std::uint32_t* errors, COMSTAT* stat) override;

    void properties(COMMPROP* prop) const override;

    void cancel() override;
    void wake() override;
    bool cancelled() const override {
        return cancelled_.load(std::memory_order_acquire);
    }
    bool waitWake(int timeoutMs) override;
    bool waitReadable() override;

  protected:
    // Failed also on a hang-up (EIO, POLLHUP, POLLERR) before any byte came. Once some bytes
    // came, the line is looked at again after a pause of a millisecond, not at each byte: a
    // busy line wakes the reader less often, and a read may end up to that much later.
    ReadResult readSome(void* buf, std::size_t n) override;
#ifdef _WIN32
    // SetCommTimeouts: the system times the transfers.
    void applyTimeouts(const COMMTIMEOUTS& t) override;
#endif

  private:
#ifdef _WIN32
    // Handles of the device and of the events (void*: HANDLE without <windows.h>).
    SerialDevice(void* handle, void* claim, void* cancelEvent, void* wakeEvent, void* saved);

    void* handle_;
    void* claim_;        // named object that marks the device as open (see win32/serial_device.cpp)
    void* cancelEvent_;  // manual reset: set once by cancel()
    void* wakeEvent_;    // auto reset: set by wake()
    void* saved_;        // the line's DCB before we touched it, restored at close
    std::uint32_t handleValue_;
    std::atomic<bool> cancelled_{false};
#else
    SerialDevice(int fd, int wakeFd, void* saved);
    void drainWake();

    int fd_;
    int wakeFd_;
    void* saved_;  // the line's state before we touched it, restored at close
    std::uint32_t handleValue_;
    std::atomic<bool> cancelled_{false};

    mutable std::mutex mutex_;  // guards the error baselines
    bool haveCounts_ = false;
    std::atomic<bool> countersMissing_{false};  // the driver keeps no error counters
    unsigned long lastFrame_ = 0, lastOverrun_ = 0, lastParity_ = 0, lastBrk_ = 0,
                  lastBufOverrun_ = 0;
#endif
};

}  // namespace platform

#pragma pop_macro("MAXDWORD")
#pragma pop_macro("CE_RXOVER")
#pragma pop_macro("CE_OVERRUN")
#pragma pop_macro("CE_RXPARITY")
#pragma pop_macro("CE_FRAME")
#pragma pop_macro("CE_BREAK")
#pragma pop_macro("NOPARITY")
#pragma pop_macro("ODDPARITY")
#pragma pop_macro("EVENPARITY")
#pragma pop_macro("MARKPARITY")
#pragma pop_macro("SPACEPARITY")
#pragma pop_macro("ONESTOPBIT")
#pragma pop_macro("ONE5STOPBITS")
#pragma pop_macro("TWOSTOPBITS")
