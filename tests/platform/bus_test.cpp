// The message bus between real processes: sends with bytes both ways, call-backs during a send,
// broadcasts, dead and hung peers, prefix isolation and hostile connections.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "child_process.h"
#include "platform/linux/bus_frame.h"
#include "platform/linux/bus_marks.h"
#include "platform/prefix.h"
#include "platform/window.h"
#include "qt_env.h"
#include "test_prefix.h"

using namespace platform;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::pumpFor;
using testing_support::pumpUntil;

namespace {

struct Peer {
    std::unique_ptr<ChildProcess> proc;
    HWND hwnd = 0;
};

Peer startPeer(const std::string& arg = "peer", const ChildProcess::Env& env = {}) {
    Peer p;
    p.proc = std::make_unique<ChildProcess>(
        std::vector<std::string>{testing_support::binPath("bus_peer"), arg}, env);
    auto line = p.proc->waitForLine("hwnd ", 10s);
    if (line)
        p.hwnd = static_cast<HWND>(std::stoul(line->substr(5), nullptr, 16));
    p.proc->waitForLine("ready", 10s);
    return p;
}

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override { testing_support::qtApp(); }
    void TearDown() override {
        if (own_)
            destroyWindow(own_);
    }

    // A window of this process that records what it gets; 0x8003 answers 77 and writes "ok".
    HWND ownWindow() {
        own_ = createWindow("tester", [this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
            seen_.push_back(m);
            if (m == 0x8003) {
                nestedText_ = reinterpret_cast<const char*>(l);
                postSeenDuringNested_ = count(0x8011) > 0;
                std::memcpy(reinterpret_cast<char*>(l), "ok", 3);
                return 77;
            }
            if (m == 0x8010)
                postedW_ = w;
            return 0;
        });
        return own_;
    }
    int count(UINT m) const { return static_cast<int>(std::count(seen_.begin(), seen_.end(), m)); }

    testing_support::TestPrefix prefix_;
    HWND own_ = 0;
    std::vector<UINT> seen_;
    std::string nestedText_;
    bool postSeenDuringNested_ = false;
    WPARAM postedW_ = 0;
};

TEST_F(BusTest, SendCarriesBytesBothWaysAndAddressesByLowWord) {
    Peer p = startPeer("camclass");
    ASSERT_NE(p.hwnd, 0u);
    EXPECT_TRUE(isWindow(p.hwnd));
    EXPECT_EQ(windowClassName(p.hwnd), "camclass");
    EXPECT_EQ(windowClassName(p.hwnd & 0xFFFF), "camclass");

    char out[8];
    std::memset(out, '#', sizeof out);
    MessageBuffer b{"hello", 5, out, 8};
    EXPECT_EQ(sendMessage(p.hwnd, 0x8001, 21, 0, &b), 42);
    EXPECT_EQ(std::memcmp(out, "HELLO\0\0\0", 8), 0);
    // Only the low word travels in the protocol; any high word reaches the same window.
    EXPECT_EQ(sendMessage(p.hwnd & 0xFFFF, 0x8001, 5, 0, &b), 10);
    EXPECT_EQ(sendMessage((p.hwnd & 0xFFFF) | 0xABCD0000u, 0x8001, 6, 0, &b), 12);

    // Without a buffer the lParam is only a number of ours: the peer is told so and never
    // follows it.
    EXPECT_EQ(sendMessage(p.hwnd, 0x8001, 3, reinterpret_cast<LPARAM>(out)), -1);

    // Posts both ways.
    HWND me = ownWindow();
    ASSERT_TRUE(postMessage(p.hwnd, 0x8012, 9, -3));
    EXPECT_TRUE(p.proc->waitForLine("msg 8012 9 -3", 10s));
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "post %x 8010 2a\n", me & 0xFFFF);
    p.proc->writeStdin(cmd);
    ASSERT_TRUE(pumpUntil([&] { return postedW_ == 0x2a; }, 10s));
    // A send from another thread to a remote window.
    LRESULT fromThread = 0;
    std::thread t([&] { fromThread = sendMessage(p.hwnd, 0x8001, 50, 0, &b); });
    t.join();
    EXPECT_EQ(fromThread, 100);
}

TEST_F(BusTest, ForeignNumbersAreNeverReadAsTextAndBufferSizesAreKnown) {
    Peer p = startPeer();
    ASSERT_NE(p.hwnd, 0u);
    std::string text = "unset";
    std::size_t size = 99;
    HWND me = createWindow("reader", [&](HWND, UINT m, WPARAM, LPARAM l) -> LRESULT {
        if (m == 0x8020) {
            text = lParamText(l);
            size = messageBufferSize();
        }
        return 0;
    });
    ASSERT_NE(me, 0u);
    own_ = me;

    // Every window of both processes is listed.
    std::vector<HWND> all = enumWindows();
    EXPECT_NE(std::find(all.begin(), all.end(), p.hwnd & 0xFFFF), all.end());
    EXPECT_NE(std::find(all.begin(), all.end(), me & 0xFFFF), all.end());

    // Another process's lParam that looks like an address is only a number here.
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "send %x 8020 0 7ffd12345678\n", me & 0xFFFF);
    p.proc->writeStdin(cmd);
    ASSERT_TRUE(pumpUntil([&] { return text != "unset"; }, 10s));
    EXPECT_EQ(text, "");
    EXPECT_EQ(size, 0u);

    // A message with bytes tells its buffer's size, the larger of what goes in and comes back.
    char out[10];
    MessageBuffer b{"abc", 3, out, sizeof out};
    sendMessage(me, 0x8020, 0, 0, &b);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(size, sizeof out);
    EXPECT_EQ(messageBufferSize(), 0u);
}

