#include "comms/network_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <system_error>

namespace comms {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

platform::NetKind kindOf(NetScheme scheme) {
    return scheme == NetScheme::Tcp ? platform::NetKind::Stream : platform::NetKind::Datagram;
}

}  // namespace

std::unique_ptr<NetworkLine> NetworkLine::open(const NetworkEntry& entry, int portNumber,
                                               HostLookup lookup) {
    std::shared_ptr<platform::NetWaker> waker = platform::NetWaker::create();
    if (!waker)
        return nullptr;
    std::unique_ptr<NetworkLine> line(
        new NetworkLine(entry, portNumber, std::move(lookup), std::move(waker)));
    try {
        line->thread_ = std::thread(&NetworkLine::run, line.get());
    } catch (const std::system_error&) {
        return nullptr;
    }
    return line;
}

NetworkLine::NetworkLine(const NetworkEntry& entry, int portNumber, HostLookup lookup,
                         std::shared_ptr<platform::NetWaker> waker)
    : entry_(entry),
      portNumber_(portNumber),
      lookup_(std::move(lookup)),
      waker_(std::move(waker)) {}

NetworkLine::~NetworkLine() {
    stopping_ = true;
    waker_->wake();
    {
        std::lock_guard<std::mutex> lock(rxMutex_);
        rxChanged_.notify_all();  // a link thread waiting for room in the queue
    }
    if (thread_.joinable())
        thread_.join();
}

// ---- the link thread ---------------------------------------------------------------------------

void NetworkLine::run() {
    int retryMs = kFirstRetryMs;
    while (!stopping()) {
        std::shared_ptr<platform::NetSocket> socket = connectLink();
        if (!socket) {
            pause(retryMs);
            retryMs = std::min(retryMs * 2, kLastRetryMs);
            continue;
        }
        retryMs = kFirstRetryMs;
        setSocket(socket);
        if (entry_.scheme == NetScheme::Tcp)
            serveStream(*socket);
        else
            serveDatagrams(*socket);
        setSocket(nullptr);
        if (!stopping())
            pause(retryMs);
    }
}

std::shared_ptr<platform::NetSocket> NetworkLine::connectLink() {
    lastAttemptMs_ = nowMs();
    std::string error;
    const auto addresses = lookUpCamera(&error);
    if (stopping())
        return nullptr;
    if (addresses.empty()) {
        reportOnce(entry_.host + ": " + error);
        return nullptr;
    }
    for (const platform::NetAddress& address : addresses) {
        std::shared_ptr<platform::NetSocket> socket =
            platform::NetSocket::create(address, kindOf(entry_.scheme));
        if (!socket)
            continue;
        if (entry_.scheme != NetScheme::Tcp) {
            std::lock_guard<std::mutex> lock(txMutex_);
            peer_ = address;
            return socket;
        }
        const std::int64_t deadline = nowMs() + kConnectTimeoutMs;
        auto r = socket->connect(address, kConnectTimeoutMs, *waker_);
        // A wake-up that is not a stop (a write asking for a retry) leaves the attempt running.
        while (r == platform::NetSocket::Result::Woken && !stopping())
            r = socket->waitConnected(
                static_cast<int>(std::max<std::int64_t>(0, deadline - nowMs())), *waker_);
        if (stopping())
            return nullptr;
        if (r == platform::NetSocket::Result::Ok)
            return socket;
    }
    return nullptr;
}

std::vector<platform::NetAddress> NetworkLine::lookUpCamera(std::string* error) {
    struct Answer {
        std::mutex mutex;
        bool done = false;
        std::vector<platform::NetAddress> addresses;
        std::string error;
    };
    auto answer = std::make_shared<Answer>();
    // The helper holds the answer and the waker, never the line: a line closed meanwhile leaves
    // it to finish on its own, and what it found is dropped with the last of them.
    auto lookUp = [answer, waker = waker_, lookup = lookup_, host = entry_.host, port = entry_.port,
                   kind = kindOf(entry_.scheme)] {
        std::string reason;
        auto addresses = lookup(host, port, kind, &reason);
        {
            std::lock_guard<std::mutex> lock(answer->mutex);
            answer->addresses = std::move(addresses);
            answer->error = std::move(reason);
            answer->done = true;
        }
        waker->wake();
    };
    try {
        std::thread(std::move(lookUp)).detach();
    } catch (const std::system_error&) {
        *error = "no thread for the host lookup";
        return {};
    }
    while (!stopping()) {
        {
            std::lock_guard<std::mutex> lock(answer->mutex);
            if (answer->done) {
                *error = answer->error;
                return std::move(answer->addresses);
            }
        }
        waker_->wait(-1);
    }
    return {};
}

void NetworkLine::setSocket(std::shared_ptr<platform::NetSocket> socket) {
    {
        std::lock_guard<std::mutex> lock(txMutex_);
        socket_ = socket;
        linked_ = socket != nullptr;
    }
    if (socket && entry_.scheme == NetScheme::Udp)
        sendReset();
}

