// The camera simulator over a real pty: what it answers, how it resynchronises, its fault modes,
// hang-up and reconnect, and a clean end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "test_prefix.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using testing_support::ChildProcess;
using testing_support::TestPrefix;

std::int64_t msNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Reads until `n` bytes have come or `timeout` has passed.
Bytes readBytes(int fd, std::size_t n, std::chrono::milliseconds timeout) {
    Bytes out;
    const std::int64_t deadline = msNow() + timeout.count();
    while (out.size() < n) {
        std::int64_t left = deadline - msNow();
        if (left <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        std::uint8_t buf[64];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0)
            break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

struct SimRig {
    TestPrefix prefix;
    std::string slave;
    int fd = -1;
    std::unique_ptr<ChildProcess> sim;

    explicit SimRig(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {testing_support::binPath("visca-sim"), "3"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sim = std::make_unique<ChildProcess>(argv);
        slave = sim->readLine(10s).value_or("");
        fd = open(linkPath().c_str(), O_RDWR | O_NOCTTY);
    }
    ~SimRig() {
        if (fd >= 0)
            close(fd);
    }
    std::string linkPath() const { return prefix.path() + "/dosdevices/com3"; }
    void send(const Bytes& b) { ASSERT_EQ(write(fd, b.data(), b.size()), (ssize_t)b.size()); }
    Bytes exchange(const Bytes& b, std::size_t n, std::chrono::milliseconds timeout = 5s) {
        send(b);
        return readBytes(fd, n, timeout);
    }
    // Sends a command line and waits for the simulator's "ok".
    void command(const std::string& line) {
        sim->writeStdin(line + "\n");
        ASSERT_TRUE(sim->waitForLine("ok " + line, 5s)) << line;
    }
};

const Bytes kPoll = {0x81, 0x09, 0x04, 0x38, 0xFF};
const Bytes kAckDone = {0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF};

TEST(ViscaSim, LinksThePortAndAnswersLikeCameraOne) {
    SimRig rig;
    ASSERT_EQ(rig.slave.rfind("/dev/", 0), 0u);
    EXPECT_EQ(std::filesystem::read_symlink(rig.linkPath()).string(), rig.slave);
    ASSERT_GE(rig.fd, 0);

    // Zoom Stop with the driver's trailing 0x00, then the poll: both parsed, both answered.
    Bytes zoomStopAndPoll = {0x81, 0x01, 0x04, 0x07, 0x00, 0xFF, 0x00};
    zoomStopAndPoll.insert(zoomStopAndPoll.end(), kPoll.begin(), kPoll.end());
    const std::int64_t sent = msNow();
    Bytes reply = rig.exchange(zoomStopAndPoll, 10);
    const std::int64_t took = msNow() - sent;
    EXPECT_EQ(reply, (Bytes{0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF, 0x90, 0x50, 0x02, 0xFF}));
    EXPECT_GE(took, 25);  // acknowledgement ~20 ms, completion ~10 ms later
    auto rx1 = rig.sim->waitForLine("rx ", 5s);
    ASSERT_TRUE(rx1);
    EXPECT_NE(rx1->find(" 81 01 04 07 00 FF"), std::string::npos) << *rx1;
    EXPECT_TRUE(rig.sim->waitForLine("skip ", 5s));
    auto rx2 = rig.sim->waitForLine("rx ", 5s);
    ASSERT_TRUE(rx2);
    EXPECT_EQ(rx2->substr(rx2->size() - 15), " 81 09 04 38 FF");

    // Focus mode follows the commands; the inquiry answers with it.
    EXPECT_EQ(rig.exchange({0x81, 0x01, 0x04, 0x38, 0x03, 0xFF}, 6), kAckDone);
    EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0x90, 0x50, 0x03, 0xFF}));
    EXPECT_EQ(rig.exchange({0x81, 0x01, 0x04, 0x38, 0x02, 0xFF}, 6), kAckDone);
    EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0x90, 0x50, 0x02, 0xFF}));

    // Every command the driver sends is known.
    for (const Bytes& cmd :
         {Bytes{0x81, 0x01, 0x04, 0x07, 0x37, 0xFF}, Bytes{0x81, 0x01, 0x04, 0x08, 0x03, 0xFF},
          Bytes{0x81, 0x01, 0x06, 0x01, 0x12, 0x11, 0x02, 0x01, 0xFF},
          Bytes{0x81, 0x01, 0x06, 0x04, 0xFF}}) {
        EXPECT_EQ(rig.exchange(cmd, 6), kAckDone);
    }
}

TEST(ViscaSim, ErrorsAndGarbageDoNotBreakLaterPackets) {
    SimRig rig;
    const Bytes syntax = {0x90, 0x60, 0x02, 0xFF};
    EXPECT_EQ(rig.exchange({0x81, 0x01, 0x7E, 0x01, 0xFF}, 4), syntax);  // unknown command
    EXPECT_EQ(rig.exchange({0x81, 0x01, 0x06, 0x01, 0x00, 0x07, 0x03, 0x03, 0xFF}, 4),
              syntax);  // pan speed 0
    // Noise, a packet cut short by a new header, an overlong packet: then a clean poll.
    rig.send({0x00, 0x12, 0xFF, 0x7F, 0x81, 0x01, 0x04});
    Bytes longPacket(20, 0x01);
    longPacket[0] = 0x81;
    longPacket.push_back(0xFF);
    rig.send(longPacket);
    EXPECT_EQ(readBytes(rig.fd, 4, 5s), (Bytes{0x90, 0x60, 0x01, 0xFF}));
    EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0x90, 0x50, 0x02, 0xFF}));
    // Packets for another camera are not answered.
    EXPECT_TRUE(rig.exchange({0x82, 0x09, 0x04, 0x38, 0xFF}, 1, 300ms).empty());
}