TEST_F(BusTest, SystemMessagesFromAnotherProcessNeverReachAProcedure) {
    Peer p = startPeer();
    HWND me = ownWindow();
    ASSERT_TRUE(p.hwnd && me);
    // Creation, destruction, timers and serial notifications whose lParam would be taken as one
    // of our objects; sent and posted, with and without a plausible address. Then messages that
    // do pass: WM_COMMAND (a menu choice) and one of the application's own numbers.
    const unsigned low = me & 0xFFFF;
    std::string cmds;
    for (unsigned m : {0x0001u, 0x0002u, 0x0081u, 0x0082u, 0x0113u, 0x0044u, 0x0024u}) {
        char cmd[96];
        std::snprintf(cmd, sizeof cmd, "send %x %x 0 4141414141\npost %x %x 0 0\n", low, m, low, m);
        cmds += cmd;
    }
    char last[96];
    std::snprintf(last, sizeof last, "send %x 111 7 0\npost %x 8031 1\n", low, low);
    p.proc->writeStdin(cmds + last);
    ASSERT_TRUE(pumpUntil([&] { return count(0x8031) == 1; }, 10s));
    EXPECT_EQ(seen_.size(), 3u);  // WM_CREATE of our own window, WM_COMMAND, 0x8031
    EXPECT_EQ(count(0x0111), 1);
    EXPECT_TRUE(isWindow(me));
    // Refused sends answer the default result; the posts were taken (and dropped).
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(p.proc->waitForLine("result ", 10s).value_or(""), "result 0");
        EXPECT_EQ(p.proc->waitForLine("result ", 10s).value_or(""), "result 1");
    }
}

TEST_F(BusTest, WindowsAreFoundByClassAndTitleWithoutAMessage) {
    Peer a = startPeer("findme"), b = startPeer("findme");
    ASSERT_TRUE(a.hwnd && b.hwnd);
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "title %x 12\n", b.hwnd & 0xFFFF);
    b.proc->writeStdin(cmd);
    ASSERT_TRUE(b.proc->waitForLine("result 1", 10s));
    EXPECT_EQ(findWindow("findme", "12"), b.hwnd & 0xFFFF);
    EXPECT_EQ(findWindow("findme", ""), a.hwnd & 0xFFFF);
    EXPECT_EQ(findWindow("findme", "1"), 0u);
    EXPECT_EQ(findWindow("other", "12"), 0u);
    HWND me = ownWindow();
    ASSERT_TRUE(setWindowText(me, "12"));
    EXPECT_EQ(findWindow("tester", "12"), me & 0xFFFF);
    // Finding asks no window anything.
    EXPECT_FALSE(a.proc->waitForLine("msg ", 300ms));
    EXPECT_FALSE(b.proc->waitForLine("msg ", 10ms));
    b.proc->signal(SIGKILL);
    b.proc->waitExit(10s);
    EXPECT_EQ(findWindow("findme", "12"), 0u);
}

TEST_F(BusTest, LargestPayloadTravelsBothWaysAndLargerIsRefused) {
    Peer p = startPeer();
    ASSERT_NE(p.hwnd, 0u);
    // Bigger than any socket buffer: both directions must keep writing while the other reads.
    std::string in(bus::kMaxPayload, 'a');
    std::string out(bus::kMaxPayload, '-');
    MessageBuffer b{in.data(), in.size(), out.data(), out.size()};
    EXPECT_EQ(sendMessage(p.hwnd, 0x8001, 1, 0, &b), 2);
    EXPECT_EQ(out, std::string(bus::kMaxPayload, 'A'));

    std::string tooBig(bus::kMaxPayload + 1, 'a');
    MessageBuffer big{tooBig.data(), tooBig.size(), nullptr, 0};
    EXPECT_EQ(sendMessage(p.hwnd, 0x8001, 7, 0, &big), 0);
    EXPECT_FALSE(p.proc->waitForLine("msg 8001 7", 300ms));
}

TEST_F(BusTest, PeerCallsBackDuringSendButPostsWaitForTheLoop) {
    Peer p = startPeer();
    HWND me = ownWindow();
    ASSERT_NE(me, 0u);
    EXPECT_EQ(sendMessage(p.hwnd, 0x8002, me & 0xFFFF, 0), 78);
    EXPECT_EQ(nestedText_, "from-peer");
    EXPECT_TRUE(p.proc->waitForLine("callback 77 ok", 10s));
    // The peer posted before it called back; the post is not delivered inside our send.
    EXPECT_FALSE(postSeenDuringNested_);
    EXPECT_EQ(count(0x8011), 0);
    EXPECT_TRUE(pumpUntil([&] { return count(0x8011) == 1; }, 10s));
}

