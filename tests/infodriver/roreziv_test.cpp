// The infodriver client against a fake system: handshake packing, message table, mode
// negotiation, slot writes and reads, and the driver's callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_system.h"
#include "infodriver/infodriver_callback.h"

using namespace infodriver;
using fake::FakeSystem;

namespace {

constexpr HWND kInfo = 0x777;

// Records every callback with the status it was given.
struct Event {
    int status;
    int value;
    std::string text;
};
std::vector<Event>* events = nullptr;
std::vector<std::string>* trace = nullptr;  // sink lines and callbacks, in order

void recordEvent(roreziv* c, int value, const char* text) {
    if (events)
        events->push_back({c->iStatus, value, text});
    if (trace)
        trace->push_back("callback " + std::string(text));
}

struct TraceSink : RorezivLogSink {
    void log(const char* text) override { trace->push_back(text); }
};

class Client : public ::testing::Test {
  protected:
    void SetUp() override {
        roreziv::resetClassRegistrationForTesting();
        events = &events_;
        trace = &trace_;
        client.setcallback(recordEvent);
    }
    void TearDown() override {
        events = nullptr;
        trace = nullptr;
    }
    int connected(int device = 12) {
        sys.answerHandshake(kInfo);
        return client.connect(device, nullptr, 0, 0, 0, 0);
    }

