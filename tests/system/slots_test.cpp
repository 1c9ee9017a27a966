// Slot changes end to end: from a change request at the stand-in infodriver, through the driver,
// to the camera's line and back as the echo; the Test menu; shutdown and the farewell.
#include <signal.h>

#include "system_rig.h"

namespace system_test {
namespace {

TEST_F(ConnectedTest, AcceptedChangesReachTheCameraAndAreEchoedRefusedOnesAreNot) {
    ChildProcess& camera = *dev.camera;
    ChildProcess& info = *dev.infodriver;
    std::size_t cam = mark(camera);

    setSlot(1, 8, "1");
    EXPECT_TRUE(waitFrom(camera, cam, "81 01 04 07 22 FF")) << dump(camera, cam);
    EXPECT_EQ(slot(1, 8), "1");
    EXPECT_TRUE(waitFrom(info, 0, "write 8 1"));

    // Refused: nothing on the line, nothing written back, the stored value stays.
    cam = mark(camera);
    std::size_t id = mark(info);
    setSlot(1, 8, "5");
    EXPECT_EQ(slot(1, 8), "1");
    readFor(camera, 500ms);
    readFor(info, 100ms);
    EXPECT_EQ(countFrom(camera, cam, "81 01 04 07"), 0u) << dump(camera, cam);
    EXPECT_EQ(countFrom(info, id, "write 8"), 0u) << dump(info, id);

    // A value with no number reads as 0: Zoom Stop with its extra zero byte, and the text itself
    // is what goes back.
    cam = mark(camera);
    setSlot(1, 8, "abc");
    EXPECT_EQ(slot(1, 8), "abc");
    EXPECT_TRUE(waitFrom(camera, cam, "81 01 04 07 00 FF")) << dump(camera, cam);
    EXPECT_TRUE(waitFrom(camera, cam, "skip ")) << "the seventh byte, 00, reaches the line too\n"
                                                << dump(camera, cam);
}

TEST_F(ConnectedTest, PanSpeedIsKeptForTheNextDrive) {
    ChildProcess& camera = *dev.camera;
    const std::size_t cam = mark(camera);
    setSlot(1, 31, "18");
    setSlot(1, 33, "3");
    auto drive = waitFrom(camera, cam, "81 01 06 01");
    ASSERT_TRUE(drive) << dump(camera, cam);
    EXPECT_NE(drive->find("81 01 06 01 12 07 01 03 FF"), std::string::npos) << *drive;
    // The speed change itself sent nothing: the drive is the first non-poll packet.
    for (std::size_t i = cam; i < camera.linesSeen().size(); ++i) {
        const std::string& l = camera.linesSeen()[i];
        if (l.starts_with("rx ") && l.find(kPollPacket) == std::string::npos) {
            EXPECT_EQ(l, *drive);
            break;
        }
    }
    EXPECT_EQ(slot(1, 31), "18");
    EXPECT_EQ(slot(1, 33), "3");

    // Out of range: refused, the kept speed stays 18.
    setSlot(1, 31, "19");
    EXPECT_EQ(slot(1, 31), "18");
    const std::size_t again = mark(camera);
    setSlot(1, 33, "0");
    EXPECT_TRUE(waitFrom(camera, again, "81 01 06 01 12 07 03 03 FF")) << dump(camera, again);
}

TEST_F(ConnectedTest, ValuesOfOtherSlotsAreLoggedAndEchoedVerbatim) {
    ChildProcess& driver = *dev.driver;
    ChildProcess& info = *dev.infodriver;
    const std::size_t drv = mark(driver);
    const std::size_t id = mark(info);

    // Conversion characters are text, never a format.
    setSlot(1, 2, "%s%n%x");
    EXPECT_EQ(slot(1, 2), "%s%n%x");
    EXPECT_TRUE(waitFrom(driver, drv,
                         "Slot change function from device 1 - slot 2 has changed to '%s%n%x'"))
        << dump(driver, drv);

    // A long value is echoed as its first 511 characters; the stand-in keeps 255 of them.
    std::string longValue;
    for (int i = 0; i < 600; ++i)
        longValue += static_cast<char>('a' + i % 26);
    setSlot(1, 40, longValue);
    auto echo = waitFrom(info, id, "write 40 ");
    ASSERT_TRUE(echo);
    EXPECT_EQ(*echo, "write 40 " + longValue.substr(0, 511));
    EXPECT_EQ(slot(1, 40), longValue.substr(0, 255));

    // Slot 1 belongs to the driver: a change request for it is refused and not logged.
    const std::size_t before = mark(info);
    setSlot(1, 1, "7");
    EXPECT_EQ(slot(1, 1), "1");
    readFor(driver, 300ms);
    EXPECT_EQ(countFrom(info, before, "write 1 7"), 0u);
    EXPECT_EQ(countFrom(driver, drv, "slot 1 has changed"), 0u) << dump(driver, drv);
    EXPECT_FALSE(driver.waitExit(0ms).has_value()) << "the driver is still running";
}

TEST_F(ConnectedTest, FirstGoodReplyPublishesTheLinkOnce) {
    ChildProcess& driver = *dev.driver;
    // Start-up order, then the first reply switches the cycle to 1 second again.
    ASSERT_TRUE(waitFrom(driver, 0, "comms test cycle set to 1 second")) << dump(driver);
    const auto connected = indexOf(driver, 0, "Connected OK to infodriver 1");
    const auto opening = indexOf(driver, 0, "Opening serial port 1, speed 9600");
    const auto cycle = indexOf(driver, 0, "comms test cycle set to 1 second");
    ASSERT_TRUE(connected && opening && cycle) << dump(driver);
    EXPECT_LT(*connected, *opening);
    EXPECT_EQ(*cycle, *opening + 1) << dump(driver);

    auto read = waitFrom(driver, *cycle, "Read ");
    ASSERT_TRUE(read) << dump(driver);
    EXPECT_TRUE(read->starts_with("Read 4 bytes from port 1 \"")) << *read;
    EXPECT_NE(read->find("\" 144 50 2 ff"), std::string::npos) << *read;
    ASSERT_TRUE(waitForCount(driver, 0, "comms test cycle set to 1 second", 2)) << dump(driver);
    EXPECT_LT(*indexOf(driver, 0, "Read "), *indexOf(driver, *cycle + 1, "comms test cycle"));

    // Further good replies leave slot 1 alone: it already holds "1".
    ASSERT_TRUE(waitForCount(driver, 0, "Read 4 bytes", 3, kStartLimit)) << dump(driver);
    readFor(*dev.infodriver, 200ms);
    EXPECT_EQ(countFrom(*dev.infodriver, 0, "write 1 "), 1u) << dump(*dev.infodriver);
    EXPECT_EQ(countFrom(driver, 0, "comms test cycle set to 1 second"), 2u) << dump(driver);
    EXPECT_EQ(slot(1, 1), "1");
}

TEST_F(ConnectedTest, WrongReplyClearsTheLinkAtOnceAndAGoodOneRestoresIt) {
    ChildProcess& camera = *dev.camera;
    ChildProcess& driver = *dev.driver;
    ChildProcess& info = *dev.infodriver;
    camera.writeStdin("wrong 91\n");
    ASSERT_TRUE(camera.waitForLine("ok", kEventLimit)) << dump(camera);
    const std::size_t drv = mark(driver);
    const std::size_t id = mark(info);
    ASSERT_TRUE(waitFrom(info, id, "write 1 0")) << dump(driver, drv);
    EXPECT_TRUE(waitFrom(driver, drv, "\" 145 ")) << dump(driver, drv);

    camera.writeStdin("wrong off\n");
    ASSERT_TRUE(waitFrom(info, id, "write 1 1")) << dump(driver, drv);
    EXPECT_TRUE(waitFrom(driver, drv, "comms test cycle set to 1 second")) << dump(driver, drv);
}

TEST_F(ConnectedTest, TestSetWritesBothSlotsEveryTime) {
    ChildProcess& info = *dev.infodriver;
    std::size_t id = mark(info);
    sendCommand(32772);
    // The send returned after the command ran, and its writes are synchronous.
    readFor(info, 100ms);
    auto zero = indexOf(info, id, "write 1 0");
    auto one = indexOf(info, id, "write 2 1");
    ASSERT_TRUE(zero && one) << dump(info, id);
    EXPECT_LT(*zero, *one);
    EXPECT_EQ(slot(1, 2), "1");

    // The camera still answers, so the link is published again.
    EXPECT_TRUE(waitFrom(info, *one, "write 1 1")) << dump(info, id);

    // A second choice writes both again, also slot 2 that already holds "1".
    id = mark(info);
    sendCommand(32772);
    readFor(info, 100ms);
    EXPECT_EQ(countFrom(info, id, "write 1 0"), 1u) << dump(info, id);
    EXPECT_EQ(countFrom(info, id, "write 2 1"), 1u) << dump(info, id);
}

TEST_F(ConnectedTest, ShutdownWithTheLinkUpWritesZeroOnceThenSaysFarewell) {
    ChildProcess& info = *dev.infodriver;
    const std::size_t id = mark(info);
    stopDriver(*dev.driver, SIGTERM);
    auto closing = waitFrom(info, id, "closing 1");
    ASSERT_TRUE(closing) << dump(info, id);
    const auto zero = indexOf(info, id, "write 1 0");
    ASSERT_TRUE(zero) << dump(info, id);
    EXPECT_LT(*zero, *indexOf(info, id, "closing 1"));
    readFor(info, 200ms);
    EXPECT_EQ(countFrom(info, id, "write "), 1u) << dump(info, id);
    EXPECT_EQ(slot(1, 1), "0");
}

TEST_F(ConnectedTest, InfodriverEventsReachTheDriversLog) {
    ChildProcess& driver = *dev.driver;
    ChildProcess& info = *dev.infodriver;
    const std::size_t drv = mark(driver);
    for (const char* command : {"txrx", "inquiry", "deviceidinuse 5", "disconnect"}) {
        info.writeStdin(std::string(command) + "\n");
        EXPECT_TRUE(info.waitForLine("result ", kEventLimit)) << command;
    }
    EXPECT_TRUE(waitFrom(driver, drv, "Infodriver 1 received request to go TXRX"))
        << dump(driver, drv);
    EXPECT_TRUE(waitFrom(driver, drv, "iStatus=8")) << dump(driver, drv);
    EXPECT_TRUE(waitFrom(driver, drv, "iStatus=2190")) << dump(driver, drv);
    EXPECT_TRUE(waitFrom(driver, drv, "ERROR - - - Infodriver 1 has disconnected"))
        << dump(driver, drv);

    // A slot change after the disconnection is still served.
    const std::size_t cam = mark(*dev.camera);
    setSlot(1, 9, "7");
    EXPECT_TRUE(waitFrom(*dev.camera, cam, "81 01 04 38 03 FF")) << dump(*dev.camera, cam);
    EXPECT_EQ(slot(1, 9), "7");
}

TEST_F(ConnectedTest, DriverEndsCleanlyAfterItsInfodriverDied) {
    dev.infodriver->signal(SIGKILL);
    ASSERT_TRUE(dev.infodriver->waitExit(kStartLimit).has_value());
    // The shutdown's write of slot 1 goes to a window that is gone: skipped, never waited on.
    stopDriver(*dev.driver, SIGTERM);
}

TEST_F(SystemTest, ShutdownWithTheLinkDownWritesNothing) {
    // Slot 1 already holds "0" (stored while no client is connected) and the camera is silent.
    auto camera = startCamera(1, {"--silent"});
    auto info = startInfodriver(1);
    setSlot(1, 1, "0");
    auto driver = startDriver(1);
    ASSERT_TRUE(driver->waitForLine("Connected OK to infodriver 1", kStartLimit)) << dump(*driver);
    // Polled and unanswered: the driver works, slot 1 stays as it is.
    ASSERT_TRUE(driver->waitForLine("Reply Timer - no response from device", kStartLimit))
        << dump(*driver);
    EXPECT_TRUE(waitFrom(*camera, 0, kPollPacket));

    // File > Exit over the bus: the same shutdown as a signal.
    sendCommand(105);
    EXPECT_EQ(driver->waitExit(kStartLimit), 0) << driver->stderrText();
    EXPECT_TRUE(waitFrom(*info, 0, "closing 1")) << dump(*info);
    EXPECT_EQ(countFrom(*info, 0, "write "), 0u) << dump(*info);
    EXPECT_EQ(slot(1, 1), "0");
}

}  // namespace
}  // namespace system_test