TEST_F(BusTest, BroadcastReachesEveryWindowOfThePrefixOnce) {
    Peer a = startPeer(), b = startPeer();
    HWND me = ownWindow();
    ASSERT_TRUE(a.hwnd && b.hwnd && me);
    EXPECT_NE(a.hwnd & 0xFFFF, b.hwnd & 0xFFFF);
    EXPECT_EQ(sendMessage(HWND_BROADCAST, 0x8020, 1, 2), 0);
    EXPECT_EQ(count(0x8020), 1);
    EXPECT_TRUE(a.proc->waitForLine("msg 8020 1 2", 10s));
    EXPECT_TRUE(b.proc->waitForLine("msg 8020 1 2", 10s));
    // A peer broadcasting reaches us too, handled from the loop.
    a.proc->writeStdin("send ffff 8021 0\n");
    ASSERT_TRUE(pumpUntil([&] { return count(0x8021) == 1; }, 10s));
    EXPECT_TRUE(b.proc->waitForLine("msg 8021", 10s));
}

// A window that names the messages it handles is passed by for the broadcasts of others; system
// messages and sends addressed to it still reach it, and other windows get every broadcast.
TEST_F(BusTest, BroadcastsPassByAWindowThatDoesNotHandleThem) {
    Peer a = startPeer(), b = startPeer();
    ASSERT_TRUE(a.hwnd && b.hwnd);
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "handles %x 8032 9000 8033=w12 8033=l34 8034=l5\n", a.hwnd);
    a.proc->writeStdin(cmd);
    ASSERT_TRUE(a.proc->waitForLine("result 1", 10s));
    sendMessage(HWND_BROADCAST, 0x8031, 1, 2);
    sendMessage(HWND_BROADCAST, 0x8032, 3, 4);
    sendMessage(HWND_BROADCAST, 0 /* WM_NULL */, 5, 6);
    EXPECT_EQ(sendMessage(a.hwnd, 0x8031, 7, 8), 0);
    ASSERT_TRUE(a.proc->waitForLine("msg 8031 7 8", 10s));
    std::vector<std::string> got;
    for (const auto& line : a.proc->linesSeen())
        if (line.starts_with("msg "))
            got.push_back(line);
    EXPECT_EQ(got, (std::vector<std::string>{"msg 8032 3 4", "msg 0 5 6", "msg 8031 7 8"}));
    EXPECT_TRUE(b.proc->waitForLine("msg 8031 1 2", 10s));
    EXPECT_TRUE(b.proc->waitForLine("msg 8032 3 4", 10s));
    // Its title can change without losing what it named.
    std::snprintf(cmd, sizeof cmd, "title %x renamed\n", a.hwnd);
    a.proc->writeStdin(cmd);
    ASSERT_TRUE(a.proc->waitForLine("result 1", 10s));
    EXPECT_EQ(findWindow("peer", "renamed"), a.hwnd & 0xFFFF);
    sendMessage(HWND_BROADCAST, 0x8031, 9, 9);
    sendMessage(HWND_BROADCAST, 0x9000, 9, 9);
    EXPECT_TRUE(a.proc->waitForLine("msg 9000 9 9", 10s));
    EXPECT_EQ(std::count(a.proc->linesSeen().begin(), a.proc->linesSeen().end(), "msg 8031 9 9"),
              0);
    // Some messages only when a low word is the one named.
    for (WPARAM w : {0x12, 0x70012, 0x13})
        for (LPARAM l : {0x34, 0x5, 0x35})
            sendMessage(HWND_BROADCAST, 0x8033, w, l);
    sendMessage(HWND_BROADCAST, 0x8034, 1, 0x10005);
    sendMessage(HWND_BROADCAST, 0x8034, 1, 6);
    sendMessage(HWND_BROADCAST, 0x9000, 0, 0);
    ASSERT_TRUE(a.proc->waitForLine("msg 9000 0 0", 10s));
    got.clear();
    for (const auto& line : a.proc->linesSeen())
        if (line.starts_with("msg 8033") || line.starts_with("msg 8034"))
            got.push_back(line);
    EXPECT_EQ(
        got, (std::vector<std::string>{
                 "msg 8033 18 52", "msg 8033 18 5", "msg 8033 18 53", "msg 8033 458770 52",
                 "msg 8033 458770 5", "msg 8033 458770 53", "msg 8033 19 52", "msg 8034 1 65541"}));

    // A list whose check does not match (an entry read while it was rewritten, say) names
    // nothing: the window gets every broadcast again. The entry is changed as its owner would
    // change it: the text, then its mark.
    char name[16];
    std::snprintf(name, sizeof name, "/w%04x", a.hwnd & 0xFFFF);
    const std::string path = runtimeDir() + name;
    std::string entry = testing_support::readFile(path);
    const auto check = entry.find(" #");
    ASSERT_NE(check, std::string::npos) << entry;
    entry[check + 2] = entry[check + 2] == '0' ? '1' : '0';
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, entry.data(), entry.size(), 0), static_cast<ssize_t>(entry.size()));
    close(fd);
    detail::raiseMark(path);
    sendMessage(HWND_BROADCAST, 0x8031, 10, 10);
    EXPECT_TRUE(a.proc->waitForLine("msg 8031 10 10", 10s));
}

