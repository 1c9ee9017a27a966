#include "comms/port_table.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <system_error>

#include "comms/line_device.h"
#include "comms/serial_port.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/named_object.h"

namespace comms {

std::atomic<PortRecord*> PortTable{nullptr};
std::atomic<std::uint32_t (*)()> commTickCount{platform::tickCount};
std::atomic<std::int32_t> portReadSize[COMM_MAX_PORTS];
std::atomic<std::int32_t> portRunning[COMM_MAX_PORTS];
PortRecord threadStartRecord;

namespace {

constexpr std::int32_t kInitialReadSize = 16;
constexpr std::uint32_t kWriteTimeoutMs = 1000;
constexpr std::uint32_t kNotifyIntervalMs = 100;
constexpr std::int32_t kNotifyPendingLimit = 8192;
constexpr int kErrorBackoffMs = 100;

bool validIndex(int port) {
    return port >= 0 && port < COMM_MAX_PORTS;
}

// The record of an index, or null for a bad index or no table.
PortRecord* recordOf(int port) {
    PortRecord* table = PortTable.load();
    if (!table || !validIndex(port))
        return nullptr;
    return &table[port];
}

bool anyInUse(const PortRecord* table) {
    for (int i = 0; i < COMM_MAX_PORTS; ++i)
        if (table[i].hCom)
            return true;
    return false;
}

// Milliseconds between two characters, at least 1 when asked for; a rate of 0 or less (which no
// open accepts) gives the lower bound instead of a division by zero.
std::uint32_t intervalFor(std::int32_t baud, std::uint32_t atLeast) {
    std::uint32_t ms = baud > 0 ? static_cast<std::uint32_t>(100000 / baud) : atLeast;
    return ms < atLeast ? atLeast : ms;
}

COMMTIMEOUTS timeoutsFor(std::uint32_t interval, std::int32_t readSize) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(readSize);
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    return t;
}

std::string startSemaphoreName(std::uint32_t handleValue) {
    char name[64];
    std::snprintf(name, sizeof name, "Creating Thread for hCom %#x.\r\n",
                  static_cast<unsigned>(handleValue));
    return name;
}

// Gives back what a set-up took before it failed: reader, ring buffer, device.
void releaseSetup(PortRecord* record) {
    int port = record->portNumber - 1;
    if (validIndex(port))
        portRunning[port] = 0;
    if (record->hThread) {
        if (record->hCom)
            record->hCom->cancel();
        if (record->hThread->joinable())
            record->hThread->join();
        delete record->hThread;
        record->hThread = nullptr;
    }
    rxbuf_destroy(record->hRxBuf);
    record->hRxBuf = 0;
    delete record->hCom;
    record->hCom = nullptr;
    record->hStartSem.reset();
}

// True while the notifications already queued for the owner, each followed by one read of the
// port's read size, would leave some of the pending bytes unread.
bool queuedReadsFallShort(const PortRecord& record, int port, std::int32_t pending) {
    const std::int64_t perRead = std::max<std::int32_t>(portReadSize[port].load(), 1);
    return record.queuedPosts.load() * perRead < pending;
}

}  // namespace

void PortRecord::clear() {
    hCom = nullptr;
    baudRate = 0;
    hThread = nullptr;
    hRxBuf = 0;
    notifyCallback = nullptr;
    notifyWnd = 0;
    notified = 0;
    lastNotifyTick = 0;
    timeouts = COMMTIMEOUTS{};
    properties = COMMPROP{};
    portNumber = 0;
    threadId = 0;
    pendingBytes = 0;
    queuedPosts = 0;
    hStartSem.reset();
    owner = nullptr;
}

void PortRecord::copyFrom(const PortRecord& other) {
    hCom = other.hCom;
    baudRate = other.baudRate;
    hThread = other.hThread;
    hRxBuf = other.hRxBuf;
    notifyCallback = other.notifyCallback.load();
    notifyWnd = other.notifyWnd.load();
    notified = other.notified.load();
    lastNotifyTick = other.lastNotifyTick.load();
    timeouts = other.timeouts;
    properties = other.properties;
    portNumber = other.portNumber;
    threadId = other.threadId;
    pendingBytes = other.pendingBytes.load();
    queuedPosts = other.queuedPosts.load();
    hStartSem = other.hStartSem;
    owner = other.owner.load();
}

