// Network lines: the [Ports] entry parser, the VISCA over IP header and packet cutter, and the
// line itself against a camera played by the test on real loopback sockets (ports chosen by the
// system at run time). The same tests run on both systems.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "comms/network_entry.h"
#include "comms/network_line.h"
#include "comms/visca_ip.h"

namespace comms {
namespace {

using namespace std::chrono_literals;
using platform::NetAddress;
using platform::NetKind;
using platform::NetSocket;
using Clock = std::chrono::steady_clock;

// ---- entries -------------------------------------------------------------------------------

TEST(NetworkEntryTest, AcceptsEachSchemeWithNamesAndAddresses) {
    std::string reason;
    auto tcp = parseNetworkEntry("tcp:cam3.studio.lan:5678", &reason);
    ASSERT_TRUE(tcp) << reason;
    EXPECT_EQ(tcp->scheme, NetScheme::Tcp);
    EXPECT_EQ(tcp->host, "cam3.studio.lan");
    EXPECT_EQ(tcp->port, 5678);

    auto udp = parseNetworkEntry("udp:192.168.0.4:52381", &reason);
    ASSERT_TRUE(udp) << reason;
    EXPECT_EQ(udp->scheme, NetScheme::Udp);
    EXPECT_EQ(udp->port, 52381);

    auto raw = parseNetworkEntry("udp-raw:[fd00::15]:1", &reason);
    ASSERT_TRUE(raw) << reason;
    EXPECT_EQ(raw->scheme, NetScheme::UdpRaw);
    EXPECT_EQ(raw->host, "fd00::15");
    EXPECT_EQ(raw->port, 1);

    EXPECT_TRUE(parseNetworkEntry("tcp:h:65535", &reason));
}

TEST(NetworkEntryTest, RefusesBadEntriesWithAReason) {
    for (const char* bad :
         {"tcp:cam:0", "tcp:cam:65536", "tcp:cam:99999999999", "tcp:cam:", "tcp:cam:+80",
          "tcp:cam:80x", "tcp:cam", "tcp::5678", "tcp:[]:5678", "ftp:cam:21", "TCP:cam:1", "cam",
          "", "udp:fd00::15:1259", "udp:[fd00::15:1259", "udp:[fd00::15]1259"}) {
        std::string reason;
        EXPECT_FALSE(parseNetworkEntry(bad, &reason)) << bad;
        EXPECT_FALSE(reason.empty()) << bad;
    }
}

// ---- header and cutter ---------------------------------------------------------------------

TEST(ViscaIpTest, EncodesAndDecodesTheHeader) {
    const Bytes inquiry{0x81, 0x09, 0x04, 0x38, 0xFF};
    EXPECT_EQ(
        encodeViscaIp(viscaTypeOf(inquiry), 5, inquiry.data(), inquiry.size()),
        (Bytes{0x01, 0x10, 0x00, 0x05, 0x00, 0x00, 0x00, 0x05, 0x81, 0x09, 0x04, 0x38, 0xFF}));
    const Bytes command{0x81, 0x01, 0x04, 0x07, 0x22, 0xFF};
    EXPECT_EQ(viscaTypeOf(command), kViscaCommand);

    const Bytes reply{0x01, 0x11, 0x00, 0x04, 0x12, 0x34, 0x56, 0x78, 0x90, 0x50, 0x02, 0xFF};
    auto h = decodeViscaIp(reply.data(), reply.size());
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type, kViscaReply);
    EXPECT_EQ(h->length, 4);
    EXPECT_EQ(h->sequence, 0x12345678u);

