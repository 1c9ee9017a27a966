#include <sys/resource.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "child_process.h"
#include "comms/port_table.h"
#include "comms/serial_port.h"
#include "platform/clock.h"
#include "platform/linux/serial_termios2.h"
#include "platform/window.h"
#include "port_fixture.h"

using namespace comms;
using namespace comms_test;
using namespace std::chrono_literals;

namespace {

// An owner that asks for port n, as the serial port object does.
struct Owner : SerialPort {
    explicit Owner(int n) { portNumber = n; }
    ~Owner() { portIndex = -1; }  // the tests close through the table themselves
};

std::string bytes(std::size_t n, char first = 'a') {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(first + i % 26);
    return s;
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

using PortTableTest = PortTest;

TEST_F(PortTableTest, OpenResultsAndTableLifetime) {
    Owner com0(0), com257(257);
    EXPECT_EQ(comm_open(&com0, 9600, 8, 0, 0), -1);
    EXPECT_EQ(comm_open(&com257, 9600, 8, 0, 0), -1);
    EXPECT_EQ(PortTable.load(), nullptr);

    prefix.linkComPort(5, prefix.path() + "/no-such-device");
    Owner com5(5);
    EXPECT_EQ(comm_open(&com5, 9600, 8, 0, 0), -1);
    EXPECT_EQ(PortTable.load(), nullptr);

    LINK_OR_SKIP(p3, 3);
    LINK_OR_SKIP(p4, 4);
    Owner com3(3), com4(4);
    ASSERT_EQ(comm_open(&com3, 9600, 8, 0, 0), 2);
    ASSERT_NE(PortTable.load(), nullptr);
    EXPECT_EQ(PortTable.load()[2].portNumber, 3);
    EXPECT_EQ(PortTable.load()[2].owner.load(), &com3);
    EXPECT_EQ(portReadSize[2].load(), 16);
    EXPECT_EQ(portRunning[2].load(), 1);
    ASSERT_EQ(comm_open(&com4, 9600, 8, 0, 0), 3);

    // A failed open beside open ports leaves the table alone.
    EXPECT_EQ(comm_open(&com5, 9600, 8, 0, 0), -1);
    EXPECT_FALSE(PortTable.load()[4].hCom);

    comm_close(-1);   // records in use: nothing happens
    comm_close(300);  // out of range: nothing happens
    ASSERT_NE(PortTable.load(), nullptr);
    comm_close(2);
    ASSERT_NE(PortTable.load(), nullptr);
    EXPECT_EQ(PortTable.load()[2].portNumber, 0);
    EXPECT_EQ(portRunning[2].load(), 0);
    comm_close(3);
    EXPECT_EQ(PortTable.load(), nullptr);
}

TEST_F(PortTableTest, BusyDeviceGivesMinusTwo) {
    LINK_OR_SKIP(p, 2);
    Owner first(2), second(2);
    ASSERT_EQ(comm_open(&first, 9600, 8, 0, 0), 1);
    EXPECT_EQ(comm_open(&second, 9600, 8, 0, 0), -2);
    // The same device under another port number is busy as well (and keeps nothing).
    prefix.linkComPort(7, p->slavePath);
    Owner alias(7);
    EXPECT_EQ(comm_open(&alias, 9600, 8, 0, 0), -2);
    EXPECT_FALSE(PortTable.load()[6].hCom);
    comm_close(1);
    EXPECT_EQ(PortTable.load(), nullptr);
}

TEST_F(PortTableTest, DeviceHeldByAnotherProcessGivesMinusTwo) {
    LINK_OR_SKIP(p, 4);
    testing_support::ChildProcess holder({testing_support::binPath("comms-holder"), "port", "4"});
    auto line = holder.readLine(10s);
    ASSERT_TRUE(line);
    ASSERT_EQ(*line, "1");
    Owner owner(4);
    EXPECT_EQ(comm_open(&owner, 9600, 8, 0, 0), -2);
    EXPECT_EQ(PortTable.load(), nullptr);
    holder.closeStdin();
    ASSERT_TRUE(holder.waitExit(10s));
    // Once the other process lets go, the port opens here.
    EXPECT_EQ(comm_open(&owner, 9600, 8, 0, 0), 3);
    comm_close(3);
}

TEST_F(PortTableTest, LineSettingsReachTheTtyAndAreRestoredAtClose) {
    LINK_OR_SKIP(p, 1);
    termios before{};
    ASSERT_EQ(tcgetattr(p->slave, &before), 0);
    Owner owner(1);

    // A pty keeps every setting but the character size and the parity enable (it always
    // reports CS8 without parity), so those two are not checked here.
    struct Case {
        int baud, dataBits, stopBits, parity;
        tcflag_t cflags;
    } cases[] = {
        {9600, 8, 0, 0, 0},
        {19200, 7, 2, 2, CSTOPB},
        {250000, 6, 0, 1, PARODD},  // no B-constant for 250000
        {1200, 8, 0, 3, CMSPAR | PARODD},
        {4800, 8, 0, 4, CMSPAR},
        {300, 5, 1, 0, CSTOPB},  // one and a half stop bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        ASSERT_EQ(comm_open(&owner, c.baud, c.dataBits, c.stopBits, c.parity), 0);
        termios t{};
        ASSERT_EQ(tcgetattr(p->slave, &t), 0);
        EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD | CMSPAR), c.cflags);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        unsigned speed = 0;
        ASSERT_EQ(kelp_tty_get_speed(p->slave, &speed), 0);
        EXPECT_EQ(speed, static_cast<unsigned>(c.baud));
        comm_close(0);
        ASSERT_EQ(tcgetattr(p->slave, &t), 0);
        EXPECT_EQ(t.c_cflag, before.c_cflag);
        EXPECT_EQ(t.c_lflag, before.c_lflag);
        EXPECT_EQ(t.c_iflag, before.c_iflag);
    }
}

