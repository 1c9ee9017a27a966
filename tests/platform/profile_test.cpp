#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "test_prefix.h"

namespace fs = std::filesystem;
using platform::readProfileString;
using platform::writeProfileString;
using testing_support::readFile;
using testing_support::TestPrefix;
using testing_support::writeFile;

namespace {

class IniFile : public ::testing::Test {
  protected:
    std::string file(const std::string& name = "test.ini") const {
        return prefix.path() + "/" + name;
    }
    std::string read(const std::string& section, const std::string& key,
                     const std::string& def = "<default>") const {
        return readProfileString(file(), section, key, def);
    }
    // Names in the folder other than the given ones (left-over temporary files, duplicates).
    std::vector<std::string> filesIn(const std::string& dir) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    TestPrefix prefix;
};

}  // namespace

TEST_F(IniFile, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(read("Camlet32", "Port"), "<default>");
    writeFile(file(), "[Camlet32]\nPort=3\n");
    EXPECT_EQ(read("Other", "Port"), "<default>");
    EXPECT_EQ(read("Camlet32", "Speed"), "<default>");
    EXPECT_EQ(read("Camlet32", "Port"), "3");
}

TEST_F(IniFile, NamesMatchWithoutCaseAndValuesAreTrimmed) {
    writeFile(file(),
              "; Port=9 is a comment\n"
              "Port=8\n"  // before any section: belongs to none
              "  [ camLET32 ]  \n"
              "  pORT  =  3 4  \t\n"
              "Empty=\n"
              "Spaces=   \n"
              "NoEquals\n"
              "Eq=a=b\n");
    EXPECT_EQ(read("CAMLET32", "port"), "3 4");
    EXPECT_EQ(read("Camlet32", "Empty"), "") << "an empty value is a value, not the default";
    EXPECT_EQ(read("Camlet32", "Spaces"), "");
    EXPECT_EQ(read("Camlet32", "NoEquals"), "<default>");
    EXPECT_EQ(read("Camlet32", "Eq"), "a=b");
    EXPECT_EQ(read("Camlet32", "; Port"), "<default>");
}

TEST_F(IniFile, CrlfFilesReadLikeLfFiles) {
    writeFile(file(), "[A]\r\nKey = value \r\nLast=x");
    EXPECT_EQ(read("a", "key"), "value");
    EXPECT_EQ(read("A", "Last"), "x") << "no line end after the last line";
}

TEST_F(IniFile, FirstDuplicateWinsAcrossRepeatedSections) {
    writeFile(file(), "[A]\nK=1\nK=2\n[B]\nK=3\n[a]\nK=4\nL=5\n");
    EXPECT_EQ(read("A", "K"), "1");
    EXPECT_EQ(read("A", "L"), "5") << "a repeated section is searched too";
    EXPECT_EQ(read("B", "K"), "3");
}

TEST_F(IniFile, ValuesAreCutAt255Characters) {
    std::string huge(100 * 1024, 'v');
    writeFile(file(), "[A]\nLong=" + std::string(300, 'x') + "\nHuge=" + huge + "\nAfter=ok");
    EXPECT_EQ(read("A", "Long"), std::string(255, 'x'));
    EXPECT_EQ(read("A", "Huge"), std::string(255, 'v'));
    EXPECT_EQ(read("A", "After"), "ok");
}

TEST_F(IniFile, GarbageNeverCrashes) {
    std::mt19937 rng(7);
    std::string junk;
    for (int i = 0; i < 200000; ++i)
        junk += static_cast<char>(rng() & 0xff);
    writeFile(file(), junk + "\n[A]\nK=found\n");
    EXPECT_EQ(read("A", "K"), "found") << "bytes before a section do not hide it";
    writeFile(file(), junk);
    (void)read("A", "K");
    EXPECT_TRUE(writeProfileString(file(), "A", "K", "v"));
    EXPECT_EQ(read("A", "K"), "v");
    EXPECT_EQ(readFile(file()).substr(0, junk.size()), junk) << "the garbage stays as it was";
}

TEST_F(IniFile, WriteReplacesInPlaceKeepingEveryOtherByte) {
    const std::string before =
        "; settings\n[Camlet32]\n  port =  1  \n; keep me\nSpeed=9600\n\n[Other]\nPort=5\n";
    writeFile(file(), before);
    EXPECT_TRUE(writeProfileString(file(), "CAMLET32", "Port", "3"));
    EXPECT_EQ(readFile(file()),
              "; settings\n[Camlet32]\n  port =  3  \n; keep me\nSpeed=9600\n\n[Other]\nPort=5\n");
}

TEST_F(IniFile, WriteAddsKeyAtEndOfItsSectionAndSectionAtEndOfFile) {
    writeFile(file(), "[A]\nK=1\n; note\n\n[B]\nX=1\n");
    EXPECT_TRUE(writeProfileString(file(), "a", "New", "2"));
    EXPECT_EQ(readFile(file()), "[A]\nK=1\n; note\nNew=2\n\n[B]\nX=1\n");
    EXPECT_TRUE(writeProfileString(file(), "C", "Y", "3"));
    EXPECT_EQ(readFile(file()), "[A]\nK=1\n; note\nNew=2\n\n[B]\nX=1\n[C]\nY=3\n");
}

