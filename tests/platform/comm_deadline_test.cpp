// The time-out rules of reads and writes for devices that time their own transfers.
#include <chrono>
#include <cstdint>

#include <gtest/gtest.h>

#include "platform/serial_device.h"

using namespace std::chrono_literals;
using platform::COMMTIMEOUTS;
using platform::MAXDWORD;
using platform::ReadDeadline;

namespace {

const ReadDeadline::Clock::time_point t0{};

COMMTIMEOUTS reads(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    return t;
}

}  // namespace

TEST(ReadDeadline, TotalIsMultiplierTimesCountPlusConstant) {
    ReadDeadline d(reads(0, 10, 50), 32, t0);
    EXPECT_FALSE(d.returnsNow());
    EXPECT_EQ(d.waitUntil(), t0 + 370ms);
    d.arrived(t0 + 360ms);
    EXPECT_EQ(d.waitUntil(), t0 + 370ms) << "no interval limit: bytes change nothing";

    // Huge products do not wrap into the past.
    for (std::size_t count : {std::size_t{1000}, std::size_t{1} << 40, SIZE_MAX}) {
        ReadDeadline big(reads(0, MAXDWORD - 1, MAXDWORD - 1), count, t0);
        EXPECT_GT(*big.waitUntil(), t0 + 1000h) << count;
    }
}

TEST(ReadDeadline, IntervalRunsOnlyFromTheLastByteAndTheEarlierLimitWins) {
    ReadDeadline d(reads(20, 0, 0), 8, t0);
    EXPECT_EQ(d.waitUntil(), std::nullopt) << "waits for the first byte without limit";
    d.arrived(t0 + 5s);
    EXPECT_EQ(d.waitUntil(), t0 + 5s + 20ms);
    d.arrived(t0 + 5s + 15ms);
    EXPECT_EQ(d.waitUntil(), t0 + 5s + 35ms);

    ReadDeadline both(reads(100, 0, 250), 8, t0);
    both.arrived(t0 + 100ms);
    EXPECT_EQ(both.waitUntil(), t0 + 200ms);
    both.arrived(t0 + 200ms);
    EXPECT_EQ(both.waitUntil(), t0 + 250ms) << "the total ends the read before the interval";
}

TEST(ReadDeadline, MaxIntervalForms) {
    // MAXDWORD / 0 / 0: what is there, at once.
    ReadDeadline immediate(reads(MAXDWORD, 0, 0), 8, t0);
    EXPECT_TRUE(immediate.returnsNow());

    // MAXDWORD / MAXDWORD / c: up to c for the first byte, then at once.
    ReadDeadline first(reads(MAXDWORD, MAXDWORD, 300), 8, t0);
    EXPECT_FALSE(first.returnsNow());
    EXPECT_EQ(first.waitUntil(), t0 + 300ms);
    first.arrived(t0 + 10ms);
    EXPECT_TRUE(first.returnsNow());

    // MAXDWORD with a plain total: the interval is off, the total holds.
    ReadDeadline total(reads(MAXDWORD, 0, 40), 8, t0);
    total.arrived(t0 + 1ms);
    EXPECT_FALSE(total.returnsNow());
    EXPECT_EQ(total.waitUntil(), t0 + 40ms);
}

TEST(WriteLimit, ZeroMeansNone) {
    COMMTIMEOUTS t;
    EXPECT_EQ(platform::writeLimit(t, 100), std::nullopt);
    t.WriteTotalTimeoutConstant = 1000;
    EXPECT_EQ(platform::writeLimit(t, 100), 1000ms);
    t.WriteTotalTimeoutMultiplier = 2;
    EXPECT_EQ(platform::writeLimit(t, 100), 1200ms);
    t.WriteTotalTimeoutMultiplier = MAXDWORD;
    EXPECT_GT(platform::writeLimit(t, SIZE_MAX), 1000h);
}

TEST(PollTimeout, NoneWaitsPastEndsAndFarIsCut) {
    const auto now = ReadDeadline::Clock::now();
    EXPECT_EQ(platform::pollTimeoutMs(std::nullopt), -1);
    EXPECT_EQ(platform::pollTimeoutMs(now - 1s), 0);
    const int ms = platform::pollTimeoutMs(now + 10s);
    EXPECT_GT(ms, 5000);
    EXPECT_LE(ms, 10000);
    EXPECT_EQ(platform::pollTimeoutMs(now + 1000h), 0x7FFFFFFF);
}