TEST_F(PortTableTest, SettingsTheLineCannotTakeFailAndReleaseEverything) {
    LINK_OR_SKIP(p, 1);
    Owner owner(1);
    struct Case {
        int baud, dataBits, stopBits, parity;
    } bad[] = {
        {0, 8, 0, 0},    {-9600, 8, 0, 0}, {9600, 9, 0, 0},
        {9600, 4, 0, 0}, {9600, 8, 1, 0},  // one and a half stop bits need 5 data bits
        {9600, 5, 2, 0},                   // two stop bits cannot go with 5 data bits
        {9600, 8, 3, 0}, {9600, 8, 0, 5},
    };
    for (const Case& c : bad) {
        SCOPED_TRACE(testing::Message()
                     << c.baud << " " << c.dataBits << " " << c.stopBits << " " << c.parity);
        EXPECT_EQ(comm_open(&owner, c.baud, c.dataBits, c.stopBits, c.parity), -1);
        EXPECT_EQ(PortTable.load(), nullptr);
    }
    // Nothing of the failed opens is left holding the device.
    ASSERT_EQ(comm_open(&owner, 9600, 8, 0, 0), 0);
    comm_close(0);
}

TEST_F(PortTableTest, TimeoutsAtOpenAndForAReadSize) {
    LINK_OR_SKIP(p1, 1);
    LINK_OR_SKIP(p2, 2);
    Owner slow(1), fast(2);
    ASSERT_EQ(comm_open(&slow, 9600, 8, 0, 0), 0);
    ASSERT_EQ(comm_open(&fast, 115200, 8, 0, 0), 1);
    auto expect = [](int port, std::uint32_t interval, std::uint32_t mult) {
        COMMTIMEOUTS t = comm_device_timeouts(port);
        EXPECT_EQ(t.ReadIntervalTimeout, interval);
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, mult);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
        EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
        EXPECT_EQ(PortTable.load()[port].timeouts.ReadIntervalTimeout, interval);
    };
    expect(0, 10, 16);
    expect(1, 0, 16);
    EXPECT_EQ(comm_notify_callback(0, countingCallback, 32), 1);
    EXPECT_EQ(comm_notify_callback(1, countingCallback, 32), 1);
    expect(0, 10, 32);
    expect(1, 1, 32);
    EXPECT_EQ(portReadSize[0].load(), 32);

    // A negative size removes the targets and nothing else.
    EXPECT_EQ(comm_notify_window(0, 0x1234, -1), 1);
    EXPECT_EQ(PortTable.load()[0].notifyWnd.load(), 0u);
    EXPECT_EQ(PortTable.load()[0].notifyCallback.load(), nullptr);
    expect(0, 10, 32);
    EXPECT_EQ(portReadSize[0].load(), 32);

    EXPECT_EQ(comm_notify_window(256, 0x1234, 32), 0);
    EXPECT_EQ(comm_notify_callback(-1, countingCallback, 32), 0);

    // Targets set through a closed port's record: a negative size removes them, and an open of
    // that port starts without them.
    EXPECT_EQ(comm_notify_window(2, 0x1234, -1), 1);
    EXPECT_EQ(PortTable.load()[2].notifyWnd.load(), 0u);
    EXPECT_EQ(comm_notify_window(2, 0x1234, 32), 1);
    LINK_OR_SKIP(p3, 3);
    Owner third(3);
    ASSERT_EQ(comm_open(&third, 9600, 8, 0, 0), 2);
    EXPECT_EQ(PortTable.load()[2].notifyWnd.load(), 0u);
    EXPECT_EQ(PortTable.load()[2].notifyCallback.load(), nullptr);
}