    // A length field that does not match what follows, and a datagram shorter than a header.
    Bytes longer = reply;
    longer[3] = 0x05;
    EXPECT_FALSE(decodeViscaIp(longer.data(), longer.size()));
    Bytes shorter = reply;
    shorter[3] = 0x03;
    EXPECT_FALSE(decodeViscaIp(shorter.data(), shorter.size()));
    EXPECT_FALSE(decodeViscaIp(reply.data(), 7));
}

TEST(ViscaIpTest, CutterJoinsSplitPacketsAndSplitsJoinedOnes) {
    PacketCutter cutter;
    std::vector<Bytes> out;
    auto collect = [&](const Bytes& p) { out.push_back(p); };
    const Bytes a{0x81, 0x01, 0x04, 0x07};
    const Bytes b{0x22, 0xFF, 0x81, 0x09, 0x04, 0x38, 0xFF, 0x81};
    cutter.feed(a.data(), a.size(), collect);
    EXPECT_TRUE(out.empty());
    cutter.feed(b.data(), b.size(), collect);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (Bytes{0x81, 0x01, 0x04, 0x07, 0x22, 0xFF}));
    EXPECT_EQ(out[1], (Bytes{0x81, 0x09, 0x04, 0x38, 0xFF}));
    EXPECT_EQ(cutter.pending(), 1u);

    // The stray byte after a terminator does not spoil the packet that follows it.
    out.clear();
    const Bytes stray{0x81, 0x01, 0x04, 0x07, 0x00, 0xFF, 0x00};
    const Bytes poll{0x81, 0x09, 0x04, 0x38, 0xFF};
    PacketCutter fresh;
    fresh.feed(stray.data(), stray.size(), collect);
    fresh.feed(poll.data(), poll.size(), collect);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], poll);

    // A run without a terminator is not kept without limit.
    Bytes run(PacketCutter::kMaxPending * 2 + 3, 0x01);
    out.clear();
    cutter.feed(run.data(), run.size(), collect);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].size(), PacketCutter::kMaxPending);
    EXPECT_EQ(cutter.pending(), 4u);
}

// ---- the line against a camera played by the test -------------------------------------------

std::uint16_t portOf(const NetAddress& a) {
    const std::string t = a.text();
    return static_cast<std::uint16_t>(std::stoi(t.substr(t.rfind(':') + 1)));
}

// A socket of the camera, bound to loopback at `port` (0: a free port the system picks).
std::unique_ptr<NetSocket> cameraSocket(NetKind kind, std::uint16_t port = 0) {
    const NetAddress local = platform::resolveHost("127.0.0.1", port, kind, nullptr).at(0);
    auto s = NetSocket::create(local, kind);
    if (!s || !s->listen(local))
        return nullptr;
    return s;
}

// A loopback port with nobody on it at the moment (0 when the system gives none).
std::uint16_t freePort(NetKind kind) {
    auto probe = cameraSocket(kind);
    return probe ? portOf(probe->localAddress()) : 0;
}

struct Datagram {
    Bytes bytes;
    NetAddress from;
};

// Waits up to 5 s for one datagram.
std::optional<Datagram> receiveDatagram(NetSocket& s, platform::NetWaker& w,
                                        std::chrono::milliseconds limit = 5s) {
    if (s.waitReadable(static_cast<int>(limit.count()), w) != NetSocket::Result::Ok)
        return std::nullopt;
    Datagram d;
    d.bytes.resize(4096);
    long n = s.receive(d.bytes.data(), d.bytes.size(), &d.from);
    if (n < 0)
        return std::nullopt;
    d.bytes.resize(static_cast<std::size_t>(n));
    return d;
}

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

platform::COMMTIMEOUTS readTimeouts(std::uint32_t interval, std::uint32_t multiplier,
                                    std::uint32_t constant) {
    platform::COMMTIMEOUTS t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    t.WriteTotalTimeoutConstant = 1000;
    return t;
}

class UdpLineTest : public ::testing::Test {
  protected:
    void start(NetScheme scheme) {
        camera = cameraSocket(NetKind::Datagram);
        ASSERT_TRUE(camera);
        cameraAddress = camera->localAddress();
        line = NetworkLine::open({scheme, "127.0.0.1", portOf(cameraAddress)}, 9);
        ASSERT_TRUE(line);
        line->setTimeouts(readTimeouts(10, 16, 0));
        ASSERT_TRUE(eventually([&] { return line->linked(); }));
    }
    void write(const Bytes& b) {
        ASSERT_EQ(line->write(b.data(), b.size()), static_cast<long>(b.size()));
    }
    Bytes readSome(std::size_t n = 64) {
        Bytes buf(n);
        auto r = line->read(buf.data(), buf.size());
        EXPECT_EQ(r.status, platform::CommDevice::IoStatus::Ok);
        buf.resize(r.count);
        return buf;
    }

