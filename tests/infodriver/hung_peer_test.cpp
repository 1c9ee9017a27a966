// A peer that never answers must not stop a client from connecting or slot changes from flowing.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

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