TEST_F(PortTableTest, ArrivalIsReadInReadSizeChunksWithCallback) {
    LINK_OR_SKIP(p, 1);
    Owner owner(1);
    ASSERT_EQ(comm_open(&owner, 9600, 8, 0, 0), 0);
    ASSERT_EQ(comm_notify_callback(0, countingCallback, 32), 1);
    const std::string sent = bytes(40);
    ASSERT_TRUE(p->send(sent));
    ASSERT_TRUE(waitUntil([&] { return log.calls >= 2; }));
    EXPECT_EQ(log.calls.load(), 2);  // 32, then 8 after the interval time-out
    EXPECT_EQ(log.lastOwner.load(), &owner);
    EXPECT_TRUE(log.onOtherThread.load());

    COMSTAT st{};
    std::uint32_t errors = 99;
    comm_status(0, &st, &errors);
    EXPECT_EQ(st.cbInQue, 40u);
    EXPECT_EQ(errors, 0u);  // a pty keeps no error counters
    EXPECT_EQ(PortTable.load()[0].pendingBytes.load(), 40);

    char out[64] = {};
    ASSERT_EQ(comm_read(0, out, 32), 32);
    EXPECT_EQ(std::string(out, 32), sent.substr(0, 32));
    ASSERT_EQ(comm_read(0, out, 32), 8);
    EXPECT_EQ(std::string(out, 8), sent.substr(32));
    EXPECT_EQ(PortTable.load()[0].pendingBytes.load(), 0);
    EXPECT_EQ(comm_read(0, out, 32), 0);
}

TEST_F(PortTableTest, WithoutTargetChunksAreStoredAndTheRestDiscarded) {
    LINK_OR_SKIP(p, 1);
    Owner owner(1);
    ASSERT_EQ(comm_open(&owner, 9600, 8, 0, 0), 0);  // read size 16, no target
    ASSERT_TRUE(p->send(bytes(200)));
    ASSERT_TRUE(waitUntil([&] { return PortTable.load()[0].pendingBytes.load() >= 16; }));
    std::this_thread::sleep_for(100ms);
    int pending = PortTable.load()[0].pendingBytes.load();
    EXPECT_EQ(rxbuf_count(PortTable.load()[0].hRxBuf), pending);
    EXPECT_LT(pending, 200);  // the device's queue was discarded after the first chunk
}

