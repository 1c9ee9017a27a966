// The settings rules where they meet our own INI engine and the prefix (Linux): the rest of a
// settings file stays byte for byte, a read-only file stays as it is, and a root outside the
// prefix works.
#include "config/settings.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "test_prefix.h"

using testing_support::readFile;
using testing_support::TestPrefix;

namespace {

const char kSection[] = "Camlet32";

}  // namespace

TEST(SettingsOnLinux, WriteBackKeepsEveryOtherByteOfTheFile) {
    TestPrefix prefix;
    const std::string path = prefix.windowsDir() + "/DEV_007.ini";
    testing_support::writeFile(
        path, "[Camlet32]\n; site values\nSpeed = 38400\nPort=3\n\n[Other]\nPort=9\n");
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(readFile(path),
              "[Camlet32]\n; site values\nSpeed = 38400\nPort=3\nDebugMode=1\nLogMode=0\n"
              "DataBits=8\nStopBits=1\nParity=N\n\n[Other]\nPort=9\n");
}

TEST(SettingsOnLinux, ALinuxPathWorksAsARoot) {
    TestPrefix prefix;
    const std::string root = prefix.path() + "/srv";
    std::filesystem::create_directories(root + "/plant/config/system");
    setenv("CC_ROOT", root.c_str(), 1);
    setenv("CC_SYSTEM", "plant", 1);
    config::loadDeviceSettings(1234, kSection);
    EXPECT_EQ(config::configPaths().configDir, root + "/plant/config/system");
    EXPECT_EQ(config::configPaths().logDir, root + "/plant/logs");
    EXPECT_FALSE(readFile(root + "/plant/config/system/DEV_1234.ini").empty());
    unsetenv("CC_ROOT");
    unsetenv("CC_SYSTEM");
}

// A file whose mode forbids writing is left alone, also for root (under Wine a root user writes
// a read-only file).
TEST(SettingsOnLinux, ReadOnlyFileGivesItsValuesAndStaysUnchanged) {
    TestPrefix prefix;
    const std::string path = prefix.windowsDir() + "/DEV_007.ini";
    testing_support::writeFile(path, "[Camlet32]\nPort=4\n");
    chmod(path.c_str(), 0444);
    config::loadDeviceSettings(7, kSection);
    EXPECT_EQ(config::deviceSettings().portNumber, 4);
    EXPECT_EQ(config::deviceSettings().debugMode, 1);
    EXPECT_EQ(readFile(path), "[Camlet32]\nPort=4\n");
}
