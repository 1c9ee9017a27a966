// Log lines reach their file whole or not at all.
#include "platform/log_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "test_prefix.h"

using testing_support::readFile;

namespace {

// In a child, so that the file size limit stays there: a limit of 100 bytes plays a disk that
// fills up after two 40-byte lines. Going past the limit must not end the child (SIGXFSZ).
TEST(LogFile, LineCutShortByAFullDiskIsTakenBackOutAndTheNextLineFollowsTheLastWholeOne) {
    testing_support::TestPrefix prefix;
    const std::string path = prefix.path() + "/full.log";
    const std::string a(38, 'a'), b(38, 'b'), c(38, 'c'), d(38, 'd'), x(18, 'x');
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t hard = limit.rlim_max;
        limit.rlim_cur = 100;
        setrlimit(RLIMIT_FSIZE, &limit);
        int failures = 0;
        failures += !platform::appendToFile(path, a + "\r\n");
        failures += !platform::appendToFile(path, b + "\r\n");
        failures += platform::appendToFile(path, c + "\r\n");   // only 20 bytes fit: taken out
        failures += !platform::appendToFile(path, x + "\r\n");  // exactly fills the disk
        failures += platform::appendToFile(path, c + "\r\n");   // nothing fits any more
        limit.rlim_cur = hard;                                  // space again
        setrlimit(RLIMIT_FSIZE, &limit);
        failures += !platform::appendToFile(path, d + "\r\n");
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "appendToFile reported a wrong outcome";
    EXPECT_EQ(readFile(path), a + "\r\n" + b + "\r\n" + x + "\r\n" + d + "\r\n");
}

TEST(LogFile, AppendsCreatesAndFailsOnWhatIsNoFile) {
    testing_support::TestPrefix prefix;
    const std::string path = prefix.path() + "/new.log";
    EXPECT_TRUE(platform::appendToFile(path, "one\r\n"));
    EXPECT_TRUE(platform::appendToFile(path, "two\r\n"));
    EXPECT_EQ(readFile(path), "one\r\ntwo\r\n");
    EXPECT_FALSE(platform::appendToFile(prefix.path() + "/missing/dir/x.log", "lost"));
    EXPECT_FALSE(platform::appendToFile(prefix.path(), "a directory"));
    const std::string fifo = prefix.path() + "/pipe.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(platform::appendToFile(fifo, "nobody reads")) << "and it returns at once";
}

TEST(LogFile, MakeDirectoryMakesOneLevel) {
    testing_support::TestPrefix prefix;
    EXPECT_TRUE(platform::makeDirectory(prefix.path() + "/logs"));
    EXPECT_FALSE(platform::makeDirectory(prefix.path() + "/logs")) << "exists already";
    EXPECT_FALSE(platform::makeDirectory(prefix.path() + "/a/b"));
    EXPECT_FALSE(platform::makeDirectory(""));
}

}  // namespace