TEST_F(IniFile, WriteKeepsCrlfAndFilesWithoutFinalNewline) {
    writeFile(file(), "[A]\r\nK=1\r\n[B]\r\nX=1");
    EXPECT_TRUE(writeProfileString(file(), "A", "L", "2"));
    EXPECT_TRUE(writeProfileString(file(), "B", "Y", "3"));
    EXPECT_TRUE(writeProfileString(file(), "C", "Z", "4"));
    EXPECT_EQ(readFile(file()), "[A]\r\nK=1\r\nL=2\r\n[B]\r\nX=1\r\nY=3\r\n[C]\r\nZ=4\r\n");
}

TEST_F(IniFile, WriteCreatesTheFileButNotItsDirectory) {
    EXPECT_TRUE(writeProfileString(file(), "Camlet32", "DebugMode", "1"));
    EXPECT_EQ(readFile(file()), "[Camlet32]\nDebugMode=1\n");
    std::string inMissingDir = prefix.path() + "/missing/test.ini";
    EXPECT_FALSE(writeProfileString(inMissingDir, "A", "K", "1"));
    EXPECT_FALSE(fs::exists(prefix.path() + "/missing"));
}

TEST_F(IniFile, ValueWithLineBreakCannotAddLines) {
    writeFile(file(), "[A]\nK=1\n");
    EXPECT_TRUE(writeProfileString(file(), "A", "K", "2\n[B]\nX=evil"));
    EXPECT_EQ(readFile(file()), "[A]\nK=2\n");
    EXPECT_FALSE(writeProfileString(file(), "A", "K=\n", "1"));
    EXPECT_FALSE(writeProfileString(file(), "A]\n[B", "K", "1"));
    EXPECT_EQ(readFile(file()), "[A]\nK=2\n");
}

TEST_F(IniFile, RemovesKeysAndSections) {
    writeFile(file(), "[A]\nK=1\nL=2\n[B]\nX=1\n[C]\nY=1\n");
    EXPECT_TRUE(writeProfileString(file(), "A", "K", std::nullopt));
    EXPECT_TRUE(platform::removeProfileSection(file(), "b"));
    EXPECT_EQ(readFile(file()), "[A]\nL=2\n[C]\nY=1\n");
    EXPECT_TRUE(writeProfileString(prefix.path() + "/none.ini", "A", "K", std::nullopt));
    EXPECT_FALSE(fs::exists(prefix.path() + "/none.ini")) << "removing creates nothing";
}

TEST_F(IniFile, ReadOnlyFileIsLeftAlone) {
    writeFile(file(), "[A]\nK=1\n");
    chmod(file().c_str(), 0444);  // read-only also for root, which access() would let through
    EXPECT_FALSE(writeProfileString(file(), "A", "K", "2"));
    EXPECT_FALSE(writeProfileString(file(), "A", "New", "2"));
    EXPECT_EQ(readFile(file()), "[A]\nK=1\n");
    EXPECT_EQ(read("A", "K"), "1");
    struct stat st {};
    stat(file().c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
}

TEST_F(IniFile, WriteIsAtomicAndKeepsModeAndLinks) {
    writeFile(file("real.ini"), "[A]\nK=1\n");
    chmod(file("real.ini").c_str(), 0640);
    fs::create_symlink("real.ini", file("link.ini"));
    struct stat before {};
    stat(file("real.ini").c_str(), &before);

    EXPECT_TRUE(writeProfileString(file("link.ini"), "A", "K", "2"));
    EXPECT_TRUE(fs::is_symlink(file("link.ini"))) << "the link stays a link";
    EXPECT_EQ(readFile(file("real.ini")), "[A]\nK=2\n");
    struct stat after {};
    stat(file("real.ini").c_str(), &after);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced by rename, never rewritten in place";
    EXPECT_EQ(filesIn(prefix.path()), (std::vector<std::string>{"link.ini", "real.ini"}))
        << "no temporary file left behind";
}

TEST_F(IniFile, FileNamesMatchWithoutCase) {
    std::string dir = prefix.windowsDir();
    writeFile(dir + "/dev_007.ini", "[Camlet32]\nPort=4\n");
    EXPECT_EQ(readProfileString(dir + "/DEV_007.ini", "Camlet32", "Port", "1"), "4");
    EXPECT_TRUE(writeProfileString(dir + "/DEV_007.ini", "Camlet32", "Port", "5"));
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"dev_007.ini"}));
    EXPECT_EQ(readFile(dir + "/dev_007.ini"), "[Camlet32]\nPort=5\n");
    // The exact spelling wins when both exist.
    writeFile(dir + "/DEV_007.ini", "[Camlet32]\nPort=6\n");
    EXPECT_EQ(readProfileString(dir + "/DEV_007.ini", "Camlet32", "Port", "1"), "6");
    EXPECT_EQ(readProfileString(dir + "/dev_007.ini", "Camlet32", "Port", "1"), "5");
}

TEST_F(IniFile, FileThatIsNoRegularFileNeverBlocks) {
    // A pipe in place of the settings file: opening it to read would wait for a writer forever.
    ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);
    auto reading = std::async(std::launch::async, [&] { return read("A", "K"); });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the stuck reader go before failing.
        int fd = ::open(file().c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        FAIL() << "reading a pipe blocked";
    }
    EXPECT_EQ(reading.get(), "<default>");
    EXPECT_FALSE(writeProfileString(file(), "A", "K", "1"));
    struct stat st {};
    ASSERT_EQ(lstat(file().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "left as it was";
}
