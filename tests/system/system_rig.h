// Whole-process test rig: the driver (camlet32), the stand-in infodriver (kelp-infodriver) and the
// simulated camera (visca-sim), each a real process in the test's own prefix.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "platform/net_socket.h"
#include "test_prefix.h"

namespace system_test {

using namespace std::chrono_literals;
using testing_support::ChildProcess;

// Limits for things that normally take milliseconds; generous so that a loaded machine never
// fails a test that would pass.
inline constexpr std::chrono::milliseconds kStartLimit = 20s;
inline constexpr std::chrono::milliseconds kEventLimit = 10s;

inline const std::string kPollPacket = "81 09 04 38 FF";

// ---- reading a child's output from a mark ----------------------------------------------------

// Index of the next line a child will report: lines from here on are "after the mark".
inline std::size_t mark(const ChildProcess& p) {
    return p.linesSeen().size();
}

// The first line from index `from` on that contains `needle`, looking at lines already read and
// then reading more for up to `limit`.
std::optional<std::string> waitFrom(ChildProcess& p, std::size_t from, const std::string& needle,
                                    std::chrono::milliseconds limit = kEventLimit);

// Waits until `count` lines from index `from` on contain `needle`; true when they did in time.
bool waitForCount(ChildProcess& p, std::size_t from, const std::string& needle, std::size_t count,
                  std::chrono::milliseconds limit = kEventLimit);

// Reads whatever the child prints for `duration`, so that later counts include it.
void readFor(ChildProcess& p, std::chrono::milliseconds duration);

// Number of lines read so far, from index `from` on, that contain `needle`.
std::size_t countFrom(const ChildProcess& p, std::size_t from, const std::string& needle);

// Index of the first line at or after `from` that contains `needle`; nullopt when none was read.
std::optional<std::size_t> indexOf(const ChildProcess& p, std::size_t from,
                                   const std::string& needle);

// Every line read so far from `from` on, joined for failure messages.
std::string dump(const ChildProcess& p, std::size_t from = 0);

// A loopback port that nobody uses at the moment (0 when the system gives none).
int freePort(platform::NetKind kind);

// Time stamp of a simulator "rx <t> ..." or "tx <t> ..." line, in seconds.
double simTime(const std::string& line);

// ---- the rig ---------------------------------------------------------------------------------

// The three processes of one device.
struct Device {
    int number = 0;
    std::shared_ptr<ChildProcess> camera, infodriver, driver;
};

class SystemTest : public ::testing::Test {
  protected:
    // visca-sim on COMn, started when its pty is linked; `options` go on its command line.
    std::shared_ptr<ChildProcess> startCamera(int com,
                                              const std::vector<std::string>& options = {});
    // visca-sim serving on loopback with `scheme` ("tcp", "udp" or "udp-raw") at `port` (0: a free
    // port), started once it listens; *bound gets the port.
    std::shared_ptr<ChildProcess> startNetworkCamera(const std::string& scheme, int port,
                                                     int* bound,
                                                     const std::vector<std::string>& options = {});
    // kelp-infodriver for a device, started once it says "ready".
    std::shared_ptr<ChildProcess> startInfodriver(int device);
    // camlet32 for a device, headless; returns at once.
    std::shared_ptr<ChildProcess> startDriver(int device);
    // Camera on COM `com`, infodriver and driver; returns once the driver has connected and the
    // first good reply has put "1" into slot 1.
    Device startConnected(int device, int com = 1);

    // The device's settings file, written before its driver starts (CR LF line ends).
    void writeSettings(int device, const std::vector<std::string>& lines);
    // Change request as the rest of the control system makes it (kelp-slot set); returns once it
    // was delivered, so any echo of the driver is stored by then.
    void setSlot(int device, int slot, const std::string& value);
    // Current value of a slot in the stand-in (kelp-slot get).
    std::string slot(int device, int slot);
    // A menu command of the driver's main window, sent over the bus; returns once it was done.
    void sendCommand(int id);
    // Ends a driver with a signal and expects its clean exit.
    void stopDriver(ChildProcess& driver, int sig);

    // Where the driver files its log lines by default (C:\kelplogs).
    std::string logDirectory() const { return prefix.driveC() + "/kelplogs"; }

    // Outside ctest the programs are found beside the test binary.
    void SetUp() override;
    // Fails the test when a sanitizer reported a fault in any program it started.
    void TearDown() override;

    // Any program (argv[0] a path), on the offscreen platform, ended with the test.
    std::shared_ptr<ChildProcess> start(const std::vector<std::string>& argv);

    testing_support::TestPrefix prefix;

  private:
    // Every program started, ended (if still running) before the prefix goes.
    std::vector<std::pair<std::string, std::shared_ptr<ChildProcess>>> children_;
};

// A connected device 1 with its camera on COM1 for every test.
class ConnectedTest : public SystemTest {
  protected:
    void SetUp() override;
    Device dev;
};

}  // namespace system_test
