// Serial lines on Win32: the communications device opened for overlapped I/O, with the system's
// own line settings and COMMTIMEOUTS.
#include "platform/serial_device.h"

#include <windows.h>

#include <cstring>

namespace platform {

namespace {

HANDLE native(void* handle) {
    return static_cast<HANDLE>(handle);
}

// A transfer that a time-out ended has done its work: what it moved counts. Wine reports such a
// transfer as failed with ERROR_TIMEOUT (the status STATUS_TIMEOUT is a success on Windows).
long transferred(BOOL ok, const OVERLAPPED& ov) {
    if (!ok && GetLastError() != ERROR_TIMEOUT)
        return -1;
    return static_cast<long>(ov.InternalHigh);
}

// Waits for an overlapped transfer to end. With a cancel event, the transfer is cancelled as
// soon as that event is set, and the wait goes on until the system has finished with it (the
// buffer and the OVERLAPPED block must outlive the transfer). Returns the transferred count, or
// -1 when the transfer failed or was cancelled.
long finish(HANDLE device, OVERLAPPED& ov, HANDLE cancelEvent) {
    if (cancelEvent) {
        HANDLE events[2] = {ov.hEvent, cancelEvent};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            CancelIoEx(device, &ov);
    }
    DWORD count = 0;
    return transferred(GetOverlappedResult(device, &ov, &count, TRUE), ov);
}

// Wine lets any number of programs open one communications device; Windows lets one. A named
// object per device, held while it is open, keeps the open exclusive among programs that use this
// layer under Wine too, and changes nothing where Windows refuses the second open itself.
HANDLE claimDevice(const std::string& path) {
    std::string name = "camlet32 serial device " + path;
    for (char& c : name)
        if (c == '\\')
            c = '/';  // object names hold no backslash
    SetLastError(ERROR_SUCCESS);
    HANDLE claim = CreateMutexA(nullptr, FALSE, name.c_str());
    if (claim && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return claim;
}

// One overlapped transfer with a manual-reset event of its own.
struct Transfer {
    OVERLAPPED ov{};
    Transfer() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Transfer() {
        if (ov.hEvent)
            CloseHandle(ov.hEvent);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
};

}  // namespace

std::unique_ptr<SerialDevice> SerialDevice::open(const std::string& path, OpenError* error) {
    auto fail = [error](OpenError e) {
        if (error)
            *error = e;
        return nullptr;
    };
    if (error)
        *error = OpenError::None;
    HANDLE claim = claimDevice(path);
    if (!claim)
        return fail(GetLastError() == ERROR_ACCESS_DENIED ? OpenError::Busy : OpenError::Failed);
    SetLastError(ERROR_SUCCESS);
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        CloseHandle(claim);
        return fail(e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION ? OpenError::Busy
                                                                             : OpenError::Failed);
    }
    auto* saved = new DCB{};
    saved->DCBlength = sizeof(DCB);
    HANDLE cancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!GetCommState(handle, saved) || !cancelEvent || !wakeEvent) {
        // Not a communications device (a file or a pipe by that name), or no events.
        delete saved;
        if (cancelEvent)
            CloseHandle(cancelEvent);
        if (wakeEvent)
            CloseHandle(wakeEvent);
        CloseHandle(handle);
        CloseHandle(claim);
        return fail(OpenError::Failed);
    }
    return std::unique_ptr<SerialDevice>(
        new SerialDevice(handle, claim, cancelEvent, wakeEvent, saved));
}

SerialDevice::SerialDevice(void* handle, void* claim, void* cancelEvent, void* wakeEvent,
                           void* saved)
    : handle_(handle),
      claim_(claim),
      cancelEvent_(cancelEvent),
      wakeEvent_(wakeEvent),
      saved_(saved) {
    // Handle values repeat between processes, and the names made from this value are
    // machine-wide: the process id in the high half keeps two drivers' names apart.
    const std::uint32_t pid = GetCurrentProcessId() & 0xFFFFu;
    handleValue_ =
        (pid << 16) | (static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(handle)) & 0xFFFFu);
}

SerialDevice::~SerialDevice() {
    auto* saved = static_cast<DCB*>(saved_);
    SetCommState(native(handle_), saved);
    delete saved;
    CloseHandle(native(handle_));
    CloseHandle(native(claim_));
    CloseHandle(native(cancelEvent_));
    CloseHandle(native(wakeEvent_));
}

bool SerialDevice::configure(int baud, int dataBits, int stopBits, int parity) {
    if (baud <= 0 || dataBits < 5 || dataBits > 8 || stopBits < ONESTOPBIT ||
        stopBits > TWOSTOPBITS || parity < NOPARITY || parity > SPACEPARITY)
        return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(native(handle_), &dcb))
        return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = static_cast<BYTE>(dataBits);
    dcb.StopBits = static_cast<BYTE>(stopBits);
    dcb.Parity = static_cast<BYTE>(parity);
    return SetCommState(native(handle_), &dcb) != 0;
}

void SerialDevice::applyTimeouts(const COMMTIMEOUTS& t) {
    ::COMMTIMEOUTS sys{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                       t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                       t.WriteTotalTimeoutConstant};
    SetCommTimeouts(native(handle_), &sys);
}