TEST(ViscaSim, PositionsMoveWhileADriveRuns) {
    SimRig rig;
    auto zoomPos = [&] {
        Bytes r = rig.exchange({0x81, 0x09, 0x04, 0x47, 0xFF}, 7);
        if (r.size() != 7)
            return -1;
        return (r[2] << 12) | (r[3] << 8) | (r[4] << 4) | r[5];
    };
    EXPECT_EQ(zoomPos(), 0);
    rig.exchange({0x81, 0x01, 0x04, 0x07, 0x27, 0xFF}, 6);  // tele, speed 7
    std::this_thread::sleep_for(300ms);
    rig.exchange({0x81, 0x01, 0x04, 0x07, 0x00, 0xFF, 0x00}, 6);
    int stopped = zoomPos();
    EXPECT_GT(stopped, 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(zoomPos(), stopped);

    rig.exchange({0x81, 0x01, 0x06, 0x01, 0x10, 0x10, 0x02, 0x01, 0xFF}, 6);  // up-right
    std::this_thread::sleep_for(200ms);
    rig.sim->writeStdin("status\n");
    auto status = rig.sim->waitForLine("status ", 5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->find("pan=0 "), std::string::npos) << *status;
    EXPECT_EQ(status->find("tilt=0 "), std::string::npos) << *status;
}

TEST(ViscaSim, FaultModesByOptionAndCommand) {
    {
        SimRig rig({"--silent"});
        EXPECT_TRUE(rig.exchange(kPoll, 1, 300ms).empty());
        EXPECT_TRUE(rig.sim->waitForLine("rx ", 5s));  // still received and shown
        rig.command("silent off");
        EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0x90, 0x50, 0x02, 0xFF}));
        rig.command("wrong A0");
        EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0xA0, 0x50, 0x02, 0xFF}));
        rig.command("split 60 1");
        EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0xA0, 0x50, 0x02, 0xFF}));
        rig.command("normal");
        rig.command("slow 300");
        const std::int64_t sent = msNow();
        EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0x90, 0x50, 0x02, 0xFF}));
        EXPECT_GE(msNow() - sent, 300);
    }
    {
        SimRig rig({"--split=50,2"});
        rig.send(kPoll);
        for (int i = 0; i < 2; ++i) {
            auto tx = rig.sim->waitForLine("tx ", 5s);
            ASSERT_TRUE(tx);
            EXPECT_EQ(tx->substr(tx->size() - 6), i == 0 ? " 90 50" : " 02 FF");
        }
    }
}

TEST(ViscaSim, HangupAndReconnectAndCleanEnd) {
    SimRig rig;
    rig.command("hangup");
    // The cable is pulled: the driver's side sees end of line or an error, never a reply.
    Bytes after = readBytes(rig.fd, 1, 500ms);
    EXPECT_TRUE(after.empty());
    struct pollfd p = {rig.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
    close(rig.fd);

    rig.sim->writeStdin("reconnect\n");
    auto pty = rig.sim->waitForLine("pty ", 5s);
    ASSERT_TRUE(pty);
    std::string path = pty->substr(4);
    EXPECT_EQ(std::filesystem::read_symlink(rig.linkPath()).string(), path);
    rig.fd = open(rig.linkPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(rig.fd, 0);
    EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0x90, 0x50, 0x02, 0xFF}));

    // A driver that closes and reopens finds the camera still there.
    close(rig.fd);
    rig.fd = open(rig.linkPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(rig.fd, 0);
    EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0x90, 0x50, 0x02, 0xFF}));

    rig.sim->signal(SIGTERM);
    EXPECT_EQ(rig.sim->waitExit(5s), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(rig.linkPath()));
}

TEST(ViscaSim, ExclusiveModeLeftByAHolderThatDiedIsCleared) {
    SimRig rig;
    ASSERT_GE(rig.fd, 0);
    auto exclusive = [&] {
        int on = -1;
        return ioctl(rig.fd, TIOCGEXCL, &on) == 0 ? on : -1;
    };
    // A driver holds the port as the serial layer does: lock, then exclusive mode.
    int holder = open(rig.linkPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(exclusive(), 1) << "a live holder keeps its exclusive mode";

    // It dies without undoing exclusive mode; the simulator's own end keeps the line alive, so
    // without help nobody but root could open the port again.
    close(holder);
    const std::int64_t deadline = msNow() + 3000;
    while (exclusive() == 1 && msNow() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(exclusive(), 0);
    EXPECT_EQ(rig.exchange(kPoll, 4), (Bytes{0x90, 0x50, 0x02, 0xFF}));
}

TEST(ViscaSim, RefusesBadArguments) {
    TestPrefix prefix;
    const std::string sim = testing_support::binPath("visca-sim");
    EXPECT_EQ(testing_support::runProgram({sim}).exitCode, 2);
    EXPECT_EQ(testing_support::runProgram({sim, "0"}).exitCode, 2);
    EXPECT_EQ(testing_support::runProgram({sim, "3x"}).exitCode, 2);
    EXPECT_EQ(testing_support::runProgram({sim, "3", "--slow=-1"}).exitCode, 2);
    auto help = testing_support::runProgram({sim, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: visca-sim N"), std::string::npos);
}

}  // namespace
