#include "config/settings.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "test_prefix.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TestPrefix;
using testing_support::writeFile;

namespace {

const char kSection[] = "Camlet32";

const std::string kDefaults =
    "[Camlet32]\nDebugMode=1\nLogMode=0\nPort=1\nSpeed=9600\nDataBits=8\nStopBits=1\nParity=N\n";

class Settings : public ::testing::Test {
  protected:
    void SetUp() override { config::deviceSettings() = {}; }

    // Loads device 7 from a settings file in the Windows directory holding `body`.
    const config::DeviceSettings& load(const std::string& body) {
        writeFile(prefix.windowsDir() + "/DEV_007.ini", "[Camlet32]\n" + body);
        config::deviceSettings() = {};
        config::loadDeviceSettings(7, kSection);
        return config::deviceSettings();
    }

    TestPrefix prefix;  // also clears CC_ROOT and CC_SYSTEM
};

}  // namespace

TEST_F(Settings, FirstStartWritesTheDefaultsInOrder) {
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(config::configPaths().configDir, prefix.windowsDir());
    EXPECT_EQ(config::configPaths().logDir, prefix.driveC() + "/kelplogs");
    EXPECT_EQ(readFile(prefix.windowsDir() + "/DEV_007.ini"), kDefaults);
    const auto& s = config::deviceSettings();
    EXPECT_EQ(s.debugMode, 1);
    EXPECT_EQ(s.hideMode, 0);
    EXPECT_EQ(s.logMode, 0);
    EXPECT_EQ(s.portNumber, 1);
    EXPECT_EQ(s.speed, 9600);
    EXPECT_EQ(s.dataBits, 8);
    EXPECT_EQ(s.stopBitsCode, 0);
    EXPECT_EQ(s.parityCode, 0);

    // A second start reads the same file and leaves it as it is.
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(readFile(prefix.windowsDir() + "/DEV_007.ini"), kDefaults);
}

TEST_F(Settings, ExistingValuesAreKeptAndMissingKeysAdded) {
    const auto& s = load("; site values\nSpeed = 38400\nPort=3\n\n[Other]\nPort=9\n");
    EXPECT_EQ(s.portNumber, 3);
    EXPECT_EQ(s.speed, 38400);
    EXPECT_EQ(readFile(prefix.windowsDir() + "/DEV_007.ini"),
              "[Camlet32]\n; site values\nSpeed = 38400\nPort=3\nDebugMode=1\nLogMode=0\n"
              "DataBits=8\nStopBits=1\nParity=N\n\n[Other]\nPort=9\n");
}

TEST_F(Settings, StopBitsOnlyTwoMeansTwo) {
    for (auto [text, code] :
         {std::pair{"2", 2}, {"1", 0}, {"1.5", 0}, {"3", 0}, {"0", 0}, {"two", 0}, {" 2 ", 2}})
        EXPECT_EQ(load(std::string("StopBits=") + text + "\n").stopBitsCode, code) << text;
}

TEST_F(Settings, ParityComparesTheWholeValueWithoutCase) {
    for (auto [text, code] : {std::pair{"e", 2},
                              {"E", 2},
                              {"m", 3},
                              {"n", 0},
                              {"O", 1},
                              {"Even", 0},
                              {"S", 0},
                              {"X", 0},
                              {"", 0}})
        EXPECT_EQ(load(std::string("Parity=") + text + "\n").parityCode, code) << text;
    // Anything else leaves the code as it was.
    load("Parity=O\n");
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(config::deviceSettings().parityCode, 1);
    writeFile(prefix.windowsDir() + "/DEV_007.ini", "[Camlet32]\nParity=space\n");
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(config::deviceSettings().parityCode, 1);
}

TEST_F(Settings, NumbersFollowAtoiRules) {
    const auto& s = load("DebugMode=2\nLogMode=yes\nPort= 12abc\nSpeed=99999999999\nDataBits=-7\n");
    EXPECT_EQ(s.debugMode, 2) << "any non-zero value is on";
    EXPECT_EQ(s.hideMode, 0);
    EXPECT_EQ(s.logMode, 0);
    EXPECT_EQ(s.portNumber, 12);
    EXPECT_EQ(s.speed, INT32_MAX) << "too large saturates instead of wrapping";
    EXPECT_EQ(s.dataBits, -7);
    EXPECT_EQ(load("DebugMode=0\n").hideMode, 1);
}

