// Network cameras, whole-process: the driver with a COM port mapped in [Ports] of
// C:\kelp_config.ini to visca-sim (or to a hostile peer played by the test) over loopback, on
// ports chosen at run time.
#include <signal.h>

#include <thread>

#include "platform/net_socket.h"
#include "system_rig.h"

namespace system_test {
namespace {

using platform::NetKind;
using platform::NetSocket;
using Clock = std::chrono::steady_clock;

const char kZoomTele[] = "81 01 04 07 22 FF";

class NetworkTest : public SystemTest {
  protected:
    void mapCom1(const std::string& entry) {
        testing_support::writeFile(prefix.driveC() + "/kelp_config.ini",
                                   "[Ports]\r\nCOM1=" + entry + "\r\n");
    }
    // Infodriver and driver of device 1, the driver's COM1 mapped to `scheme` at `port`.
    void startDevice(const std::string& scheme, int port) {
        mapCom1(scheme + ":127.0.0.1:" + std::to_string(port));
        info = startInfodriver(1);
        driver = startDriver(1);
        ASSERT_TRUE(driver->waitForLine("Connected OK to infodriver 1", kStartLimit))
            << dump(*driver) << driver->stderrText();
    }

    std::shared_ptr<ChildProcess> info, driver;
};

// A socket of a camera played by the test, bound to a free loopback port.
std::unique_ptr<NetSocket> peerSocket(NetKind kind, int* port) {
    auto local = platform::resolveHost("127.0.0.1", 0, kind, nullptr).at(0);
    auto s = NetSocket::create(local, kind);
    if (!s || !s->listen(local))
        return nullptr;
    const std::string t = s->localAddress().text();
    *port = std::stoi(t.substr(t.rfind(':') + 1));
    return s;
}

class SchemeTest : public NetworkTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SchemeTest, SlotChangeReachesTheCameraAndPollsKeepTheLink) {
    int port = 0;
    auto camera = startNetworkCamera(GetParam(), 0, &port);
    startDevice(GetParam(), port);
    ASSERT_TRUE(info->waitForLine("write 1 1", kStartLimit)) << dump(*camera) << dump(*driver);

    std::size_t cam = mark(*camera);
    setSlot(1, 8, "1");
    EXPECT_TRUE(waitFrom(*camera, cam, kZoomTele)) << dump(*camera, cam);
    EXPECT_EQ(slot(1, 8), "1");
    EXPECT_TRUE(waitFrom(*info, 0, "write 8 1"));
    // Every packet arrived whole: nothing skipped at the camera.
    EXPECT_EQ(countFrom(*camera, 0, "skip "), 0u) << dump(*camera);

