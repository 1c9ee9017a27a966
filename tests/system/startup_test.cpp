// Start-up without a peer, the log file, a restart after a crash, and two devices side by side.
#include <signal.h>
#include <sys/types.h>

#include <ctime>

#include "system_rig.h"

namespace system_test {
namespace {

using testing_support::readFile;

TEST_F(SystemTest, WithoutAnInfodriverThePortStillOpensAndPollsRun) {
    auto camera = startCamera(1);
    auto driver = startDriver(1);
    ASSERT_TRUE(driver->waitForLine("ERROR - - - Connect FAILED to infodriver 1", kStartLimit))
        << dump(*driver) << driver->stderrText();
    // The plain form: no error code after a failed handshake.
    EXPECT_EQ(driver->linesSeen().back(), "ERROR - - - Connect FAILED to infodriver 1");
    EXPECT_TRUE(driver->waitForLine("Opening serial port 1, speed 9600", kEventLimit));
    EXPECT_TRUE(waitFrom(*camera, 0, kPollPacket, kStartLimit)) << dump(*camera);
    // Replies are handled; publishing the link goes nowhere and harms nothing.
    EXPECT_TRUE(waitForCount(*driver, 0, "comms test cycle set to 1 second", 2)) << dump(*driver);
    stopDriver(*driver, SIGTERM);
}

TEST_F(SystemTest, WithoutASerialDeviceThereAreNoPolls) {
    prefix.linkComPort(1, prefix.path() + "/no-such-device");
    auto info = startInfodriver(1);
    auto driver = startDriver(1);
    ASSERT_TRUE(driver->waitForLine("comms test cycle set to 1 second", kStartLimit))
        << dump(*driver) << driver->stderrText();
    const auto& lines = driver->linesSeen();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "Opening serial port 1, speed 9600");
    EXPECT_EQ(lines[lines.size() - 2], "Can't open serial port 1");
    EXPECT_EQ(lines[lines.size() - 1], "comms test cycle set to 1 second");

    // A poll would have expired 1.8 s after start-up.
    readFor(*driver, 2500ms);
    EXPECT_EQ(countFrom(*driver, 0, "Reply Timer"), 0u) << dump(*driver);

    // A command still goes through the send path: accepted, echoed, and its missing reply
    // noticed; slot 1 is not touched by a single expiry.
    const std::size_t drv = mark(*driver);
    setSlot(1, 8, "1");
    EXPECT_EQ(slot(1, 8), "1");
    EXPECT_TRUE(waitFrom(*driver, drv, "Reply Timer - no response from device")) << dump(*driver);
    readFor(*driver, 1500ms);
    EXPECT_EQ(countFrom(*driver, drv, "Reply Timer"), 1u) << dump(*driver, drv);
    EXPECT_EQ(countFrom(*info, 0, "write 1 "), 0u) << dump(*info);
    stopDriver(*driver, SIGTERM);
}

// yyyymmdd of the local date.
std::string localDate(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
}

bool isTimeStamp(const std::string& s) {
    // HH:MM:SS.mmm
    if (s.size() != 12)
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool digit = s[i] >= '0' && s[i] <= '9';
        if ((i == 2 || i == 5) ? s[i] != ':' : i == 8 ? s[i] != '.' : !digit)
            return false;
    }
    return true;
}

TEST_F(SystemTest, LogModeFilesEveryShownLineInTheDaysFile) {
    writeSettings(1, {"LogMode=1"});
    const std::time_t started = std::time(nullptr);
    Device d = startConnected(1);
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(d.driver->waitForLine("comms test cycle set to 1 second", kEventLimit));
    stopDriver(*d.driver, SIGTERM);
    readFor(*d.driver, 2s);  // the rest of its output, up to its end
    const std::time_t ended = std::time(nullptr);

    // Every line shown on stdout is in the file, in order, as "HH:MM:SS.mmm - text" CR LF.
    std::string file = readFile(logDirectory() + "/" + localDate(started) + "_child2_1.log");
    if (localDate(ended) != localDate(started))  // midnight passed: lines in both files
        file += readFile(logDirectory() + "/" + localDate(ended) + "_child2_1.log");
    std::vector<std::string> filed;
    for (std::size_t pos = 0; pos < file.size();) {
        const auto end = file.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "unterminated line in the log file";
        const std::string line = file.substr(pos, end - pos);
        ASSERT_GT(line.size(), 15u) << line;
        EXPECT_TRUE(isTimeStamp(line.substr(0, 12))) << line;
        EXPECT_EQ(line.substr(12, 3), " - ") << line;
        filed.push_back(line.substr(15));
        pos = end + 2;
    }
    EXPECT_EQ(filed, d.driver->linesSeen());
    EXPECT_GE(filed.size(), 4u);
}