    std::unique_ptr<platform::NetWaker> waker = platform::NetWaker::create();
    std::unique_ptr<NetSocket> camera;
    NetAddress cameraAddress;
    std::unique_ptr<NetworkLine> line;
};

TEST_F(UdpLineTest, HeaderedLineResetsNumbersPacketsAndAnswersASequenceError) {
    start(NetScheme::Udp);
    auto reset = receiveDatagram(*camera, *waker);
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->bytes, (Bytes{0x02, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0x01}));
    const NetAddress driver = reset->from;

    // A packet written in two pieces goes out as one datagram; an inquiry has its own type.
    write({0x81, 0x01, 0x04});
    write({0x07, 0x22, 0xFF, 0x81, 0x09, 0x04, 0x38, 0xFF});
    auto first = receiveDatagram(*camera, *waker);
    auto second = receiveDatagram(*camera, *waker);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->bytes,
              (Bytes{0x01, 0x00, 0x00, 0x06, 0, 0, 0, 0, 0x81, 0x01, 0x04, 0x07, 0x22, 0xFF}));
    EXPECT_EQ(second->bytes,
              (Bytes{0x01, 0x10, 0x00, 0x05, 0, 0, 0, 1, 0x81, 0x09, 0x04, 0x38, 0xFF}));

    // The reply reaches the reader without its header.
    const Bytes reply{0x01, 0x11, 0x00, 0x04, 0, 0, 0, 1, 0x90, 0x50, 0x02, 0xFF};
    ASSERT_TRUE(camera->sendTo(reply.data(), reply.size(), driver));
    EXPECT_EQ(readSome(), (Bytes{0x90, 0x50, 0x02, 0xFF}));

    // A sequence error: RESET, then numbering from 0 again.
    const Bytes error{0x02, 0x01, 0x00, 0x02, 0, 0, 0, 2, 0x0F, 0x01};
    ASSERT_TRUE(camera->sendTo(error.data(), error.size(), driver));
    auto again = receiveDatagram(*camera, *waker);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->bytes, reset->bytes);
    write({0x81, 0x09, 0x04, 0x38, 0xFF});
    auto next = receiveDatagram(*camera, *waker);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->bytes,
              (Bytes{0x01, 0x10, 0x00, 0x05, 0, 0, 0, 0, 0x81, 0x09, 0x04, 0x38, 0xFF}));
}

TEST_F(UdpLineTest, IgnoresStrangersBadLengthsAndOversizedDatagrams) {
    start(NetScheme::Udp);
    auto reset = receiveDatagram(*camera, *waker);
    ASSERT_TRUE(reset);
    const NetAddress driver = reset->from;

    auto stranger = cameraSocket(NetKind::Datagram);
    ASSERT_TRUE(stranger);
    const Bytes reply{0x01, 0x11, 0x00, 0x04, 0, 0, 0, 0, 0x90, 0x50, 0x02, 0xFF};
    ASSERT_TRUE(stranger->sendTo(reply.data(), reply.size(), driver));
    Bytes wrongLength = reply;
    wrongLength[3] = 0x09;
    ASSERT_TRUE(camera->sendTo(wrongLength.data(), wrongLength.size(), driver));
    Bytes huge(NetworkLine::kMaxDatagram + 100, 0xFF);
    std::copy(reply.begin(), reply.begin() + 8, huge.begin());
    huge[2] = static_cast<std::uint8_t>((huge.size() - 8) >> 8);
    huge[3] = static_cast<std::uint8_t>(huge.size() - 8);
    ASSERT_TRUE(camera->sendTo(huge.data(), huge.size(), driver));
    const Bytes tooShort{0x01, 0x11, 0x00};
    ASSERT_TRUE(camera->sendTo(tooShort.data(), tooShort.size(), driver));
    // Then a good one: only it arrives.
    const Bytes good{0x01, 0x11, 0x00, 0x03, 0, 0, 0, 0, 0x90, 0x41, 0xFF};
    ASSERT_TRUE(camera->sendTo(good.data(), good.size(), driver));
    line->setTimeouts(readTimeouts(10, 0, 2000));
    EXPECT_EQ(readSome(), (Bytes{0x90, 0x41, 0xFF}));
}

