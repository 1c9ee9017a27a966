// The version record of camlet32.exe read back with the version API, as the About box does.
#include "platform/version_info.h"

#include <gtest/gtest.h>

#include "test_prefix.h"

namespace {

TEST(Win32VersionInfo, TheProgramsResourceGivesItsVersions) {
    const std::string record =
        platform::readVersionRecord(testing_support::binPath("camlet32.exe"));
    ASSERT_FALSE(record.empty());
    auto translation = platform::queryVersionValue(record, "\\VarFileInfo\\Translation");
    ASSERT_TRUE(translation);
    EXPECT_EQ(*translation, std::string("\x09\x08\xB0\x04", 4));
    auto file = platform::queryVersionValue(record, "\\StringFileInfo\\080904B0\\FileVersion");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->substr(0, file->find('\0')), "1.03");
    auto product =
        platform::queryVersionValue(record, "\\StringFileInfo\\080904b0\\ProductVersion");
    ASSERT_TRUE(product);
    EXPECT_EQ(product->substr(0, product->find('\0')), "1, 3, 0, 0");
    EXPECT_FALSE(platform::queryVersionValue(record, "\\StringFileInfo\\040904B0\\FileVersion"));
}

TEST(Win32VersionInfo, FilesWithoutAResourceGiveNothing) {
    EXPECT_EQ(platform::readVersionRecord(testing_support::binPath("comms-holder.exe")), "");
    EXPECT_EQ(platform::readVersionRecord("Z:\\nonexistent\\camlet32.exe"), "");
    EXPECT_FALSE(platform::queryVersionValue("", "\\VarFileInfo\\Translation"));
}

}  // namespace