    // Polls go on and are answered; the link stays up.
    cam = mark(*camera);
    EXPECT_TRUE(waitForCount(*camera, cam, kPollPacket, 2)) << dump(*camera, cam);
    EXPECT_EQ(slot(1, 1), "1");
    EXPECT_EQ(countFrom(*driver, 0, "Reply Timer - no response"), 0u) << dump(*driver);
}

TEST_P(SchemeTest, CameraStartedAfterTheDriverIsFoundWithoutARestart) {
    const std::string scheme = GetParam();
    const int port = freePort(scheme == "tcp" ? NetKind::Stream : NetKind::Datagram);
    ASSERT_NE(port, 0);
    startDevice(scheme, port);
    // The port opened although nobody answers; the link is published as down, polls go on.
    EXPECT_EQ(countFrom(*driver, 0, "Can't open serial port"), 0u) << dump(*driver);
    ASSERT_TRUE(info->waitForLine("write 1 0", kStartLimit)) << dump(*driver);
    std::size_t drv = mark(*driver);
    ASSERT_TRUE(waitForCount(*driver, drv, "Reply Timer - no response", 2)) << dump(*driver, drv);

    int bound = 0;
    auto camera = startNetworkCamera(scheme, port, &bound);
    ASSERT_EQ(bound, port);
    const auto started = Clock::now();
    ASSERT_TRUE(info->waitForLine("write 1 1", kEventLimit)) << dump(*camera) << dump(*driver);
    // Within about two polls of the camera's start; the bound is loose for a loaded machine.
    EXPECT_LT(Clock::now() - started, 6s);
    EXPECT_EQ(slot(1, 1), "1");
}

INSTANTIATE_TEST_SUITE_P(Schemes, SchemeTest, ::testing::Values("tcp", "udp", "udp-raw"),
                         [](const auto& info) {
                             std::string n = info.param;
                             return n == "udp-raw" ? std::string("udpraw") : n;
                         });

TEST_F(NetworkTest, RestartedTcpCameraIsReconnected) {
    int port = 0;
    auto camera = startNetworkCamera("tcp", 0, &port);
    startDevice("tcp", port);
    ASSERT_TRUE(info->waitForLine("write 1 1", kStartLimit)) << dump(*camera);

    camera->signal(SIGKILL);
    camera->waitExit(kStartLimit);
    int again = 0;
    auto restarted = startNetworkCamera("tcp", port, &again);
    ASSERT_EQ(again, port);
    ASSERT_TRUE(restarted->waitForLine("connect ", kEventLimit)) << dump(*driver);
    ASSERT_TRUE(waitFrom(*restarted, 0, kPollPacket)) << dump(*restarted);
    const std::size_t cam = mark(*restarted);
    setSlot(1, 8, "2");
    EXPECT_TRUE(waitFrom(*restarted, cam, "81 01 04 07 32 FF")) << dump(*restarted, cam);
    EXPECT_EQ(slot(1, 1), "1");
}

TEST_F(NetworkTest, HangupAndReconnectOfTheSimulatorDropAndRestoreTheLink) {
    int port = 0;
    auto camera = startNetworkCamera("tcp", 0, &port);
    startDevice("tcp", port);
    ASSERT_TRUE(info->waitForLine("write 1 1", kStartLimit)) << dump(*camera);

    const std::size_t id = mark(*info);
    camera->writeStdin("hangup\n");
    ASSERT_TRUE(camera->waitForLine("hangup", kEventLimit)) << dump(*camera);
    ASSERT_TRUE(waitFrom(*info, id, "write 1 0", 30s)) << dump(*driver);
    camera->writeStdin("reconnect\n");
    ASSERT_TRUE(camera->waitForLine("connect ", kEventLimit)) << dump(*camera);
    ASSERT_TRUE(waitFrom(*info, id, "write 1 1", kEventLimit)) << dump(*camera);
}

TEST_F(NetworkTest, RestartedUdpCameraReportsASequenceErrorAndIsReset) {
    int port = 0;
    auto camera = startNetworkCamera("udp", 0, &port);
    startDevice("udp", port);
    ASSERT_TRUE(info->waitForLine("write 1 1", kStartLimit)) << dump(*camera);
    ASSERT_TRUE(waitFrom(*camera, 0, "reset ")) << dump(*camera);
    ASSERT_TRUE(waitForCount(*camera, 0, kPollPacket, 2)) << dump(*camera);

    camera->signal(SIGKILL);
    camera->waitExit(kStartLimit);
    int again = 0;
    auto restarted = startNetworkCamera("udp", port, &again);
    ASSERT_EQ(again, port);
    // The new camera expects 0 and gets a later number: error, RESET, then numbering from 0.
    auto error = restarted->waitForLine("seqerror", kEventLimit);
    ASSERT_TRUE(error) << dump(*restarted);
    EXPECT_EQ(error->substr(error->rfind(' ')), " 0");
    ASSERT_TRUE(waitFrom(*restarted, 0, "reset ")) << dump(*restarted);
    const std::size_t afterReset = *indexOf(*restarted, 0, "reset ");
    ASSERT_TRUE(waitFrom(*restarted, afterReset, kPollPacket)) << dump(*restarted);
    EXPECT_EQ(countFrom(*restarted, afterReset, "seqerror"), 0u) << dump(*restarted);
}

TEST_F(NetworkTest, ADatagramFromAnotherAddressIsIgnored) {
    int port = 0;
    auto camera = startNetworkCamera("udp-raw", 0, &port);
    startDevice("udp-raw", port);
    ASSERT_TRUE(info->waitForLine("write 1 1", kStartLimit)) << dump(*camera);
    auto peerLine = waitFrom(*camera, 0, "peer ");
    ASSERT_TRUE(peerLine);
    const std::string address = peerLine->substr(peerLine->rfind(' ') + 1);  // 127.0.0.1:N
    const int driverPort = std::stoi(address.substr(address.rfind(':') + 1));
    const auto driverAddress =
        platform::resolveHost("127.0.0.1", static_cast<std::uint16_t>(driverPort),
                              NetKind::Datagram, nullptr)
            .at(0);

    // A reply with a bad first byte would clear the link, were it taken.
    int strangerPort = 0;
    auto stranger = peerSocket(NetKind::Datagram, &strangerPort);
    ASSERT_TRUE(stranger);
    const std::size_t id = mark(*info);
    const std::size_t drv = mark(*driver);
    const std::uint8_t bad[] = {0x97, 0x50, 0x02, 0xFF};
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(stranger->sendTo(bad, sizeof bad, driverAddress));
        std::this_thread::sleep_for(200ms);
    }
    readFor(*driver, 1500ms);
    readFor(*info, 100ms);
    EXPECT_EQ(countFrom(*info, id, "write 1 0"), 0u) << dump(*info, id);
    EXPECT_EQ(countFrom(*driver, drv, "Reply error"), 0u) << dump(*driver, drv);
    EXPECT_EQ(slot(1, 1), "1");
}