    FakeSystem sys;
    roreziv client{ROREZIV_HEADER_VERSION, &sys};
    std::vector<Event> events_;
    std::vector<std::string> trace_;
};

TEST_F(Client, HandshakeForDevice12SendsLowWordsInOrderAndDestructionSaysFarewell) {
    FakeSystem own;
    {
        roreziv c(ROREZIV_HEADER_VERSION, &own);
        own.answerHandshake(kInfo);
        ASSERT_EQ(c.connect(12, nullptr, 0, 0, 0, 0), IFSTATUS_CONNECTED);
        EXPECT_EQ(c.iStatus, IFSTATUS_CONNECTED);
        EXPECT_EQ(c.hWndClient, 0x12345u);
        EXPECT_EQ(c.hWndInfo, kInfo);
        ASSERT_EQ(own.sent.size(), 3u);
        // The handle 0x12345 travels as its low word 0x2345, the device in the low word of
        // lParam.
        EXPECT_EQ(own.sent[0].to, platform::HWND_BROADCAST);
        EXPECT_EQ(own.sent[0].msg, ZED_FINDINFODRIVER);
        EXPECT_EQ(own.sent[0].wParam, 0x2345u);
        EXPECT_EQ(own.sent[0].lParam, 12);
        EXPECT_EQ(own.sent[1].msg, ZED_CLIENTCONNECTED);
        EXPECT_EQ(own.sent[1].to, platform::HWND_BROADCAST);
        EXPECT_EQ(own.sent[1].wParam, 0x2345u);
        EXPECT_EQ(own.sent[1].lParam, 0);
        EXPECT_EQ(own.sent[2].msg, ZED_CLIENTANNOUNCE);
        EXPECT_EQ(own.sent[2].wParam, 0x2345u);
        own.sent.clear();
    }
    EXPECT_EQ(own.window, 0u);
    ASSERT_EQ(own.sent.size(), 1u);
    EXPECT_EQ(own.sent[0].to, kInfo);
    EXPECT_EQ(own.sent[0].msg, ZED_CLIENTCLOSING);
    EXPECT_EQ(own.sent[0].wParam, 0u);
    EXPECT_EQ(own.sent[0].lParam, 12);
}

TEST_F(Client, Device70000IsCutInTheBroadcastButWholeInTheFarewell) {
    ASSERT_EQ(connected(70000), IFSTATUS_CONNECTED);
    EXPECT_EQ(sys.sent[0].lParam, 4464);
    sys.sent.clear();
    sys.destroyWindow(client.hWndClient);
    ASSERT_EQ(sys.sent.size(), 1u);
    EXPECT_EQ(sys.sent[0].lParam, 70000);
}

TEST_F(Client, ConnectParametersArePackedAndSentOnlyWhenTheProductIsNonZero) {
    sys.answerHandshake(kInfo);
    ASSERT_EQ(client.connect(12, nullptr, 3, 0x10004, 5, 6), IFSTATUS_CONNECTED);
    EXPECT_EQ(client.bParams, 1);
    ASSERT_EQ(sys.messages(), (std::vector<UINT>{ZED_FINDINFODRIVER, ZED_CLIENTPARAMS,
                                                 ZED_CLIENTCONNECTED, ZED_CLIENTANNOUNCE}));
    EXPECT_EQ(sys.sent[0].wParam, 0x00032345u);  // handle | param1 << 16
    EXPECT_EQ(sys.sent[0].lParam, 0x0004000C);   // device | low word of param2 << 16
    EXPECT_EQ(sys.sent[1].to, kInfo);
    EXPECT_EQ(sys.sent[1].wParam, 0x2345u);
    EXPECT_EQ(sys.sent[1].lParam, 0x00060005);

    // A zero factor drops all five, P2 included; 65536 * 65536 wraps to zero in 32 bits.
    for (auto [p1, p3, p4] : {std::tuple{5, 0, 7}, std::tuple{65536, 65536, 1}}) {
        sys.sent.clear();
        FakeSystem other;
        other.answerHandshake(kInfo);
        roreziv c(ROREZIV_HEADER_VERSION, &other);
        ASSERT_EQ(c.connect(12, nullptr, p1, 9, p3, p4), IFSTATUS_CONNECTED);
        EXPECT_EQ(c.iParam1 | c.iParam2 | c.iParam3 | c.iParam4 | c.bParams, 0);
        EXPECT_EQ(other.messages(),
                  (std::vector<UINT>{ZED_FINDINFODRIVER, ZED_CLIENTCONNECTED, ZED_CLIENTANNOUNCE}));
    }
}

TEST_F(Client, HandshakeFailures) {
    // Nobody answers: creation fails, nothing but the search is sent.
    EXPECT_EQ(client.connect(12, nullptr, 0, 0, 0, 0), IFSTATUS_NOWINDOW);
    EXPECT_EQ(client.iStatus, IFSTATUS_NOWINDOW);
    EXPECT_EQ(client.hWndClient, 0u);
    EXPECT_EQ(sys.messages(), std::vector<UINT>{ZED_FINDINFODRIVER});

    // A negative parameters result, also one handed over as an unsigned 32-bit value.
    for (LRESULT refusal : {LRESULT(-1), LRESULT(0xFFFFFFFF)}) {
        FakeSystem other;
        other.onSend = [&](const fake::Sent& s) -> LRESULT {
            if (s.msg == ZED_FINDINFODRIVER)
                other.deliver(ZED_INFODRIVERHWND, kInfo);
            return s.msg == ZED_CLIENTPARAMS ? refusal : 0;
        };
        roreziv c(ROREZIV_HEADER_VERSION, &other);
        EXPECT_EQ(c.connect(12, nullptr, 1, 1, 1, 1), IFSTATUS_NOWINDOW);
        auto m = other.messages();
        ASSERT_GE(m.size(), 2u);
        EXPECT_EQ(m[1], ZED_CLIENTPARAMS);
        for (UINT x : m)
            EXPECT_NE(x, ZED_CLIENTCONNECTED);
        for (UINT x : m)
            EXPECT_NE(x, ZED_CLIENTANNOUNCE);
    }
}

TEST_F(Client, SuppressAnnounceDuringHandshakeDecidesTheAnnounce) {
    for (WPARAM suppress : {WPARAM(1), WPARAM(0)}) {
        FakeSystem other;
        other.onSend = [&](const fake::Sent& s) -> LRESULT {
            if (s.msg == ZED_FINDINFODRIVER) {
                other.deliver(ZED_INFODRIVERHWND, kInfo);
                EXPECT_EQ(other.deliver(ZED_SUPPRESSANNOUNCE, suppress), 0);
            }
            return 0;
        };
        roreziv c(ROREZIV_HEADER_VERSION, &other);
        ASSERT_EQ(c.connect(12, nullptr, 0, 0, 0, 0), IFSTATUS_CONNECTED);
        bool announced = other.messages().back() == ZED_CLIENTANNOUNCE;
        EXPECT_EQ(announced, suppress == 0);
    }
}

TEST_F(Client, DeviceZeroAndClassRegistration) {
    EXPECT_EQ(client.connect(0, nullptr, 0, 0, 0, 0), IFSTATUS_NODEVICE);
    EXPECT_EQ(client.iDevice, 0);
    EXPECT_EQ(client.hWndClient, 0u);
    EXPECT_EQ(sys.registerCalls, 1);
    EXPECT_TRUE(sys.sent.empty());
    // Registered once per process, by whichever client comes first.
    FakeSystem other;
    roreziv second(ROREZIV_HEADER_VERSION, &other);
    other.answerHandshake(kInfo);
    EXPECT_EQ(second.connect(3, nullptr, 0, 0, 0, 0), IFSTATUS_CONNECTED);
    EXPECT_EQ(other.registerCalls, 0);

    roreziv::resetClassRegistrationForTesting();
    FakeSystem failing;
    failing.registerOk = false;
    roreziv third(ROREZIV_HEADER_VERSION, &failing);
    EXPECT_EQ(third.connect(3, nullptr, 0, 0, 0, 0), IFSTATUS_NOCLASS);
    EXPECT_EQ(third.iStatus, IFSTATUS_NOCLASS);
    EXPECT_EQ(third.iDevice, 0);
    EXPECT_EQ(failing.window, 0u);
}

TEST_F(Client, WrongHeaderVersionShowsOneBoxAndStillWorks) {
    FakeSystem other;
    roreziv c(108, &other);
    ASSERT_EQ(other.boxes.size(), 1u);
    EXPECT_EQ(other.boxes[0].first, "Header doesn't match library");
    EXPECT_EQ(other.boxes[0].second, "Error");
    EXPECT_EQ(c.iStatus, IFSTATUS_DISCONNECTED);
    EXPECT_EQ(c.iMode, IFMODE_TXRX);
    other.answerHandshake(kInfo);
    EXPECT_EQ(c.connect(5, nullptr, 0, 0, 0, 0), IFSTATUS_CONNECTED);
    EXPECT_TRUE(sys.boxes.empty());
}

TEST_F(Client, MessageTableResultsAndEvents) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    EXPECT_EQ(sys.deliver(ZED_DEVICEIDINUSE, 0x10007), 0);
    EXPECT_EQ(client.iStatus, IFSTATUS_DEVICEIDINUSE);
    EXPECT_EQ(sys.deliver(ZED_DISCONNECTED), 0);
    EXPECT_EQ(client.iStatus, IFSTATUS_DISCONNECTED);
    EXPECT_EQ(sys.deliver(ZED_INFODRIVERHWND, 0x999), 0);
    EXPECT_EQ(client.hWndInfo, 0x999u);
    EXPECT_EQ(sys.deliver(0x4321, 1, 2), 0);  // not in the table: default processing
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(events_[0].status, IFSTATUS_DEVICEIDINUSE);
    EXPECT_EQ(events_[0].value, 7);
    EXPECT_EQ(events_[0].text, "Device ID in use");
    EXPECT_EQ(events_[1].status, IFSTATUS_DISCONNECTED);
    EXPECT_EQ(events_[1].text, "Infodriver has disconnected");

