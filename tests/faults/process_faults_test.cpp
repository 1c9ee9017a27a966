// The driver as a process under a service manager: silent on stderr, ended early in its start,
// restarted over and over, filing its log on a disk that fills up.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

#include "fault_rig.h"

namespace fault_test {
namespace {

using testing_support::binPath;
using testing_support::readFile;
using testing_support::runProgram;

// With no XDG_RUNTIME_DIR (the prefix clears it, as ssh, cron and CI do), neither the driver nor
// a second instance of it prints anything on stderr.
TEST_F(FaultTest, NothingOnStderrFromTheDriverOrASecondInstance) {
    auto second = startDriver(1);
    EXPECT_EQ(second->waitExit(kStartLimit), 255);
    EXPECT_EQ(second->readLine(100ms), std::nullopt);
    EXPECT_EQ(second->stderrText(), "");
    expectControlWorks();
    stopDriver(*dev.driver, SIGTERM);
    EXPECT_EQ(dev.driver->stderrText(), "");
}

// Restarts, clean or by SIGKILL, leave no more lock files in the runtime folder than one run
// has, once the folder was last swept a second ago (a folder is swept at most once a second).
TEST_F(FaultTest, LockFilesDoNotPileUpOverRestarts) {
    stopDriver(*dev.driver, SIGTERM);
    const auto afterOne = lockFiles();
    for (int i = 0; i < 10; ++i) {
        dev.driver = startDriver(1);
        ASSERT_TRUE(dev.driver->waitForLine("comms test cycle set to 1 second", kStartLimit))
            << dump(*dev.driver);
        if (i % 2) {
            dev.driver->signal(SIGKILL);
            dev.driver->waitExit(kStartLimit);
        } else {
            stopDriver(*dev.driver, SIGTERM);
        }
    }
    std::this_thread::sleep_for(1500ms);
    dev.driver = startDriver(1);
    ASSERT_TRUE(dev.driver->waitForLine("comms test cycle set to 1 second", kStartLimit));
    stopDriver(*dev.driver, SIGTERM);
    auto now = lockFiles();
    EXPECT_LE(now.size(), afterOne.size()) << [&] {
        std::string names;
        for (const auto& n : now)
            names += n + " ";
        return names;
    }();
}

// A log line reaches the file whole or not at all, even when the disk fills in the middle of
// it. The file size limit stands in for the full disk.
TEST_F(SystemTest, FullDiskNeverLeavesATornLogLine) {
    writeSettings(1, {"LogMode=1"});
    auto camera = startCamera(1);
    auto info = startInfodriver(1);
    // SIGXFSZ ignored, as a full disk gives no signal: the write just comes up short.
    auto driver = start({"/bin/sh", "-c", "trap '' XFSZ; exec \"$0\" 1", binPath("camlet32")});
    ASSERT_TRUE(driver->waitForLine("comms test cycle set to 1 second", kStartLimit))
        << dump(*driver);
    std::string log;
    for (const auto& e : std::filesystem::directory_iterator(logDirectory()))
        log = e.path();
    ASSERT_FALSE(log.empty());

    const auto full = [&](const std::string& limit) {
        const auto r = runProgram({"/usr/bin/prlimit", "--pid", std::to_string(driver->pid()),
                                   "--fsize=" + limit + ":unlimited"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    };
    // The disk fills a few bytes into the next line; each poll adds lines meanwhile.
    for (;;) {
        const auto size = std::filesystem::file_size(log);
        full(std::to_string(size + 9));
        if (std::filesystem::file_size(log) <= size + 9)
            break;  // else a line came in between: the limit is already behind the end
    }
    readFor(*driver, 2500ms);
    full("unlimited");
    const std::size_t after = mark(*driver);
    ASSERT_TRUE(waitForCount(*driver, after, "", 4, kEventLimit));
    stopDriver(*driver, SIGTERM);

    const std::string text = readFile(log);
    const std::regex stamp("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} - ");
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < text.size(); ++lines) {
        const auto end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "unfinished last line: " << text.substr(pos);
        const std::string line = text.substr(pos, end - pos);
        // "HH:MM:SS.mmm - text", and no second line glued to a fragment.
        std::smatch m;
        EXPECT_TRUE(std::regex_search(line, m, stamp) && m.position(0) == 0) << line;
        EXPECT_FALSE(std::regex_search(line.cbegin() + 1, line.cend(), stamp)) << line;
        pos = end + 2;
    }
    EXPECT_GT(lines, 4u);
}

}  // namespace
}  // namespace fault_test
