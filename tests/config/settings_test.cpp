// The settings rules on both systems: where the files are, defaults and write-back, conversions,
// and what a read-only file or an over-long path does. Under Wine the files are real files of the
// test machine (C:\ and its Windows directory) read and written by the private-profile functions.
#include "config/settings.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/prefix.h"
#include "test_prefix.h"

namespace fs = std::filesystem;
using testing_support::writeFile;

namespace {

const char kSection[] = "Camlet32";

const std::string kDefaults =
    "[Camlet32]\nDebugMode=1\nLogMode=0\nPort=1\nSpeed=9600\nDataBits=8\nStopBits=1\nParity=N\n";

void setEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());  // an empty value removes it
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

// A path of the machine in Windows form ("C:\a\b"), as the program sees it.
std::string machinePath(const std::string& windowsForm) {
    return platform::translatePath(windowsForm);
}

// A file's text with line ends as LF (the Windows functions write CRLF).
std::string fileText(const std::string& path) {
    std::string text = testing_support::readFile(path);
    std::erase(text, '\r');
    return text;
}

std::string inWindowsDir(const std::string& name) {
    return platform::windowsDir() + platform::kPathSeparator + name;
}

// Every file and folder the tests make on the machine; a Wine machine lives for the whole run.
const char* const kMade[] = {
    "C:\\kelp_config.ini", "C:\\a", "C:\\b", "C:\\site", "C:\\cc", "C:\\srv"};
const char* const kMadeInWindowsDir[] = {"DEV_007.ini", "x.ini"};

class Settings : public ::testing::Test {
  protected:
    void SetUp() override {
        setEnv("CC_ROOT", "");
        setEnv("CC_SYSTEM", "");
        removeMade();
        config::deviceSettings() = {};
    }
    void TearDown() override {
        setEnv("CC_ROOT", "");
        setEnv("CC_SYSTEM", "");
        removeMade();
    }

    // Loads device 7 from a settings file in the Windows directory holding `body`.
    const config::DeviceSettings& load(const std::string& body) {
        writeFile(inWindowsDir("DEV_007.ini"), "[Camlet32]\n" + body);
        config::deviceSettings() = {};
        config::loadDeviceSettings(7, kSection);
        return config::deviceSettings();
    }

  private:
    static void removeMade() {
        std::error_code ec;
        for (const char* p : kMade)
            fs::remove_all(machinePath(p), ec);
        for (const char* name : kMadeInWindowsDir) {
            const std::string path = inWindowsDir(name);
            fs::remove(path, ec);
        }
    }

#ifndef _WIN32
    testing_support::TestPrefix prefix_;  // also clears CC_ROOT and CC_SYSTEM
#endif
};

}  // namespace

TEST_F(Settings, FirstStartWritesTheDefaultsInOrder) {
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(config::configPaths().configDir, platform::windowsDir());
    EXPECT_EQ(config::configPaths().logDir, machinePath("C:\\kelplogs"));
    EXPECT_EQ(fileText(inWindowsDir("DEV_007.ini")), kDefaults);
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
    EXPECT_EQ(fileText(inWindowsDir("DEV_007.ini")), kDefaults);
}

TEST_F(Settings, ExistingValuesAreKeptAndMissingKeysAdded) {
    const auto& s = load("Speed = 38400\nPort=3\n\n[Other]\nPort=9\n");
    EXPECT_EQ(s.portNumber, 3);
    EXPECT_EQ(s.speed, 38400);
    EXPECT_EQ(s.debugMode, 1);
    EXPECT_STREQ(config::readSetting("DEV_007.ini", "Other", "Port", "", false), "9");
    EXPECT_STREQ(config::readSetting("DEV_007.ini", kSection, "Speed", "", false), "38400");
    EXPECT_STREQ(config::readSetting("DEV_007.ini", kSection, "Parity", "", false), "N")
        << "a missing key is stored with its default";
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
    writeFile(inWindowsDir("DEV_007.ini"), "[Camlet32]\nParity=space\n");
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
    writeFile(machinePath("C:\\kelp_config.ini"), "[Config]\nConfigPath=C:\\site\\conf\n");
    fs::create_directories(machinePath("C:\\site\\conf"));

    setEnv("CC_ROOT", "C:\\cc");
    config::resolveConfigPaths();
    EXPECT_EQ(config::configPaths().configDir, machinePath("C:\\site\\conf"))
        << "CC_ROOT alone counts as neither";
    EXPECT_EQ(config::configPaths().logDir, machinePath("C:\\kelplogs"));

    setEnv("CC_ROOT", "");
    setEnv("CC_SYSTEM", "plant");
    EXPECT_EQ(config::resolveConfigPaths(), machinePath("C:\\site\\conf"));

    setEnv("CC_ROOT", "C:\\cc");
    EXPECT_EQ(config::resolveConfigPaths(), machinePath("C:\\cc\\plant\\config\\system"));
    EXPECT_EQ(config::configPaths().logDir, machinePath("C:\\cc\\plant\\logs"));

    setEnv("CC_ROOT", "C:\\srv");
    fs::create_directories(machinePath("C:\\srv\\plant\\config\\system"));
    config::loadDeviceSettings(1234, kSection);
    EXPECT_EQ(fileText(machinePath("C:\\srv\\plant\\config\\system\\DEV_1234.ini")), kDefaults);
    EXPECT_EQ(config::configPaths().logDir, machinePath("C:\\srv\\plant\\logs"));
}