    // A library message goes to entry 1 with the client's window and comes back unchanged.
    sys.sent.clear();
    EXPECT_EQ(sys.deliver(ZED_LIBRARYMSG, 5, 6), 77);
    ASSERT_EQ(sys.sent.size(), 1u);
    EXPECT_EQ(sys.sent[0].to, 0x12345u);
    EXPECT_EQ(sys.sent[0].wParam, 5u);
    EXPECT_EQ(sys.sent[0].lParam, 6);

    // Later writes go to the last infodriver announced.
    client.setslot(1, "x");
    EXPECT_EQ(sys.calls.back().info, 0x999u);
}

// Broadcasts of messages the window does not name pass it by, so every message it acts on must be
// named: any other one changes nothing and answers 0.
TEST_F(Client, EveryMessageTheWindowActsOnIsNamedForBroadcasts) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    ASSERT_FALSE(sys.handled.empty());
    const std::size_t sent = sys.sent.size(), calls = sys.calls.size(), lines = trace_.size();
    const HWND info = client.hWndInfo;
    const int status = client.iStatus, noAnnounce = client.bNoAnnounce;
    for (UINT m = platform::WM_USER; m <= 0xFFFF; ++m) {
        if (std::any_of(sys.handled.begin(), sys.handled.end(),
                        [m](const platform::HandledMessage& h) { return h.msg == m; }))
            continue;
        ASSERT_EQ(sys.deliver(m, 0x10001, 0), 0) << std::hex << m;
    }
    EXPECT_EQ(sys.sent.size(), sent);
    EXPECT_EQ(sys.calls.size(), calls);
    EXPECT_EQ(trace_.size(), lines);
    EXPECT_EQ(client.hWndInfo, info);
    EXPECT_EQ(client.iStatus, status);
    EXPECT_EQ(client.bNoAnnounce, noAnnounce);
}

