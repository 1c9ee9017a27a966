#include "child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "test_prefix.h"

using namespace std::chrono_literals;
using testing_support::binPath;
using testing_support::ChildProcess;

namespace {

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

// kelp-slot prints its usage to stdout for --help and to stderr for a bad command line: both
// land in the file, after what it held, and nothing comes through readLine.
TEST(ChildProcess, OutputToAFileIsAppendedThereInsteadOfReadHere) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string log = (std::filesystem::temp_directory_path() /
                             ("child-process-test-" + std::to_string(stamp) + ".log"))
                                .string();
    testing_support::writeFile(log, "before\n");
    {
        ChildProcess help({binPath("kelp-slot"), "--help"}, {}, log);
        EXPECT_EQ(help.waitExit(60s), 0);
        EXPECT_EQ(help.readLine(100ms), std::nullopt);
    }
    ChildProcess bad({binPath("kelp-slot")}, {}, log);
    EXPECT_EQ(bad.waitExit(60s), 1);
    EXPECT_EQ(bad.stderrText(), "");
    const std::string text = testing_support::readFile(log);
    EXPECT_EQ(text.rfind("before\n", 0), 0u) << text;
    EXPECT_EQ(occurrences(text, "usage: kelp-slot"), 2u) << text;
    std::filesystem::remove(log);
}

TEST(ChildProcess, AProgramThatCannotStartIsAnErrorAtOnce) {
    EXPECT_THROW(ChildProcess({binPath("no-such-program")}), std::runtime_error);
}

#ifndef _WIN32
// A child ignores exactly the signals this process ignores (inherited across exec), no more.
TEST(ChildProcess, AChildIgnoresTheSignalsItsParentIgnoresAndNoOthers) {
    auto ignored = [](const std::string& status) {
        const auto at = status.find("SigIgn:");
        return at == std::string::npos ? std::string()
                                       : status.substr(at, status.find('\n', at) - at);
    };
    ChildProcess child({"/bin/cat", "/proc/self/status"});
    std::string status;
    while (auto line = child.readLine(10s))
        status += *line + "\n";
    EXPECT_EQ(child.waitExit(10s), 0);
    EXPECT_FALSE(ignored(status).empty()) << status;
    EXPECT_EQ(ignored(status), ignored(testing_support::readFile("/proc/self/status")));
}
#endif
