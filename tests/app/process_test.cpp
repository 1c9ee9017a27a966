// The camlet32 process: command line, single instance, settings file, headless output, signals.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "child_process.h"
#include "test_prefix.h"

using namespace std::chrono_literals;
using testing_support::binPath;
using testing_support::ChildProcess;
using testing_support::readFile;
using testing_support::runProgram;
using testing_support::TestPrefix;
using testing_support::writeFile;

namespace {

const char kBoxText[] = "Valid device number must be supplied as command line parameter";

// Headless: no display of any kind, so the program picks the offscreen platform itself.
ChildProcess::Env headless() {
    return {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
}

// Waits until a file holds `needle` (the driver writes its settings while its window is created,
// after it took the single-instance lock and installed its signal handling).
bool waitForFileText(const std::string& path, const std::string& needle,
                     std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (readFile(path).find(needle) != std::string::npos)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class ProcessTest : public ::testing::Test {
  protected:
    std::string settingsPath(const char* name = "DEV_007.ini") const {
        return prefix.windowsDir() + "/" + name;
    }
    // Starts camlet32 with one argument and waits until its window exists.
    std::unique_ptr<ChildProcess> startDriver(const std::string& arg, const char* settings,
                                              const std::string& program = "camlet32") {
        unlink(settingsPath(settings).c_str());  // written afresh once the window exists
        auto child = std::make_unique<ChildProcess>(std::vector<std::string>{binPath(program), arg},
                                                    headless());
        EXPECT_TRUE(waitForFileText(settingsPath(settings), "Parity=")) << child->stderrText();
        return child;
    }

    TestPrefix prefix;
};

TEST_F(ProcessTest, BadDeviceNumbersShowTheBoxAndExitMinusOne) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"0"}, {"-3"}, {"abc"}, {""}, {}, {"+0x7"}}) {
        std::vector<std::string> argv{binPath("camlet32")};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = runProgram(argv, headless());
        const std::string what = args.empty() ? "(none)" : "'" + args[0] + "'";
        EXPECT_EQ(r.exitCode, 255) << what;
        EXPECT_NE(r.err.find(std::string("Error: ") + kBoxText), std::string::npos) << r.err;
    }
    EXPECT_EQ(readFile(prefix.windowsDir() + "/DEV_000.ini"), "");
}

TEST_F(ProcessTest, NumberIsReadByAtoiRules) {
    {
        auto driver = startDriver("12abc", "DEV_012.ini");
        driver->signal(SIGTERM);
        EXPECT_EQ(driver->waitExit(20s), 0);
    }
    {
        auto driver = startDriver("  7", "DEV_007.ini");
        driver->signal(SIGTERM);
        EXPECT_EQ(driver->waitExit(20s), 0);
    }
}

TEST_F(ProcessTest, SeveralArgumentsAreJoinedAndCutAt254Characters) {
    // 250 blanks and "12345": only "1234" stands within the first 254 characters.
    auto child = std::make_unique<ChildProcess>(
        std::vector<std::string>{binPath("camlet32"), std::string(249, ' '), "12345"}, headless());
    ASSERT_TRUE(waitForFileText(settingsPath("DEV_1234.ini"), "Parity=")) << child->stderrText();
    child->signal(SIGTERM);
    EXPECT_EQ(child->waitExit(20s), 0);

    // A 300-character line that starts with the number.
    auto longLine = startDriver("7" + std::string(299, 'x'), "DEV_007.ini");
    longLine->signal(SIGTERM);
    EXPECT_EQ(longLine->waitExit(20s), 0);
}

TEST_F(ProcessTest, NewSettingsFileHoldsTheSevenKeysInOrder) {
    auto driver = startDriver("7", "DEV_007.ini");
    driver->signal(SIGTERM);
    ASSERT_EQ(driver->waitExit(20s), 0);
    std::string ini = readFile(settingsPath());
    std::erase(ini, '\r');
    EXPECT_EQ(ini,
              "[Camlet32]\nDebugMode=1\nLogMode=0\nPort=1\nSpeed=9600\nDataBits=8\nStopBits=1\n"
              "Parity=N\n");
}

TEST_F(ProcessTest, SecondInstanceExitsSilentlyOtherDeviceRunsBeside) {
    // Without XDG_RUNTIME_DIR (ssh, cron, CI; the test prefix unsets it) neither instance says
    // anything on stderr, and the second nothing at all.
    ASSERT_EQ(getenv("XDG_RUNTIME_DIR"), nullptr);
    auto first = startDriver("7", "DEV_007.ini");
    const auto second = runProgram({binPath("camlet32"), "7"}, headless());
    EXPECT_EQ(second.exitCode, 255);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out, "");

    auto other = startDriver("8", "DEV_008.ini");
    EXPECT_FALSE(other->waitExit(300ms).has_value()) << "device 8 runs beside device 7";
    other->signal(SIGTERM);
    first->signal(SIGTERM);
    EXPECT_EQ(other->waitExit(20s), 0);
    EXPECT_EQ(first->waitExit(20s), 0);
    EXPECT_EQ(first->stderrText(), "");

    // Once the first has gone, the device number is free again.
    auto again = startDriver("7", "DEV_007.ini");
    again->signal(SIGTERM);
    EXPECT_EQ(again->waitExit(20s), 0);
}