TEST_F(Settings, EnvironmentChoosesTheDirectoriesOnlyWhenBothAreSet) {
    writeFile(prefix.driveC() + "/kelp_config.ini", "[Config]\nConfigPath=C:\\site\\conf\n");
    fs::create_directories(prefix.driveC() + "/site/conf");

    setenv("CC_ROOT", "C:\\cc", 1);
    config::resolveConfigPaths();
    EXPECT_EQ(config::configPaths().configDir, prefix.driveC() + "/site/conf")
        << "CC_ROOT alone counts as neither";
    EXPECT_EQ(config::configPaths().logDir, prefix.driveC() + "/kelplogs");

    unsetenv("CC_ROOT");
    setenv("CC_SYSTEM", "plant", 1);
    EXPECT_EQ(config::resolveConfigPaths(), prefix.driveC() + "/site/conf");

    setenv("CC_ROOT", "C:\\cc", 1);
    EXPECT_EQ(config::resolveConfigPaths(), prefix.driveC() + "/cc/plant/config/system");
    EXPECT_EQ(config::configPaths().logDir, prefix.driveC() + "/cc/plant/logs");

    // A Linux path works as a root too.
    std::string root = prefix.path() + "/srv";
    setenv("CC_ROOT", root.c_str(), 1);
    fs::create_directories(root + "/plant/config/system");
    config::loadDeviceSettings(1234, kSection);
    EXPECT_EQ(readFile(root + "/plant/config/system/DEV_1234.ini"), kDefaults);
    EXPECT_EQ(config::configPaths().logDir, root + "/plant/logs");
    unsetenv("CC_ROOT");
    unsetenv("CC_SYSTEM");
}

TEST_F(Settings, ConfigPathChangedWhileRunningIsSeenByTheNextWrite) {
    std::string kelpConfig = prefix.driveC() + "/kelp_config.ini";
    fs::create_directories(prefix.driveC() + "/a");
    fs::create_directories(prefix.driveC() + "/b");
    writeFile(kelpConfig, "[Config]\nConfigPath = C:\\a\n");
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(readFile(prefix.driveC() + "/a/DEV_007.ini"), kDefaults);

    writeFile(kelpConfig, "[config]\r\nconfigpath=C:\\b\r\n");
    config::writeSetting("dev_007.ini", kSection, "DebugMode", "0");
    EXPECT_EQ(readFile(prefix.driveC() + "/b/dev_007.ini"), "[Camlet32]\nDebugMode=0\n");
    EXPECT_EQ(readFile(prefix.driveC() + "/a/DEV_007.ini"), kDefaults);
    EXPECT_FALSE(fs::exists(kelpConfig + ".tmp")) << "kelp_config.ini is only read";
}

TEST_F(Settings, LowerCaseMenuNameWritesTheSameFile) {
    config::loadDeviceSettings(7, kSection);
    config::writeSetting("dev_007.ini", kSection, "LogMode", "1");
    std::string expected = kDefaults;
    expected.replace(expected.find("LogMode=0"), 9, "LogMode=1");
    EXPECT_EQ(readFile(prefix.windowsDir() + "/DEV_007.ini"), expected);
    EXPECT_FALSE(fs::exists(prefix.windowsDir() + "/dev_007.ini"));
    EXPECT_STREQ(config::readSetting("DEV_007.INI", "camlet32", "logmode", "0", false), "1");
}

TEST_F(Settings, ReadOnlyFileGivesItsValuesAndStaysUnchanged) {
    std::string path = prefix.windowsDir() + "/DEV_007.ini";
    writeFile(path, "[Camlet32]\nPort=4\n");
    chmod(path.c_str(), 0444);
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(config::deviceSettings().portNumber, 4);
    EXPECT_EQ(config::deviceSettings().debugMode, 1);
    EXPECT_EQ(readFile(path), "[Camlet32]\nPort=4\n");
}

TEST_F(Settings, ReadSettingSharesOneBufferAndKeeps255Characters) {
    const char* first = config::readSetting("x.ini", "S", "A", "one", false);
    const char* second =
        config::readSetting("x.ini", "S", "B", std::string(400, 'z').c_str(), false);
    EXPECT_EQ(first, second) << "one shared buffer";
    EXPECT_EQ(std::string(second), std::string(255, 'z'));
    EXPECT_FALSE(fs::exists(prefix.windowsDir() + "/x.ini")) << "no write-back asked";
    EXPECT_STREQ(config::readSetting("x.ini", "S", "A", "one", true), "one");
    EXPECT_EQ(readFile(prefix.windowsDir() + "/x.ini"), "[S]\nA=one\n");
    EXPECT_STREQ(config::readSetting(nullptr, "S", "A", "d", true), "d");

    // A path beyond 255 characters names no file: default read, nothing written.
    std::string longName(300, 'n');
    EXPECT_STREQ(config::readSetting(longName.c_str(), "S", "A", "d", true), "d");
}
