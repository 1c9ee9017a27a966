// A peer that never answers must not stop a client from connecting or slot changes from flowing.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "child_process.h"
#include "test_prefix.h"

using namespace std::chrono_literals;
using testing_support::binPath;
using testing_support::ChildProcess;

TEST(HungPeer, IsSkippedByTheHandshakeBroadcasts) {
    testing_support::TestPrefix prefix;
    ChildProcess hung({binPath("roreziv_client"), "0", "--hang"});
    ASSERT_EQ(hung.readLine(20s).value_or(""), "ready");
    // Announce suppressed: two broadcasts, each of which may wait out the hung peer once.
    ChildProcess info({binPath("kelp-infodriver"), "--suppress-announce", "1", "12"});
    ASSERT_EQ(info.readLine(20s).value_or(""), "ready");
    ChildProcess client({binPath("roreziv_client"), "12"});
    auto line = client.waitForLine("connect ", 120s);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->substr(0, 11), "connect 15 ");
    EXPECT_TRUE(info.waitForLine("connect 0x", 20s));
    // Messages to the client itself are not held up.
    info.writeStdin("set 8 1\n");
    EXPECT_TRUE(client.waitForLine("change 12 8 1", 20s));
    EXPECT_TRUE(info.waitForLine("write 8 1", 20s));

    // kelp-slot asks only stand-in windows, so the hung window does not delay it (a broadcast
    // would wait out the hung peer's 5 s each time, 10 s for the two calls).
    const auto start = std::chrono::steady_clock::now();
    auto set = testing_support::runProgram({binPath("kelp-slot"), "12", "set", "8", "2"});
    auto get = testing_support::runProgram({binPath("kelp-slot"), "12", "get", "8"});
    EXPECT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(get.out, "2\n") << get.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
}

TEST(HungPeer, AStoppedInfodriverStallsTheClientOnceAndNeverHoldsUpItsEnd) {
    testing_support::TestPrefix prefix;
    ChildProcess info({binPath("kelp-infodriver"), "12"});
    ASSERT_EQ(info.readLine(20s).value_or(""), "ready");
    ChildProcess client({binPath("roreziv_client"), "12"});
    ASSERT_TRUE(client.waitForLine("connect 15 ", 20s));
    ASSERT_TRUE(info.waitForLine("connect 0x", 20s));
    info.signal(SIGSTOP);

    // The first write's read of the slot waits out the time limit once...
    auto start = std::chrono::steady_clock::now();
    client.writeStdin("updateslot 1 1\n");
    ASSERT_TRUE(client.waitForLine("ok", 30s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4500ms);
    // ...then the infodriver is known to be unresponsive and nothing waits on it again.
    start = std::chrono::steady_clock::now();
    client.writeStdin("updateslot 1 0\nupdateslot 1 1\nsetslot 2 5\ngetslot 2\n");
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(client.waitForLine("ok", 30s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    // Woken up, it acts on none of the writes its client gave up on, and serves new ones.
    info.signal(SIGCONT);
    bool served = false;
    for (int i = 0; i < 20 && !served; ++i) {
        client.writeStdin("setslot 3 " + std::to_string(i) + "\n");
        auto line = info.waitForLine("write ", 500ms);
        if (line) {
            EXPECT_EQ(line->substr(0, 8), "write 3 ") << *line;
            served = true;
        }
    }
    EXPECT_TRUE(served);

    // Stopped again, it cannot hold up the client's end.
    info.signal(SIGSTOP);
    client.writeStdin("updateslot 1 0\n");
    std::this_thread::sleep_for(500ms);
    start = std::chrono::steady_clock::now();
    client.signal(SIGTERM);
    EXPECT_EQ(client.waitExit(20s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    info.signal(SIGCONT);
}
