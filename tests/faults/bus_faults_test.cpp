// Other processes on the message bus that misbehave: garbage on the driver's socket, system
// messages and pointers sent from outside, more connections than descriptors, and a change
// whose sender gave up while the driver was stopped.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <random>

#include "fault_rig.h"

namespace fault_test {
namespace {

using testing_support::binPath;
using testing_support::runProgram;

std::vector<std::uint8_t> header(std::uint8_t type, std::uint32_t length) {
    std::vector<std::uint8_t> h{'K', 'L', 'B', '1', type, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        h.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    return h;
}

TEST_F(FaultTest, GarbageOnTheBusSocketIsDroppedAndTheDriverCarriesOn) {
    const std::string socketPath = busSocketPath(dev.driver->pid());
    std::mt19937 rng(1234);
    std::vector<std::vector<std::uint8_t>> attacks{
        {'G', 'E', 'T', ' ', '/', '\n'},
        header(2, 0xFFFFFFFF),  // a send that claims a 4 GiB body, before any hello
        header(1, 0xFFFFFFF0),  // a hello that claims a huge body
        header(9, 4),           // an unknown frame type
    };
    for (int i = 0; i < 40; ++i) {
        std::vector<std::uint8_t> noise(1 + rng() % 300);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(rng());
        if (i % 2) {  // half of them look like a frame at first sight
            const auto h = header(static_cast<std::uint8_t>(rng() % 5), rng() % 64);
            noise.insert(noise.begin(), h.begin(), h.end());
        }
        attacks.push_back(std::move(noise));
    }
    for (const auto& bytes : attacks) {
        const int fd = connectRaw(socketPath);
        ASSERT_GE(fd, 0) << socketPath;
        sendRaw(fd, bytes);
        // A connection that said nothing sensible is closed by the driver, or simply left;
        // either way the driver must go on.
        closedByPeer(fd, 50ms);
        close(fd);
    }
    // A peer that dies in the middle of a frame.
    const int half = connectRaw(socketPath);
    auto partial = header(2, 40);
    partial.resize(7);
    sendRaw(half, partial);
    close(half);

    EXPECT_TRUE(running(dev.driver->pid()));
    expectControlWorks();
    stopDriver(*dev.driver, SIGTERM);
}

// Messages a window only gets from its own creation, destruction, timers and port, sent by
// another process with numbers that would be pointers here.
TEST_F(FaultTest, SystemMessagesFromAnotherProcessAreIgnored) {
    HostilePeer peer;
    const auto main = peer.find(kMainClass);
    const auto client = peer.find(kClientClass);
    // One main window and one client window: the driver registers each once.
    ASSERT_EQ(main.size(), 1u);
    ASSERT_EQ(client.size(), 1u);
    // Start-up is over once the first reply has been read.
    ASSERT_TRUE(waitFrom(*dev.driver, 0, "Read ")) << dump(*dev.driver);
    std::vector<unsigned> windows = main;
    windows.insert(windows.end(), client.begin(), client.end());
    const std::size_t drv = mark(*dev.driver);
    const std::size_t id = mark(*dev.infodriver);

    const std::uint64_t pointer = 0x4141414141;
    for (unsigned hwnd : windows)
        for (unsigned msg :
             {0x0001u /* WM_CREATE */, 0x0081u /* WM_NCCREATE */, 0x0024u /* WM_GETMINMAXINFO */,
              0x0113u /* WM_TIMER */, 0x0044u /* WM_COMMNOTIFY */})
            for (std::uint64_t lParam : {pointer, std::uint64_t{0}})
                peer.send(hwnd, msg, 0, lParam);
    for (unsigned hwnd : windows)
        peer.send(hwnd, 0x0002 /* WM_DESTROY */, 0, 0);

    ASSERT_TRUE(running(dev.driver->pid())) << dev.driver->stderrText();
    // No second start-up, no farewell, still attached to its infodriver.
    readFor(*dev.driver, 500ms);
    EXPECT_EQ(countFrom(*dev.driver, drv, "Opening serial port"), 0u) << dump(*dev.driver, drv);
    EXPECT_EQ(countFrom(*dev.driver, drv, "Connected OK"), 0u) << dump(*dev.driver, drv);
    EXPECT_EQ(countFrom(*dev.infodriver, id, "closing"), 0u) << dump(*dev.infodriver, id);
    EXPECT_EQ(peer.find(kMainClass), main);
    EXPECT_EQ(peer.find(kClientClass), client);
    expectControlWorks();
    stopDriver(*dev.driver, SIGTERM);
    EXPECT_TRUE(waitFrom(*dev.infodriver, id, "closing 1"));
}

// More idle connections than the usual soft limit of open files.
TEST_F(FaultTest, ThousandsOfIdleConnectionsCannotEndTheDriver) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 4096);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    ASSERT_GE(lim.rlim_cur, 1200u) << "this test needs 1200 descriptors";

    const std::string socketPath = busSocketPath(dev.driver->pid());
    std::vector<int> idle;
    for (int i = 0; i < 1100; ++i)
        if (const int fd = connectRaw(socketPath); fd >= 0)
            idle.push_back(fd);
    readFor(*dev.driver, 2s);
    EXPECT_TRUE(running(dev.driver->pid())) << dev.driver->stderrText();
    // The driver still answers its peers while the connections stay open.
    expectControlWorks();
    for (int fd : idle)
        close(fd);
    expectControlWorks();
    stopDriver(*dev.driver, SIGTERM);
}

// A change whose sender has already given up must not move the camera later.
TEST_F(FaultTest, ChangeThatTimedOutWhileTheDriverWasStoppedNeverMovesTheCamera) {
    const std::size_t cam = mark(*dev.camera);
    const std::size_t id = mark(*dev.infodriver);
    dev.driver->signal(SIGSTOP);
    const auto zoom = runProgram({binPath("kelp-slot"), "1", "set", "8", "1"},
                                 {{"QT_QPA_PLATFORM", "offscreen"}});
    const auto pan = runProgram({binPath("kelp-slot"), "1", "set", "33", "1"},
                                {{"QT_QPA_PLATFORM", "offscreen"}});
    dev.driver->signal(SIGCONT);
    EXPECT_EQ(zoom.exitCode, 2) << zoom.out << zoom.err;
    EXPECT_EQ(pan.exitCode, 2) << pan.out << pan.err;

    // Polls resume; the changes reported as failed are not acted on.
    ASSERT_TRUE(waitForCount(*dev.camera, cam, kPollPacket, 2, kStartLimit)) << dump(*dev.camera);
    readFor(*dev.camera, 1s);
    EXPECT_EQ(countFrom(*dev.camera, cam, "81 01 04 07"), 0u) << dump(*dev.camera, cam);
    EXPECT_EQ(countFrom(*dev.camera, cam, "81 01 06 01"), 0u) << dump(*dev.camera, cam);
    EXPECT_EQ(countFrom(*dev.infodriver, id, "write 8 "), 0u) << dump(*dev.infodriver, id);
    EXPECT_EQ(countFrom(*dev.infodriver, id, "write 33 "), 0u) << dump(*dev.infodriver, id);
    expectControlWorks();
    stopDriver(*dev.driver, SIGTERM);
}

}  // namespace
}  // namespace fault_test