TEST_F(Client, SlotChangeCountsBeforeTheCallbackAndKeepsAllBitsOfTheIndex) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    static int rxSeen;
    rxSeen = -1;
    client.setcallback([](roreziv* c, int, const char*) { rxSeen = *c->piRxCount; });
    EXPECT_EQ(sys.deliver(ZED_SLOTCHANGED, 8, reinterpret_cast<LPARAM>("1")), 1);
    EXPECT_EQ(rxSeen, 1);
    EXPECT_EQ(client.iRxCount, 1);
    int rx = 40, tx = 50;
    client.setcounters(&tx, &rx);
    client.setcallback(recordEvent);
    EXPECT_EQ(sys.deliver(ZED_SLOTCHANGED, 0x10008, reinterpret_cast<LPARAM>("on")), 1);
    EXPECT_EQ(rx, 41);
    EXPECT_EQ(client.iRxCount, 1);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].status, IFSTATUS_CONNECTED);
    EXPECT_EQ(events_[0].value, 0x10008);
    EXPECT_EQ(events_[0].text, "on");
    // A change without its text is delivered as an empty value.
    EXPECT_EQ(sys.deliver(ZED_SLOTCHANGED, 3, 0), 1);
    EXPECT_EQ(events_.back().text, "");
}

TEST_F(Client, TextIsCutTo299CharactersAndNeverReadPastThem) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    std::string longText(400, 'a');
    longText[298] = 'b';
    longText[299] = 'c';
    EXPECT_EQ(sys.deliver(ZED_TEXT, 0, reinterpret_cast<LPARAM>(longText.c_str())), 0);
    EXPECT_EQ(std::string(client.szText), longText.substr(0, 299));

    // Exactly 299 bytes and no terminator: a sanitizer build catches any read beyond them.
    auto raw = std::make_unique<char[]>(299);
    std::memset(raw.get(), 'z', 299);
    sys.deliver(ZED_TEXT, 0, reinterpret_cast<LPARAM>(raw.get()));
    EXPECT_EQ(std::string(client.szText), std::string(299, 'z'));

    sys.deliver(ZED_TEXT, 0, reinterpret_cast<LPARAM>("short"));
    EXPECT_STREQ(client.szText, "short");
    sys.deliver(ZED_TEXT, 0, 0);
    EXPECT_STREQ(client.szText, "");
}

// ---- mode negotiation ----

struct Row {
    UINT msg;
    int mode;
    int status;            // expected iStatus afterwards (the start value 15 when unchanged)
    const char* callback;  // expected callback text, null for none
    const char* returned;
    LRESULT result;
};

const char* const kRxAccept =
    "ZED_REQDEVGORXONLY Device=12 Mode=%s ~ Accepting request to go RX Only";
const char* const kRxDeny = "ZED_REQDEVGORXONLY Device=12 Mode=%s ~ Denying request to go RX Only";
const char* const kTxAccept = "ZED_REQDEVGOTXRX Device=12 Mode=%s ~ Accepting request to go TXRX";
const char* const kInqDeny = "ZED_INQDEVGOTXRX Device=12 Mode=%s ~ Denying inquiry to go TXRX";
const char* const kInqAccept = "ZED_INQDEVGOTXRX Device=12 Mode=%s ~ Accepting inquiry to go TXRX";
const char* const kRx1 = "roreziv::ZED_REQDEVGORXONLY - Return 1";
const char* const kRx0 = "roreziv::ZED_REQDEVGORXONLY - Return 0";
const char* const kTx1 = "roreziv::ZED_REQDEVGOTXRX - Return 1";
const char* const kTx0 = "roreziv::ZED_REQDEVGOTXRX - Return 0";
const char* const kInq1 = "roreziv::ZED_INQDEVGOTXRX - Return 1";
const char* const kInq0 = "roreziv::ZED_INQDEVGOTXRX - Return 0";
const char* const kInqExt =
    "roreziv::Accepting Request to ask to go TXRX - but not passing onto external. Return 1";

