// Reads of a serial line on a real pseudo-terminal under the time-out rules: what one read
// gathers and when it ends. The limits are long, so that a loaded machine cannot end a read
// early; the checks only say "not before" and "well before".
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "platform/serial_device.h"
#include "pty_pair.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::COMMTIMEOUTS;
using platform::MAXDWORD;
using platform::SerialDevice;

namespace {

class SerialReadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pty.ok())
            GTEST_SKIP() << "no pseudo-terminal available";
        SerialDevice::OpenError error = SerialDevice::OpenError::None;
        line = SerialDevice::open(pty.slavePath, &error);
        ASSERT_TRUE(line) << "open failed";
        ASSERT_TRUE(line->configure(9600, 8, 0, 0));
    }

    void timeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
        COMMTIMEOUTS t;
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        line->setTimeouts(t);
    }

    // One read of up to `n` bytes, and how long it took.
    std::string read(std::size_t n, Clock::duration* took) {
        char buf[64] = {};
        const auto t0 = Clock::now();
        auto r = line->read(buf, n);
        *took = Clock::now() - t0;
        return std::string(buf, r.count);
    }

    testing_support::PtyPair pty;
    std::unique_ptr<SerialDevice> line;
};

TEST_F(SerialReadTest, OneReadGathersWhatComesWithinTheIntervalAndEndsAfterIt) {
    timeouts(1000, 0, 0);
    std::thread far([this] {
        pty.send("\x90\x41");
        std::this_thread::sleep_for(20ms);
        pty.send("\xFF");
    });
    Clock::duration took{};
    EXPECT_EQ(read(32, &took), "\x90\x41\xFF");
    far.join();
    EXPECT_GE(took, 1000ms) << "the read waited for more until the interval had passed";
}

TEST_F(SerialReadTest, AFullReadReturnsWithoutWaitingForTheInterval) {
    timeouts(5000, 0, 0);
    ASSERT_TRUE(pty.send("\x90\x50\x02\xFF"));
    std::this_thread::sleep_for(50ms);  // all four bytes are in the line
    Clock::duration took{};
    EXPECT_EQ(read(4, &took), "\x90\x50\x02\xFF");
    EXPECT_LT(took, 4000ms);
}

// Voluntary context switches of the calling thread so far: how often it slept.
long sleepsOfThisThread() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

TEST_F(SerialReadTest, AReadWithoutLimitsSleepsUntilTheRestComes) {
    timeouts(0, 0, 0);  // no time-outs: wait for all four bytes
    std::thread far([this] {
        pty.send("\x90\x41");
        std::this_thread::sleep_for(500ms);
        pty.send("\x02\xFF");
    });
    const long before = sleepsOfThisThread();
    Clock::duration took{};
    EXPECT_EQ(read(4, &took), "\x90\x41\x02\xFF");
    const long sleeps = sleepsOfThisThread() - before;
    far.join();
    // A reader that kept looking at the line while it waited would sleep hundreds of times.
    EXPECT_LT(sleeps, 50) << "the read polled the line instead of waiting for it";
}

TEST_F(SerialReadTest, TheTotalEndsAReadThatGetsNothingOrTooLittle) {
    timeouts(0, 10, 300);  // 10 x 4 + 300 = 340 ms for four bytes
    Clock::duration took{};
    EXPECT_EQ(read(4, &took), "");
    EXPECT_GE(took, 340ms);

    ASSERT_TRUE(pty.send("\x90"));
    EXPECT_EQ(read(4, &took), "\x90");
    EXPECT_GE(took, 340ms);
}

TEST_F(SerialReadTest, MaxIntervalReturnsWhatIsThereAtOnce) {
    timeouts(MAXDWORD, 0, 0);
    Clock::duration took{};
    EXPECT_EQ(read(8, &took), "");
    EXPECT_LT(took, 4000ms);
    ASSERT_TRUE(pty.send("\x90\x51\xFF"));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(read(8, &took), "\x90\x51\xFF");
    EXPECT_LT(took, 4000ms);
}

}  // namespace