// A broadcast remembers what each entry said and reads again only those that changed since: a
// window that starts to handle a message gets it from the next broadcast on, and one that stops
// no longer does, whatever the marks file holds.
TEST_F(BusTest, ABroadcastSeesEveryChangeOfWhatAWindowHandles) {
    Peer a = startPeer();
    ASSERT_TRUE(a.hwnd);
    // The peer names `list`; then broadcast n of 0x8031 and of 0x9000 (which the peer always
    // takes, so that all before it have arrived): 0x8031 must have arrived `times` times.
    auto round = [&](const char* list, int n, int times) {
        char cmd[64];
        std::snprintf(cmd, sizeof cmd, "handles %x %s\n", a.hwnd, list);
        a.proc->writeStdin(cmd);
        ASSERT_TRUE(a.proc->waitForLine("result 1", 10s));
        sendMessage(HWND_BROADCAST, 0x8031, n, 0);
        sendMessage(HWND_BROADCAST, 0x9000, n, 0);
        ASSERT_TRUE(a.proc->waitForLine("msg 9000 " + std::to_string(n) + " 0", 10s));
        const auto& seen = a.proc->linesSeen();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "msg 8031 " + std::to_string(n) + " 0"),
                  times)
            << "round " << n << ", handling " << list;
    };
    const std::string marks = runtimeDir() + "/marks";
    round("9000", 1, 0);
    round("9000 8031", 2, 1);
    round("9000", 3, 0);

    // Without the marks file every entry is read again; with one of garbage too.
    std::filesystem::remove(marks);
    round("9000 8031", 4, 1);
    std::filesystem::remove(marks);
    {
        std::ofstream garbage(marks, std::ios::binary);
        garbage << std::string(3000, '\xff');
    }
    round("9000", 5, 0);
    round("9000 8031", 6, 1);

    // A peer that dies is passed by, whatever its entry said, and the living still get theirs.
    HWND me = ownWindow();
    ASSERT_NE(me, 0u);
    a.proc->signal(SIGKILL);
    ASSERT_TRUE(a.proc->waitExit(10s));
    for (UINT m : {0x8031u, 0x8032u}) {
        const auto start = std::chrono::steady_clock::now();
        sendMessage(HWND_BROADCAST, m, 0, 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        EXPECT_EQ(count(m), 1);
    }
}

// isWindow keeps the entries of the windows it was asked about open and asks their owners' locks
// only: a window destroyed while its process goes on must still count as gone, and asking again
// and again must not pile up descriptors.
TEST_F(BusTest, AWindowDestroyedWhileItsProcessLivesIsGone) {
    Peer p = startPeer();
    Peer other = startPeer();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(isWindow(p.hwnd));
        ASSERT_TRUE(isWindow(other.hwnd));
    }
    char cmd[32];
    std::snprintf(cmd, sizeof cmd, "destroy %x\n", p.hwnd);
    p.proc->writeStdin(cmd);
    ASSERT_TRUE(p.proc->waitForLine("result 1", 10s));
    EXPECT_FALSE(isWindow(p.hwnd));
    EXPECT_FALSE(isWindow(p.hwnd)) << "and no stale answer the second time";
    EXPECT_TRUE(isWindow(other.hwnd));

    const std::size_t before = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator());
    for (int i = 0; i < 50; ++i)
        isWindow(other.hwnd);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                            std::filesystem::directory_iterator()),
              static_cast<std::ptrdiff_t>(before));
}

TEST_F(BusTest, PeerKilledDuringSendIsSkippedAndCleanedUp) {
    Peer p = startPeer();
    ASSERT_TRUE(isWindow(p.hwnd));
    std::string entry;
    char name[8];
    std::snprintf(name, sizeof name, "/w%04x", p.hwnd & 0xFFFF);
    entry = runtimeDir() + name;
    ASSERT_TRUE(std::filesystem::exists(entry));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendMessage(p.hwnd, 0x8004, 0, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);  // no waiting for a time-out
    ASSERT_TRUE(p.proc->waitExit(10s));
    EXPECT_FALSE(isWindow(p.hwnd));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(postMessage(p.hwnd, 0x8012, 0, 0));
    // A broadcast afterwards still reaches the living.
    HWND me = ownWindow();
    ASSERT_NE(me, 0u);
    sendMessage(HWND_BROADCAST, 0x8020, 0, 0);
    EXPECT_EQ(count(0x8020), 1);
}

