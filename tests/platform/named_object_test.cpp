#include "platform/named_object.h"
#include "platform/prefix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "test_prefix.h"

using namespace std::chrono_literals;
using platform::InstanceLock;
using platform::NamedSemaphore;
using testing_support::ChildProcess;
using testing_support::TestPrefix;
using Clock = std::chrono::steady_clock;

namespace {

// Starts the holder program and waits until it reports whether it holds the name.
std::unique_ptr<ChildProcess> startHolder(const std::string& kind, const std::string& name,
                                          const std::string& seconds, std::string* answer) {
    auto child = std::make_unique<ChildProcess>(std::vector<std::string>{
        testing_support::binPath("named_object_holder"), kind, name, seconds});
    auto line = child->readLine(10s);
    *answer = line.value_or("(no answer)");
    return child;
}

std::chrono::milliseconds since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
}

const std::string kThreadName = "Creating Thread for hCom 0x7.\r\n";

}  // namespace

TEST(NamedSemaphore, CountStaysBetweenZeroAndOne) {
    TestPrefix prefix;
    auto sem = NamedSemaphore::open("7CBUFSEM");
    ASSERT_TRUE(sem);
    EXPECT_EQ(sem->name(), "7CBUFSEM");
    EXPECT_EQ(NamedSemaphore::open("7CBUFSEM"), sem) << "one object per name in the process";
    EXPECT_FALSE(sem->release()) << "a count of 1 is the maximum";
    EXPECT_TRUE(sem->wait(0ms));
    EXPECT_FALSE(sem->wait(0ms));
    EXPECT_TRUE(sem->release());
    EXPECT_FALSE(sem->release());
    EXPECT_TRUE(sem->wait(0ms));
}

TEST(NamedSemaphore, NamesAreExactBytes) {
    TestPrefix prefix;
    std::string longName(1000, 'x');
    std::vector<std::string> names = {kThreadName, "Creating Thread for hCom 0x7.\n",
                                      "7cbufsem",  "7CBUFSEM",
                                      "a/../b",    "%s%n %x",
                                      longName,    longName + "y"};
    std::vector<std::shared_ptr<NamedSemaphore>> sems;
    for (const auto& n : names) {
        auto s = NamedSemaphore::open(n);
        ASSERT_TRUE(s) << n;
        EXPECT_TRUE(s->wait(0ms)) << "every name is its own object: " << n;
        sems.push_back(s);
    }
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_FALSE(NamedSemaphore::open(names[i])->wait(0ms)) << names[i];
}

TEST(NamedSemaphore, TimedWaitsLastTheirFullTime) {
    TestPrefix prefix;
    auto sem = NamedSemaphore::open("7CBUFSEM");
    ASSERT_TRUE(sem->wait(0ms));
    for (auto limit : {200ms, 1000ms}) {
        auto t0 = Clock::now();
        EXPECT_FALSE(sem->wait(limit));
        EXPECT_GE(since(t0), limit);
        EXPECT_LT(since(t0), limit + 2s);
    }
}

// A semaphore is never left taken by a dead process, also while others keep the name open.
TEST(NamedSemaphore, HolderKilledOutrightLeavesNothingHeld) {
    TestPrefix prefix;
    std::string answer;
    auto holder = startHolder("sem", kThreadName, "30", &answer);
    ASSERT_EQ(answer, "held");
    auto sem = NamedSemaphore::open(kThreadName);
    ASSERT_TRUE(sem);
    EXPECT_FALSE(sem->wait(0ms));
    holder->signal(SIGKILL);
    auto t0 = Clock::now();
    EXPECT_TRUE(sem->wait(10s));
    EXPECT_LT(since(t0), 5s);
}

