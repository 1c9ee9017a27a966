// Link supervision in virtual time: poll cycles, reply timer, reply classification, slot 1 and
// the status text, against a fake camera that answers, falls silent or talks nonsense.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "camera/camera_controller.h"
#include "fake_camera_host.h"

namespace {

using camera::CameraController;
using camera_test::Bytes;
using camera_test::FakeCameraHost;
using camera_test::kAutoFocusReply;
using camera_test::kPoll;
using Times = std::vector<std::int64_t>;

const std::string kNoResponse = "Reply Timer - no response from device";
const std::string k1s = "comms test cycle set to 1 second";
const std::string k5s = "comms test cycle set to 5 second";
const std::string k20s = "comms test cycle set to 20 seconds";

struct Rig {
    FakeCameraHost host;
    CameraController cam{host};
    bool answering = true;
    std::int64_t replyDelay = 30;

    Rig() {
        host.controller = &cam;
        host.slots[1] = "";
        host.camera = [this](const Bytes& b) {
            if (!answering)
                return;
            if (b == kPoll) {
                host.arriveIn(replyDelay, kAutoFocusReply);
            } else {
                host.arriveIn(replyDelay - 10, {0x90, 0x41, 0xFF});
                host.arriveIn(replyDelay, {0x90, 0x51, 0xFF});
            }
        };
    }
    // What driver start-up does once the port has opened.
    void startPolling() { host.setTimer(camera::kPollTimerId, 1000); }