std::vector<Row> negotiationRows() {
    std::vector<Row> rows;
    for (int m = -1; m <= 9; ++m) {
        bool named = m >= 0 && m <= 5, high = m == 6 || m == 7;
        // Request to go RX only.
        if (m == 0 || m == 1 || m == 5)
            rows.push_back({ZED_REQDEVGORXONLY, m, 7, kRxAccept, kRx1, 1});
        else if (m >= 2 && m <= 4)
            rows.push_back({ZED_REQDEVGORXONLY, m, 6, kRxDeny, kRx0, 0});
        else if (high)
            rows.push_back({ZED_REQDEVGORXONLY, m, 7, "Accepting request to go RX Only", kRx1, 1});
        else
            rows.push_back({ZED_REQDEVGORXONLY, m, 15, nullptr, kRx1, 1});
        // Request to go TXRX.
        if (m >= 1 && m <= 5)
            rows.push_back({ZED_REQDEVGOTXRX, m, 6, kTxAccept, kTx1, 1});
        else if (high)
            rows.push_back({ZED_REQDEVGOTXRX, m, 6, "Accepting request to go TXRX", kTx1, 1});
        else
            rows.push_back({ZED_REQDEVGOTXRX, m, 15, nullptr, kTx0, 0});
        // Inquiry.
        if (m == 0 || m == 1 || m == 5)
            rows.push_back({ZED_INQDEVGOTXRX, m, 8, kInqDeny, kInq0, 0});
        else if (m >= 2 && m <= 4)
            rows.push_back({ZED_INQDEVGOTXRX, m, 8, kInqAccept, kInq1, 1});
        else if (high)
            rows.push_back({ZED_INQDEVGOTXRX, m, 15, nullptr, kInqExt, 1});
        else
            rows.push_back({ZED_INQDEVGOTXRX, m, 15, nullptr, kInq0, 0});
        (void)named;
    }
    return rows;
}

TEST_F(Client, NegotiationTableForEveryMode) {
    TraceSink sink;
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    client.setLogSink(&sink);
    const char* request[] = {"roreziv::ZED_REQDEVGORXONLY - Request to ask to go RXONLY",
                             "roreziv::ZED_REQDEVGOTXRX - Request to go TXRX",
                             "roreziv::ZED_INQDEVGOTXRX - Request to ask to go TXRX"};
    for (const Row& row : negotiationRows()) {
        SCOPED_TRACE("message " + std::to_string(row.msg) + " mode " + std::to_string(row.mode));
        client.iStatus = IFSTATUS_CONNECTED;
        client.setMode(row.mode);
        trace_.clear();
        events_.clear();
        EXPECT_EQ(sys.deliver(row.msg), row.result);
        EXPECT_EQ(client.iStatus, row.status);
        std::vector<std::string> expected{request[row.msg - ZED_REQDEVGORXONLY]};
        if (row.callback) {
            char text[256];
            std::snprintf(text, sizeof text, row.callback,
                          row.mode >= 0 && row.mode < 8 ? IFMODE_NAMES[row.mode] : "");
            expected.push_back("callback " + std::string(text));
            ASSERT_EQ(events_.size(), 1u);
            EXPECT_EQ(events_[0].value, 0);
            EXPECT_EQ(events_[0].status, row.status);
        } else {
            EXPECT_TRUE(events_.empty());
        }
        expected.push_back(row.returned);
        EXPECT_EQ(trace_, expected);
    }
    EXPECT_STREQ(IFMODE_NAMES[5], "IFMODE_RXONLYBROKEN");
    EXPECT_STREQ(IFMODE_NAMES[6], "6");
}

TEST_F(Client, WithoutASinkOnlyTheCallbackAndResultShowTheNegotiation) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    EXPECT_EQ(sys.deliver(ZED_REQDEVGORXONLY), 0);
    EXPECT_EQ(client.iStatus, IFSTATUS_TXRX);
    EXPECT_EQ(sys.deliver(ZED_REQDEVGOTXRX), 1);
    EXPECT_EQ(client.iStatus, IFSTATUS_TXRX);
    EXPECT_EQ(sys.deliver(ZED_INQDEVGOTXRX), 1);
    EXPECT_EQ(client.iStatus, IFSTATUS_INQUIRY);
    EXPECT_EQ(events_.size(), 3u);
    EXPECT_EQ(trace_.size(), 3u);  // the callbacks only
}

