// Serial lines on termios: the stand-in for a Win32 communications device.
//
// A SerialDevice is one exclusive open of a tty in raw mode (VMIN = VTIME = 0, non-blocking).
// Every wait is a poll() against a CLOCK_MONOTONIC deadline, which reproduces the COMMTIMEOUTS
// rules: a read ends when the requested count has arrived, when more than ReadIntervalTimeout ms
// pass after a byte without another (the interval timer starts only with the first byte), or when
// ReadTotalTimeoutMultiplier x count + ReadTotalTimeoutConstant ms have passed; a write ends after
// WriteTotalTimeoutMultiplier x length + WriteTotalTimeoutConstant ms at the latest. Zero totals
// mean no total limit.
//
// Besides the tty each device owns a wake-up descriptor (eventfd): cancel() makes a read that is
// waiting return at once, so a port can be closed without waiting for a time-out.
//
// Thread use: one thread reads (and may wait on the wake-up descriptor) while another writes,
// purges, reads the status or changes the time-outs; all of that is safe. Destruction must wait
// until no other thread uses the device.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

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

class SerialDevice {
  public:
    enum class OpenError { None, Busy, Failed };

    // Opens `path` for reading and writing, exclusively: flock(LOCK_EX | LOCK_NB) (which holds for
    // root as well) plus TIOCEXCL. Busy when another open file, in this process or another one,
    // holds the device; Failed for anything else (no such device, not a tty, no permission).
    static std::unique_ptr<SerialDevice> open(const std::string& path, OpenError* error);

    // Puts the line's original settings back and closes it (which drops the lock).
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    int fd() const { return fd_; }

    // The "device handle value" that names the objects of this open: the low 16 bits of the
    // process id above the low 16 bits of the descriptor. Unique among the live devices of the
    // process, and unlikely to meet the value of another process's device.
    std::uint32_t handleValue() const { return handleValue_; }

    // Raw mode with the given speed (any positive rate; B-constants where one exists, otherwise
    // termios2), data bits 5..8, parity code 0..4 (mark and space with CMSPAR) and stop-bit code
    // (one; one and a half only with 5 data bits; two only with 6..8 data bits). The settings are
    // read back: false when the line did not take them (a speed more than 3% off included).
    bool configure(int baud, int dataBits, int stopBits, int parity);

    void setTimeouts(const COMMTIMEOUTS& t);
    COMMTIMEOUTS timeouts() const;

    enum class IoStatus { Ok, Cancelled, Failed };
    struct ReadResult {
        IoStatus status;
        std::size_t count;  // bytes stored in the buffer (Ok only)
    };

    // Reads up to n bytes under the current time-outs. Failed when the device reports an error
    // or a hang-up (EIO, POLLHUP, POLLERR) before any byte came; Cancelled once cancel() was
    // called. A read of 0 bytes returns at once.
    ReadResult read(void* buf, std::size_t n);

    // Writes n bytes under the write time-outs. Returns the number written (fewer than n when the
    // time-out ended the write), or -1 on an error.
    long write(const void* buf, std::size_t n);

    // Discards what the line has received and not yet been read (tcflush TCIFLUSH).
    void purgeInput();

    // Fills the error word from the line's error counters since the last call (a driver that keeps
    // none, such as a pseudo-terminal, reports no errors) and the status record from the queues.
    // Either pointer may be null.
    void clearErrors(std::uint32_t* errors, COMSTAT* stat);

    void properties(COMMPROP* prop) const;

    // Wake-ups for a reading thread. cancel() is final: every later read returns Cancelled and
    // waitWake returns at once. wake() only ends the current waitWake.
    void cancel();
    void wake();
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // Waits until wake() or cancel() is called, or `timeoutMs` pass (-1: no limit). True when
    // woken.
    bool waitWake(int timeoutMs);

  private:
    SerialDevice(int fd, int wakeFd, void* saved);
    void drainWake();

    int fd_;
    int wakeFd_;
    void* saved_;  // the line's state before we touched it, restored at close
    std::uint32_t handleValue_;
    std::atomic<bool> cancelled_{false};

    mutable std::mutex mutex_;  // guards timeouts_ and the error baselines
    COMMTIMEOUTS timeouts_{};
    bool haveCounts_ = false;
    unsigned long lastFrame_ = 0, lastOverrun_ = 0, lastParity_ = 0, lastBrk_ = 0,
                  lastBufOverrun_ = 0;
};

}  // namespace platform