SerialDevice::ReadResult SerialDevice::readSome(void* buf, std::size_t n) {
    Transfer t;
    if (!t.ov.hEvent)
        return {IoStatus::Failed, 0};
    DWORD count = 0;
    BOOL done = ReadFile(native(handle_), buf, static_cast<DWORD>(n), &count, &t.ov);
    long got = !done && GetLastError() == ERROR_IO_PENDING
                   ? finish(native(handle_), t.ov, native(cancelEvent_))
                   : transferred(done, t.ov);
    if (cancelled())
        return {IoStatus::Cancelled, 0};
    if (got < 0)
        return {IoStatus::Failed, 0};
    return {IoStatus::Ok, static_cast<std::size_t>(got)};
}

long SerialDevice::write(const void* buf, std::size_t n) {
    Transfer t;
    if (!t.ov.hEvent)
        return -1;
    DWORD count = 0;
    BOOL done = WriteFile(native(handle_), buf, static_cast<DWORD>(n), &count, &t.ov);
    // A pending write is bounded by the write time-outs.
    return !done && GetLastError() == ERROR_IO_PENDING ? finish(native(handle_), t.ov, nullptr)
                                                       : transferred(done, t.ov);
}

void SerialDevice::purgeInput() {
    PurgeComm(native(handle_), PURGE_RXCLEAR);
}

void SerialDevice::clearErrors(std::uint32_t* errors, COMSTAT* stat) {
    DWORD sysErrors = 0;
    ::COMSTAT sys{};
    if (!ClearCommError(native(handle_), &sysErrors, &sys)) {
        sysErrors = 0;
        sys = ::COMSTAT{};
    }
    if (errors)
        *errors = sysErrors;
    if (stat) {
        *stat = COMSTAT{};
        stat->fCtsHold = sys.fCtsHold;
        stat->fDsrHold = sys.fDsrHold;
        stat->fRlsdHold = sys.fRlsdHold;
        stat->fXoffHold = sys.fXoffHold;
        stat->fXoffSent = sys.fXoffSent;
        stat->fEof = sys.fEof;
        stat->fTxim = sys.fTxim;
        stat->cbInQue = sys.cbInQue;
        stat->cbOutQue = sys.cbOutQue;
    }
}

void SerialDevice::properties(COMMPROP* prop) const {
    if (!prop)
        return;
    ::COMMPROP sys{};
    sys.wPacketLength = sizeof sys;
    if (!GetCommProperties(native(handle_), &sys))
        return;
    prop->wPacketLength = sys.wPacketLength;
    prop->wPacketVersion = sys.wPacketVersion;
    prop->dwServiceMask = sys.dwServiceMask;
    prop->dwMaxTxQueue = sys.dwMaxTxQueue;
    prop->dwMaxRxQueue = sys.dwMaxRxQueue;
    prop->dwMaxBaud = sys.dwMaxBaud;
    prop->dwProvSubType = sys.dwProvSubType;
    prop->dwSettableBaud = sys.dwSettableBaud;
    prop->wSettableData = sys.wSettableData;
    prop->wSettableStopParity = sys.wSettableStopParity;
    prop->dwCurrentTxQueue = sys.dwCurrentTxQueue;
    prop->dwCurrentRxQueue = sys.dwCurrentRxQueue;
}

void SerialDevice::cancel() {
    cancelled_.store(true, std::memory_order_release);
    SetEvent(native(cancelEvent_));
}

void SerialDevice::wake() {
    SetEvent(native(wakeEvent_));
}

bool SerialDevice::waitReadable() {
    if (cancelled())
        return false;
    // A byte already queued needs no wait.
    DWORD errors = 0;
    ::COMSTAT stat{};
    if (ClearCommError(native(handle_), &errors, &stat) && stat.cbInQue > 0)
        return true;
    Transfer t;
    if (!t.ov.hEvent)
        return true;  // no event to wait with: let the read itself wait
    SetCommMask(native(handle_), EV_RXCHAR | EV_ERR | EV_BREAK);
    DWORD mask = 0;
    if (WaitCommEvent(native(handle_), &mask, &t.ov))
        return true;
    if (GetLastError() != ERROR_IO_PENDING)
        return true;  // the line reports an error: the read will tell
    HANDLE events[3] = {t.ov.hEvent, native(cancelEvent_), native(wakeEvent_)};
    DWORD r = WaitForMultipleObjects(3, events, FALSE, INFINITE);
    if (r != WAIT_OBJECT_0) {
        // Woken: the wait for the line ends here, and the system is done with it before the
        // OVERLAPPED block goes.
        CancelIoEx(native(handle_), &t.ov);
    }
    DWORD unused = 0;
    GetOverlappedResult(native(handle_), &t.ov, &unused, TRUE);
    return r == WAIT_OBJECT_0;
}

bool SerialDevice::waitWake(int timeoutMs) {
    HANDLE events[2] = {native(cancelEvent_), native(wakeEvent_)};
    DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    DWORD r = WaitForMultipleObjects(2, events, FALSE, limit);
    return r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1;
}

}  // namespace platform