TEST_F(BusTest, HungPeerIsSkippedAfterTheTimeLimit) {
    Peer hung = startPeer(), live = startPeer();
    HWND me = ownWindow();
    ASSERT_TRUE(hung.hwnd && live.hwnd && me);
    hung.proc->signal(SIGSTOP);
    // Meanwhile the live peer keeps sending to us: we handle its messages while we wait, but
    // they are no sign of life of the hung peer and must not extend the wait on it.
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        char cmd[64];
        std::snprintf(cmd, sizeof cmd, "send %x 8023 0\n", me & 0xFFFF);
        for (int i = 0; i < 60 && !stop; ++i) {
            live.proc->writeStdin(cmd);
            std::this_thread::sleep_for(200ms);
        }
    });
    auto start = std::chrono::steady_clock::now();
    sendMessage(HWND_BROADCAST, 0x8020, 3, 0);
    auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    chatter.join();
    EXPECT_GE(took, 4500ms);
    EXPECT_LT(took, 10s);
    EXPECT_GT(count(0x8023), 0);
    EXPECT_EQ(count(0x8020), 1);
    EXPECT_TRUE(live.proc->waitForLine("msg 8020 3 0", 10s));
    // A stopped process still holds its windows: they stay on the bus.
    EXPECT_TRUE(isWindow(hung.hwnd));
    hung.proc->signal(SIGKILL);
    // The live peer is still served after the hung one.
    char out[4] = {};
    MessageBuffer b{"ab", 2, out, 3};
    EXPECT_EQ(sendMessage(live.hwnd, 0x8001, 4, 0, &b), 8);
    EXPECT_STREQ(out, "AB");
}

TEST_F(BusTest, ASendTakenAfterItsSenderGaveUpIsNeverDelivered) {
    // One receiver stopped, one busy with a long message: both take our send only after we have
    // given up on it, and must not act on it then.
    Peer stopped = startPeer(), busy = startPeer();
    ASSERT_TRUE(stopped.hwnd && busy.hwnd);
    ASSERT_TRUE(postMessage(busy.hwnd, 0x8006, 6500, 0));
    ASSERT_TRUE(busy.proc->waitForLine("msg 8006", 10s));
    stopped.proc->signal(SIGSTOP);
    auto sendFromThread = [](HWND to, LRESULT& r, std::chrono::steady_clock::duration& took) {
        auto start = std::chrono::steady_clock::now();
        char out[4] = {};
        MessageBuffer b{"ab", 2, out, 3};
        r = sendMessage(to, 0x8001, 4, 0, &b);
        took = std::chrono::steady_clock::now() - start;
    };
    LRESULT r1 = -1, r2 = -1;
    std::chrono::steady_clock::duration took1{}, took2{};
    std::thread t1(sendFromThread, stopped.hwnd, std::ref(r1), std::ref(took1));
    std::thread t2(sendFromThread, busy.hwnd, std::ref(r2), std::ref(took2));
    t1.join();
    t2.join();
    EXPECT_EQ(r1, 0);
    EXPECT_EQ(r2, 0);
    EXPECT_GE(took1, 4500ms);
    EXPECT_LT(took1, 10s);

    // The stopped peer is remembered as unresponsive: the next send does not wait again.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendMessage(stopped.hwnd, 0x8001, 5, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    stopped.proc->signal(SIGCONT);
    for (Peer* p : {&stopped, &busy}) {
        auto line = p->proc->waitForLine("msg 800", 10s);
        EXPECT_FALSE(line && line->find("msg 8001 4") != std::string::npos) << *line;
        EXPECT_TRUE(pumpUntil(
            [&] {
                return p->proc->stderrText().find("Dropped message 32769 from an expired send") !=
                       std::string::npos;
            },
            10s));
    }
    EXPECT_FALSE(stopped.proc->waitForLine("msg 8001 4", 300ms));
    EXPECT_FALSE(busy.proc->waitForLine("msg 8001 4", 10ms));
    // Once it answers again (a probe goes out within a second), it is served as before.
    char out[4] = {};
    MessageBuffer b{"ok", 2, out, 3};
    EXPECT_TRUE(pumpUntil([&] { return sendMessage(stopped.hwnd, 0x8001, 6, 0, &b) == 12; }, 10s));
    EXPECT_STREQ(out, "OK");
}

