// The stand-in infodriver's shared logic against a recording link: what it sends to clients and
// prints, as both the Linux and the Windows program rely on it.
#include "infodriver/standin_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "infodriver/protocol.h"

namespace standin {
namespace {

using namespace infodriver;

struct Sent {
    Handle to;
    std::uint32_t msg;
    std::uintptr_t wParam;
    std::string bytes;
};

// Window handles as the system has them: 32 bits whose low word alone names the window.
class RecordingLink final : public Link {
  public:
    std::vector<Sent> sent;
    std::intptr_t result = 1;
    bool clientAlive = true;

    Handle self() const override { return 0x00120034; }
    Handle fromLowWord(std::uint32_t low) override { return 0x00ab0000 | low; }
    std::intptr_t send(Handle to, std::uint32_t msg, std::uintptr_t wParam,
                       std::intptr_t) override {
        sent.push_back({to, msg, wParam, {}});
        return result;
    }
    std::intptr_t sendBytes(Handle to, std::uint32_t msg, std::uintptr_t wParam, const char* bytes,
                            std::size_t size) override {
        sent.push_back({to, msg, wParam, std::string(bytes, size)});
        return result;
    }
    bool survives(Handle) override { return clientAlive; }
    void die() override {}
};

class StandInTest : public ::testing::Test {
  protected:
    // The stand-in's stdout lines are taken for the whole test; what is left at the end (a
    // failure's report among them) goes to stderr.
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override {
        const std::string rest = testing::internal::GetCapturedStdout();
        if (HasFailure())
            std::fputs(rest.c_str(), stderr);
    }
    // What it printed since the last call.
    std::string output() {
        std::string text = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return text;
    }
    std::optional<std::intptr_t> handle(std::uint32_t msg, std::uintptr_t w, std::intptr_t l,
                                        const char* text = nullptr) {
        Payload payload;
        payload.text = text;
        return standIn.handle(msg, w, l, payload);
    }
    // A client whose window's low word is 0x5678 completes its handshake.
    void connect() {
        handle(ZED_FINDINFODRIVER, packWords(0x5678, 0), packWords(70000, 0));
        handle(ZED_CLIENTCONNECTED, packWords(0x5678, 0), 0);
        link.sent.clear();
        output();
    }

    Options options{.device = 70000};
    RecordingLink link;
    StandIn standIn{link, options};
};

TEST_F(StandInTest, HandshakeAnswersTheWholeHandleOfItsDevicesClientOnly) {
    // Another device (low words differ): no answer.
    EXPECT_EQ(handle(ZED_FINDINFODRIVER, 0x1111, packWords(12, 0)), 0);
    EXPECT_TRUE(link.sent.empty());
    handle(ZED_FINDINFODRIVER, packWords(0x5678, 0), packWords(70000, 0));
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].to, 0x00ab5678u);
    EXPECT_EQ(link.sent[0].msg, ZED_INFODRIVERHWND);
    EXPECT_EQ(link.sent[0].wParam, link.self());
    handle(ZED_CLIENTCONNECTED, packWords(0x5678, 0), 0);
    handle(ZED_CLIENTANNOUNCE, packWords(0x5678, 0), 0);
    handle(ZED_CLIENTCLOSING, 0, 70000);
    EXPECT_EQ(output(), "connect 0x5678\nannounce 0x5678\nclosing 70000\n");
}

// The broadcasts the stand-in names for the bus follow the handshake: whatever it acts on is
// named before it comes, so no broadcast passes it by that it would have acted on.
TEST_F(StandInTest, TheBroadcastsItNamesFollowTheHandshake) {
    auto wants = [&](std::uint32_t msg, std::uintptr_t w, std::intptr_t l) {
        auto handled = standIn.handledBroadcasts();
        return handled && std::any_of(handled->begin(), handled->end(),
                                      [&](const auto& h) { return h.covers(msg, w, l); });
    };
    const auto client = packWords(0x5678, 0), other = packWords(0x1111, 0);
    EXPECT_TRUE(wants(ZED_FINDINFODRIVER, client, packWords(70000, 0)));
    EXPECT_FALSE(wants(ZED_FINDINFODRIVER, client, packWords(12, 0)));
    EXPECT_FALSE(wants(ZED_CLIENTCONNECTED, client, 0));
    EXPECT_FALSE(wants(ZED_CLIENTANNOUNCE, client, 0));
    for (std::uint32_t m : {ZED_CLIENTPARAMS, ZED_CLIENTCLOSING, ZED_SLOTWRITE, ZED_SLOTREAD,
                            ZED_SLOTWRITEALT, KELP_SETSLOT})
        EXPECT_TRUE(wants(m, 0, 0)) << m;
    handle(ZED_FINDINFODRIVER, client, packWords(70000, 0));
    EXPECT_TRUE(wants(ZED_CLIENTCONNECTED, client, 0));
    EXPECT_FALSE(wants(ZED_CLIENTCONNECTED, other, 0));
    handle(ZED_CLIENTCONNECTED, client, 0);
    EXPECT_FALSE(wants(ZED_CLIENTCONNECTED, client, 0));
    EXPECT_TRUE(wants(ZED_CLIENTANNOUNCE, client, 0));
    EXPECT_FALSE(wants(ZED_CLIENTANNOUNCE, other, 0));
    handle(ZED_CLIENTCLOSING, 0, 70000);
    EXPECT_FALSE(wants(ZED_CLIENTANNOUNCE, client, 0));

    // Traced, it shows every protocol message, so it names none and gets every broadcast.
    Options traced = options;
    traced.trace = true;
    EXPECT_FALSE(StandIn(link, traced).handledBroadcasts());
}

