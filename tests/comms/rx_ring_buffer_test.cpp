#include "comms/rx_ring_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "child_process.h"
#include "platform/named_object.h"
#include "test_prefix.h"

using namespace comms;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
#ifndef _WIN32
using testing_support::TestPrefix;
#endif

namespace {

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return v;
}

class RxRingBufferTest : public ::testing::Test {
  protected:
#ifndef _WIN32
    TestPrefix prefix;
#endif
    RxBufHandle buf = 0;
    void SetUp() override {
        buf = rxbuf_create(0x7C);
        ASSERT_NE(buf, 0u);
    }
    void TearDown() override {
        rxbuf_destroy(buf);
    }
};

TEST_F(RxRingBufferTest, NewBufferIsEmpty) {
    std::uint8_t out[8];
    EXPECT_EQ(rxbuf_count(buf), 0);
    EXPECT_EQ(rxbuf_read(buf, out, sizeof out), 0u);
}

TEST_F(RxRingBufferTest, FillLevelsAroundCapacity) {
    // 16383 is the most that can be told from empty; 16384 reads as empty; 16385 leaves the
    // newest byte only.
    struct Case {
        std::size_t written;
        int count;
    } cases[] = {{16383, 16383}, {16384, 0}, {16385, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        RxBufHandle b = rxbuf_create(0x100);
        ASSERT_NE(b, 0u);
        auto in = pattern(c.written);
        std::uint32_t overwritten = 99;
        ASSERT_EQ(rxbuf_write(b, in.data(), static_cast<std::uint32_t>(in.size()), &overwritten),
                  1);
        EXPECT_EQ(rxbuf_count(b), c.count);
        EXPECT_EQ(overwritten, c.written - static_cast<std::size_t>(c.count));
        std::vector<std::uint8_t> out(20000);
        std::uint32_t got = rxbuf_read(b, out.data(), static_cast<std::uint32_t>(out.size()));
        ASSERT_EQ(got, static_cast<std::uint32_t>(c.count));
        out.resize(got);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), in.end() - c.count));
        EXPECT_EQ(rxbuf_count(b), 0);
        rxbuf_destroy(b);
    }
}

TEST_F(RxRingBufferTest, WrapsAcrossTheEndInOrder) {
    auto first = pattern(16380);
    ASSERT_EQ(rxbuf_write(buf, first.data(), 16380), 1);
    std::vector<std::uint8_t> sink(16380);
    ASSERT_EQ(rxbuf_read(buf, sink.data(), 16380), 16380u);
    // The next ten bytes occupy indices 16380..16383 and 0..5.
    const std::uint8_t wrap[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(rxbuf_write(buf, wrap, 10), 1);
    EXPECT_EQ(rxbuf_count(buf), 10);
    std::uint8_t out[32] = {};
    // A read asking for more than is there takes just what is there.
    ASSERT_EQ(rxbuf_read(buf, out, sizeof out), 10u);
    EXPECT_TRUE(std::equal(wrap, wrap + 10, out));
    EXPECT_EQ(rxbuf_count(buf), 0);
}

TEST_F(RxRingBufferTest, BadArgumentsChangeNothing) {
    const std::uint8_t b[3] = {1, 2, 3};
    std::uint8_t out[3];
    EXPECT_EQ(rxbuf_write(buf, b, 0), 0);
    EXPECT_EQ(rxbuf_write(buf, nullptr, 3), 0);
    EXPECT_EQ(rxbuf_write(0, b, 3), 0);
    EXPECT_EQ(rxbuf_count(buf), 0);
    EXPECT_EQ(rxbuf_count(0), -1);
    ASSERT_EQ(rxbuf_write(buf, b, 3), 1);
    EXPECT_EQ(rxbuf_read(buf, nullptr, 3), 0u);
    EXPECT_EQ(rxbuf_read(buf, out, 0), 0u);
    EXPECT_EQ(rxbuf_count(buf), 3);

    // A destroyed buffer's handle is no buffer, even after another buffer was made.
    RxBufHandle gone = rxbuf_create(0x200);
    rxbuf_destroy(gone);
    RxBufHandle other = rxbuf_create(0x201);
    EXPECT_EQ(rxbuf_count(gone), -1);
    EXPECT_EQ(rxbuf_write(gone, b, 3), 0);
    EXPECT_EQ(rxbuf_count(other), 0);
    rxbuf_destroy(other);
    rxbuf_destroy(0);
}

TEST(RxRingBufferNames, LockNameIsUpperHexWithoutPadding) {
    EXPECT_EQ(rxbuf_lock_name(0x7C), "7CBUFSEM");
    EXPECT_EQ(rxbuf_lock_name(0), "0BUFSEM");
    EXPECT_EQ(rxbuf_lock_name(0xABCD0012), "ABCD0012BUFSEM");
}

// Every locked operation gives up after 200 ms and then changes nothing.
void expectLockedOut(RxBufHandle buf) {
    std::uint8_t out[8];
    const std::uint8_t in[2] = {9, 9};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rxbuf_read(buf, out, sizeof out), 0u);
    EXPECT_EQ(rxbuf_count(buf), -1);
    EXPECT_EQ(rxbuf_write(buf, in, 2), 0);
    auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(spent, 3 * 195ms);
    EXPECT_LT(spent, 3s);
}

TEST_F(RxRingBufferTest, LockHeldByAnotherThreadTimesOut) {
    const std::uint8_t in[4] = {1, 2, 3, 4};
    ASSERT_EQ(rxbuf_write(buf, in, 4), 1);
    auto sem = platform::NamedSemaphore::open(rxbuf_lock_name(0x7C));
    ASSERT_TRUE(sem);
    std::atomic<bool> held{false}, done{false};
    std::thread holder([&] {
        held = sem->wait(1s);
        while (!done)
            std::this_thread::sleep_for(5ms);
        sem->release();
    });
    while (!held)
        std::this_thread::sleep_for(1ms);
    expectLockedOut(buf);
    // A new buffer whose lock name is held cannot be made either.
    EXPECT_EQ(rxbuf_create(0x7C), 0u);
    done = true;
    holder.join();
    EXPECT_EQ(rxbuf_count(buf), 4);  // nothing was consumed or added
}

TEST_F(RxRingBufferTest, LockHeldByAnotherProcessTimesOut) {
    ChildProcess holder({testing_support::binPath("comms-holder"), "sem", rxbuf_lock_name(0x7C)});
    auto line = holder.readLine(10s);
    ASSERT_TRUE(line);
    ASSERT_EQ(*line, "held");
    expectLockedOut(buf);
    EXPECT_EQ(rxbuf_create(0x7C), 0u);
    holder.closeStdin();
    ASSERT_TRUE(holder.waitExit(10s));
    EXPECT_EQ(rxbuf_count(buf), 0);
    // The name is free again, also for a new buffer.
    RxBufHandle again = rxbuf_create(0x7C);
    EXPECT_NE(again, 0u);
    rxbuf_destroy(again);
}

}  // namespace