TEST_F(PortTableTest, WholeRingBufferArrivesIntactAndOverrunKeepsTheNewest) {
    LINK_OR_SKIP(p, 1);
    Owner owner(1);
    ASSERT_EQ(comm_open(&owner, 115200, 8, 0, 0), 0);
    ASSERT_EQ(comm_notify_callback(0, countingCallback, 256), 1);
    const std::string first = bytes(16383);
    std::thread writer([&] { p->send(first); });
    ASSERT_TRUE(waitUntil([&] { return PortTable.load()[0].pendingBytes.load() == 16383; }));
    writer.join();
    COMSTAT st{};
    std::uint32_t errors = 0;
    comm_status(0, &st, &errors);
    EXPECT_EQ(st.cbInQue, 16383u);
    // Two more bytes: 16385 unread wrap to one, the newest. The bytes overwritten are gone, so
    // they no longer count as pending.
    ASSERT_TRUE(p->send("XY"));
    ASSERT_TRUE(waitUntil([&] { return PortTable.load()[0].pendingBytes.load() == 1; }));
    comm_status(0, &st, &errors);
    EXPECT_EQ(st.cbInQue, 1u);
    char out[4] = {};
    ASSERT_EQ(comm_read(0, out, 4), 1);
    EXPECT_EQ(out[0], 'Y');
}

TEST_F(PortTableTest, ReadAndWriteUseTheLowSixteenBits) {
    LINK_OR_SKIP(p, 1);
    Owner owner(1);
    ASSERT_EQ(comm_open(&owner, 115200, 8, 0, 0), 0);
    std::string big = bytes(70000);
    std::string got;
    std::thread reader([&] { got = p->receive(4464, 10s); });
    EXPECT_EQ(comm_write(0, big.data(), 70000), 4464);
    reader.join();
    EXPECT_EQ(got, big.substr(0, 4464));

    ASSERT_EQ(comm_notify_callback(0, countingCallback, 32), 1);
    ASSERT_TRUE(p->send("abc"));
    ASSERT_TRUE(waitUntil([&] { return log.calls >= 1; }));
    PortTable.load()[0].notified = 1;
    char out[8];
    EXPECT_EQ(comm_read(0, out, 65536), 0);  // low 16 bits are 0
    EXPECT_EQ(PortTable.load()[0].notified.load(), 0);
    EXPECT_EQ(comm_read(0, out, 65536 + 2), 2);

    EXPECT_EQ(comm_write(300, "x", 1), 0);
    EXPECT_EQ(comm_read(-1, out, 1), 0);
    COMSTAT st{};
    st.cbInQue = 77;
    std::uint32_t errors = 77;
    comm_status(256, &st, &errors);
    EXPECT_EQ(st.cbInQue, 77u);
    EXPECT_EQ(errors, 77u);
}

TEST_F(PortTableTest, WriteThatTimesOutReportsWhatWentOut) {
    LINK_OR_SKIP(p, 1);
    Owner owner(1);
    ASSERT_EQ(comm_open(&owner, 115200, 8, 0, 0), 0);
    // Nobody reads the far end: the line fills up, and the write time-out (1000 ms) ends the
    // write that no longer fits.
    const std::string block = bytes(60000);
    int result = 60000;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20 && result == 60000; ++i)
        result = comm_write(0, block.data(), 60000);
    EXPECT_TRUE(result == -1 || (result >= 0 && result < 60000)) << result;
    EXPECT_NE(result, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 900ms);
}