TEST_F(BusTest, TerminationSignalEndsAWaitAndBoundsTheSendsAfterIt) {
    Peer hung = startPeer(), sender = startPeer();
    ASSERT_TRUE(hung.hwnd && sender.hwnd);
    hung.proc->signal(SIGSTOP);
    char cmd[96];
    std::snprintf(cmd, sizeof cmd, "farewell %x\nsend %x 8001 1\n", hung.hwnd & 0xFFFF,
                  hung.hwnd & 0xFFFF);
    sender.proc->writeStdin(cmd);
    std::this_thread::sleep_for(500ms);  // the send is waiting now
    const auto signalled = std::chrono::steady_clock::now();
    sender.proc->signal(SIGTERM);
    // The waiting send ends at once; the farewell to the hung peer then waits out the grace.
    EXPECT_EQ(sender.proc->waitForLine("result", 3s).value_or(""), "result 0");
    EXPECT_EQ(sender.proc->waitExit(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 6s);
    while (sender.proc->readLine(100ms)) {
    }
    EXPECT_NE(
        std::find(sender.proc->linesSeen().begin(), sender.proc->linesSeen().end(), "farewell 0"),
        sender.proc->linesSeen().end());
    hung.proc->signal(SIGKILL);
}

TEST_F(BusTest, TwoPrefixesNeverSeeEachOther) {
    std::string other = prefix_.path() + "-other";
    std::filesystem::create_directories(other);
    Peer foreign = startPeer("peer", {{"KELP_PREFIX", other}});
    Peer local = startPeer();
    HWND me = ownWindow();
    ASSERT_TRUE(foreign.hwnd && local.hwnd && me);
    EXPECT_TRUE(isWindow(local.hwnd));
    if ((foreign.hwnd & 0xFFFF) != (local.hwnd & 0xFFFF) &&
        (foreign.hwnd & 0xFFFF) != (me & 0xFFFF)) {
        EXPECT_FALSE(isWindow(foreign.hwnd));
        EXPECT_EQ(sendMessage(foreign.hwnd, 0x8001, 1, 0), 0);
    }
    sendMessage(HWND_BROADCAST, 0x8020, 7, 0);
    EXPECT_TRUE(local.proc->waitForLine("msg 8020 7 0", 10s));
    foreign.proc->writeStdin("send ffff 8022 0\n");
    EXPECT_TRUE(foreign.proc->waitForLine("result 0", 10s));
    pumpFor(300ms);
    EXPECT_EQ(count(0x8022), 0);
    EXPECT_FALSE(foreign.proc->waitForLine("msg 8020", 300ms));
    foreign.proc.reset();
    std::filesystem::remove_all(other);
}

// Raw connections to this process's bus socket, as a confused or hostile peer would make them.
// The bus socket of process `pid`.
std::string peerSocket(pid_t pid) {
    return runtimeDir() + "/b" + std::to_string(pid) + ".s";
}

// A connection to `path` made at once or not at all (-1, errno EAGAIN: its backlog is full).
int connectAtOnce(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
}

class RawClient {
  public:
    RawClient() {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, peerSocket(getpid()).c_str(), sizeof addr.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() { close(fd_); }
    bool connected() const { return connected_; }
    void write(const std::vector<std::uint8_t>& b) {
        ASSERT_EQ(send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }
    // True once the other side has closed the connection (the event loop runs meanwhile).
    bool droppedWithin(std::chrono::milliseconds limit) {
        return pumpUntil(
            [&] {
                char c;
                ssize_t n = recv(fd_, &c, 1, MSG_DONTWAIT);
                return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            },
            limit);
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

std::vector<std::uint8_t> frameBytes(const bus::Frame& f) {
    std::vector<std::uint8_t> out;
    bus::encodeFrame(f, out);
    return out;
}

// A connection introduced as carrying one send is closed by the receiver once it has answered
// that send, and nothing more on it is delivered; an ordinary connection stays open for more.
TEST_F(BusTest, AOneSendConnectionIsClosedOnceAnswered) {
    HWND me = ownWindow();
    ASSERT_NE(me, 0u);
    bus::Frame hello;
    hello.prefixId = bus::prefixIdOf(runtimeDir());
    hello.pid = static_cast<std::uint32_t>(getpid());
    bus::Frame send;
    send.type = bus::FrameType::Send;
    send.hwnd = me;
    send.msg = 0x8030;
    auto twoSends = [&](bus::FrameType helloType) {
        hello.type = helloType;
        auto bytes = frameBytes(hello);
        for (std::uint32_t seq : {1u, 2u}) {
            send.seq = seq;
            auto s = frameBytes(send);
            bytes.insert(bytes.end(), s.begin(), s.end());
        }
        return bytes;
    };
    {
        RawClient c;
        ASSERT_TRUE(c.connected());
        c.write(twoSends(bus::FrameType::HelloOneSend));
        EXPECT_TRUE(c.droppedWithin(5s));
        EXPECT_EQ(count(0x8030), 1);
    }
    {
        RawClient c;
        ASSERT_TRUE(c.connected());
        c.write(twoSends(bus::FrameType::Hello));
        EXPECT_TRUE(pumpUntil([&] { return count(0x8030) == 3; }, 5s));
        EXPECT_FALSE(c.droppedWithin(200ms));
    }
}

TEST_F(BusTest, BadConnectionsAreDroppedWithoutReachingWindows) {
    HWND me = ownWindow();
    ASSERT_NE(me, 0u);
    bus::Frame hello;
    hello.type = bus::FrameType::Hello;
    hello.prefixId = 0xBAD;  // another prefix
    bus::Frame send;
    send.type = bus::FrameType::Send;
    send.hwnd = me;
    send.msg = 0x8030;

    {  // a process of another prefix
        RawClient c;
        ASSERT_TRUE(c.connected());
        auto bytes = frameBytes(hello);
        auto s = frameBytes(send);
        bytes.insert(bytes.end(), s.begin(), s.end());
        c.write(bytes);
        EXPECT_TRUE(c.droppedWithin(5s));
    }
    {  // a message before any hello
        RawClient c;
        c.write(frameBytes(send));
        EXPECT_TRUE(c.droppedWithin(5s));
    }
    {  // a header that claims a huge body
        RawClient c;
        auto s = frameBytes(send);
        s[8] = s[9] = s[10] = s[11] = 0xFF;
        c.write(s);
        EXPECT_TRUE(c.droppedWithin(5s));
    }
    {  // plain garbage
        RawClient c;
        c.write({'G', 'E', 'T', ' ', '/', '\n'});
        EXPECT_TRUE(c.droppedWithin(5s));
    }
    {  // a peer that dies half-way through a frame
        RawClient c;
        auto s = frameBytes(send);
        s.resize(s.size() / 2);
        c.write(s);
    }
    pumpFor(200ms);
    EXPECT_EQ(count(0x8030), 0);
    // The bus still works for well-behaved peers.
    Peer p = startPeer();
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "send %x 8031 1\n", me & 0xFFFF);
    p.proc->writeStdin(cmd);
    EXPECT_TRUE(pumpUntil([&] { return count(0x8031) == 1; }, 10s));
}

TEST_F(BusTest, ConnectionsAreCappedAndSilentOnesDropped) {
    HWND me = ownWindow();
    ASSERT_NE(me, 0u);
    // Far more connections than a process keeps, none of which says Hello.
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < 300; ++i) {
        silent.push_back(std::make_unique<RawClient>());
        if (i % 32 == 31)
            pumpFor(20ms);  // accepts them, so that the listen backlog never fills
    }
    pumpFor(200ms);
    auto dropped = [&] {
        return std::count_if(silent.begin(), silent.end(),
                             [](auto& c) { return c->droppedWithin(0ms); });
    };
    EXPECT_GE(dropped(), 300 - 128);
    // Within the Hello time limit (and generous slack) every one is gone.
    EXPECT_TRUE(pumpUntil([&] { return dropped() == 300; }, 10s));
    Peer p = startPeer();
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "send %x 8031 1\n", me & 0xFFFF);
    p.proc->writeStdin(cmd);
    EXPECT_TRUE(pumpUntil([&] { return count(0x8031) == 1; }, 10s));
}

// Broadcasts reach every process of the prefix; the connections they make must not outlive them
// on either side, or every process would hold one per peer.
TEST_F(BusTest, BroadcastsLeaveNoConnectionsOpenOnEitherSide) {
    std::vector<Peer> peers;
    for (int i = 0; i < 12; ++i)
        peers.push_back(startPeer());
    HWND me = ownWindow();
    ASSERT_NE(me, 0u);
    auto sockets = [] {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            auto target = std::filesystem::read_symlink(e.path(), ec);
            n += !ec && target.string().rfind("socket:", 0) == 0;
        }
        return n;
    };
    // A peer we talk to directly keeps its pooled connection through the broadcasts.
    char out[4] = {};
    MessageBuffer b{"ab", 2, out, 3};
    ASSERT_EQ(sendMessage(peers[0].hwnd, 0x8001, 2, 0, &b), 4);
    // Earlier tests of this process may still be letting connections go: none may be added.
    const int before = sockets();
    for (int round = 0; round < 3; ++round)
        sendMessage(HWND_BROADCAST, 0x8020, static_cast<WPARAM>(round), 0);
    for (auto& p : peers)
        EXPECT_TRUE(p.proc->waitForLine("msg 8020 2 0", 10s));
    EXPECT_LE(sockets(), before);
    ASSERT_EQ(sendMessage(peers[0].hwnd, 0x8001, 2, 0, &b), 4);
    EXPECT_LE(sockets(), before);

    // Every peer broadcasts to us: the connections we accepted close with their senders', long
    // before an idle pooled connection would be let go.
    for (auto& p : peers)
        p.proc->writeStdin("send ffff 8022 0\n");
    EXPECT_TRUE(pumpUntil([&] { return count(0x8022) == 12; }, 20s));
    EXPECT_TRUE(pumpUntil([&] { return sockets() <= before; }, 5s))
        << sockets() - before << " connections left";
}

// A raw peer process with one window `low`: it closes its first connection with everything on
// it unread (as a peer letting a pooled connection go at the moment a send arrives), then answers
// sends on the next one with 42. Writes "r" to `report` when ready, then the number of sends it
// took.
[[noreturn]] void droppingPeer(const std::string& dir, std::uint16_t low, int report) {
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir + "/b" + std::to_string(getpid()) + ".s";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    char entry[32];
    std::snprintf(entry, sizeof entry, "/w%04x", low);
    const int held = open((dir + entry).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    char text[64];
    const int len = std::snprintf(text, sizeof text, "%d %x\nfake\n", getpid(),
                                  static_cast<unsigned>(((getpid() & 0x7FFF) << 16) | low));
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 4) != 0 || held < 0 || flock(held, LOCK_EX) != 0 ||
        write(held, text, static_cast<std::size_t>(len)) != len || write(report, "r", 1) != 1)
        _exit(1);
    std::vector<std::uint8_t> hello;
    bus::encodeFrame(bus::Frame{}, hello);
    // First connection: wait until more than a Hello is there, then drop it all unread.
    const int first = accept(listener, nullptr, nullptr);
    int pending = 0;
    for (int i = 0; i < 1000 && pending <= static_cast<int>(hello.size()); ++i) {
        std::this_thread::sleep_for(10ms);
        ioctl(first, FIONREAD, &pending);
    }
    close(first);
    // Second connection: answer every send; count them for a while.
    const int second = accept(listener, nullptr, nullptr);
    std::vector<std::uint8_t> in;
    char sends = 0;
    const auto end = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{second, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        std::uint8_t chunk[4096];
        const ssize_t n = recv(second, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        in.insert(in.end(), chunk, chunk + n);
        bus::Frame f;
        std::size_t used = 0;
        while (bus::decodeFrame(in.data(), in.size(), f, used) == bus::DecodeStatus::Ok) {
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(used));
            if (f.type != bus::FrameType::Send)
                continue;
            ++sends;
            bus::Frame reply;
            reply.type = bus::FrameType::Reply;
            reply.seq = f.seq;
            reply.result = 42;
            std::vector<std::uint8_t> out;
            bus::encodeFrame(reply, out);
            if (send(second, out.data(), out.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(out.size()))
                _exit(1);
        }
    }
    _exit(write(report, &sends, 1) == 1 ? 0 : 1);
}

// The peer closed the connection with the send unread, so it never had it: the send goes once
// more on a fresh connection, and the window gets it exactly once.
TEST_F(BusTest, ASendThePeerDroppedUnreadGoesAgainOnceOnAFreshConnection) {
    ASSERT_NE(ownWindow(), 0u);  // this process on the bus, as a driver is
    const std::uint16_t low = 0x7E57;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const std::string dir = runtimeDir();
    const pid_t child = fork();
    if (child == 0)
        droppingPeer(dir, low, pipeFds[1]);
    close(pipeFds[1]);
    auto readByte = [&](char& c) {
        pollfd p{pipeFds[0], POLLIN, 0};
        return poll(&p, 1, 10000) == 1 && read(pipeFds[0], &c, 1) == 1;
    };
    char c = 0;
    ASSERT_TRUE(readByte(c) && c == 'r');
    EXPECT_EQ(sendMessage(low, 0x8040, 1, 2), 42);
    char sends = 0;
    EXPECT_TRUE(readByte(sends));
    EXPECT_EQ(sends, 1);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A process that is busy for a while (here: stopped) with its whole connection backlog taken
// is slow, not gone: a send to it waits for room, up to its time limit, and is answered.
TEST_F(BusTest, ASendWaitsOutAFullBacklogAtThePeer) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 8192);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    Peer p = startPeer();
    ASSERT_NE(p.hwnd, 0u);
    ASSERT_EQ(kill(p.proc->pid(), SIGSTOP), 0);
    std::vector<int> fds;
    bool full = false;
    while (!full && fds.size() + 64 < lim.rlim_cur) {
        const int fd = connectAtOnce(peerSocket(p.proc->pid()));
        full = fd < 0 && errno == EAGAIN;
        if (fd >= 0)
            fds.push_back(fd);
    }
    std::thread resume([&] {
        std::this_thread::sleep_for(300ms);
        kill(p.proc->pid(), SIGCONT);
    });
    char out[4] = {};
    MessageBuffer b{"fd", 2, out, 3};
    const LRESULT r = sendMessage(p.hwnd, 0x8001, 2, 0, &b);
    resume.join();
    for (int fd : fds)
        close(fd);
    if (!full)
        GTEST_SKIP() << "the backlog did not fill within " << lim.rlim_cur << " descriptors";
    EXPECT_EQ(r, 4);
    EXPECT_STREQ(out, "FD");
}