void NetworkLine::pause(int ms) {
    std::int64_t deadline = nowMs() + ms;
    for (;;) {
        const std::int64_t left = deadline - nowMs();
        if (left <= 0 || stopping())
            return;
        if (waker_->wait(static_cast<int>(left)) && retrySoon_.exchange(false))
            deadline = std::min(deadline, lastAttemptMs_.load() + kFirstRetryMs);
    }
}

void NetworkLine::reportOnce(const std::string& reason) {
    if (reported_)
        return;
    reported_ = true;
    std::fprintf(stderr, "COM%d: %s (trying again in the background)\n", portNumber_,
                 reason.c_str());
}

void NetworkLine::serveStream(platform::NetSocket& socket) {
    std::uint8_t buffer[1024];
    while (!stopping()) {
        if (!waitForRoom())
            return;
        std::size_t allowed = allowance();
        if (allowed == 0) {
            waker_->wait(10);
            continue;
        }
        auto r = socket.waitReadable(-1, *waker_);
        if (r == platform::NetSocket::Result::Failed)
            return;
        if (r != platform::NetSocket::Result::Ok)
            continue;
        std::size_t room;
        {
            std::lock_guard<std::mutex> lock(rxMutex_);
            room = kReceiveCapacity - rx_.size();
        }
        const long n = socket.receive(buffer, std::min({room, allowed, sizeof buffer}));
        if (n == 0 || n == -2)
            return;  // closed by the camera, or failed
        if (n > 0)
            queueBytes(buffer, static_cast<std::size_t>(n));
    }
}

void NetworkLine::serveDatagrams(platform::NetSocket& socket) {
    std::uint8_t buffer[kMaxDatagram];
    while (!stopping()) {
        auto r = socket.waitReadable(-1, *waker_);
        if (r == platform::NetSocket::Result::Failed)
            return;
        if (r != platform::NetSocket::Result::Ok)
            continue;
        platform::NetAddress from;
        bool truncated = false;
        const long n = socket.receive(buffer, sizeof buffer, &from, &truncated);
        if (n == -2)
            return;
        if (n < 0 || truncated)
            continue;
        bool fromCamera;
        {
            std::lock_guard<std::mutex> lock(txMutex_);
            fromCamera = from == peer_;
        }
        if (fromCamera)
            onDatagram(buffer, static_cast<std::size_t>(n));
    }
}

void NetworkLine::onDatagram(const std::uint8_t* data, std::size_t n) {
    if (entry_.scheme == NetScheme::UdpRaw) {
        queueBytes(data, n);
        return;
    }
    const auto header = decodeViscaIp(data, n);
    if (!header)
        return;
    const std::uint8_t* payload = data + kViscaIpHeaderSize;
    if (header->type == kViscaReply) {
        queueBytes(payload, header->length);
    } else if (header->type == kControlReply &&
               Bytes(payload, payload + header->length) == kSequenceError) {
        sendReset();
    }
}

// ---- receiving ---------------------------------------------------------------------------------

std::size_t NetworkLine::allowance() {
    const std::int64_t now = nowMs();
    allowance_ =
        std::min<double>(kBurstBytes, allowance_ + static_cast<double>(now - allowanceMs_) *
                                                       kMaxBytesPerSecond / 1000.0);
    allowanceMs_ = now;
    return static_cast<std::size_t>(allowance_);
}

bool NetworkLine::queueBytes(const std::uint8_t* bytes, std::size_t n) {
    const bool allowed = allowance() >= n;
    std::lock_guard<std::mutex> lock(rxMutex_);
    if (!allowed || rx_.size() + n > kReceiveCapacity) {
        rxOverflow_ = true;
        return false;
    }
    allowance_ -= static_cast<double>(n);
    rx_.insert(rx_.end(), bytes, bytes + n);
    rxChanged_.notify_all();
    return true;
}

bool NetworkLine::waitForRoom() {
    std::unique_lock<std::mutex> lock(rxMutex_);
    rxChanged_.wait(lock, [&] { return stopping() || rx_.size() < kReceiveCapacity; });
    return !stopping();
}

NetworkLine::ReadResult NetworkLine::readSome(void* buf, std::size_t n) {
    const platform::COMMTIMEOUTS t = timeouts();
    std::unique_lock<std::mutex> lock(rxMutex_);
    platform::ReadDeadline deadline(t, n);
    auto* out = static_cast<std::uint8_t*>(buf);
    std::size_t got = 0;
    for (;;) {
        if (cancelled())
            return {IoStatus::Cancelled, 0};
        const std::size_t take = std::min(n - got, rx_.size());
        if (take > 0) {
            std::copy_n(rx_.begin(), take, out + got);
            rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(take));
            got += take;
            deadline.arrived();
            rxChanged_.notify_all();  // room for a held-back stream
            if (got == n)
                return {IoStatus::Ok, got};
        }
        if (deadline.returnsNow())
            return {IoStatus::Ok, got};
        const std::optional<Clock::time_point> until = deadline.waitUntil();
        if (!until)
            rxChanged_.wait(lock);
        else if (rxChanged_.wait_until(lock, *until) == std::cv_status::timeout && rx_.empty())
            return {IoStatus::Ok, got};
    }
}