TEST_F(StandInTest, ChangesGoToTheClientAndOnlyItsEchoIsStored) {
    connect();
    standIn.command("set 8 1");
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].msg, ZED_SLOTCHANGED);
    EXPECT_EQ(link.sent[0].bytes, std::string("1\0", 2));
    standIn.command("get 8");  // not echoed yet
    handle(ZED_SLOTWRITE, 8, 0, "1");
    standIn.command("get 8");
    EXPECT_EQ(output(), "value 8 \nwrite 8 1\nvalue 8 1\n");

    // A read is cut to the reader's buffer and always terminated.
    handle(ZED_SLOTWRITE, 9, 0, "abcdef");
    char out[4] = {'x', 'x', 'x', 'x'};
    Payload read;
    read.out = out;
    read.outSize = sizeof out;
    EXPECT_EQ(standIn.handle(ZED_SLOTREAD, 9, 0, read), 1);
    EXPECT_STREQ(out, "abc");
}

TEST_F(StandInTest, AClientThatHasGoneIsForgottenAndTheChangeStored) {
    connect();
    link.result = 0;
    link.clientAlive = false;
    standIn.command("set 8 2");
    standIn.command("get 8");
    EXPECT_EQ(output(), "lost 0x5678\nvalue 8 2\n");
    link.sent.clear();
    standIn.command("set 8 3");  // no client now: stored, nothing sent
    EXPECT_TRUE(link.sent.empty());
}

TEST(StandInInput, LinesLoseTheirCarriageReturnAndAnEndlessLineIsDropped) {
    LineSplitter lines;
    std::vector<std::string> got;
    auto onLine = [&](const std::string& l) { got.push_back(l); };
    lines.feed("set 8 1\r\nget", 12, onLine);
    lines.feed(" 8\n", 3, onLine);
    const std::string endless(REQUEST_MAX + 10, 'x');
    lines.feed(endless.data(), endless.size(), onLine);
    lines.feed("txrx", 4, onLine);
    lines.finish(onLine);
    EXPECT_EQ(got, (std::vector<std::string>{"set 8 1", "get 8", "txrx"}));
}

TEST(SlotCommandLine, BadUsageIsRefusedBeforeAnythingRuns) {
    auto parse = [](std::vector<const char*> args, SlotCommand& c) {
        args.insert(args.begin(), "kelp-slot");
        std::vector<char*> argv;
        for (const char* a : args)
            argv.push_back(const_cast<char*>(a));
        testing::internal::CaptureStderr();
        auto r = parseSlotCommand(static_cast<int>(argv.size()), argv.data(), c);
        testing::internal::GetCapturedStderr();
        return r;
    };
    SlotCommand c;
    EXPECT_EQ(parse({"7", "set", "8", "1"}, c), std::nullopt);
    EXPECT_TRUE(c.set);
    EXPECT_EQ(c.slot, 8u);
    EXPECT_STREQ(c.value, "1");
    EXPECT_EQ(parse({"7", "get", "65536"}, c), 1);
    EXPECT_EQ(parse({"0", "get", "1"}, c), 1);
    EXPECT_EQ(parse({"7", "get", "0x10"}, c), 1);
    EXPECT_EQ(parse({"7", "set", "8"}, c), 1);
    EXPECT_EQ(parse({"7", "put", "8", "1"}, c), 1);
}

// A stand-in that answers kelp-slot's requests as told and records them.
class ScriptedRequests final : public SlotRequests {
  public:
    std::intptr_t answer = 1;
    std::string reply;  // what a read puts into the buffer, cut to fit
    std::string setBytes;
    std::size_t readSize = 0;

    std::intptr_t set(unsigned, const char* value, std::size_t size) override {
        setBytes.assign(value, size);
        return answer;
    }
    std::intptr_t get(unsigned, char* buffer, std::size_t size) override {
        readSize = size;
        const std::size_t n = std::min(reply.size(), size);
        reply.copy(buffer, n);  // may fill the buffer without a NUL
        return answer;
    }
};

TEST(SlotCommandRun, OutputAndExitCodesOfSetAndGet) {
    auto run = [](SlotCommand c, SlotRequests* standIn, std::string* err = nullptr) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int code = runSlotCommand(c, standIn);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string errText = testing::internal::GetCapturedStderr();
        if (err)
            *err = errText;
        return std::pair{code, out};
    };
    SlotCommand set{7, true, 8, "abc", 3};
    SlotCommand get{7, false, 8, nullptr, 0};
    std::string err;

    EXPECT_EQ(run(set, nullptr, &err), std::pair(2, std::string()));
    EXPECT_EQ(err, "kelp-slot: no infodriver running for device 7\n");

    ScriptedRequests standIn;
    EXPECT_EQ(run(set, &standIn), std::pair(0, std::string()));
    EXPECT_EQ(standIn.setBytes, std::string("abc", 4)) << "the value goes with its NUL";
    standIn.answer = 0;
    EXPECT_EQ(run(set, &standIn, &err).first, 2);
    EXPECT_EQ(err, "kelp-slot: the infodriver for device 7 did not take it\n");
    EXPECT_EQ(run(get, &standIn, &err).first, 2);
    EXPECT_EQ(err, "kelp-slot: the infodriver for device 7 did not answer\n");

    standIn.answer = 1;
    standIn.reply = std::string("42") + '\0';
    EXPECT_EQ(run(get, &standIn), std::pair(0, std::string("42\n")));
    // A reply that fills the whole buffer is cut to the buffer, never read past it.
    standIn.reply = std::string(1000, 'v');
    EXPECT_EQ(run(get, &standIn),
              std::pair(0, std::string(static_cast<std::size_t>(SLOT_READ_SIZE) - 1, 'v') + "\n"));
    EXPECT_EQ(standIn.readSize, static_cast<std::size_t>(SLOT_READ_SIZE));
}

}  // namespace
}  // namespace standin