TEST_F(BusTest, RunningOutOfDescriptorsNeverEndsTheProcess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtime needs descriptors of its own (its memory checks write to a pipe),
    // so in a process out of descriptors it reports faults that are not there.
    GTEST_SKIP() << "not meaningful under a sanitizer";
#endif
    // A peer allowed 40 descriptors, flooded with introduced, idle connections.
    auto p = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c", "ulimit -n 40 && exec \"$0\" peer", testing_support::binPath("bus_peer")});
    auto line = p->waitForLine("hwnd ", 10s);
    ASSERT_TRUE(line);
    const HWND peer = static_cast<HWND>(std::stoul(line->substr(5), nullptr, 16));
    ASSERT_TRUE(p->waitForLine("ready", 10s));
    std::vector<int> fds;
    for (int i = 0; i < 120; ++i) {
        const int fd = connectAtOnce(peerSocket(p->pid()));
        if (fd < 0) {
            std::this_thread::sleep_for(10ms);  // a full backlog: let the peer catch up
            continue;
        }
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(500ms);
    // Still alive and serving.
    char out[4] = {};
    MessageBuffer b{"fd", 2, out, 3};
    EXPECT_TRUE(pumpUntil([&] { return sendMessage(peer, 0x8001, 2, 0, &b) == 4; }, 10s));
    EXPECT_STREQ(out, "FD");
    EXPECT_FALSE(p->waitExit(0ms));
    EXPECT_EQ(p->stderrText().find("Too many open files"), std::string::npos);
    for (int fd : fds)
        close(fd);
}

TEST(TerminationSignal, HandlerRunsOnUiThreadAndProcessExitsZero) {
    testing_support::TestPrefix prefix;
    for (int sig : {SIGTERM, SIGHUP}) {
        ChildProcess child({testing_support::binPath("bus_peer"), "signal"});
        ASSERT_TRUE(child.waitForLine("ready", 10s));
        child.signal(sig);
        EXPECT_TRUE(child.waitForLine("signal ui=1", 10s));
        EXPECT_EQ(child.waitExit(10s), 0);
    }
}

}  // namespace