// ---- slot writes and reads ----

TEST_F(Client, UpdateslotSendsOnlyADifferenceAndSetslotAlways) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    sys.slots[1] = "0";
    EXPECT_FALSE(client.updateslot(1, "%d", 0));
    EXPECT_EQ(client.iTxCount, 0);
    EXPECT_TRUE(sys.writes().empty());
    ASSERT_EQ(sys.calls.size(), 1u);
    EXPECT_EQ(sys.calls[0].msg, ZED_SLOTREAD);
    EXPECT_EQ(sys.calls[0].count, 256);
    EXPECT_EQ(sys.calls[0].info, kInfo);

    sys.slots[1] = "1";
    EXPECT_TRUE(client.updateslot(1, "0"));
    EXPECT_EQ(client.iTxCount, 1);
    ASSERT_EQ(sys.writes().size(), 1u);
    auto w = sys.writes()[0];
    EXPECT_EQ(w.msg, ZED_SLOTWRITE);
    EXPECT_EQ(w.slot, 1);
    EXPECT_EQ(w.value, "0");
    EXPECT_EQ(w.count, 2);
    EXPECT_EQ(w.one, 1);

    sys.slots[2] = "abc";  // compared case-sensitively
    EXPECT_TRUE(client.updateslot(2, "ABC"));
    EXPECT_EQ(client.iTxCount, 2);

    client.setslot(2, "ABC");  // unchanged, still sent and counted
    client.setslot(2, "ABC");
    EXPECT_EQ(client.iTxCount, 4);
    EXPECT_EQ(sys.writes().size(), 4u);

    int tx = 100, rx = 0;
    client.setcounters(&tx, &rx);
    client.setslot(3, "%s", "v");
    EXPECT_EQ(tx, 101);
    EXPECT_EQ(client.iTxCount, 4);
}

TEST_F(Client, NegativeIndexWritesWithTheAlternateMessageAndReadsTheAbsoluteSlot) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    client.setslot(-5, "1");
    ASSERT_EQ(sys.calls.size(), 1u);
    EXPECT_EQ(sys.calls[0].msg, ZED_SLOTWRITEALT);
    EXPECT_EQ(sys.calls[0].slot, 5);

    sys.calls.clear();
    sys.slots[5] = "0";
    EXPECT_TRUE(client.updateslot(-5, "1"));
    ASSERT_EQ(sys.calls.size(), 2u);
    EXPECT_EQ(sys.calls[0].msg, ZED_SLOTREAD);
    EXPECT_EQ(sys.calls[0].slot, 5);
    EXPECT_EQ(sys.calls[1].msg, ZED_SLOTWRITEALT);
    EXPECT_EQ(sys.calls[1].slot, 5);
}

TEST_F(Client, WritesWithoutAnInfodriverAreStillHandedOverAndCounted) {
    EXPECT_EQ(client.connect(12, nullptr, 0, 0, 0, 0), IFSTATUS_NOWINDOW);
    client.setslot(1, "0");
    ASSERT_EQ(sys.calls.size(), 1u);
    EXPECT_EQ(sys.calls[0].info, 0u);
    EXPECT_EQ(client.iTxCount, 1);
}

TEST_F(Client, ValuesAreFormattedIntoAtMost511Characters) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    std::string huge(2000, 'q');
    client.setslot(4, "%s", huge.c_str());
    ASSERT_EQ(sys.calls.size(), 1u);
    EXPECT_EQ(sys.calls[0].value, std::string(511, 'q'));
    EXPECT_EQ(sys.calls[0].count, 512);
}