TEST_F(PortTableTest, IdleAndFailingReadersUseNoCpu) {
    LINK_OR_SKIP(p1, 1);
    LINK_OR_SKIP(p2, 2);
    Owner idle(1), gone(2);
    ASSERT_EQ(comm_open(&idle, 9600, 8, 0, 0), 0);
    ASSERT_EQ(comm_notify_callback(0, countingCallback, 0), 1);  // read size 0: nothing to ask
    ASSERT_EQ(comm_open(&gone, 9600, 8, 0, 0), 1);
    ASSERT_EQ(comm_notify_callback(1, countingCallback, 32), 1);
    p2->closeMaster();  // the far end hangs up: every read fails at once
    double before = cpuSeconds();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(cpuSeconds() - before, 0.1);

    // The idle reader wakes for a new size; the hung-up one closes at once.
    ASSERT_EQ(comm_notify_callback(0, countingCallback, 1000), 1);  // cut to the 256-byte buffer
    ASSERT_TRUE(p1->send(bytes(300)));
    ASSERT_TRUE(waitUntil([&] { return PortTable.load()[0].pendingBytes.load() == 300; }));
    auto t0 = std::chrono::steady_clock::now();
    comm_close(1);
    comm_close(0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(PortTable.load(), nullptr);
}

// Thread ids of this process.
std::set<std::string> taskIds() {
    std::set<std::string> ids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        ids.insert(e.path().filename().string());
    return ids;
}

// Context switches of one thread so far: each time it went to sleep or was put off the CPU.
long contextSwitches(const std::string& tid) {
    std::ifstream status("/proc/self/task/" + tid + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos)
            total += std::atol(line.c_str() + line.find(':') + 1);
    return total;
}

TEST_F(PortTableTest, IdleReaderSleepsUntilBytesArrive) {
    LINK_OR_SKIP(p, 1);
    Owner owner(1);
    const std::set<std::string> before = taskIds();
    ASSERT_EQ(comm_open(&owner, 9600, 8, 0, 0), 0);
    std::vector<std::string> readers;
    for (const auto& id : taskIds())
        if (!before.count(id))
            readers.push_back(id);
    ASSERT_EQ(readers.size(), 1u);
    // Read size 2: a read that had begun on the idle line would end every 4 ms.
    ASSERT_EQ(comm_notify_callback(0, countingCallback, 2), 1);
    std::this_thread::sleep_for(50ms);
    const long switches = contextSwitches(readers[0]);
    std::this_thread::sleep_for(400ms);
    EXPECT_LE(contextSwitches(readers[0]) - switches, 3);

    // Bytes wake it at once.
    ASSERT_TRUE(p->send("ab"));
    ASSERT_TRUE(waitUntil([&] { return log.calls.load() >= 1; }));
    EXPECT_EQ(PortTable.load()[0].pendingBytes.load(), 2);
    EXPECT_EQ(log.calls.load(), 1);
}

TEST_F(PortTableTest, CloseWhileBytesStreamIn) {
    LINK_OR_SKIP(p, 1);
    // Raw on both sides, so the line settings that close puts back pass bytes through as well;
    // a non-blocking far end, so the feeder never blocks on a full line.
    termios raw{};
    ASSERT_EQ(tcgetattr(p->slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(p->slave, TCSANOW, &raw), 0);
    fcntl(p->master, F_SETFL, fcntl(p->master, F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const std::string chunk = bytes(64);
        while (!stop) {
            if (::write(p->master, chunk.data(), chunk.size()) < 0)
                std::this_thread::sleep_for(1ms);
        }
    });
    Owner owner(1);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(comm_open(&owner, 115200, 8, 0, 0), 0) << "round " << i;
        comm_notify_callback(0, countingCallback, 1 + i % 64);
        if (i % 3 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(300 * (i % 7)));
        comm_close(0);
        ASSERT_EQ(PortTable.load(), nullptr);
    }
    stop = true;
    feeder.join();
    EXPECT_GT(log.calls.load(), 0);
}

// Window targets: WM_COMMNOTIFY through the event loop, throttled.
class NotifyWindowTest : public PortTest {
  protected:
    platform::HWND hwnd = 0;
    int posts = 0;
    platform::LPARAM lastParam = 0;
    Owner owner{1};
    PtyPair* p = nullptr;

    void SetUp() override {
        PortTest::SetUp();
        p = link(1);
        if (!p)
            GTEST_SKIP() << "pseudo-terminals unavailable";
        hwnd = platform::createWindow(
            "CommsTestWindow",
            [this](platform::HWND h, platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
                if (msg == platform::WM_COMMNOTIFY) {
                    ++posts;
                    lastParam = l;
                }
                return platform::defWindowProc(h, msg, w, l);
            });
        ASSERT_NE(hwnd, 0u);
        ASSERT_EQ(comm_open(&owner, 9600, 8, 0, 0), 0);
        ASSERT_EQ(comm_notify_window(0, hwnd, 32), 1);
    }
    void TearDown() override {
        commTickCount = platform::tickCount;
        PortTest::TearDown();
        pump(20ms);
        if (hwnd)
            platform::destroyWindow(hwnd);
    }
    // Sends a chunk and waits until the reader has passed it on.
    void chunk(const std::string& s) {
        int before = PortTable.load()[0].pendingBytes.load();
        ASSERT_TRUE(p->send(s));
        ASSERT_TRUE(waitUntil([&] {
            return PortTable.load()[0].pendingBytes.load() >= before + static_cast<int>(s.size());
        }));
    }
};

std::atomic<std::uint32_t> fakeTick{0};
std::uint32_t fakeTickCount() {
    return fakeTick.load();
}

TEST_F(NotifyWindowTest, ChunksWithinTheIntervalPostOnce) {
    // The throttle's clock is set by hand, so a loaded machine cannot stretch the gaps.
    commTickCount = fakeTickCount;
    fakeTick = 5000;
    chunk("first");
    fakeTick = 5050;
    chunk("second");
    pump(200ms);
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(lastParam, reinterpret_cast<platform::LPARAM>(&owner));

    // 100 ms after the last post the next chunk posts again.
    fakeTick = 5100;
    chunk("third");
    pump(50ms);
    EXPECT_EQ(posts, 2);
}

TEST_F(NotifyWindowTest, ReadReArmsTheNotification) {
    chunk("first");
    pump(30ms);
    ASSERT_EQ(posts, 1);
    char out[32];
    EXPECT_EQ(comm_read(0, out, sizeof out), 5);
    chunk("again");
    pump(30ms);
    EXPECT_EQ(posts, 2);
}

TEST_F(NotifyWindowTest, MoreThan8192PendingPostsEveryChunk) {
    ASSERT_EQ(comm_notify_window(0, hwnd, 256), 1);
    std::string burst = bytes(8500);
    std::thread writer([&] { p->send(burst); });
    ASSERT_TRUE(waitUntil([&] { return PortTable.load()[0].pendingBytes.load() == 8500; }));
    writer.join();
    pump(50ms);
    int afterBurst = posts;
    EXPECT_GE(afterBurst, 2);  // the chunks beyond 8192 pending posted themselves
    for (int i = 0; i < 3; ++i) {
        chunk("more");
        std::this_thread::sleep_for(15ms);
    }
    pump(50ms);
    EXPECT_EQ(posts, afterBurst + 3);
}

TEST_F(NotifyWindowTest, BytesLostToAnOverrunDoNotKeepEveryChunkPosting) {
    // The reader asks for nothing; the test hands chunks to the receive path itself.
    ASSERT_EQ(comm_notify_window(0, hwnd, 0), 1);
    commTickCount = fakeTickCount;
    fakeTick = 1000;
    const std::string flood = bytes(RXBUF_SIZE + 100);
    comm_receive(0, reinterpret_cast<const std::uint8_t*>(flood.data()),
                 static_cast<std::uint32_t>(flood.size()));
    EXPECT_EQ(PortTable.load()[0].pendingBytes.load(), 100);
    char out[256];
    EXPECT_EQ(comm_read(0, out, sizeof out), 100);
    pump(20ms);
    const int afterFlood = posts;

    // The owner has read all there is: chunks within 100 ms of a post post once, not each.
    for (int i = 0; i < 5; ++i)
        comm_receive(0, reinterpret_cast<const std::uint8_t*>("junk"), 4);
    pump(20ms);
    EXPECT_EQ(posts, afterFlood + 1);
    EXPECT_EQ(PortTable.load()[0].pendingBytes.load(), 20);
}

TEST_F(NotifyWindowTest, FloodThatLapsTheRingQueuesAtMostARingOfNotifications) {
    // Ten laps of the ring in 32-byte chunks within one tick and without a read: beyond 8192
    // pending every chunk posts until the queued posts would read all that the ring holds.
    ASSERT_EQ(comm_notify_window(0, hwnd, 0), 1);
    portReadSize[0] = 32;  // the reader is not woken: the test hands the chunks over itself
    commTickCount = fakeTickCount;
    fakeTick = 1000;
    const std::string junk = bytes(32);
    for (std::uint32_t i = 0; i < 10 * RXBUF_SIZE / 32; ++i)
        comm_receive(0, reinterpret_cast<const std::uint8_t*>(junk.data()), 32);
    pump(100ms);
    EXPECT_GT(posts, 200);
    EXPECT_LE(posts, static_cast<int>(RXBUF_SIZE / 32));

    // The owner reads once per notification; then the next chunk posts at once again.
    char out[32];
    for (int i = 0; i < posts; ++i)
        comm_read(0, out, sizeof out);
    const int before = posts;
    comm_receive(0, reinterpret_cast<const std::uint8_t*>(junk.data()), 32);
    pump(20ms);
    EXPECT_EQ(posts, before + 1);
}

TEST_F(NotifyWindowTest, ThrottleCountsTimeAcrossTheTickWrap) {
    // The reader asks for nothing; the test hands chunks to the receive path itself, at ticks of
    // its choosing.
    ASSERT_EQ(comm_notify_window(0, hwnd, 0), 1);
    commTickCount = fakeTickCount;
    auto chunkAt = [&](std::uint32_t tick) {
        fakeTick = tick;
        comm_receive(0, reinterpret_cast<const std::uint8_t*>("ab"), 2);
        pump(20ms);
        return posts;
    };
    EXPECT_EQ(chunkAt(0xFFFFFFC0u), 1);
    EXPECT_EQ(chunkAt(0xFFFFFFF0u), 1);  // 48 ms later: held back
    EXPECT_EQ(chunkAt(0x00000088u), 2);  // 200 ms after the post, past the wrap
    EXPECT_EQ(chunkAt(0x000000A0u), 2);  // 24 ms later: held back

    // A read re-arms; a post just after the wrap holds the next chunk back for 100 ms as well.
    char out[64];
    EXPECT_EQ(comm_read(0, out, sizeof out), 8);
    EXPECT_EQ(chunkAt(0x00000010u), 3);
    EXPECT_EQ(chunkAt(0x00000040u), 3);
    EXPECT_EQ(chunkAt(0x00000074u), 4);

    // The pending count wraps as a 32-bit value instead of overflowing.
    PortTable.load()[0].pendingBytes = 0x7FFFFFFF;
    comm_receive(0, reinterpret_cast<const std::uint8_t*>("ab"), 2);
    EXPECT_EQ(PortTable.load()[0].pendingBytes.load(), -0x7FFFFFFF);
}

// A [Ports] entry makes the port a network line; a bad entry fails the open.
TEST(NetworkPortTest, AnEntryOpensANetworkLineAndABadOneFailsLikeAMissingDevice) {
    testing_support::TestPrefix prefix;
    testing_support::writeFile(prefix.driveC() + "/kelp_config.ini",
                               "[Ports]\r\nCOM3=udp-raw:127.0.0.1:9\r\nCOM4=tcp:127.0.0.1:0\r\n"
                               "COM5=serial:x:1\r\n");
    SerialPort port;
    ASSERT_EQ(port.open(3), 1);
    EXPECT_EQ(port.write("\x81\x09\x04\x38\xFF", 5), 5);
    // The table's time-outs reach the network line as they would a serial one.
    EXPECT_EQ(comm_device_timeouts(2).WriteTotalTimeoutConstant, 1000u);
    SerialPort second;
    EXPECT_EQ(second.open(3), -2);
    port.close();

    SerialPort bad;
    EXPECT_EQ(bad.open(4), -1);
    EXPECT_EQ(bad.open(5), -1);
}

}  // namespace
