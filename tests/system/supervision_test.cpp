// A driver that outlives its infodriver: the infodriver killed and started again under a running
// driver, and one that says it disconnects.
#include <signal.h>

#include "system_rig.h"

namespace system_test {
namespace {

const char kGone[] = "Infodriver 1 has gone";
const char kZoomTele[] = "81 01 04 07 22 FF";

TEST_F(ConnectedTest, RestartedInfodriverIsFoundAgainAndChangesWorkWithinTwoSeconds) {
    ChildProcess& driver = *dev.driver;
    ChildProcess& camera = *dev.camera;

    // While the infodriver lives, supervision puts nothing on the wire: no new handshake over
    // several poll ticks.
    const std::size_t quiet = mark(*dev.infodriver);
    readFor(*dev.infodriver, 2500ms);
    EXPECT_EQ(countFrom(*dev.infodriver, quiet, "connect"), 0u) << dump(*dev.infodriver, quiet);
    EXPECT_EQ(countFrom(driver, 0, kGone), 0u);

    const std::size_t drv = mark(driver);
    dev.infodriver->signal(SIGKILL);
    ASSERT_TRUE(dev.infodriver->waitExit(kEventLimit));
    ASSERT_TRUE(waitFrom(driver, drv, kGone)) << dump(driver, drv);
    // Several ticks without an infodriver: reconnect attempts are quiet.
    readFor(driver, 2500ms);
    EXPECT_EQ(countFrom(driver, drv, kGone), 1u) << dump(driver, drv);
    EXPECT_EQ(countFrom(driver, drv, "Connect FAILED"), 0u) << dump(driver, drv);

    auto info = startInfodriver(1);
    const auto ready = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFrom(driver, drv, "Connected OK to infodriver 1")) << dump(driver, drv);
    // The next poll tick (1 s cycle) finds it.
    EXPECT_LT(std::chrono::steady_clock::now() - ready, 2s) << "found too late after the restart";
    // The new infodriver hears the handshake first, then the link state, which it lacked.
    ASSERT_TRUE(waitFrom(*info, 0, "write 1 1")) << dump(*info);
    const auto connectAt = indexOf(*info, 0, "connect 0x");
    ASSERT_TRUE(connectAt.has_value()) << dump(*info);
    EXPECT_LT(*connectAt, *indexOf(*info, 0, "write 1 1"));
    EXPECT_EQ(countFrom(*info, 0, "write"), 1u) << "only the link state: " << dump(*info);

    const std::size_t cam = mark(camera);
    setSlot(1, 8, "1");
    ASSERT_TRUE(waitFrom(camera, cam, kZoomTele)) << dump(camera, cam);
    EXPECT_TRUE(waitFrom(*info, 0, "write 8 1")) << dump(*info);
    EXPECT_EQ(slot(1, 8), "1");

    // The driver still ends cleanly, with its farewell to the new infodriver.
    stopDriver(driver, SIGTERM);
    EXPECT_TRUE(waitFrom(*info, 0, "closing 1")) << dump(*info);
}

TEST_F(ConnectedTest, InfodriverThatSaysItDisconnectsIsLeftAlone) {
    ChildProcess& driver = *dev.driver;
    const std::size_t drv = mark(driver);
    dev.infodriver->writeStdin("disconnect\n");
    ASSERT_TRUE(waitFrom(driver, drv, "ERROR - - - Infodriver 1 has disconnected"))
        << dump(driver, drv);
    dev.infodriver->signal(SIGKILL);
    ASSERT_TRUE(dev.infodriver->waitExit(kEventLimit));
    readFor(driver, 2500ms);
    EXPECT_EQ(countFrom(driver, drv, kGone), 0u) << dump(driver, drv);
}

}  // namespace
}  // namespace system_test