TEST(InstanceLock, NotInheritedByChildProcesses) {
    TestPrefix prefix;
    auto lock = InstanceLock::acquire("inherit");
    ASSERT_TRUE(lock);
    // A program started while the lock is held must not carry the lock file: it would keep the
    // name held after the driver died.
    ChildProcess child({"/bin/sleep", "30"});
    std::string procDir = "/proc/" + std::to_string(child.pid());
    auto t0 = Clock::now();
    while (std::filesystem::read_symlink(procDir + "/exe").filename() != "sleep" && since(t0) < 10s)
        std::this_thread::sleep_for(5ms);
    std::string names = platform::runtimeDir() + "/names/";
    for (const auto& entry : std::filesystem::directory_iterator(procDir + "/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(entry.path(), ec).string();
        EXPECT_NE(target.rfind(names, 0), 0u) << "child holds " << target;
    }
    lock.reset();
    EXPECT_TRUE(InstanceLock::acquire("inherit"));
}

// The first use of a name in a process sweeps up the lock files of dead holders, holding each
// file it looks at for a moment. A driver starting just then must not take that for another
// instance and end.
TEST(InstanceLock, ASweepLookingAtTheNameIsNoHolder) {
    TestPrefix prefix;
    NamedSemaphore::open("first use").reset();  // makes the names folder
    const std::string names = platform::runtimeDir() + "/names";
    std::string file = names + "/n-";
    for (unsigned char c : std::string("title")) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", c);
        file += hex;
    }
    // Another process's sweep, looking at the name's file: its sweep lock, then the file's lock;
    // nobody else held the file, so it removes it and lets go of both.
    const int sweep = open((names + ".sweep").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const int looked = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(sweep, 0);
    ASSERT_GE(looked, 0);
    ASSERT_EQ(flock(sweep, LOCK_EX), 0);
    ASSERT_EQ(flock(looked, LOCK_EX), 0);
    std::thread sweeper([&] {
        std::this_thread::sleep_for(300ms);
        unlink(file.c_str());
        close(looked);
        close(sweep);
    });
    auto lock = InstanceLock::acquire("title");
    sweeper.join();
    EXPECT_TRUE(lock) << "a sweep is no holder";

    // A holder still is one, and says so at once.
    std::string answer;
    const auto t0 = Clock::now();
    auto other = startHolder("lock", "title", "0", &answer);
    EXPECT_EQ(answer, "busy");
    EXPECT_LT(since(t0), 5s);
}

TEST(NamedObjects, TwoPrefixesNeverShareAName) {
    TestPrefix first;
    auto lock = InstanceLock::acquire("shared name");
    auto sem = NamedSemaphore::open("shared name 2");
    ASSERT_TRUE(lock);
    ASSERT_TRUE(sem->wait(0ms));
    {
        TestPrefix second;
        EXPECT_TRUE(InstanceLock::acquire("shared name"));
        auto other = NamedSemaphore::open("shared name 2");
        ASSERT_TRUE(other);
        EXPECT_NE(other, sem);
        EXPECT_TRUE(other->wait(0ms));
    }
}

TEST(NamedObjects, APrefixNamedWithATrailingSlashIsTheSamePrefix) {
    TestPrefix prefix;
    const std::string plain = platform::runtimeDir();
    setenv("KELP_PREFIX", (prefix.path() + "/").c_str(), 1);
    platform::prefixChanged();
    EXPECT_EQ(platform::prefixDir(), prefix.path());
    EXPECT_EQ(platform::runtimeDir(), plain);
    auto lock = InstanceLock::acquire("title");
    setenv("KELP_PREFIX", prefix.path().c_str(), 1);
    platform::prefixChanged();
    EXPECT_FALSE(InstanceLock::acquire("title")) << "the two names of the prefix hold apart";
}

namespace {

std::vector<std::string> lockFiles() {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(platform::runtimeDir() + "/names", ec))
        files.push_back(e.path().filename().string());
    return files;
}

}  // namespace

TEST(NamedObjects, LockFileGoesWithTheLastHolderOfItsName) {
    TestPrefix prefix;
    auto lock = InstanceLock::acquire("title");
    auto sem = NamedSemaphore::open("7CBUFSEM");
    ASSERT_TRUE(lock);
    ASSERT_TRUE(sem->wait(0ms));
    EXPECT_EQ(lockFiles().size(), 2u);
    lock.reset();
    EXPECT_EQ(lockFiles().size(), 1u);
    sem.reset();  // closed while taken
    EXPECT_TRUE(lockFiles().empty());

    // A name that another process holds keeps its file; it goes when that process lets go.
    std::string answer;
    auto holder = startHolder("sem", "7CBUFSEM", "0.5", &answer);
    ASSERT_EQ(answer, "held");
    NamedSemaphore::open("7CBUFSEM").reset();
    EXPECT_EQ(lockFiles().size(), 1u);
    EXPECT_EQ(holder->waitExit(10s), 0);
    EXPECT_TRUE(lockFiles().empty());
}

