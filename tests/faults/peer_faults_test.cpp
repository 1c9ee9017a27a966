// The driver's peers failing under it: an infodriver stopped or hung, the driver itself killed
// and restarted, and many devices side by side. (An infodriver killed and started again is a
// case of tests/system/supervision_test.cpp.)
#include <signal.h>

#include "fault_rig.h"

namespace fault_test {
namespace {

using Clock = std::chrono::steady_clock;

TEST_F(FaultTest, StoppedInfodriverHoldsChangesUpOnlyWhileStopped) {
    const std::size_t cam = mark(*dev.camera);
    dev.infodriver->signal(SIGSTOP);
    // Polls go on while the infodriver cannot answer.
    EXPECT_TRUE(waitForCount(*dev.camera, cam, kPollPacket, 3, kStartLimit)) << dump(*dev.camera);
    dev.infodriver->signal(SIGCONT);
    expectControlWorks();
    expectControlWorks();
    stopDriver(*dev.driver, SIGTERM);
    EXPECT_TRUE(waitFrom(*dev.infodriver, 0, "closing 1"));
}

TEST_F(FaultTest, HungInfodriverCannotStallTheDriverOrItsEnd) {
    dev.infodriver->signal(SIGSTOP);
    // The camera's answers make the driver write slot 1 to the hung peer; polls must go on at
    // their pace meanwhile.
    dev.camera->writeStdin("wrong 41\n");
    const std::size_t cam = mark(*dev.camera);
    ASSERT_TRUE(waitForCount(*dev.camera, cam, kPollPacket, 1, kStartLimit));
    dev.camera->writeStdin("normal\n");
    // Each change of the link writes slot 1; at most one 5 s send may stall the driver before
    // it treats the infodriver as unresponsive.
    EXPECT_TRUE(waitForCount(*dev.camera, cam, kPollPacket, 8, 20s))
        << "polls stalled behind sends to the hung infodriver\n"
        << dump(*dev.camera, cam);

    const auto asked = Clock::now();
    dev.driver->signal(SIGTERM);
    EXPECT_EQ(dev.driver->waitExit(20s), 0);
    EXPECT_LT(Clock::now() - asked, 6s) << "SIGTERM took too long with a hung infodriver";
    dev.infodriver->signal(SIGCONT);
}

// Six devices side by side; each driver is killed and restarted in turn while the others
// carry on, and every camera keeps obeying its own device only.
TEST_F(FaultTest, DevicesSideBySideSurviveEachOthersRestart) {
    std::vector<Device> devices{dev};
    for (int n = 2; n <= 6; ++n) {
        writeSettings(n, {"Port=" + std::to_string(n)});
        devices.push_back(startConnected(n, n));
        ASSERT_FALSE(HasFailure());
    }
    for (auto& d : devices) {
        d.driver->signal(SIGKILL);
        ASSERT_TRUE(d.driver->waitExit(kStartLimit).has_value());
        const std::size_t id = mark(*d.infodriver);
        d.driver = startDriver(d.number);
        ASSERT_TRUE(d.driver->waitForLine("Connected OK", kStartLimit)) << dump(*d.driver);
        // Slot 1 still says "1" from before the kill, so the restarted driver has nothing to
        // write there; its port is back once a poll is answered.
        ASSERT_TRUE(waitForCount(*d.driver, 0, "comms test cycle set to 1 second", 2, kStartLimit))
            << dump(*d.driver);
        EXPECT_EQ(countFrom(*d.infodriver, id, "write 1 0"), 0u);
    }
    std::vector<std::size_t> marks;
    for (auto& d : devices)
        marks.push_back(mark(*d.camera));
    for (auto& d : devices)
        expectControlWorks(d);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        readFor(*devices[i].camera, 100ms);
        EXPECT_EQ(countFrom(*devices[i].camera, marks[i], "81 01 04 07"), 1u)
            << dump(*devices[i].camera, marks[i]);
    }
    for (auto& d : devices)
        stopDriver(*d.driver, SIGTERM);
}

}  // namespace
}  // namespace fault_test
