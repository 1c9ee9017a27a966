// A COM port that is a camera on the network: a line whose cable may be unplugged.
//
// The line opens at once, whether the camera can be reached or not. Its link thread has the
// camera's host looked up (on a helper thread of its own: a lookup cannot be interrupted and may
// take many seconds, and closing the line never waits for one), connects (TCP) or opens its
// socket (UDP), and after a failure or a lost
// connection tries again after 1 s, doubling the pause up to 10 s; a write while there is no
// connection asks for the next attempt as soon as a second has passed since the last one, so a
// camera that appears is found at the driver's next poll. It never spins. Bytes written while no
// connection exists are dropped, as a line without a camera drops them.
//
// Received bytes wait in a queue of kReceiveCapacity bytes; reads take them under the same
// COMMTIMEOUTS rules as a serial line. Bytes come in no faster than a fast serial line carries
// them (kMaxBytesPerSecond, in bursts of up to kBurstBytes), so a flooding peer cannot bury the
// driver's own work in notifications. A stream that the reader does not keep up with is held
// back in the connection; datagrams that find the queue full or come too fast are dropped and
// reported as an input overflow (CE_RXOVER).
//
// UDP: what is written is cut into packets at 0xFF, one datagram each (the rest of a packet waits
// for the next write). With the VISCA over IP header, commands go out as 0x0100 and inquiries as
// 0x0110 with a sequence number rising by one; RESET is sent when the socket opens and whenever
// the camera reports a sequence error, and numbering starts again from 0. Replies lose their
// header on the way into the queue; control replies are handled here. Datagrams from any other
// address than the camera's, with a wrong length field or longer than kMaxDatagram are ignored.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "comms/network_entry.h"
#include "comms/visca_ip.h"
#include "platform/net_socket.h"
#include "platform/serial_device.h"

namespace comms {

class NetworkLine final : public platform::CommDevice {
  public:
    static constexpr std::size_t kReceiveCapacity = 4096;
    static constexpr std::size_t kMaxDatagram = 2048;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 10000;
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr std::size_t kMaxBytesPerSecond = 11520;  // 115200 baud
    static constexpr std::size_t kBurstBytes = 1024;

    // Looks a host up as platform::resolveHost does (which is the one used unless a test gives
    // another). May block for long; it runs on a thread that nobody waits for.
    using HostLookup = std::function<std::vector<platform::NetAddress>(
        const std::string& host, std::uint16_t port, platform::NetKind kind, std::string* error)>;

    // Null only when the system gives no wake-up object or thread.
    static std::unique_ptr<NetworkLine> open(const NetworkEntry& entry, int portNumber,
                                             HostLookup lookup = platform::resolveHost);
    // Stops the link thread and closes the connection.
    ~NetworkLine() override;
    NetworkLine(const NetworkLine&) = delete;
    NetworkLine& operator=(const NetworkLine&) = delete;

    // True while a connection (TCP) or socket (UDP) exists.
    bool linked() const { return linked_.load(); }

    std::uint32_t handleValue() const override { return waker_->handleValue(); }
    // Line settings have no meaning on the network: any are taken.
    bool configure(int, int, int, int) override { return true; }
    long write(const void* buf, std::size_t n) override;
    void purgeInput() override;
    void clearErrors(std::uint32_t* errors, platform::COMSTAT* stat) override;
    void properties(platform::COMMPROP* prop) const override;
    void cancel() override;
    void wake() override;
    bool cancelled() const override { return cancelled_.load(); }
    bool waitWake(int timeoutMs) override;
    bool waitReadable() override;

  protected:
    ReadResult readSome(void* buf, std::size_t n) override;

  private:
    NetworkLine(const NetworkEntry& entry, int portNumber, HostLookup lookup,
                std::shared_ptr<platform::NetWaker> waker);

    // The link thread: connect, serve until the link is lost, pause, again.
    void run();
    std::shared_ptr<platform::NetSocket> connectLink();
    // The camera's addresses; empty (with the reason in `error`) when there are none or the line
    // stops meanwhile.
    std::vector<platform::NetAddress> lookUpCamera(std::string* error);
    void serveStream(platform::NetSocket& socket);
    void serveDatagrams(platform::NetSocket& socket);
    void onDatagram(const std::uint8_t* data, std::size_t n);
    void setSocket(std::shared_ptr<platform::NetSocket> socket);
    // Pauses for `ms`, ending early for stop and, a second after the last attempt, for a write.
    void pause(int ms);
    bool stopping() const { return stopping_.load(); }
    void reportOnce(const std::string& reason);

    // Stores received bytes whole; false when the queue or the rate had no room for them (none
    // stored).
    bool queueBytes(const std::uint8_t* bytes, std::size_t n);
    bool waitForRoom();
    // Bytes the rate allows now (link thread only).
    std::size_t allowance();

    void sendPacket(const Bytes& packet);
    void sendReset();

    const NetworkEntry entry_;
    const int portNumber_;
    const HostLookup lookup_;
    // Wakes the link thread; shared with a host lookup that may outlive the line.
    std::shared_ptr<platform::NetWaker> waker_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> linked_{false};
    std::atomic<bool> retrySoon_{false};  // a write found no connection
    std::atomic<std::int64_t> lastAttemptMs_{0};
    bool reported_ = false;  // link thread only
    double allowance_ = kBurstBytes;
    std::int64_t allowanceMs_ = 0;  // when allowance_ was last brought up to date

    // The receive side, shared with the reading thread.
    mutable std::mutex rxMutex_;
    std::condition_variable rxChanged_;
    std::deque<std::uint8_t> rx_;
    bool rxOverflow_ = false;
    bool wakePending_ = false;
    std::atomic<bool> cancelled_{false};

    // The sending side: the socket (null while unlinked), the camera's address, and for UDP the
    // cutter and the sequence number.
    std::mutex txMutex_;
    std::shared_ptr<platform::NetSocket> socket_;
    platform::NetAddress peer_;
    PacketCutter cutter_;
    std::uint32_t sequence_ = 0;
};

}  // namespace comms