int comm_open(SerialPort* owner, int baudRate, int dataBits, int stopBits, int parity) {
    if (!owner)
        return -1;
    const int n = owner->getPortNumber();
    if (n < 1 || n > COMM_MAX_PORTS)
        return -1;

    PortRecord* table = PortTable.load();
    if (!table) {
        table = new PortRecord[COMM_MAX_PORTS];
        PortTable = table;
    }
    PortRecord& record = table[n - 1];
    // This process already has the port open (its device may have been relinked since).
    if (record.hCom)
        return -2;

    LineOpenError error = LineOpenError::None;
    std::unique_ptr<platform::CommDevice> device = openLine(n, &error);
    if (error == LineOpenError::Busy) {
        comm_close(-1);
        return -2;
    }
    if (device) {
        // A free record may still carry a target set through it while the port was closed; an
        // open starts with none.
        record.clear();
        record.portNumber = n;
        record.hCom = device.release();
        record.baudRate = baudRate;
        record.owner = owner;
        portReadSize[n - 1] = kInitialReadSize;
        if (comm_setup(&record, baudRate, dataBits, stopBits, parity) == 1)
            return n - 1;
    }
    record.clear();
    comm_close(-1);
    return -1;
}

int comm_setup(PortRecord* record, int baudRate, int dataBits, int stopBits, int parity) {
    threadStartRecord.clear();
    platform::CommDevice* device = record->hCom;
    const int port = record->portNumber - 1;
    if (!device || !validIndex(port))
        return 0;

    if (!device->configure(baudRate, dataBits, stopBits, parity)) {
        releaseSetup(record);
        return 0;
    }

    record->hRxBuf = rxbuf_create(device->handleValue());
    if (record->hRxBuf == 0) {
        releaseSetup(record);
        return 0;
    }

    record->timeouts = timeoutsFor(intervalFor(baudRate, 0), portReadSize[port]);
    device->setTimeouts(record->timeouts);

    // Start handshake: taken here, released by the reader once it has its copy of
    // threadStartRecord, so no later open overwrites the copy too early.
    record->hStartSem = platform::NamedSemaphore::open(startSemaphoreName(device->handleValue()));
    if (!record->hStartSem) {
        releaseSetup(record);
        return 0;
    }
    record->hStartSem->wait(std::chrono::milliseconds(1000));

    portRunning[port] = 1;
    threadStartRecord.copyFrom(*record);
    try {
        record->hThread = new std::thread(comm_reader_thread, &threadStartRecord);
    } catch (const std::system_error&) {
        record->hStartSem->release();
        releaseSetup(record);
        return 0;
    }
    record->threadId =
        static_cast<std::uint32_t>(std::hash<std::thread::id>{}(record->hThread->get_id()));

    record->properties.wPacketLength = sizeof(COMMPROP);
    device->properties(&record->properties);

    if (!record->hStartSem->wait(std::chrono::milliseconds(60000))) {
        platform::messageBox("Comms library very serious internal error. Contact KELP support",
                             "Comms error", platform::BoxIcon::Error);
    } else {
        // Handshake done: give the name back, so that no other holder of an equal handle value
        // (another process) waits on it while this port stays open.
        record->hStartSem->release();
    }
    return 1;
}

std::uint32_t comm_reader_thread(PortRecord* start) {
    PortRecord self;
    self.copyFrom(*start);
    const int port = self.portNumber - 1;
    platform::CommDevice* device = self.hCom;
    if (self.hStartSem)
        self.hStartSem->release();
    self.hStartSem.reset();
    if (!validIndex(port) || !device)
        return static_cast<std::uint32_t>(port + 100);

    std::uint8_t buffer[COMM_READ_BUFFER];
    while (portRunning[port]) {
        std::int32_t size = portReadSize[port];
        if (size <= 0) {
            // Nothing to ask for: sleep until the read size changes or the port closes.
            device->waitWake(-1);
            continue;
        }
        if (size > COMM_READ_BUFFER)
            size = COMM_READ_BUFFER;
        // An idle line costs nothing: the read begins once its first byte is there, so its
        // time-outs run from then. A wake-up (new read size, close) goes round the loop again.
        if (!device->waitReadable())
            continue;
        platform::CommDevice::ReadResult r = device->read(buffer, static_cast<std::size_t>(size));
        if (r.status == platform::CommDevice::IoStatus::Ok) {
            if (r.count > 0)
                comm_receive(port, buffer, static_cast<std::uint32_t>(r.count));
        } else if (r.status == platform::CommDevice::IoStatus::Failed) {
            comm_rx_error(0, device);
            // A device that fails every read at once (unplugged, hung up) must not spin a core.
            device->waitWake(kErrorBackoffMs);
        }
    }
    return static_cast<std::uint32_t>(port + 100);
}

