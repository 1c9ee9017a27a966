// Command set and slot dispatch: every command row byte for byte, every refused value, value
// parsing, and what a send does besides writing.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "camera/camera_controller.h"
#include "fake_camera_host.h"

namespace {

using camera::CameraController;
using camera_test::Bytes;
using camera_test::FakeCameraHost;

struct Fixture {
    FakeCameraHost host;
    CameraController cam{host};
    Fixture() { host.controller = &cam; }
};

struct Row {
    int slot;
    const char* value;
    Bytes bytes;
};

// Pan/tilt rows are built with the default speeds 7 and 7.
const Row kCommandRows[] = {
    {8, "0", {0x81, 0x01, 0x04, 0x07, 0x00, 0xFF, 0x00}},
    {8, "1", {0x81, 0x01, 0x04, 0x07, 0x22, 0xFF}},
    {8, "2", {0x81, 0x01, 0x04, 0x07, 0x32, 0xFF}},
    {8, "3", {0x81, 0x01, 0x04, 0x07, 0x27, 0xFF}},
    {8, "4", {0x81, 0x01, 0x04, 0x07, 0x37, 0xFF}},
    {9, "0", {0x81, 0x01, 0x04, 0x08, 0x00, 0xFF}},
    {9, "1", {0x81, 0x01, 0x04, 0x08, 0x03, 0xFF}},
    {9, "2", {0x81, 0x01, 0x04, 0x08, 0x02, 0xFF}},
    {9, "3", {0x81, 0x01, 0x04, 0x08, 0x03, 0xFF}},
    {9, "4", {0x81, 0x01, 0x04, 0x08, 0x02, 0xFF}},
    {9, "6", {0x81, 0x01, 0x04, 0x38, 0x02, 0xFF}},
    {9, "7", {0x81, 0x01, 0x04, 0x38, 0x03, 0xFF}},
    {33, "0", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x03, 0x03, 0xFF}},
    {33, "1", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x03, 0x01, 0xFF}},
    {33, "2", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x03, 0x02, 0xFF}},
    {33, "3", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x01, 0x03, 0xFF}},
    {33, "4", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x02, 0x03, 0xFF}},
    {33, "5", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x01, 0x01, 0xFF}},
    {33, "6", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x02, 0x01, 0xFF}},
    {33, "7", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x01, 0x02, 0xFF}},
    {33, "8", {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, 0x02, 0x02, 0xFF}},
    {33, "9", {0x81, 0x01, 0x06, 0x04, 0xFF}},
};

TEST(CommandSet, EveryRowSendsExactlyItsBytesAndIsAccepted) {
    for (const Row& row : kCommandRows) {
        SCOPED_TRACE("slot " + std::to_string(row.slot) + " value " + row.value);
        Fixture f;
        EXPECT_EQ(f.cam.dispatchSlotChange(5, row.slot, row.value), 0);
        ASSERT_EQ(f.host.sent.size(), 1u);
        EXPECT_EQ(f.host.sent[0].bytes, row.bytes);
        EXPECT_TRUE(f.host.logs.empty());
        EXPECT_EQ(f.cam.serialTxCount, 1);
    }
}