TEST_F(Settings, ConfigPathChangedWhileRunningIsSeenByTheNextWrite) {
    const std::string kelpConfig = machinePath("C:\\kelp_config.ini");
    fs::create_directories(machinePath("C:\\a"));
    fs::create_directories(machinePath("C:\\b"));
    writeFile(kelpConfig, "[Config]\nConfigPath = C:\\a\n");
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(fileText(machinePath("C:\\a\\DEV_007.ini")), kDefaults);

    writeFile(kelpConfig, "[config]\r\nconfigpath=C:\\b\r\n");
    config::writeSetting("dev_007.ini", kSection, "DebugMode", "0");
    EXPECT_EQ(fileText(machinePath("C:\\b\\dev_007.ini")), "[Camlet32]\nDebugMode=0\n");
    EXPECT_EQ(fileText(machinePath("C:\\a\\DEV_007.ini")), kDefaults);
    EXPECT_EQ(fileText(kelpConfig), "[config]\nconfigpath=C:\\b\n") << "only read";
}

TEST_F(Settings, LowerCaseMenuNameWritesTheSameFile) {
    config::loadDeviceSettings(7, kSection);
    config::writeSetting("dev_007.ini", kSection, "LogMode", "1");
    std::string expected = kDefaults;
    expected.replace(expected.find("LogMode=0"), 9, "LogMode=1");
    EXPECT_EQ(fileText(inWindowsDir("DEV_007.ini")), expected);
    int copies = 0;
    for (const auto& entry : fs::directory_iterator(platform::windowsDir())) {
        std::string name = entry.path().filename().string();
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        copies += name == "dev_007.ini";
    }
    EXPECT_EQ(copies, 1) << "one file, whatever the spelling";
    EXPECT_STREQ(config::readSetting("DEV_007.INI", "camlet32", "logmode", "0", false), "1");
}

TEST_F(Settings, RefusedWritesAreIgnoredAndTheDefaultsHold) {
    // The configuration directory does not exist: every write-back fails, nothing is made.
    writeFile(machinePath("C:\\kelp_config.ini"), "[Config]\nConfigPath=C:\\a\\missing\n");
    config::loadDeviceSettings(7, kSection);
    const auto& s = config::deviceSettings();
    EXPECT_EQ(s.debugMode, 1);
    EXPECT_EQ(s.portNumber, 1);
    EXPECT_EQ(s.speed, 9600);
    EXPECT_FALSE(fs::exists(machinePath("C:\\a")));
    config::writeSetting("dev_007.ini", kSection, "DebugMode", "0");
    EXPECT_FALSE(fs::exists(machinePath("C:\\a")));
}

TEST_F(Settings, ReadSettingSharesOneBufferAndKeeps255Characters) {
    const char* first = config::readSetting("x.ini", "S", "A", "one", false);
    const char* second =
        config::readSetting("x.ini", "S", "B", std::string(400, 'z').c_str(), false);
    EXPECT_EQ(first, second) << "one shared buffer";
    EXPECT_EQ(std::string(second), std::string(255, 'z'));
    EXPECT_FALSE(fs::exists(inWindowsDir("x.ini"))) << "no write-back asked";
    EXPECT_STREQ(config::readSetting("x.ini", "S", "A", "one", true), "one");
    EXPECT_EQ(fileText(inWindowsDir("x.ini")), "[S]\nA=one\n");
    EXPECT_STREQ(config::readSetting(nullptr, "S", "A", "d", true), "d");

    // A path beyond 255 characters names no file: default read, nothing written.
    std::string longName(300, 'n');
    EXPECT_STREQ(config::readSetting(longName.c_str(), "S", "A", "d", true), "d");
}
