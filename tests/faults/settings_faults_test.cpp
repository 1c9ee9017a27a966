// Settings files that are not what they should be, and serial settings no line can take: the
// driver starts with what it can use, loses nothing and never blocks.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "fault_rig.h"

namespace fault_test {
namespace {

using testing_support::readFile;
using testing_support::writeFile;

class SettingsFaultTest : public FaultTest {
  protected:
    void SetUp() override { SystemTest::SetUp(); }
    std::string settingsPath() const { return prefix.windowsDir() + "/DEV_001.ini"; }

    // Starts the device with the settings file as the test left it: the driver must come up
    // with its defaults (COM1 at 9600) and control the camera.
    void expectStartsWithDefaults() {
        dev = startConnected(1);
        ASSERT_FALSE(HasFailure());
        EXPECT_TRUE(waitFrom(*dev.driver, 0, "Opening serial port 1, speed 9600"))
            << dump(*dev.driver);
        expectControlWorks();
        stopDriver(*dev.driver, SIGTERM);
        // The next start of the test gets peers of its own.
        dev.infodriver->signal(SIGTERM);
        dev.infodriver->waitExit(kStartLimit);
        dev.camera->writeStdin("quit\n");
        dev.camera->waitExit(kStartLimit);
    }
};

TEST_F(SettingsFaultTest, BinarySettingsFileKeepsItsBytes) {
    std::mt19937 rng(7);
    std::string bytes(4096, '\0');
    for (auto& c : bytes)
        c = static_cast<char>(rng());
    writeFile(settingsPath(), bytes);
    expectStartsWithDefaults();
    EXPECT_NE(readFile(settingsPath()).find(bytes.substr(0, 64)), std::string::npos)
        << "the file's own bytes were lost";
}

TEST_F(SettingsFaultTest, HugeSettingsFileIsReadAndKept) {
    // 1 MiB of comment lines (a settings file is normally 100 bytes), then every key, so that
    // nothing needs writing back.
    std::string text = "[Camlet32]\r\n";
    const std::string comment = "; " + std::string(1022, 'x') + "\r\n";
    while (text.size() < (1u << 20))
        text += comment;
    text +=
        "DebugMode=1\r\nLogMode=0\r\nPort=1\r\nSpeed=9600\r\nDataBits=8\r\nStopBits=1\r\n"
        "Parity=N\r\n";
    writeFile(settingsPath(), text);
    expectStartsWithDefaults();
    EXPECT_EQ(readFile(settingsPath()), text);
}

TEST_F(SettingsFaultTest, FifoOrDirectoryInPlaceOfTheSettingsFile) {
    std::filesystem::create_directories(prefix.windowsDir());
    ASSERT_EQ(mkfifo(settingsPath().c_str(), 0644), 0);
    expectStartsWithDefaults();
    EXPECT_TRUE(std::filesystem::is_fifo(settingsPath()));
    std::filesystem::remove(settingsPath());

    std::filesystem::create_directory(settingsPath());
    writeFile(settingsPath() + "/inside", "kept");
    expectStartsWithDefaults();
    EXPECT_EQ(readFile(settingsPath() + "/inside"), "kept");
}

TEST_F(SettingsFaultTest, ReadOnlySettingsFileIsUsedAndLeftAlone) {
    const std::string text = "[Camlet32]\r\nPort=1\r\n";
    writeFile(settingsPath(), text);
    ASSERT_EQ(chmod(settingsPath().c_str(), 0444), 0);
    expectStartsWithDefaults();
    EXPECT_EQ(readFile(settingsPath()), text);
}

// Serial settings no line can take leave the driver running without its port, and say so; odd
// ones that a line can take (a non-standard speed, unknown parity or stop bit codes read as the
// defaults) give a working link. The value stays in the file for the user to correct.
TEST_F(SettingsFaultTest, BadSerialSettings) {
    struct Case {
        const char* line;
        bool usable;
    };
    for (const Case c :
         {Case{"Speed=-9600", false}, Case{"DataBits=9", false}, Case{"Port=0", false},
          Case{"Speed=12345", true}, Case{"Parity=Q", true}, Case{"StopBits=7", true}}) {
        SCOPED_TRACE(c.line);
        writeSettings(1, {c.line});
        auto camera = startCamera(1);
        auto info = startInfodriver(1);
        auto driver = startDriver(1);
        ASSERT_TRUE(driver->waitForLine("comms test cycle set to 1 second", kStartLimit))
            << dump(*driver) << driver->stderrText();
        if (c.usable)
            EXPECT_TRUE(info->waitForLine("write 1 1", kEventLimit)) << dump(*driver);
        else
            EXPECT_TRUE(indexOf(*driver, 0, "Can't open serial port")) << dump(*driver);
        EXPECT_NE(readFile(settingsPath()).find(c.line), std::string::npos);
        stopDriver(*driver, SIGTERM);
        info->signal(SIGTERM);
        info->waitExit(kStartLimit);
        camera->writeStdin("quit\n");
        camera->waitExit(kStartLimit);
    }
}

}  // namespace
}  // namespace fault_test