    std::vector<std::pair<std::int64_t, unsigned>> pollPeriodSets() const {
        std::vector<std::pair<std::int64_t, unsigned>> out;
        for (const auto& t : host.timerSets)
            if (t.id == camera::kPollTimerId)
                out.emplace_back(t.at, t.ms);
        return out;
    }
    std::vector<std::pair<std::int64_t, std::string>> slot1Writes() const {
        std::vector<std::pair<std::int64_t, std::string>> out;
        for (const auto& w : host.slotWrites)
            if (w.slot == 1)
                out.emplace_back(w.at, w.value);
        return out;
    }
    Times statusTimes(const std::string& text) const {
        Times out;
        for (const auto& s : host.statuses)
            if (s.text == text)
                out.push_back(s.at);
        return out;
    }
};

struct Link : ::testing::Test, Rig {};

TEST_F(Link, AnsweringCameraGoesFromOneSecondToTwentySecondCycle) {
    startPolling();
    host.runUntil(85000);

    // First good reply at 1030 restarts the 1 s cycle; the 21st poll after it sets 20 s.
    Times polls = host.sendTimes(kPoll);
    ASSERT_GE(polls.size(), 25u);
    EXPECT_EQ(polls[0], 1000);
    for (int i = 1; i <= 21; ++i)
        EXPECT_EQ(polls[i], 1030 + 1000 * i) << i;
    EXPECT_EQ(polls[22], 22030 + 20000);
    EXPECT_EQ(polls[23], 22030 + 40000);

    EXPECT_EQ(pollPeriodSets(), (std::vector<std::pair<std::int64_t, unsigned>>{
                                    {0, 1000}, {1030, 1000}, {22030, 20000}}));
    EXPECT_EQ(host.logTimes(k1s), Times{1030});
    EXPECT_EQ(host.logTimes(k20s), Times{22030});
    EXPECT_TRUE(host.logTimes(kNoResponse).empty());
    EXPECT_EQ(slot1Writes(), (std::vector<std::pair<std::int64_t, std::string>>{{1030, "1"}}));
    EXPECT_EQ(host.statuses.back().text, "Connected OK");
    EXPECT_EQ(cam.pollCount, 22);
    EXPECT_TRUE(cam.connected);
    EXPECT_EQ(cam.serialRxCount, static_cast<std::int32_t>(polls.size()));
    EXPECT_EQ(cam.serialTxCount, static_cast<std::int32_t>(polls.size()));
    EXPECT_FALSE(host.timerRunning(camera::kReplyTimerId));
}

TEST_F(Link, CameraSilentOnTwentySecondCycleShowsErrorStatusAfterElevenPointSix) {
    startPolling();
    host.runUntil(40000);  // on the 20 s cycle; next poll at 42030
    answering = false;
    host.runUntil(55000);

    EXPECT_EQ(host.logTimes(kNoResponse), (Times{42830, 48630, 53630}));
    EXPECT_EQ(host.logTimes(k5s), Times{42830});
    EXPECT_EQ(host.timerPeriod(camera::kPollTimerId), 5000u);
    EXPECT_EQ(pollPeriodSets().back(), (std::pair<std::int64_t, unsigned>{42830, 5000}));
    EXPECT_EQ(slot1Writes().back(), (std::pair<std::int64_t, std::string>{42030 + 11600, "0"}));
    EXPECT_EQ(statusTimes("Error Status"), Times{42030 + 11600});
    EXPECT_FALSE(cam.connected);
    EXPECT_EQ(cam.timeoutCount, 0);
}

TEST_F(Link, CameraSilentFromStartIsPolledEveryFiveSecondsWithAFivePointEightGap) {
    answering = false;
    startPolling();
    host.runUntil(140000);

    Times polls = host.sendTimes(kPoll);
    // 1 s cycle: polls at 1000..21000; the 21st sets 20 s, its expiry at 21800 sets 5 s.
    for (int i = 0; i < 21; ++i)
        EXPECT_EQ(polls[i], 1000 * (i + 1));
    EXPECT_EQ(polls[21], 26800);
    for (int i = 21; i < 41; ++i)
        EXPECT_EQ(polls[i], 26800 + 5000 * (i - 21));
    EXPECT_EQ(polls[41], 126800);  // the next 21st poll, again followed by a 5.8 s gap
    EXPECT_EQ(polls[42], 126800 + 5800);
    EXPECT_EQ(host.logTimes(k20s), (Times{21000, 126800}));
    EXPECT_EQ(host.logTimes(k5s), (Times{21800, 127600}));
    EXPECT_TRUE(host.logTimes(k1s).empty());

    // Every poll's reply timer expires; every third expiry shows "Error Status", but slot 1 is
    // written only once, since it then already holds "0".
    Times expiries = host.logTimes(kNoResponse);
    ASSERT_EQ(expiries.size(), polls.size());
    for (std::size_t i = 0; i < polls.size(); ++i)
        EXPECT_EQ(expiries[i], polls[i] + 800);
    Times errors = statusTimes("Error Status");
    ASSERT_EQ(errors.size(), expiries.size() / 3);
    for (std::size_t i = 0; i < errors.size(); ++i)
        EXPECT_EQ(errors[i], expiries[3 * i + 2]);
    EXPECT_EQ(slot1Writes(), (std::vector<std::pair<std::int64_t, std::string>>{{3800, "0"}}));
}

TEST_F(Link, CameraThatAnswersAgainStartsTheOneSecondCycleAfresh) {
    answering = false;
    startPolling();
    host.runUntil(26000);  // silent: on the 5 s cycle now, slot 1 "0"
    ASSERT_EQ(host.timerPeriod(camera::kPollTimerId), 5000u);
    answering = true;
    host.runUntil(40000);

    // The poll at 26800 is answered at 26830.
    EXPECT_EQ(host.logTimes(k1s), Times{26830});
    EXPECT_EQ(pollPeriodSets().back(), (std::pair<std::int64_t, unsigned>{26830, 1000}));
    EXPECT_EQ(slot1Writes().back(), (std::pair<std::int64_t, std::string>{26830, "1"}));
    Times polls = host.sendTimes(kPoll);
    EXPECT_EQ(polls.back(), 39830);
    EXPECT_EQ(cam.pollCount, 13);
    EXPECT_EQ(cam.timeoutCount, 0);
    EXPECT_TRUE(cam.connected);
}

TEST_F(Link, TwoExpiriesThenAGoodReplyNeedThreeFreshExpiriesForSlotOneZero) {
    host.slots[1] = "1";
    answering = false;
    startPolling();
    host.runUntil(2900);  // expiries at 1800 and 2800
    ASSERT_EQ(cam.timeoutCount, 2);
    answering = true;
    host.runUntil(3500);  // poll 3000 answered at 3030
    EXPECT_EQ(cam.timeoutCount, 0);
    answering = false;
    // The poll at 4030 expires at 4830 while connected: 5 s cycle, polls at 9830 and 14830.
    host.runUntil(16000);
    EXPECT_EQ(host.logTimes(kNoResponse), (Times{1800, 2800, 4830, 10630, 15630}));
    EXPECT_EQ(host.logTimes(k5s), Times{4830});
    EXPECT_EQ(slot1Writes(), (std::vector<std::pair<std::int64_t, std::string>>{{15630, "0"}}));
    EXPECT_EQ(statusTimes("Error Status"), Times{15630});
}

TEST_F(Link, TwoSendsThreeHundredMsApartGiveOneExpiryAfterTheSecond) {
    answering = false;
    EXPECT_EQ(cam.dispatchSlotChange(1, 8, "1"), 0);
    host.runUntil(300);
    EXPECT_EQ(cam.dispatchSlotChange(1, 8, "0"), 0);
    host.runUntil(5000);
    EXPECT_EQ(host.logTimes(kNoResponse), Times{1100});
    EXPECT_EQ(cam.timeoutCount, 1);
    EXPECT_EQ(cam.serialTxCount, 2);
    EXPECT_FALSE(host.timerRunning(camera::kPollTimerId));
}

struct SplitRig : Rig {
    SplitRig() { answering = false; }
    // Sends one command, then delivers `pieces` as separate reads 10 ms apart.
    void deliver(const std::vector<Bytes>& pieces) {
        cam.dispatchSlotChange(1, 8, "1");
        for (std::size_t i = 0; i < pieces.size(); ++i)
            host.arriveIn(20 + 10 * i, pieces[i]);
        host.runUntil(host.now + 20 + 10 * pieces.size());
    }
};
struct Split : ::testing::Test, SplitRig {};

TEST_F(Split, AckAndCompletionInOneReadAreOneGoodReply) {
    deliver({{0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF}});
    EXPECT_EQ(cam.serialRxCount, 1);
    EXPECT_TRUE(cam.connected);
    EXPECT_EQ(host.statuses.back().text, "Connected OK");
    EXPECT_FALSE(host.timerRunning(camera::kReplyTimerId));
}

struct SplitCase {
    std::vector<Bytes> pieces;
    bool connectedAfter;
    const char* lastStatus;
    std::size_t statusCount;
};

void checkSplits(const std::vector<SplitCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.pieces));
        SplitRig t;
        t.deliver(c.pieces);
        EXPECT_EQ(t.cam.connected, c.connectedAfter);
        EXPECT_EQ(t.host.statuses.back().text, c.lastStatus);
        EXPECT_EQ(t.host.statuses.size(), c.statusCount);
        EXPECT_EQ(t.host.slots[1], c.connectedAfter ? "1" : "0");
        EXPECT_EQ(t.cam.serialRxCount, static_cast<std::int32_t>(c.pieces.size()));
    }
}

