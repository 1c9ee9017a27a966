// Named objects between threads and between processes, on both systems: the single-instance lock
// and the per-port semaphores, held by another thread or by named_object_holder in a process of
// its own (on Win32 the real kernel objects, under Wine one machine for the whole test run).
#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "platform/named_object.h"
#include "test_prefix.h"

using namespace std::chrono_literals;
using platform::InstanceLock;
using platform::NamedSemaphore;
using testing_support::ChildProcess;
using Clock = std::chrono::steady_clock;

namespace {

#ifdef SIGKILL
constexpr int kKill = SIGKILL;
#else
constexpr int kKill = 9;  // Win32: ends the child with TerminateProcess
#endif

std::chrono::milliseconds since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
}

class NamedObjectUse : public ::testing::Test {
  protected:
    // Starts the holder program and waits until it says whether it holds the name.
    std::unique_ptr<ChildProcess> startHolder(const std::string& kind, const std::string& name,
                                              const std::string& seconds, std::string* answer) {
        auto child = std::make_unique<ChildProcess>(std::vector<std::string>{
            testing_support::binPath("named_object_holder"), kind, name, seconds});
        *answer = child->readLine(30s).value_or("(no answer)");
        return child;
    }

    // A name of this test run: the objects of a Wine machine outlive a test process, and several
    // test programs share the machine.
    std::string name(const std::string& base) const {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        return base + " " + test->name() + " " +
               std::to_string(Clock::now().time_since_epoch().count());
    }

#ifndef _WIN32
    testing_support::TestPrefix prefix;
#endif
};

}  // namespace

TEST_F(NamedObjectUse, SemaphoreReleasedByAnotherThreadWakesTheWaiter) {
    auto sem = NamedSemaphore::open(name("Creating Thread for hCom 0x7.\r\n"));
    ASSERT_TRUE(sem);
    ASSERT_TRUE(sem->wait(0ms));
    auto t0 = Clock::now();
    std::thread other([&] {
        std::this_thread::sleep_for(100ms);
        sem->release();
    });
    EXPECT_TRUE(sem->wait(10s));
    EXPECT_GE(since(t0), 100ms - 5ms);
    EXPECT_LT(since(t0), 5s);
    other.join();
}

TEST_F(NamedObjectUse, SemaphoreExcludesThreadsOfTheProcess) {
    auto sem = NamedSemaphore::open(name("7CBUFSEM"));
    ASSERT_TRUE(sem);
    int inside = 0;  // guarded only by the semaphore: TSan sees any overlap
    int total = 0;
    std::atomic<int> timeouts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                if (!sem->wait(10s)) {
                    ++timeouts;
                    continue;
                }
                EXPECT_EQ(++inside, 1);
                ++total;
                --inside;
                sem->release();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(timeouts.load(), 0);
    EXPECT_EQ(total, 2000);
}

TEST_F(NamedObjectUse, SemaphoreTakenElsewhereTimesOutAfterItsLimit) {
    const std::string sem7 = name("7CBUFSEM");
    std::string answer;
    auto holder = startHolder("sem", sem7, "60", &answer);
    ASSERT_EQ(answer, "held");
    auto sem = NamedSemaphore::open(sem7);
    ASSERT_TRUE(sem);
    for (auto limit : {200ms, 1000ms}) {
        auto t0 = Clock::now();
        EXPECT_FALSE(sem->wait(limit));
        EXPECT_GE(since(t0), limit - 5ms);  // the system's timer may round a tick down
        EXPECT_LT(since(t0), limit + 3s);
    }
}

TEST_F(NamedObjectUse, SemaphoreReleasedElsewhereWakesTheWaiter) {
    const std::string sem7 = name("7CBUFSEM");
    std::string answer;
    auto holder = startHolder("sem", sem7, "0.3", &answer);
    ASSERT_EQ(answer, "held");
    auto sem = NamedSemaphore::open(sem7);
    auto t0 = Clock::now();
    EXPECT_TRUE(sem->wait(20s));
    EXPECT_LT(since(t0), 15s);
    EXPECT_EQ(holder->waitExit(20s), 0);

    // While we hold it, another process cannot take it; after our release it can.
    auto second = startHolder("sem", sem7, "0", &answer);
    EXPECT_EQ(answer, "busy");
    EXPECT_EQ(second->waitExit(20s), 1);
    EXPECT_TRUE(sem->release());
    auto third = startHolder("sem", sem7, "0", &answer);
    EXPECT_EQ(answer, "held");
}

TEST_F(NamedObjectUse, InstanceLockHasOneHolder) {
    const std::string title = name("KELP Camlet32 Application with Debug window - Device 7");
    auto lock = InstanceLock::acquire(title);
    ASSERT_TRUE(lock);
    EXPECT_FALSE(InstanceLock::acquire(title)) << "second acquire in the same process";
    std::string answer;
    auto other = startHolder("lock", title, "0", &answer);
    EXPECT_EQ(answer, "busy");
    EXPECT_EQ(other->waitExit(20s), 1);
    auto device8 = startHolder("lock", title + "8", "0", &answer);
    EXPECT_EQ(answer, "held") << "another device runs side by side";

    lock.reset();
    auto next = startHolder("lock", title, "0", &answer);
    EXPECT_EQ(answer, "held") << "free again once the holder let go";
}

TEST_F(NamedObjectUse, InstanceLockIsFreedWhenItsHolderIsKilled) {
    const std::string title = name("KELP Camlet32 Application with Debug window - Device 12");
    std::string answer;
    auto holder = startHolder("lock", title, "60", &answer);
    ASSERT_EQ(answer, "held");
    EXPECT_FALSE(InstanceLock::acquire(title));
    holder->signal(kKill);
    ASSERT_TRUE(holder->waitExit(20s).has_value());
    EXPECT_TRUE(InstanceLock::acquire(title)) << "a restart after a crash works";
}