TEST_F(UdpLineTest, RawLineSendsOnePacketPerDatagramAndReportsAFlood) {
    start(NetScheme::UdpRaw);
    write({0x81, 0x09});
    write({0x04, 0x38, 0xFF, 0x81, 0x01, 0x06, 0x04, 0xFF});
    auto first = receiveDatagram(*camera, *waker);
    auto second = receiveDatagram(*camera, *waker);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->bytes, (Bytes{0x81, 0x09, 0x04, 0x38, 0xFF}));
    EXPECT_EQ(second->bytes, (Bytes{0x81, 0x01, 0x06, 0x04, 0xFF}));

    // A flood, nobody reading: what does not fit (in the queue or the rate) is dropped and
    // reported; what was taken stays whole.
    const Bytes chunk(100, 0xFF);
    for (int i = 0; i < 200; ++i)
        camera->sendTo(chunk.data(), chunk.size(), first->from);
    std::uint32_t seen = 0;
    platform::COMSTAT stat{};
    ASSERT_TRUE(eventually([&] {
        std::uint32_t errors = 0;  // reading the status takes the error word, as ClearCommError
        line->clearErrors(&errors, &stat);
        seen |= errors;
        return seen != 0;
    }));
    EXPECT_EQ(seen, platform::CE_RXOVER);
    EXPECT_GT(stat.cbInQue, 0u);
    EXPECT_LE(stat.cbInQue, NetworkLine::kReceiveCapacity);
    EXPECT_EQ(stat.cbInQue % 100, 0u);
    line->purgeInput();
    line->clearErrors(nullptr, &stat);
    EXPECT_EQ(stat.cbInQue, 0u);

    // The link thread may still be dropping the end of the flood: wait for 100 ms without a drop.
    ASSERT_TRUE(eventually([&] {
        std::this_thread::sleep_for(100ms);
        std::uint32_t errors = 0;
        line->clearErrors(&errors, nullptr);
        return errors == 0;
    }));
    line->purgeInput();
    // One datagram longer than a burst is always dropped; the packet after it arrives whole.
    const Bytes tooLong(NetworkLine::kBurstBytes + 1, 0xFF);
    const Bytes packet{0x90, 0x41, 0xFF};
    ASSERT_TRUE(camera->sendTo(tooLong.data(), tooLong.size(), first->from));
    ASSERT_TRUE(camera->sendTo(packet.data(), packet.size(), first->from));
    line->setTimeouts(readTimeouts(10, 0, 2000));
    EXPECT_EQ(readSome(), packet);
    std::uint32_t errors = 0;
    line->clearErrors(&errors, nullptr);
    EXPECT_EQ(errors, platform::CE_RXOVER);
    line->clearErrors(&errors, nullptr);
    EXPECT_EQ(errors, 0u) << "reading the status did not take the error word";
}

TEST(UdpLineAbsentCameraTest, DatagramsToAPortWithNobodyKeepTheSocketAndReachALaterCamera) {
    // Nobody on the port: the system answers each datagram with "port unreachable".
    const std::uint16_t port = freePort(NetKind::Datagram);
    ASSERT_NE(port, 0);
    auto line = NetworkLine::open({NetScheme::UdpRaw, "127.0.0.1", port}, 9);
    ASSERT_TRUE(line);
    ASSERT_TRUE(eventually([&] { return line->linked(); }));
    const Bytes poll{0x81, 0x09, 0x04, 0x38, 0xFF};
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(line->write(poll.data(), poll.size()), 5);
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(line->linked()) << "an unreachable port was taken for a broken socket";

    auto camera = cameraSocket(NetKind::Datagram, port);
    ASSERT_TRUE(camera);
    ASSERT_EQ(line->write(poll.data(), poll.size()), 5);
    auto waker = platform::NetWaker::create();
    auto got = receiveDatagram(*camera, *waker);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, poll);
}