TEST_F(Split, ReadThatBeginsAPacketIsJudgedByItsFirstByte) {
    checkSplits({
        {{{0x90, 0x50, 0x03, 0xFF}}, true, "Connected OK", 1},
        {{{0x90}, {0x50}, {0x02}, {0xFF}}, true, "Connected OK", 1},
        {{{0x91, 0x90, 0x50, 0x02, 0xFF}}, false, "Reply error", 1},
        {{{0x00, 0x90}}, false, "Reply error", 1},
        // The first read ended on a terminator, so the second begins a packet.
        {{{0x90, 0x41, 0xFF}, {0x41, 0xFF}}, false, "Reply error", 2},
        {{{0x90, 0x41, 0xFF}, {0x90, 0x51, 0xFF}}, true, "Connected OK", 2},
    });
}

TEST_F(Split, ReadThatContinuesAPacketIsJudgedAfterTheTerminatorThatEndsIt) {
    checkSplits({
        // Nothing after the terminator, or no terminator at all: no packet starts, no judgement.
        {{{0x90}, {0x41, 0xFF}}, true, "Connected OK", 1},
        {{{0x90, 0x50}, {0x03, 0xFF}}, true, "Connected OK", 1},
        {{{0x90, 0x41}, {0x41, 0x51}}, true, "Connected OK", 1},
        // The packet after the terminator decides.
        {{{0x90, 0x41}, {0xFF, 0x90, 0x51, 0xFF}}, true, "Connected OK", 2},
        {{{0x90, 0x41}, {0xFF, 0x41, 0x51, 0xFF}}, false, "Reply error", 2},
        {{{0x00, 0x90}, {0xFF, 0x90, 0x51, 0xFF}}, true, "Connected OK", 2},
    });
}

TEST_F(Split, RepliesCutAnywhereUnderCommandLoadNeverDropTheLink) {
    // Acknowledgement and completion of 200 commands, read in pieces of 1 to 32 bytes that begin
    // anywhere in a packet, as a busy line delivers them.
    Bytes stream;
    for (int i = 0; i < 200; ++i)
        stream.insert(stream.end(), {0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF});
    std::mt19937 rng(12);
    cam.dispatchSlotChange(1, 8, "1");
    std::int64_t at = 10;
    for (std::size_t i = 0; i < stream.size(); at += 2) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 32, stream.size() - i);
        host.arriveIn(at, Bytes(stream.begin() + i, stream.begin() + i + n));
        i += n;
    }
    host.runUntil(at);
    EXPECT_EQ(slot1Writes(), (std::vector<std::pair<std::int64_t, std::string>>{{10, "1"}}));
    EXPECT_EQ(statusTimes("Reply error"), Times{});
    EXPECT_TRUE(cam.connected);
}

TEST_F(Split, GoodPieceThenItsContinuationLeavesNoReplyTimerRunning) {
    deliver({{0x90}, {0x41, 0xFF}});
    EXPECT_FALSE(host.timerRunning(camera::kReplyTimerId));
    EXPECT_EQ(host.timerPeriod(camera::kPollTimerId), 1000u);  // set by the good piece
    EXPECT_TRUE(host.logTimes(kNoResponse).empty());
}