TEST(NamedObjects, NextProcessRemovesTheFilesOfDeadHolders) {
    TestPrefix prefix;
    std::string answer;
    auto deadSem = startHolder("sem", "7CBUFSEM", "30", &answer);
    ASSERT_EQ(answer, "held");
    auto deadLock = startHolder("lock", "title 1", "30", &answer);
    ASSERT_EQ(answer, "held");
    auto live = startHolder("lock", "title 2", "30", &answer);
    ASSERT_EQ(answer, "held");
    for (auto* child : {deadSem.get(), deadLock.get()}) {
        child->signal(SIGKILL);
        ASSERT_TRUE(child->waitExit(10s).has_value());
    }
    EXPECT_EQ(lockFiles().size(), 3u);

    // A folder is swept at most once a second, so that processes started together do not each
    // look at every file; the holders' own first uses swept just now.
    std::this_thread::sleep_for(1500ms);
    auto next = startHolder("sem", "other", "0", &answer);
    ASSERT_EQ(answer, "held");
    EXPECT_EQ(next->waitExit(10s), 0);
    EXPECT_EQ(lockFiles().size(), 1u) << "only the live holder's file stays";
    auto again = startHolder("lock", "title 2", "0", &answer);
    EXPECT_EQ(answer, "busy");
}

// A folder swept less than a second ago is not swept again, so that processes started together do
// not each look at every file. A sweep older than that, or one stamped in the future (the clock
// was set back since), lets the next first use of a name in the folder sweep.
TEST(NamedObjects, AFolderIsSweptAtMostOnceASecond) {
    struct Case {
        const char* stamp;
        std::chrono::seconds age;
        bool swept;
    };
    for (const Case& c : {Case{"just now", 0s, false}, Case{"2 s ago", 2s, true},
                          Case{"in an hour", -3600s, true}}) {
        SCOPED_TRACE(c.stamp);
        TestPrefix prefix;
        const std::string names = platform::runtimeDir() + "/names";
        ASSERT_EQ(mkdir(names.c_str(), 0700), 0);
        const std::string dead = names + "/n-64656164";  // no process holds it
        close(open(dead.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        const int sweep = open((names + ".sweep").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(sweep, 0);
        timespec stamp{};
        clock_gettime(CLOCK_REALTIME, &stamp);
        stamp.tv_sec -= c.age.count();
        const timespec times[2] = {stamp, stamp};
        ASSERT_EQ(futimens(sweep, times), 0);
        close(sweep);

        NamedSemaphore::open("first use").reset();
        EXPECT_EQ(std::filesystem::exists(dead), !c.swept);
    }
}

TEST(NamedObjects, NamesWhoseFilesComeAndGoStillHaveOneHolder) {
    TestPrefix prefix;
    for (const char* kind : {"sem", "lock"}) {
        SCOPED_TRACE(kind);
        const std::string log = prefix.path() + "/" + kind + ".log";
        std::vector<std::unique_ptr<ChildProcess>> children;
        for (int i = 0; i < 3; ++i)
            children.push_back(std::make_unique<ChildProcess>(
                std::vector<std::string>{testing_support::binPath("named_object_holder"), "churn",
                                         kind, "churned", "400", log}));
        for (auto& child : children) {
            EXPECT_EQ(child->readLine(60s).value_or("(none)"), "done");
            EXPECT_EQ(child->waitExit(10s), 0);
        }
        const std::string trace = testing_support::readFile(log);
        EXPECT_EQ(trace.size(), 3u * 400 * 2);
        std::string alternating;
        for (std::size_t i = 0; i < trace.size() / 2; ++i)
            alternating += "+-";
        EXPECT_TRUE(trace == alternating) << "two holders overlapped";
        EXPECT_TRUE(lockFiles().empty());
    }
}