TEST_F(Client, AWriteNestedInAnotherWriteLeavesItIntact) {
    ASSERT_EQ(connected(), IFSTATUS_CONNECTED);
    // While our write of slot 5 is on its way, the infodriver delivers a change of slot 9,
    // which the callback echoes with a write of its own.
    client.setcallback(
        [](roreziv* c, int slot, const char* value) { c->setslot(slot, "%s", value); });
    bool nested = false;
    sys.onWrite = [&](const fake::LibraryCall& call) {
        if (call.slot == 5 && !nested) {
            nested = true;
            sys.deliver(ZED_SLOTCHANGED, 9, reinterpret_cast<LPARAM>("echo"));
        }
    };
    client.setslot(5, "outer");
    ASSERT_EQ(sys.writes().size(), 2u);
    EXPECT_EQ(sys.writes()[0].value, "outer");
    EXPECT_EQ(sys.writes()[1].slot, 9);
    EXPECT_EQ(sys.writes()[1].value, "echo");
    EXPECT_EQ(client.iTxCount, 2);
}

// ---- the driver's callback ----

struct Host : InfodriverHost {
    std::vector<std::string> lines;
    std::vector<std::string> dispatched;
    int refreshes = 0;
    int answer = 0;
    void logLine(const std::string& text) override { lines.push_back(text); }
    void refreshCounters() override { ++refreshes; }
    int dispatchSlotChange(int device, int slot, const char* value) override {
        dispatched.push_back(std::to_string(device) + "/" + std::to_string(slot) + "/" + value);
        return answer;
    }
};

class Callback : public Client {
  protected:
    void SetUp() override {
        Client::SetUp();
        setInfodriverHost(&host);
        ASSERT_EQ(connected(12), IFSTATUS_CONNECTED);
        client.setcallback(InfodriverCallback);
    }
    void TearDown() override {
        setInfodriverHost(nullptr);
        Client::TearDown();
    }
    Host host;
};

TEST_F(Callback, AcceptedValueIsEchoedVerbatimAndRefusedOneIsNot) {
    sys.deliver(ZED_SLOTCHANGED, 8, reinterpret_cast<LPARAM>("50%s%n%d"));
    EXPECT_EQ(host.refreshes, 1);
    ASSERT_EQ(host.dispatched.size(), 1u);
    EXPECT_EQ(host.dispatched[0], "12/8/50%s%n%d");
    ASSERT_EQ(sys.writes().size(), 1u);
    EXPECT_EQ(sys.writes()[0].slot, 8);
    EXPECT_EQ(sys.writes()[0].value, "50%s%n%d");
    EXPECT_EQ(sys.writes()[0].msg, ZED_SLOTWRITE);

    host.answer = 1;
    sys.deliver(ZED_SLOTCHANGED, 1, reinterpret_cast<LPARAM>("1"));
    EXPECT_EQ(host.refreshes, 2);
    EXPECT_EQ(sys.writes().size(), 1u);
    EXPECT_TRUE(host.lines.empty());
}

TEST_F(Callback, ValueLongerThanTheEchoBufferIsEchoedCutTo511) {
    std::string longValue(600, 'v');
    longValue[510] = 'E';
    sys.deliver(ZED_SLOTCHANGED, 8, reinterpret_cast<LPARAM>(longValue.c_str()));
    ASSERT_EQ(host.dispatched.size(), 1u);
    EXPECT_EQ(host.dispatched[0].size(), std::string("12/8/").size() + 600);
    ASSERT_EQ(sys.writes().size(), 1u);
    EXPECT_EQ(sys.writes()[0].value, longValue.substr(0, 511));
    EXPECT_EQ(sys.writes()[0].count, 512);
}

TEST_F(Callback, EventLogLines) {
    sys.deliver(ZED_DISCONNECTED);
    sys.deliver(ZED_REQDEVGOTXRX);
    sys.deliver(ZED_REQDEVGORXONLY);  // denied in mode 2: status 6, logged as TXRX
    sys.deliver(ZED_INQDEVGOTXRX);
    sys.deliver(ZED_DEVICEIDINUSE, 0x10007);
    client.setMode(0);
    sys.deliver(ZED_REQDEVGORXONLY);  // accepted in mode 0: status 7
    EXPECT_EQ(host.lines, (std::vector<std::string>{
                              "ERROR - - - Infodriver 12 has disconnected",
                              "Infodriver 12 received request to go TXRX",
                              "Infodriver 12 received request to go TXRX",
                              "iStatus=8",
                              "iStatus=2190",
                              "Infodriver 12 received request to go RX Only",
                          }));
    EXPECT_TRUE(sys.writes().empty());
}

}  // namespace