TEST(CommandSet, RefusedValuesSendAndLogNothing) {
    const struct {
        int slot;
        const char* value;
    } refused[] = {
        {1, "1"},  {1, "0"},   {1, ""},    {8, "5"},   {8, "-1"},         {8, "99999999999"},
        {9, "5"},  {9, "8"},   {9, "-1"},  {31, "0"},  {31, "19"},        {31, "-7"},
        {32, "0"}, {32, "18"}, {33, "10"}, {33, "-1"}, {8, "4294967297"}, {8, "-99999999999"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE("slot " + std::to_string(r.slot) + " value " + r.value);
        Fixture f;
        EXPECT_EQ(f.cam.dispatchSlotChange(5, r.slot, r.value), 1);
        EXPECT_TRUE(f.host.sent.empty());
        EXPECT_TRUE(f.host.logs.empty());
        EXPECT_TRUE(f.host.timerSets.empty());
        EXPECT_EQ(f.cam.serialTxCount, 0);
        EXPECT_EQ(f.cam.packet.panSpeed, 7);
        EXPECT_EQ(f.cam.packet.tiltSpeed, 7);
    }
}

TEST(CommandSet, SpeedsAreKeptAndGoIntoDriveAndStopPacketsAsPlainBytes) {
    Fixture f;
    EXPECT_EQ(f.cam.dispatchSlotChange(5, 31, "18"), 0);
    EXPECT_TRUE(f.host.sent.empty());
    EXPECT_EQ(f.cam.dispatchSlotChange(5, 31, "19"), 1);
    EXPECT_EQ(f.cam.packet.panSpeed, 18);
    EXPECT_EQ(f.cam.dispatchSlotChange(5, 33, "3"), 0);
    EXPECT_EQ(f.host.sent.back().bytes,
              (Bytes{0x81, 0x01, 0x06, 0x01, 0x12, 0x07, 0x01, 0x03, 0xFF}));

    EXPECT_EQ(f.cam.dispatchSlotChange(5, 32, "17"), 0);
    EXPECT_EQ(f.cam.dispatchSlotChange(5, 31, "1"), 0);
    EXPECT_EQ(f.cam.dispatchSlotChange(5, 33, "0"), 0);
    EXPECT_EQ(f.host.sent.back().bytes,
              (Bytes{0x81, 0x01, 0x06, 0x01, 0x01, 0x11, 0x03, 0x03, 0xFF}));
    EXPECT_EQ(f.cam.dispatchSlotChange(5, 33, "9"), 0);
    EXPECT_EQ(f.host.sent.back().bytes, (Bytes{0x81, 0x01, 0x06, 0x04, 0xFF}));
}

TEST(CommandSet, OtherSlotsAreLoggedWithTheValueAsTextAndAccepted) {
    const std::string big(10 * 1024, 'x');
    const struct {
        int slot;
        std::string value;
    } cases[] = {{2, "1"}, {0, "abc"}, {34, "%s%n%x"}, {-3, ""}, {40, big}, {3, "\xff\x80 hi"}};
    for (const auto& c : cases) {
        Fixture f;
        EXPECT_EQ(f.cam.dispatchSlotChange(12, c.slot, c.value.c_str()), 0);
        ASSERT_EQ(f.host.logs.size(), 1u);
        EXPECT_EQ(f.host.logs[0].text, "Slot change function from device 12 - slot " +
                                           std::to_string(c.slot) + " has changed to '" + c.value +
                                           "'");
        EXPECT_TRUE(f.host.sent.empty());
    }
}

TEST(CommandSet, LogLinesAreCutAtTheLineLimitNotOverrun) {
    Fixture f;
    const std::string huge(100 * 1024, 'y');
    EXPECT_EQ(f.cam.dispatchSlotChange(1, 50, huge.c_str()), 0);
    ASSERT_EQ(f.host.logs.size(), 1u);
    EXPECT_EQ(f.host.logs[0].text.size(), CameraController::kLogLineMax - 1);
}

TEST(CommandSet, WithLoggingOffNoLineIsMadeAndTheProtocolIsTheSame) {
    Fixture on, off;
    off.host.loggingOn = false;
    for (Fixture* f : {&on, &off}) {
        f->host.camera = [f](const Bytes&) { f->host.arriveIn(5, {0x90, 0x41, 0xFF}); };
        EXPECT_EQ(f->cam.dispatchSlotChange(1, 8, "1"), 0);
        EXPECT_EQ(f->cam.dispatchSlotChange(1, 50, "free text"), 0);
        f->host.runUntil(3000);
    }
    EXPECT_FALSE(on.host.logs.empty());
    EXPECT_TRUE(off.host.logs.empty());
    ASSERT_EQ(off.host.sent.size(), on.host.sent.size());
    for (std::size_t i = 0; i < on.host.sent.size(); ++i)
        EXPECT_EQ(off.host.sent[i].bytes, on.host.sent[i].bytes);
    ASSERT_EQ(off.host.slotWrites.size(), on.host.slotWrites.size());
    for (std::size_t i = 0; i < on.host.slotWrites.size(); ++i)
        EXPECT_EQ(off.host.slotWrites[i].value, on.host.slotWrites[i].value);
    EXPECT_EQ(off.cam.connected, on.cam.connected);
    EXPECT_EQ(off.cam.serialRxCount, on.cam.serialRxCount);
}

TEST(ValueParsing, NonNumericControlValuesReadAsZero) {
    // An empty or textual zoom value is Zoom Stop, accepted; a leading-number value counts.
    const struct {
        int slot;
        const char* value;
        Bytes bytes;
    } cases[] = {
        {8, "", {0x81, 0x01, 0x04, 0x07, 0x00, 0xFF, 0x00}},
        {8, "stop", {0x81, 0x01, 0x04, 0x07, 0x00, 0xFF, 0x00}},
        {8, "%s%n", {0x81, 0x01, 0x04, 0x07, 0x00, 0xFF, 0x00}},
        {8, "+4", {0x81, 0x01, 0x04, 0x07, 0x37, 0xFF}},
        {8, " 3", {0x81, 0x01, 0x04, 0x07, 0x27, 0xFF}},
        {8, "2.9", {0x81, 0x01, 0x04, 0x07, 0x32, 0xFF}},
        {9, "\xc3\xa9", {0x81, 0x01, 0x04, 0x08, 0x00, 0xFF}},
    };
    for (const auto& c : cases) {
        Fixture f;
        EXPECT_EQ(f.cam.dispatchSlotChange(1, c.slot, c.value), 0) << c.value;
        ASSERT_EQ(f.host.sent.size(), 1u);
        EXPECT_EQ(f.host.sent[0].bytes, c.bytes) << c.value;
    }
    Fixture f;
    EXPECT_EQ(f.cam.dispatchSlotChange(1, 31, ""), 1);
    EXPECT_EQ(f.cam.dispatchSlotChange(1, 31, nullptr), 1);
}

TEST(SendPacket, RestartsReplyTimerCountsAndRefreshesEvenWhenPortWritesNothing) {
    Fixture f;
    f.host.now = 100;
    const std::uint8_t bytes[] = {1, 2, 3};
    f.cam.sendPacket(bytes, 3);
    EXPECT_EQ(f.host.sent.at(0).bytes, (Bytes{1, 2, 3}));
    ASSERT_EQ(f.host.timerSets.size(), 1u);
    EXPECT_EQ(f.host.timerSets[0].id, camera::kReplyTimerId);
    EXPECT_EQ(f.host.timerSets[0].ms, 800u);
    EXPECT_EQ(f.cam.serialTxCount, 1);
    EXPECT_EQ(f.host.refreshes, 1);

    f.cam.serialTxCount = INT32_MAX;  // wraps instead of overflowing
    f.cam.sendPacket(bytes, 1);
    EXPECT_EQ(f.cam.serialTxCount, INT32_MIN);
}

}  // namespace