void comm_receive(int port, const std::uint8_t* bytes, std::uint32_t n) {
    PortRecord* record = recordOf(port);
    if (!record)
        return;
    const std::uint32_t now = commTickCount.load()();
    // Only what the ring still holds is pending: a chunk that could not be stored, and unread
    // bytes that this chunk overwrote, are gone and will never be read. Counting them would keep
    // the count above the limit below for good, and every later chunk would post.
    std::uint32_t overwritten = 0;
    const std::uint32_t added =
        rxbuf_write(record->hRxBuf, bytes, n, &overwritten) == 1 ? n - overwritten : 0;
    // The count wraps like the 32-bit value it is instead of overflowing.
    const auto pending =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(record->pendingBytes.fetch_add(
                                      static_cast<std::int32_t>(added))) +
                                  added);

    if (platform::HWND wnd = record->notifyWnd.load()) {
        // Time since the last post, modulo 2^32: right across the tick's wrap, where comparing
        // now - 100 with the post's tick would hold back the next post for 49.7 days (or let it
        // go early within 100 ms of a wrap).
        if (now - record->lastNotifyTick.load() >= kNotifyIntervalMs ||
            (pending > kNotifyPendingLimit && queuedReadsFallShort(*record, port, pending)))
            record->notified = 0;
        if (record->notified.exchange(1) == 0) {
            record->lastNotifyTick = now;
            ++record->queuedPosts;
            platform::postMessage(wnd, platform::WM_COMMNOTIFY, 0,
                                  reinterpret_cast<platform::LPARAM>(record->owner.load()));
        }
    } else if (CommNotifyCallback callback = record->notifyCallback.load()) {
        callback(record->owner.load());
    } else {
        record->hCom->purgeInput();
    }
}

int comm_rx_error(std::uint32_t /*error*/, platform::CommDevice* device) {
    if (device) {
        device->clearErrors(nullptr, nullptr);
        device->purgeInput();
    }
    return 1;
}

void comm_close(int port) {
    PortRecord* table = PortTable.load();
    if (!table)
        return;
    if (port != -1) {
        if (!validIndex(port))
            return;
        PortRecord& record = table[port];
        portRunning[port] = 0;
        if (record.hCom) {
            record.hCom->purgeInput();
            record.hCom->cancel();  // ends the reader's current read at once
        }
        if (record.hThread) {
            if (record.hThread->joinable())
                record.hThread->join();
            delete record.hThread;
        }
        delete record.hCom;
        rxbuf_destroy(record.hRxBuf);
        record.clear();
    }
    if (!anyInUse(table)) {
        PortTable = nullptr;
        delete[] table;
    }
}

int comm_set_read_size(int port, int size) {
    PortRecord* record = recordOf(port);
    if (!record)
        return 1;
    if (size < 0) {
        record->notifyWnd = 0;
        record->notifyCallback = nullptr;
        return 1;
    }
    if (!record->hCom)
        return 1;
    record->timeouts = timeoutsFor(intervalFor(record->baudRate, 1), size);
    record->hCom->setTimeouts(record->timeouts);
    portReadSize[port] = size;
    record->hCom->wake();  // a reader idle at size 0 picks the new size up
    return 1;
}

int comm_notify_window(int port, platform::HWND hwnd, int size) {
    PortRecord* record = recordOf(port);
    if (!record)
        return 0;
    record->notifyWnd = hwnd;
    record->notifyCallback = nullptr;
    return comm_set_read_size(port, size);
}

int comm_notify_callback(int port, CommNotifyCallback callback, int size) {
    PortRecord* record = recordOf(port);
    if (!record)
        return 0;
    record->notifyCallback = callback;
    record->notifyWnd = 0;
    return comm_set_read_size(port, size);
}

void comm_status(int port, COMSTAT* status, std::uint32_t* errors) {
    PortRecord* record = recordOf(port);
    if (!record)
        return;
    const int count = rxbuf_count(record->hRxBuf);
    if (record->hCom) {
        record->hCom->clearErrors(errors, status);
    } else {
        if (errors)
            *errors = 0;
        if (status)
            *status = COMSTAT{};
    }
    if (status)
        status->cbInQue = static_cast<std::uint32_t>(count);
}

int comm_read(int port, void* dest, std::uint32_t count) {
    PortRecord* record = recordOf(port);
    if (!record)
        return 0;
    const std::uint32_t taken = rxbuf_read(record->hRxBuf, dest, count & 0xFFFFu);
    record->pendingBytes -= static_cast<std::int32_t>(taken);
    std::int32_t queued = record->queuedPosts.load();
    while (queued > 0 && !record->queuedPosts.compare_exchange_weak(queued, queued - 1)) {
    }
    record->notified = 0;
    return static_cast<int>(taken);
}

int comm_write(int port, const void* bytes, std::uint32_t length) {
    PortRecord* record = recordOf(port);
    if (!record)
        return 0;
    if (!record->hCom)
        return -1;
    const std::uint32_t n = length & 0xFFFFu;
    const long written = record->hCom->write(bytes, n);
    if (written < 0)
        return -1;
    // A write that the time-out ended early reports what went out; one that sent nothing failed.
    if (static_cast<std::uint32_t>(written) < n)
        return written > 0 ? static_cast<int>(written) : -1;
    return static_cast<int>(n);
}

COMMTIMEOUTS comm_device_timeouts(int port) {
    PortRecord* record = recordOf(port);
    if (!record || !record->hCom)
        return COMMTIMEOUTS{};
    return record->hCom->timeouts();
}

}  // namespace comms