TEST_F(NetworkTest, BadPortsEntryFailsTheOpenAndSaysWhyOnce) {
    mapCom1("tcp:127.0.0.1:65536");
    info = startInfodriver(1);
    driver = startDriver(1);
    ASSERT_TRUE(driver->waitForLine("Can't open serial port 1", kStartLimit)) << dump(*driver);
    readFor(*driver, 300ms);
    const std::string err = driver->stderrText();
    const std::string reason = "bad [Ports] entry \"tcp:127.0.0.1:65536\"";
    const auto first = err.find(reason);
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find(reason, first + 1), std::string::npos) << err;
}

// ---- hostile peers played by the test ---------------------------------------------------------

// Reads what the driver sends for up to `limit`, until `needle` (hex bytes) has come. The
// driver's output is read meanwhile: a flood makes it log a lot, and a full pipe would stop it.
bool receivedFromDriver(NetSocket& s, const std::string& needle, std::chrono::milliseconds limit,
                        bool datagrams, ChildProcess& driver) {
    auto waker = platform::NetWaker::create();
    std::string seen;
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        readFor(driver, 20ms);
        if (s.waitReadable(20, *waker) != NetSocket::Result::Ok)
            continue;
        std::uint8_t buf[4096];
        const long n = s.receive(buf, sizeof buf);
        if (n == 0 && !datagrams)
            return false;
        for (long i = 0; i < n; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X ", buf[i]);
            seen += hex;
        }
        if (seen.find(needle) != std::string::npos)
            return true;
        if (seen.size() > 65536)
            seen.erase(0, seen.size() - 1024);
    }
    return false;
}

TEST_F(NetworkTest, HostileTcpPeerCannotStopTheSupervision) {
    int port = 0;
    auto listener = peerSocket(NetKind::Stream, &port);
    ASSERT_TRUE(listener);
    startDevice("tcp", port);
    auto waker = platform::NetWaker::create();
    ASSERT_EQ(listener->waitReadable(20000, *waker), NetSocket::Result::Ok);
    auto conn = listener->accept(nullptr);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(receivedFromDriver(*conn, kPollPacket, kEventLimit, false, *driver));

    // Garbage, a stream of 0xFF alone, and a flood of both: the driver goes on polling.
    std::vector<std::uint8_t> garbage(256 * 1024);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::vector<std::uint8_t> terminators(256 * 1024, 0xFF);
    for (int round = 0; round < 4; ++round) {
        ASSERT_GT(conn->send(garbage.data(), garbage.size(), 5000), 0);
        ASSERT_GT(conn->send(terminators.data(), terminators.size(), 5000), 0);
    }
    ASSERT_TRUE(receivedFromDriver(*conn, kPollPacket, 30s, false, *driver)) << dump(*driver);

    // A peer that takes the connection and never reads: the driver's window still works.
    const auto t0 = Clock::now();
    setSlot(1, 8, "1");
    EXPECT_EQ(slot(1, 8), "1");
    EXPECT_LT(Clock::now() - t0, kEventLimit);
    EXPECT_FALSE(driver->waitExit(0ms)) << driver->stderrText();
}

TEST_F(NetworkTest, HostileUdpPeerCannotStopTheSupervision) {
    int port = 0;
    auto camera = peerSocket(NetKind::Datagram, &port);
    ASSERT_TRUE(camera);
    startDevice("udp", port);
    auto waker = platform::NetWaker::create();
    ASSERT_EQ(camera->waitReadable(20000, *waker), NetSocket::Result::Ok);
    platform::NetAddress driverAddress;
    std::uint8_t buf[4096];
    ASSERT_GT(camera->receive(buf, sizeof buf, &driverAddress), 0);

    // Oversized datagrams, wrong length fields, a header alone, and a flood of replies.
    const std::vector<std::uint8_t> huge(60000, 0x90);
    const std::uint8_t wrongLength[] = {0x01, 0x11, 0x00, 0x40, 0, 0, 0, 1, 0x91, 0x50, 0x02, 0xFF};
    const std::uint8_t headerOnly[] = {0x01, 0x11, 0x00, 0x00, 0, 0, 0, 1};
    const std::uint8_t reply[] = {0x01, 0x11, 0x00, 0x04, 0, 0, 0, 1, 0x91, 0x50, 0x02, 0xFF};
    for (int i = 0; i < 20; ++i) {
        camera->sendTo(huge.data(), huge.size(), driverAddress);
        camera->sendTo(wrongLength, sizeof wrongLength, driverAddress);
        camera->sendTo(headerOnly, sizeof headerOnly, driverAddress);
    }
    for (int i = 0; i < 20000; ++i)
        camera->sendTo(reply, sizeof reply, driverAddress);
    ASSERT_TRUE(receivedFromDriver(*camera, kPollPacket, 30s, true, *driver)) << dump(*driver);

    // The window still works: a slot change goes out whole.
    setSlot(1, 8, "1");
    EXPECT_TRUE(receivedFromDriver(*camera, kZoomTele, kEventLimit, true, *driver))
        << dump(*driver);
    EXPECT_EQ(slot(1, 8), "1");
    EXPECT_FALSE(driver->waitExit(0ms)) << driver->stderrText();
}

}  // namespace
}  // namespace system_test