TEST_F(Split, GarbageWithoutTerminatorIsCaughtByTheReplyTimer) {
    deliver({{0x90, 0x41}, {0x41, 0x41}, {0x42}});
    ASSERT_EQ(host.slots[1], "1");
    // The good first piece started the 1 s poll cycle; the polls go unanswered, and the third
    // expiry in a row (the first one slowed the cycle to 5 s) takes the link down.
    host.runUntil(host.now + 13000);
    EXPECT_EQ(host.slots[1], "0");
    EXPECT_EQ(host.statuses.back().text, "Error Status");
}

TEST_F(Link, BadReplyThenSilenceCountsTheExpiryWithoutChangingThePollPeriod) {
    answering = false;
    cam.dispatchSlotChange(1, 8, "1");
    host.arriveIn(30, {0xA0, 0x41, 0xFF});
    host.runUntil(2000);
    EXPECT_EQ(statusTimes("Reply error"), Times{30});
    EXPECT_EQ(slot1Writes(), (std::vector<std::pair<std::int64_t, std::string>>{{30, "0"}}));
    EXPECT_EQ(host.logTimes(kNoResponse), Times{800});
    EXPECT_EQ(cam.timeoutCount, 1);
    EXPECT_TRUE(pollPeriodSets().empty());
}

TEST_F(Link, ReadLogShowsCountPortTextAndBytesWithZerosPastTheCount) {
    host.arriveIn(10, {0x90, 0x41, 0xFF});
    host.arriveIn(20, {0x90, 0x00, 0x41, 0x42, 0x43, 0x44, 0x45});
    host.runUntil(100);
    ASSERT_EQ(host.logs.size(), 3u);  // two reads and the 1 s cycle line
    EXPECT_EQ(host.logs[0].text,
              "Read 3 bytes from port 7 \"\x90"
              "A\xff\" 144 41 ff 0 0 0");
    EXPECT_EQ(host.logs[1].text, k1s);
    EXPECT_EQ(host.logs[2].text, "Read 7 bytes from port 7 \"\x90\" 144 0 41 42 43 44");
    EXPECT_EQ(host.statusCalls, 2);
}

TEST_F(Link, ReadTakesAtMost32BytesAndLeavesTheRest) {
    Bytes forty(40, 0x90);
    for (int i = 0; i < 40; ++i)
        forty[i] = static_cast<std::uint8_t>(i == 0 ? 0x90 : 'a' + i % 26);
    host.arriveIn(10, forty);
    host.runUntil(20);
    EXPECT_EQ(host.rx.size(), 8u);
    EXPECT_EQ(cam.serialRxCount, 1);
    EXPECT_EQ(host.logs.at(0).text.rfind("Read 32 bytes from port 7 \"", 0), 0u);
}

TEST_F(Link, EmptyReadIsLoggedAndCountedButJudgesNothing) {
    cam.dispatchSlotChange(1, 8, "1");
    host.arriveIn(10, {0x90, 0x41, 0xFF});
    host.runUntil(10);
    ASSERT_TRUE(cam.connected);
    cam.dispatchSlotChange(1, 8, "0");  // reply timer runs again
    host.rx.clear();
    cam.onSerialData(0);  // a notification whose bytes an earlier read already took
    EXPECT_EQ(host.logs.back().text, "Read 0 bytes from port 7 \"\" 0 0 0 0 0 0");
    EXPECT_EQ(cam.serialRxCount, 2);
    EXPECT_TRUE(cam.connected);
    EXPECT_EQ(host.statuses.size(), 1u);
    EXPECT_EQ(host.slots[1], "1");
    EXPECT_TRUE(host.timerRunning(camera::kReplyTimerId));
}

TEST_F(Link, GarbageFloodNeverStopsSupervision) {
    answering = false;
    startPolling();
    std::mt19937 rng(7);
    for (int t = 5; t < 30000; t += 3) {
        Bytes junk(1 + rng() % 40);
        for (auto& b : junk)
            b = static_cast<std::uint8_t>(rng());
        host.arriveIn(t, junk);
    }
    int reads = 0;
    host.runUntil(30000);
    for (const auto& l : host.logs)
        reads += l.text.rfind("Read ", 0) == 0;
    EXPECT_EQ(reads, cam.serialRxCount);
    EXPECT_TRUE(host.timerRunning(camera::kPollTimerId));

    // Once the line is clean again, the camera is found and silence is noticed again.
    host.rx.clear();
    answering = true;
    host.runUntil(60000);
    EXPECT_TRUE(cam.connected);
    EXPECT_EQ(host.slots[1], "1");
    EXPECT_EQ(host.statuses.back().text, "Connected OK");
    answering = false;
    host.runUntil(120000);
    EXPECT_EQ(host.slots[1], "0");
    EXPECT_EQ(host.statuses.back().text, "Error Status");
}

}  // namespace