TEST(UdpLineIpv6Test, ReachesACameraAtABracketedIpv6Address) {
    std::string reason;
    const auto entry = parseNetworkEntry("udp-raw:[::1]:1", &reason);
    ASSERT_TRUE(entry) << reason;
    const auto local = platform::resolveHost(entry->host, 0, NetKind::Datagram, nullptr);
    if (local.empty())
        GTEST_SKIP() << "no IPv6 loopback";
    auto camera = NetSocket::create(local.at(0), NetKind::Datagram);
    if (!camera || !camera->listen(local.at(0)))
        GTEST_SKIP() << "no IPv6 loopback";
    auto line =
        NetworkLine::open({NetScheme::UdpRaw, entry->host, portOf(camera->localAddress())}, 9);
    ASSERT_TRUE(line);
    ASSERT_TRUE(eventually([&] { return line->linked(); }));
    const Bytes poll{0x81, 0x09, 0x04, 0x38, 0xFF};
    ASSERT_EQ(line->write(poll.data(), poll.size()), 5);
    auto waker = platform::NetWaker::create();
    auto got = receiveDatagram(*camera, *waker);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, poll);
}

TEST(NetworkLineReadTest, FollowsTheReadTimeoutsAndEndsAtCancel) {
    auto line = NetworkLine::open({NetScheme::UdpRaw, "127.0.0.1", 9}, 9);
    ASSERT_TRUE(line);
    std::uint8_t buf[16];

    line->setTimeouts(readTimeouts(platform::MAXDWORD, 0, 0));
    auto t0 = Clock::now();
    EXPECT_EQ(line->read(buf, sizeof buf).count, 0u);
    EXPECT_LT(Clock::now() - t0, 500ms);

    line->setTimeouts(readTimeouts(0, 10, 100));  // 16 x 10 + 100 ms
    t0 = Clock::now();
    auto r = line->read(buf, sizeof buf);
    EXPECT_EQ(r.status, platform::CommDevice::IoStatus::Ok);
    EXPECT_EQ(r.count, 0u);
    EXPECT_GE(Clock::now() - t0, 250ms);

    // No limits at all: only cancel ends the read.
    line->setTimeouts(readTimeouts(0, 0, 0));
    std::thread reader([&] { r = line->read(buf, sizeof buf); });
    std::this_thread::sleep_for(100ms);
    line->cancel();
    reader.join();
    EXPECT_EQ(r.status, platform::CommDevice::IoStatus::Cancelled);
    EXPECT_TRUE(line->waitWake(-1));
}

TEST(NetworkLineReadTest, ALimitTooLongForTheClockIsAWaitWithoutEnd) {
    auto line = NetworkLine::open({NetScheme::UdpRaw, "127.0.0.1", 9}, 9);
    ASSERT_TRUE(line);
    // Nearly 2^32 ms for each of 128 Ki bytes: more than the clock can count.
    line->setTimeouts(readTimeouts(0, platform::MAXDWORD - 1, platform::MAXDWORD - 1));
    std::vector<std::uint8_t> buf(1 << 17);
    platform::CommDevice::ReadResult r{};
    std::thread reader([&] { r = line->read(buf.data(), buf.size()); });
    std::this_thread::sleep_for(200ms);
    line->cancel();
    reader.join();
    EXPECT_EQ(r.status, platform::CommDevice::IoStatus::Cancelled) << "the read ended by itself";
}

// A host lookup that does not answer until the test lets it (a DNS server that never replies).
struct StuckLookup {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;

    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};

TEST(NetworkLineLookupTest, ClosingTheLineNeverWaitsForAHostLookup) {
    auto stuck = std::make_shared<StuckLookup>();
    auto lookup = [stuck](const std::string&, std::uint16_t, NetKind, std::string* error) {
        std::unique_lock<std::mutex> lock(stuck->mutex);
        stuck->entered = true;
        stuck->changed.notify_all();
        stuck->changed.wait(lock, [&] { return stuck->released; });
        *error = "no answer from the name server";
        return std::vector<NetAddress>{};
    };
    auto line =
        NetworkLine::open({NetScheme::Tcp, "camera.studio.lan", 5678}, 9, std::move(lookup));
    ASSERT_TRUE(line);
    {
        std::unique_lock<std::mutex> lock(stuck->mutex);
        ASSERT_TRUE(stuck->changed.wait_for(lock, 10s, [&] { return stuck->entered; }));
    }
    // Writes during the lookup are dropped at once, as with no camera on the line.
    const Bytes poll{0x81, 0x09, 0x04, 0x38, 0xFF};
    EXPECT_EQ(line->write(poll.data(), poll.size()), 5);
    EXPECT_FALSE(line->linked());

    // The close returns while the lookup still hangs (the bound only guards against a hang).
    auto closed = std::async(std::launch::async, [&] { line.reset(); });
    const bool closedInTime = closed.wait_for(10s) == std::future_status::ready;
    std::weak_ptr<StuckLookup> watch = stuck;
    stuck->release();
    stuck.reset();
    closed.wait();
    EXPECT_TRUE(closedInTime) << "the close waited for the lookup";

    // The lookup then ends on its own, its answer dropped with the line gone.
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
}

