// Link supervision with a real camera process: a camera that falls silent and one that answers
// again. These cases take real time by design (a 5 second cycle after the first missed reply).
#include <signal.h>

#include "system_rig.h"

namespace system_test {
namespace {

const char kNoResponse[] = "Reply Timer - no response from device";

TEST_F(ConnectedTest, SilentCameraClearsTheLinkOnTheThirdExpiryAndAnsweringRestoresIt) {
    ChildProcess& camera = *dev.camera;
    ChildProcess& driver = *dev.driver;
    ChildProcess& info = *dev.infodriver;

    camera.writeStdin("silent on\n");
    ASSERT_TRUE(camera.waitForLine("ok", kEventLimit)) << dump(camera);
    const std::size_t drv = mark(driver);
    const std::size_t id = mark(info);

    // The first missed reply slows the cycle to 5 seconds; slot 1 keeps "1" for two expiries.
    ASSERT_TRUE(waitFrom(driver, drv, kNoResponse)) << dump(driver, drv);
    EXPECT_TRUE(waitFrom(driver, drv, "comms test cycle set to 5 second")) << dump(driver, drv);
    ASSERT_TRUE(waitForCount(driver, drv, kNoResponse, 2, 15s)) << dump(driver, drv);
    readFor(info, 500ms);
    EXPECT_EQ(countFrom(info, id, "write 1 0"), 0u) << "slot 1 changed before the third expiry";

    // The third expiry in a row publishes the lost link, once.
    ASSERT_TRUE(waitForCount(driver, drv, kNoResponse, 3, 15s)) << dump(driver, drv);
    ASSERT_TRUE(waitFrom(info, id, "write 1 0")) << dump(info, id);
    EXPECT_EQ(slot(1, 1), "0");
    EXPECT_EQ(countFrom(driver, drv, "comms test cycle set to 5 second"), 1u) << dump(driver, drv);

    // Polls went out on the 5 second cycle meanwhile.
    readFor(camera, 300ms);
    std::vector<double> polls;
    for (const auto& l : camera.linesSeen())
        if (l.starts_with("rx ") && l.find(kPollPacket) != std::string::npos)
            polls.push_back(simTime(l));
    ASSERT_GE(polls.size(), 3u);
    EXPECT_GT(polls[polls.size() - 1] - polls[polls.size() - 2], 4.0);

    // Answering again: the next good reply brings back "1" and the 1 second cycle.
    const std::size_t back = mark(driver);
    const std::size_t cam = mark(camera);
    camera.writeStdin("silent off\n");
    ASSERT_TRUE(waitFrom(info, id, "write 1 1", 15s)) << dump(info, id);
    EXPECT_TRUE(waitFrom(driver, back, "comms test cycle set to 1 second")) << dump(driver, back);
    ASSERT_TRUE(waitForCount(camera, cam, kPollPacket, 3, 15s)) << dump(camera, cam);
    polls.clear();
    for (std::size_t i = cam; i < camera.linesSeen().size(); ++i)
        if (camera.linesSeen()[i].find(kPollPacket) != std::string::npos)
            polls.push_back(simTime(camera.linesSeen()[i]));
    EXPECT_LT(polls[2] - polls[1], 3.0) << dump(camera, cam);
    EXPECT_EQ(slot(1, 1), "1");
}

}  // namespace
}  // namespace system_test
