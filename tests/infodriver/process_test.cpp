// The client, the stand-in infodriver and kelp-slot as separate processes over the real bus.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "infodriver/protocol.h"
#include "platform/window.h"
#include "qt_env.h"
#include "test_prefix.h"

using namespace std::chrono_literals;
using testing_support::binPath;
using testing_support::ChildProcess;
using testing_support::runProgram;
using testing_support::TestPrefix;

namespace {

constexpr auto kWait = 20s;  // generous: the machine may be loaded

std::unique_ptr<ChildProcess> startInfodriver(std::vector<std::string> args) {
    args.insert(args.begin(), binPath("kelp-infodriver"));
    auto p = std::make_unique<ChildProcess>(args);
    auto ready = p->readLine(kWait);
    EXPECT_EQ(ready.value_or("(nothing)"), "ready") << p->stderrText();
    return p;
}

std::unique_ptr<ChildProcess> startClient(std::vector<std::string> args,
                                          const ChildProcess::Env& env = {}) {
    args.insert(args.begin(), binPath("roreziv_client"));
    return std::make_unique<ChildProcess>(args, env);
}

std::string libPath(const std::string& name) {
    const char* dir = std::getenv("KELP_LIB_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

// The line "connect RESULT HANDLE" of a client; returns RESULT and stores HANDLE.
int connectResult(ChildProcess& client, std::string* handle = nullptr) {
    auto line = client.waitForLine("connect ", kWait);
    if (!line)
        return -1;
    int result = std::stoi(line->substr(8));
    if (handle)
        *handle = line->substr(line->rfind(' ') + 1);
    return result;
}

// Reads lines until one equals `line`; the lines before it go to `before`.
bool readUntil(ChildProcess& p, const std::string& line,
               std::vector<std::string>* before = nullptr) {
    for (;;) {
        auto l = p.readLine(kWait);
        if (!l)
            return false;
        if (*l == line)
            return true;
        if (before)
            before->push_back(*l);
    }
}

// Gives the stand-in a test-aid command and waits until it has taken it: its standard input and
// the client's are read by different processes, so without this the client's write may come first.
void armed(ChildProcess& info, const std::string& command) {
    info.writeStdin(command + "\nget 0\n");
    ASSERT_TRUE(info.waitForLine("value 0 ", kWait));
}

testing_support::RunResult slot(const std::vector<std::string>& args) {
    std::vector<std::string> argv{binPath("kelp-slot")};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}

class OverTheBus : public ::testing::Test {
  protected:
    TestPrefix prefix;
};

TEST_F(OverTheBus, HandshakeAndFarewellOfDevice12) {
    auto info = startInfodriver({"--trace", "12"});
    auto client = startClient({"12"});
    std::string h;
    ASSERT_EQ(connectResult(*client, &h), 15) << client->stderrText();
    ASSERT_EQ(h.size(), 6u);
    std::string low = h.substr(2);  // 4 hex digits
    std::vector<std::string> lines;
    ASSERT_TRUE(readUntil(*info, "announce " + h, &lines));
    EXPECT_EQ(lines,
              (std::vector<std::string>{"msg 0xc002 0x0000" + low + " 0x0000000c",
                                        "msg 0xc001 0x0000" + low + " 0x00000000", "connect " + h,
                                        "msg 0x07ef 0x0000" + low + " 0x00000000"}));
    client->writeStdin("quit\n");
    lines.clear();
    ASSERT_TRUE(readUntil(*info, "closing 12", &lines));
    EXPECT_EQ(lines, std::vector<std::string>{"msg 0x0aa5 0x00000000 0x0000000c"});
    EXPECT_EQ(client->waitExit(kWait), 0);
}

// The stand-in has no window of Qt's: it must not load Qt's graphics libraries (some thirty with
// their dependencies), which would triple its start and that of every tool on the bus.
TEST_F(OverTheBus, TheStandInLoadsQtCoreOnly) {
    auto info = startInfodriver({"31"});
    const std::string maps =
        testing_support::readFile("/proc/" + std::to_string(info->pid()) + "/maps");
    EXPECT_NE(maps.find("libQt6Core"), std::string::npos);
    EXPECT_EQ(maps.find("libQt6Gui"), std::string::npos);
    EXPECT_EQ(maps.find("libQt6Widgets"), std::string::npos);
}

TEST_F(OverTheBus, Device70000IsCutToItsLowWordInTheSearchOnly) {
    auto info = startInfodriver({"--trace", "70000"});
    auto client = startClient({"70000"});
    std::string h;
    ASSERT_EQ(connectResult(*client, &h), 15);
    auto find = info->waitForLine("msg 0xc002", kWait);
    ASSERT_TRUE(find);
    EXPECT_EQ(find->substr(find->rfind(' ') + 1), "0x00001170");  // 4464
    client->writeStdin("quit\n");
    EXPECT_TRUE(info->waitForLine("closing 70000", kWait));
}

TEST_F(OverTheBus, SuppressedAndUnsuppressedAnnounce) {
    for (const char* suppress : {"1", "0"}) {
        SCOPED_TRACE(suppress);
        auto info = startInfodriver({"--suppress-announce", suppress, "12"});
        auto client = startClient({"12"});
        std::string h;
        ASSERT_EQ(connectResult(*client, &h), 15);
        // The write comes after the whole handshake, so an announce would be seen before it.
        client->writeStdin("setslot 3 x\n");
        std::vector<std::string> lines;
        ASSERT_TRUE(readUntil(*info, "write 3 x", &lines));
        std::vector<std::string> expected{"connect " + h};
        if (std::string(suppress) == "0")
            expected.push_back("announce " + h);
        EXPECT_EQ(lines, expected);
    }
}

TEST_F(OverTheBus, ConnectFailsWithoutAnInfodriverForTheDevice) {
    auto client = startClient({"12"});
    EXPECT_EQ(connectResult(*client), 5);
    auto other = startInfodriver({"13"});
    auto second = startClient({"12"});
    EXPECT_EQ(connectResult(*second), 5);
    // Writes still work locally: they reach no infodriver and are counted.
    second->writeStdin("setslot 1 0\nstatus\n");
    EXPECT_TRUE(second->waitForLine("status 5 1 0", kWait));

    auto r = slot({"99", "get", "1"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("99"), std::string::npos);
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);  // one line
}

TEST_F(OverTheBus, ClientParamsAndTheirRefusal) {
    {
        auto info = startInfodriver({"--params-result", "-1", "12"});
        auto client = startClient({"12", "--params", "1", "2", "3", "4"});
        EXPECT_EQ(connectResult(*client), 5);
        auto params = info->readLine(kWait).value_or("");
        EXPECT_EQ(params.substr(0, 9), "params 0x");
        EXPECT_EQ(params.substr(params.size() - 4), " 3 4");
        // The failed creation still says farewell; no connect was seen.
        EXPECT_EQ(info->readLine(kWait).value_or(""), "closing 12");
    }
    auto info = startInfodriver({"12"});
    auto client = startClient({"12", "--params", "1", "2", "3", "4"});
    std::string h;
    EXPECT_EQ(connectResult(*client, &h), 15);
    EXPECT_EQ(info->readLine(kWait).value_or(""), "params " + h + " 3 4");
    EXPECT_EQ(info->readLine(kWait).value_or(""), "connect " + h);
}

TEST_F(OverTheBus, SlotChangesAreEchoedByTheClientAndStored) {
    auto info = startInfodriver({"12"});
    // With no client a change is stored directly, cut to 255 characters.
    EXPECT_EQ(slot({"12", "set", "4", "direct"}).exitCode, 0);
    EXPECT_EQ(slot({"12", "get", "4"}).out, "direct\n");
    EXPECT_EQ(slot({"12", "get", "4000"}).out, "\n");
    EXPECT_EQ(slot({"12", "set", "5", std::string(300, 'y')}).exitCode, 0);
    EXPECT_EQ(slot({"12", "get", "5"}).out, std::string(255, 'y') + "\n");

    auto client = startClient({"12", "--refuse", "9"});
    ASSERT_EQ(connectResult(*client), 15);
    // Accepted: the echo has been stored by the time kelp-slot returns.
    EXPECT_EQ(slot({"12", "set", "8", "50%s%n"}).exitCode, 0);
    EXPECT_EQ(slot({"12", "get", "8"}).out, "50%s%n\n");
    EXPECT_TRUE(client->waitForLine("change 12 8 50%s%n", kWait));
    EXPECT_TRUE(info->waitForLine("write 8 50%s%n", kWait));
    // Refused: the slot keeps its value.
    EXPECT_EQ(slot({"12", "set", "9", "nope"}).exitCode, 0);
    EXPECT_TRUE(client->waitForLine("change 12 9 nope", kWait));
    EXPECT_EQ(slot({"12", "get", "9"}).out, "\n");
    // A value longer than the echo buffer reaches the client whole, is echoed cut to 511 and
    // stored cut to 255.
    std::string longValue(600, 'L');
    EXPECT_EQ(slot({"12", "set", "7", longValue}).exitCode, 0);
    auto w = info->waitForLine("write 7 ", kWait);
    ASSERT_TRUE(w);
    EXPECT_EQ(*w, "write 7 " + std::string(511, 'L'));
    EXPECT_EQ(slot({"12", "get", "7"}).out, std::string(255, 'L') + "\n");
    // The client's own reads and conditional writes see the stored values.
    client->writeStdin("updateslot 8 50%s%n\nupdateslot -8 new\ngetslot 8\nstatus\n");
    EXPECT_TRUE(client->waitForLine("updated 0", kWait));
    EXPECT_TRUE(client->waitForLine("updated 1", kWait));
    EXPECT_TRUE(info->waitForLine("writealt 8 new", kWait));
    EXPECT_TRUE(client->waitForLine("slot 8 new", kWait));
    EXPECT_TRUE(client->waitForLine("status 15 3 3", kWait));  // two echoes and one update

    info->signal(SIGTERM);
    EXPECT_EQ(info->waitExit(kWait), 0);
}

TEST_F(OverTheBus, SlotReadNeverWritesPastTheReadersBuffer) {
    testing_support::qtApp();
    auto info = startInfodriver({"12"});
    EXPECT_EQ(slot({"12", "set", "4", "direct"}).exitCode, 0);
    platform::HWND standIn = 0;
    for (platform::HWND h : platform::enumWindows())
        if (platform::windowClassName(h) == "kelpinfodriver")
            standIn = h;
    ASSERT_NE(standIn, 0u);

    // A reader that offers 4 bytes gets 3 characters and the NUL, nothing more.
    char out[8];
    std::memset(out, '#', sizeof out);
    platform::MessageBuffer small{nullptr, 0, out, 4};
    EXPECT_EQ(platform::sendMessage(standIn, infodriver::ZED_SLOTREAD, 4, 0, &small), 1);
    EXPECT_EQ(std::string(out, 8), std::string("dir\0####", 8));

    // A read without a buffer (a bare number from another process) is refused.
    EXPECT_EQ(platform::sendMessage(standIn, infodriver::ZED_SLOTREAD, 4, 0x1234), 0);
    info->signal(SIGTERM);
    EXPECT_EQ(info->waitExit(kWait), 0);
}

TEST_F(OverTheBus, SlotChangeDeliveredWhileAWriteOfOursIsInFlight) {
    auto info = startInfodriver({"12"});
    auto client = startClient({"12"});
    ASSERT_EQ(connectResult(*client), 15);
    armed(*info, "onwrite 9 abc");
    client->writeStdin("setslot 5 outer\n");
    std::vector<std::string> lines;
    ASSERT_TRUE(readUntil(*client, "ok", &lines));
    EXPECT_EQ(lines, std::vector<std::string>{"change 12 9 abc"});
    EXPECT_TRUE(info->waitForLine("write 5 outer", kWait));
    EXPECT_EQ(info->readLine(kWait).value_or(""), "write 9 abc");
    EXPECT_EQ(slot({"12", "get", "5"}).out, "outer\n");
    EXPECT_EQ(slot({"12", "get", "9"}).out, "abc\n");
}

TEST_F(OverTheBus, InfodriverKilledDuringAWriteOfTheClient) {
    auto info = startInfodriver({"12"});
    auto client = startClient({"12"});
    ASSERT_EQ(connectResult(*client), 15);
    armed(*info, "diewrite");
    client->writeStdin("setslot 1 x\n");
    EXPECT_TRUE(info->waitForLine("write 1 x", kWait));
    EXPECT_EQ(info->waitExit(kWait), 128 + SIGKILL);
    EXPECT_TRUE(client->waitForLine("ok", kWait));
    client->writeStdin("getslot 1\nstatus\n");
    EXPECT_TRUE(client->waitForLine("slot 1 ", kWait));
    EXPECT_TRUE(client->waitForLine("status 15 1 0", kWait));
}

TEST_F(OverTheBus, ClientKilledDuringADeliveryIsForgotten) {
    auto info = startInfodriver({"12"});
    auto client = startClient({"12", "--die-on-change"});
    std::string h;
    ASSERT_EQ(connectResult(*client, &h), 15);
    EXPECT_EQ(slot({"12", "set", "3", "v"}).exitCode, 0);
    EXPECT_EQ(client->waitExit(kWait), 128 + SIGKILL);
    EXPECT_TRUE(info->waitForLine("lost " + h, kWait));
    EXPECT_EQ(slot({"12", "get", "3"}).out, "v\n");
    EXPECT_EQ(slot({"12", "set", "4", "w"}).exitCode, 0);
    EXPECT_EQ(slot({"12", "get", "4"}).out, "w\n");
    // A new client takes its place.
    auto second = startClient({"12"});
    ASSERT_EQ(connectResult(*second, &h), 15);
    EXPECT_TRUE(info->waitForLine("connect " + h, kWait));
}

TEST_F(OverTheBus, MessagesFromTheInfodriversInput) {
    auto info = startInfodriver({"12"});
    auto client = startClient({"12"});
    ASSERT_EQ(connectResult(*client), 15);
    auto send = [&](const std::string& cmd) {
        info->writeStdin(cmd + "\n");
        auto r = info->waitForLine("result ", kWait);
        return r ? r->substr(7) : std::string("(none)");
    };
    EXPECT_EQ(send("txrx"), "1");
    EXPECT_TRUE(client->waitForLine("log Infodriver 12 received request to go TXRX", kWait));
    EXPECT_TRUE(client->waitForLine("sink roreziv::ZED_REQDEVGOTXRX - Return 1", kWait));
    EXPECT_EQ(send("rxonly"), "0");
    EXPECT_EQ(send("inquiry"), "1");
    EXPECT_TRUE(client->waitForLine("log iStatus=8", kWait));
    EXPECT_EQ(send("deviceidinuse 65543"), "0");
    EXPECT_TRUE(client->waitForLine("log iStatus=2190", kWait));
    EXPECT_EQ(send("text " + std::string(400, 't')), "0");
    EXPECT_EQ(send("librarymsg 1 2"), "0");
    EXPECT_EQ(send("suppress 1"), "0");
    EXPECT_EQ(send("disconnect"), "0");
    EXPECT_TRUE(client->waitForLine("log ERROR - - - Infodriver 12 has disconnected", kWait));
    client->writeStdin("text\nstatus\n");
    EXPECT_TRUE(client->waitForLine("text " + std::string(299, 't'), kWait));
    EXPECT_TRUE(client->waitForLine("status 3 0 0", kWait));
}

TEST_F(OverTheBus, InterfaceLibraryCanBeReplacedOrMissing) {
    auto info = startInfodriver({"12"});
    {
        auto client = startClient({"12"}, {{"KELP_IFLIB", libPath("libprobe_iflib.so")}});
        ASSERT_EQ(connectResult(*client), 15);
        client->writeStdin("getslot 3\nsetslot 3 x\ngetslot 3\n");
        EXPECT_TRUE(client->waitForLine("slot 3 probe", kWait));
        EXPECT_TRUE(client->waitForLine("slot 3 probe", kWait));
        info->writeStdin("librarymsg 1 2\n");
        EXPECT_EQ(info->waitForLine("result ", kWait).value_or(""), "result 4321");
        client->writeStdin("quit\n");
        EXPECT_EQ(client->waitExit(kWait), 0);
    }
    // Without a library the client still connects and counts; writes and reads do nothing.
    auto client = startClient({"12"}, {{"KELP_IFLIB", "/nonexistent/libkelpif32.so"}});
    ASSERT_EQ(connectResult(*client), 15);
    client->writeStdin("setslot 3 x\ngetslot 3\nstatus\n");
    EXPECT_TRUE(client->waitForLine("slot 3 ", kWait));
    EXPECT_TRUE(client->waitForLine("status 15 1 0", kWait));
    EXPECT_NE(client->stderrText().find("/nonexistent/libkelpif32.so"), std::string::npos);
    EXPECT_EQ(slot({"12", "get", "3"}).out, "\n");
}

}  // namespace
