// Helpers of the fault-matrix tests, on top of the whole-process rig of tests/system: a hostile
// peer on the message bus, raw connections to a process's bus socket, and a look into the
// prefix's runtime folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "system_rig.h"

namespace fault_test {

using namespace system_test;

// The driver's main window and the window its infodriver client created.
inline const std::string kMainClass = "CLASS_CAMLET32";
inline const std::string kClientClass = "rorezivspwn";

// A process of the prefix that sends whatever it is told to any window (bus_peer).
class HostilePeer {
  public:
    HostilePeer();
    // Low words of the live windows of a class.
    std::vector<unsigned> find(const std::string& className);
    // Synchronous send from this other process; returns the result the peer printed.
    std::string send(unsigned hwnd, unsigned msg, std::uint64_t wParam, std::uint64_t lParam);

  private:
    std::unique_ptr<ChildProcess> proc_;
};

// The path of the bus socket of process `pid` in the current prefix.
std::string busSocketPath(pid_t pid);

// A connection to a bus socket that sends raw bytes; -1 when the connection failed.
int connectRaw(const std::string& socketPath);
bool sendRaw(int fd, const std::vector<std::uint8_t>& bytes);
// True when the far end closed `fd` within `limit`.
bool closedByPeer(int fd, std::chrono::milliseconds limit);

// The lock files of named objects in the prefix's runtime folder.
std::vector<std::string> lockFiles();

// True while `pid` runs (a zombie counts as ended).
bool running(pid_t pid);

// A connected device 1 whose control path can be checked after each fault.
class FaultTest : public ConnectedTest {
  protected:
    // A zoom change (alternately tele and wide) reaches the camera and is echoed to the slot.
    void expectControlWorks(const Device& d);
    void expectControlWorks() { expectControlWorks(dev); }

  private:
    bool tele_ = false;
};

}  // namespace fault_test