TEST_F(SystemTest, RestartAfterKillWorks) {
    Device d = startConnected(1);
    ASSERT_FALSE(HasFailure());
    d.driver->signal(SIGKILL);
    ASSERT_TRUE(d.driver->waitExit(kStartLimit).has_value());

    const std::size_t id = mark(*d.infodriver);
    const std::size_t cam = mark(*d.camera);
    auto driver = startDriver(1);
    ASSERT_TRUE(driver->waitForLine("Connected OK to infodriver 1", kStartLimit))
        << dump(*driver) << driver->stderrText();
    // The port opened again: polls are answered and the link is up.
    ASSERT_TRUE(waitForCount(*driver, 0, "comms test cycle set to 1 second", 2, kStartLimit))
        << dump(*driver) << "camera:\n"
        << dump(*d.camera, cam);
    EXPECT_EQ(countFrom(*driver, 0, "Can't open serial port"), 0u);

    setSlot(1, 8, "2");
    EXPECT_TRUE(waitFrom(*d.camera, cam, "81 01 04 07 32 FF")) << dump(*d.camera, cam);
    EXPECT_EQ(slot(1, 8), "2");
    EXPECT_TRUE(waitFrom(*d.infodriver, id, "write 8 2"));
    stopDriver(*driver, SIGTERM);
}

TEST_F(SystemTest, PortHeldByAnotherDriverIsNotShared) {
    Device one = startConnected(1, 1);
    ASSERT_FALSE(HasFailure());
    // Device 2 is set up for the same COM1 by mistake: it runs, without the port.
    auto second = startDriver(2);
    ASSERT_TRUE(second->waitForLine("comms test cycle set to 1 second", kStartLimit))
        << dump(*second) << second->stderrText();
    EXPECT_TRUE(indexOf(*second, 0, "Can't open serial port 1")) << dump(*second);

    // The first keeps its camera: commands and their replies still flow.
    const std::size_t cam = mark(*one.camera);
    const std::size_t drv = mark(*one.driver);
    setSlot(1, 33, "9");
    EXPECT_TRUE(waitFrom(*one.camera, cam, "81 01 06 04 FF")) << dump(*one.camera, cam);
    EXPECT_TRUE(waitFrom(*one.driver, drv, "Read ")) << dump(*one.driver, drv);
    stopDriver(*second, SIGTERM);
    stopDriver(*one.driver, SIGTERM);
}

TEST_F(SystemTest, TwoDevicesRunSideBySide) {
    writeSettings(2, {"Port=2"});
    Device one = startConnected(1, 1);
    Device two = startConnected(2, 2);
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(waitFrom(*two.driver, 0, "Opening serial port 2, speed 9600"));

    const std::size_t cam1 = mark(*one.camera);
    const std::size_t cam2 = mark(*two.camera);
    setSlot(1, 8, "1");
    setSlot(2, 8, "2");
    EXPECT_TRUE(waitFrom(*one.camera, cam1, "81 01 04 07 22 FF")) << dump(*one.camera, cam1);
    EXPECT_TRUE(waitFrom(*two.camera, cam2, "81 01 04 07 32 FF")) << dump(*two.camera, cam2);
    readFor(*one.camera, 300ms);
    readFor(*two.camera, 300ms);
    EXPECT_EQ(countFrom(*one.camera, cam1, "81 01 04 07 32"), 0u) << dump(*one.camera, cam1);
    EXPECT_EQ(countFrom(*two.camera, cam2, "81 01 04 07 22"), 0u) << dump(*two.camera, cam2);
    EXPECT_EQ(slot(1, 8), "1");
    EXPECT_EQ(slot(2, 8), "2");
    EXPECT_EQ(slot(1, 1), "1");
    EXPECT_EQ(slot(2, 1), "1");

    // Ending one leaves the other working.
    const std::size_t id2 = mark(*two.infodriver);
    stopDriver(*one.driver, SIGTERM);
    EXPECT_TRUE(waitFrom(*one.infodriver, 0, "closing 1"));
    setSlot(2, 9, "6");
    EXPECT_TRUE(waitFrom(*two.camera, cam2, "81 01 04 38 02 FF")) << dump(*two.camera, cam2);
    EXPECT_TRUE(waitFrom(*two.infodriver, id2, "write 9 6"));
    EXPECT_EQ(countFrom(*two.infodriver, id2, "closing"), 0u);
    stopDriver(*two.driver, SIGTERM);
}

}  // namespace
}  // namespace system_test