// ---- TCP -----------------------------------------------------------------------------------

TEST(TcpLineTest, OpensWithoutACameraConnectsWhenOneListensAndComesBackAfterALoss) {
    const std::uint16_t port = freePort(NetKind::Stream);
    ASSERT_NE(port, 0);
    auto line = NetworkLine::open({NetScheme::Tcp, "127.0.0.1", port}, 9);
    ASSERT_TRUE(line);
    line->setTimeouts(readTimeouts(10, 16, 0));
    const Bytes poll{0x81, 0x09, 0x04, 0x38, 0xFF};
    EXPECT_EQ(line->write(poll.data(), poll.size()), 5);  // dropped: nobody there
    EXPECT_FALSE(line->linked());

    auto waker = platform::NetWaker::create();
    for (int round = 0; round < 2; ++round) {
        auto listener = cameraSocket(NetKind::Stream, port);
        ASSERT_TRUE(listener);
        // The driver keeps polling; a write makes the next attempt come within a second or so.
        std::unique_ptr<NetSocket> conn;
        ASSERT_TRUE(eventually([&] {
            line->write(poll.data(), poll.size());
            listener->waitReadable(200, *waker);
            conn = listener->accept(nullptr);
            return conn != nullptr;
        }));
        ASSERT_TRUE(eventually([&] { return line->linked(); }));
        ASSERT_EQ(line->write(poll.data(), poll.size()), 5);
        Bytes got(64);
        ASSERT_EQ(conn->waitReadable(5000, *waker), NetSocket::Result::Ok);
        long n = conn->receive(got.data(), got.size());
        ASSERT_GE(n, 5);
        EXPECT_EQ(Bytes(got.begin() + n - 5, got.begin() + n), poll);

        const Bytes answer{0x90, 0x50, 0x02, 0xFF};
        ASSERT_EQ(conn->send(answer.data(), answer.size(), 1000), 4);
        Bytes buf(16);
        auto r = line->read(buf.data(), buf.size());
        buf.resize(r.count);
        EXPECT_EQ(buf, answer);
        // The camera goes away; the line notices and later connects again.
        conn.reset();
        listener.reset();
        ASSERT_TRUE(eventually([&] { return !line->linked(); }));
    }
}

TEST(TcpLineTest, AWriteToAPeerThatNeverReadsEndsAtTheWriteTimeout) {
    auto listener = cameraSocket(NetKind::Stream);
    ASSERT_TRUE(listener);
    auto line =
        NetworkLine::open({NetScheme::Tcp, "127.0.0.1", portOf(listener->localAddress())}, 9);
    ASSERT_TRUE(line);
    line->setTimeouts(readTimeouts(10, 16, 0));  // write: 1000 ms in all
    auto waker = platform::NetWaker::create();
    ASSERT_EQ(listener->waitReadable(5000, *waker), NetSocket::Result::Ok);
    auto conn = listener->accept(nullptr);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(eventually([&] { return line->linked(); }));

    // Fill the connection until a write comes back short; none may take much longer than its
    // 1000 ms limit.
    const Bytes block(1 << 20, 0x81);
    long sent = static_cast<long>(block.size());
    for (int i = 0; i < 256 && sent == static_cast<long>(block.size()); ++i) {
        const auto t0 = Clock::now();
        sent = line->write(block.data(), block.size());
        EXPECT_LT(Clock::now() - t0, 5s);
    }
    EXPECT_LT(sent, static_cast<long>(block.size()));
}

}  // namespace
}  // namespace comms