void NetworkLine::purgeInput() {
    std::lock_guard<std::mutex> lock(rxMutex_);
    rx_.clear();
    rxChanged_.notify_all();
}

void NetworkLine::clearErrors(std::uint32_t* errors, platform::COMSTAT* stat) {
    std::lock_guard<std::mutex> lock(rxMutex_);
    if (errors)
        *errors = rxOverflow_ ? platform::CE_RXOVER : 0;
    rxOverflow_ = false;
    if (stat) {
        *stat = platform::COMSTAT{};
        stat->cbInQue = static_cast<std::uint32_t>(rx_.size());
    }
}

void NetworkLine::properties(platform::COMMPROP* prop) const {
    if (!prop)
        return;
    *prop = platform::selfDrivenProperties(prop->wPacketLength, 0x100);  // PST_NETWORK_BRIDGE
    prop->dwMaxRxQueue = prop->dwCurrentRxQueue = kReceiveCapacity;
}

void NetworkLine::cancel() {
    std::lock_guard<std::mutex> lock(rxMutex_);
    cancelled_ = true;
    rxChanged_.notify_all();
}

void NetworkLine::wake() {
    std::lock_guard<std::mutex> lock(rxMutex_);
    wakePending_ = true;
    rxChanged_.notify_all();
}

bool NetworkLine::waitReadable() {
    std::unique_lock<std::mutex> lock(rxMutex_);
    rxChanged_.wait(lock, [&] { return !rx_.empty() || wakePending_ || cancelled(); });
    const bool readable = !wakePending_ && !cancelled();
    wakePending_ = false;
    return readable;
}

bool NetworkLine::waitWake(int timeoutMs) {
    std::unique_lock<std::mutex> lock(rxMutex_);
    auto woken = [&] { return wakePending_ || cancelled(); };
    bool result = timeoutMs < 0
                      ? (rxChanged_.wait(lock, woken), true)
                      : rxChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken);
    wakePending_ = false;
    return result;
}

// ---- sending -----------------------------------------------------------------------------------

long NetworkLine::write(const void* buf, std::size_t n) {
    if (n == 0)
        return 0;
    if (!buf)
        return -1;
    const auto* bytes = static_cast<const std::uint8_t*>(buf);
    if (entry_.scheme != NetScheme::Tcp) {
        std::lock_guard<std::mutex> lock(txMutex_);
        cutter_.feed(bytes, n, [&](const Bytes& packet) { sendPacket(packet); });
        if (!socket_) {
            retrySoon_ = true;
            waker_->wake();
        }
        return static_cast<long>(n);
    }

    std::shared_ptr<platform::NetSocket> socket;
    {
        std::lock_guard<std::mutex> lock(txMutex_);
        socket = socket_;
    }
    if (!socket) {
        retrySoon_ = true;
        waker_->wake();
        return static_cast<long>(n);  // no camera on the line: the bytes are gone
    }
    const platform::COMMTIMEOUTS t = timeouts();
    const std::int64_t limit =
        static_cast<std::int64_t>(t.WriteTotalTimeoutMultiplier) * static_cast<std::int64_t>(n) +
        t.WriteTotalTimeoutConstant;
    const int timeoutMs =
        limit == 0 ? -1 : static_cast<int>(std::min<std::int64_t>(limit, 0x7FFFFFFF));
    const long sent = socket->send(bytes, n, timeoutMs);
    // A connection that failed under the write is the link thread's to notice and renew; the
    // bytes are lost as on a line whose cable was pulled.
    return sent < 0 ? static_cast<long>(n) : sent;
}

// With txMutex_ held.
void NetworkLine::sendPacket(const Bytes& packet) {
    if (!socket_)
        return;
    if (entry_.scheme == NetScheme::UdpRaw) {
        socket_->sendTo(packet.data(), packet.size(), peer_);
        return;
    }
    const Bytes datagram =
        encodeViscaIp(viscaTypeOf(packet), sequence_++, packet.data(), packet.size());
    socket_->sendTo(datagram.data(), datagram.size(), peer_);
}

void NetworkLine::sendReset() {
    std::lock_guard<std::mutex> lock(txMutex_);
    sequence_ = 0;
    if (!socket_)
        return;
    const Bytes reset = encodeViscaIp(kControlCommand, 0, &kControlReset, 1);
    socket_->sendTo(reset.data(), reset.size(), peer_);
}

}  // namespace comms