TEST_F(ProcessTest, LockOfAKilledDriverIsFree) {
    auto first = startDriver("7", "DEV_007.ini");
    first->signal(SIGKILL);
    first->waitExit(20s);
    auto again = startDriver("7", "DEV_007.ini");
    EXPECT_FALSE(again->waitExit(300ms).has_value());
    again->signal(SIGTERM);
    EXPECT_EQ(again->waitExit(20s), 0);
}

TEST_F(ProcessTest, HeadlessDebugLinesGoToStdoutAndSignalsEndLikeExit) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        ChildProcess probe({binPath("shell_probe"), "7"}, headless());
        ASSERT_TRUE(probe.waitForLine("probe startup device 7", 20s)) << probe.stderrText();
        probe.signal(sig);
        EXPECT_TRUE(probe.waitForLine("probe shutdown hook", 20s));
        EXPECT_EQ(probe.waitExit(20s), 0);
        // The shutdown hook's own debug line came before it, on stdout too.
        const auto& lines = probe.linesSeen();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "probe shutdown"), lines.end());
    }
}

// True once the process catches SIGTERM (its "SigCgt" mask in /proc), that is, once it has
// started keeping termination signals for later.
bool catchesSigterm(pid_t pid) {
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    auto at = status.find("SigCgt:");
    if (at == std::string::npos)
        return false;
    unsigned long long mask = std::stoull(status.substr(at + 7), nullptr, 16);
    return (mask >> (SIGTERM - 1)) & 1u;
}

TEST_F(ProcessTest, SignalDuringStartUpEndsTheDriverLikeExit) {
    // Sent the moment the driver catches SIGTERM, while the rest of its start (window, bus,
    // port) may still be under way, the signal ends the driver as File > Exit does.
    ChildProcess child({binPath("camlet32"), "7"}, headless());
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!catchesSigterm(child.pid()) && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
    ASSERT_TRUE(catchesSigterm(child.pid())) << child.stderrText();
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitExit(20s), 0) << child.stderrText();
}

TEST_F(ProcessTest, SignalFromBeforeTheFirstStepEndsTheDriverLikeExit) {
    // The child inherits a mask that holds SIGTERM, so the signal sent at once is pending from
    // before the program's first step, long before the driver's handler exists; once the driver
    // takes the signals over, it ends as File > Exit does. (That the launcher holds the signals
    // itself while the driver's libraries load is platform_launcher_test's case.)
    sigset_t term, before;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &before);
    ChildProcess child({binPath("camlet32"), "7"}, headless());
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitExit(20s), 0) << child.stderrText();
}

TEST_F(ProcessTest, QuietModeShowsNoDebugLines) {
    writeFile(settingsPath(), "[Camlet32]\r\nDebugMode=0\r\n");
    ChildProcess probe({binPath("shell_probe"), "7"}, headless());
    ASSERT_TRUE(waitForFileText(settingsPath(), "Parity="));
    probe.signal(SIGTERM);
    EXPECT_TRUE(probe.waitForLine("probe shutdown hook", 20s));
    EXPECT_EQ(probe.waitExit(20s), 0);
    for (const auto& line : probe.linesSeen())
        EXPECT_EQ(line.find("probe startup"), std::string::npos) << line;
}

TEST_F(ProcessTest, ReadOnlySettingsFileIsLeftAloneAndLinesAreFiled) {
    const std::string settings = "[Camlet32]\r\nDebugMode=1\r\nLogMode=1\r\nPort=3\r\n";
    writeFile(settingsPath(), settings);
    ASSERT_EQ(chmod(settingsPath().c_str(), 0444), 0);
    ChildProcess probe({binPath("shell_probe"), "7"}, headless());
    ASSERT_TRUE(probe.waitForLine("probe startup device 7", 20s)) << probe.stderrText();
    probe.signal(SIGTERM);
    EXPECT_EQ(probe.waitExit(20s), 0);
    EXPECT_EQ(readFile(settingsPath()), settings);

    // C:\kelplogs is made on the first filed line; one file per day and device.
    const std::string logs = prefix.driveC() + "/kelplogs";
    std::string found;
    for (const auto& name :
         {std::string("probe startup device 7"), std::string("probe shutdown")}) {
        bool any = false;
        if (DIR* d = opendir(logs.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string f = e->d_name;
                if (f.size() > 16 && f.ends_with("_child2_7.log"))
                    any = any ||
                          readFile(logs + "/" + f).find(" - " + name + "\r\n") != std::string::npos;
            }
            closedir(d);
        }
        EXPECT_TRUE(any) << name;
    }
}

TEST_F(ProcessTest, MissingLogDirectoryParentRunsOn) {
    // Both directories under a root that does not exist: nothing can be written, the driver
    // runs with its defaults and still shows its lines.
    ChildProcess::Env env = headless();
    env["CC_ROOT"] = prefix.path() + "/missing";
    env["CC_SYSTEM"] = "sys";
    ChildProcess probe({binPath("shell_probe"), "7"}, env);
    ASSERT_TRUE(probe.waitForLine("probe startup device 7", 20s)) << probe.stderrText();
    probe.signal(SIGTERM);
    EXPECT_EQ(probe.waitExit(20s), 0);
}

}  // namespace
