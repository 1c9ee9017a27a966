// The stand-in infodriver's logic, the same on every system: the connect handshake of a client
// for its device, the device's slots, the client's slot writes and reads, change requests and
// the commands of its standard input. Each program (kelp-infodriver on the Linux bus, and
// kelp-infodriver.exe on Win32) decodes its window messages into calls of StandIn::handle and
// gives the core a Link that sends to clients; events go to stdout, one flushed line each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/window.h"

namespace standin {

// Class name of the stand-in's window.
inline constexpr const char* CLASS_NAME = "kelpinfodriver";
// The stand-in's window has the device number (decimal) as its title, so tools find it by class
// and title without a message to any window.
// A change request for a slot, as the rest of the control system makes it. wParam: the slot;
// bytes: the value and its NUL. Result: 1 delivered to the connected client, 2 stored directly
// (no client), 0 refused (slot out of range).
inline constexpr std::uint32_t KELP_SETSLOT = 0x8A03;
// Slots are read with the client's own ZED_SLOTREAD.

// Slot indexes the stand-in holds: 0 .. SLOT_COUNT-1.
inline constexpr unsigned SLOT_COUNT = 65536;
// Characters a stored value keeps.
inline constexpr std::size_t VALUE_MAX = 255;
// Largest value a tool sends as a change request.
inline constexpr std::size_t REQUEST_MAX = 64 * 1024;

// A window handle as the stand-in keeps it: the whole handle where the system has one of 32
// bits, which the protocol's low words are resolved to.
using Handle = std::uint32_t;

// What the core needs of the window system.
class Link {
  public:
    virtual ~Link() = default;
    // The stand-in's own window.
    virtual Handle self() const = 0;
    // The live window whose handle has this low word, or the low word itself when none is known.
    virtual Handle fromLowWord(std::uint32_t low) = 0;
    // Synchronous send; its result, or 0 when the window does not exist or did not answer.
    virtual std::intptr_t send(Handle to, std::uint32_t msg, std::uintptr_t wParam,
                               std::intptr_t lParam) = 0;
    // Synchronous send whose lParam points, in the receiving process, at `size` bytes copied
    // from `bytes` (a text and its NUL).
    virtual std::intptr_t sendBytes(Handle to, std::uint32_t msg, std::uintptr_t wParam,
                                    const char* bytes, std::size_t size) = 0;
    // Whether a window that just failed to answer still exists.
    virtual bool survives(Handle window) = 0;
    // Ends the process at once, without answering anything (a test aid).
    virtual void die() = 0;
};

// The bytes behind a message's pointer lParam, as the program decoded them: `text` is the
// NUL-terminated text a message carries (null when none); a slot read fills `out`, of `outSize`
// bytes.
struct Payload {
    const char* text = nullptr;
    char* out = nullptr;
    std::size_t outSize = 0;
};

// Options of the command line.
struct Options {
    int device = 0;
    long long suppressOnConnect = -1;  // -1: send nothing
    long long paramsResult = 0;
    bool trace = false;
};

// Parses the command line. Returns the exit code when the program should end at once (usage
// shown, or a bad command line), nullopt when it should run.
std::optional<int> parseOptions(int argc, char** argv, Options& options);

// kelp-slot's command line: DEVICE set SLOT VALUE | DEVICE get SLOT.
struct SlotCommand {
    long long device = 0;
    bool set = false;
    unsigned slot = 0;
    const char* value = nullptr;  // set: the value
    std::size_t valueLength = 0;
};

// Parses kelp-slot's command line. Returns the exit code when the program should end at once
// (usage shown, or a bad command line), nullopt when it should run.
std::optional<int> parseSlotCommand(int argc, char** argv, SlotCommand& command);

// How kelp-slot reaches a running stand-in on its system.
class SlotRequests {
  public:
    virtual ~SlotRequests() = default;
    // Hands the stand-in a change request: `size` bytes, the value and its NUL. Returns the
    // stand-in's result, 0 when it did not take it.
    virtual std::intptr_t set(unsigned slot, const char* value, std::size_t size) = 0;
    // Has the stand-in put the slot's value into `buffer` (`size` bytes). Returns 0 when it did
    // not answer.
    virtual std::intptr_t get(unsigned slot, char* buffer, std::size_t size) = 0;
};

// Carries out a parsed kelp-slot command with the stand-in of its device (null when none runs):
// `get` prints the value and a newline; failures are told on stderr. Returns the exit code.
int runSlotCommand(const SlotCommand& command, SlotRequests* standIn);

// Whole decimal (or 0x hex) number that fits in `long long`.
std::optional<long long> parseNumber(const std::string& s);

class StandIn {
  public:
    StandIn(Link& link, const Options& options) : link_(link), options_(options) {}

    // A message to the stand-in's window, decoded. Returns the message result; nullopt for a
    // message the stand-in does not handle (the program gives it the default processing).
    std::optional<std::intptr_t> handle(std::uint32_t msg, std::uintptr_t wParam,
                                        std::intptr_t lParam, const Payload& payload);

    // One line of standard input.
    void command(const std::string& line);

    // Of the control system's broadcasts, the ones the stand-in acts on now (see
    // platform::setHandledMessages): a handshake only for its device, a client's connect only
    // from the client whose handshake is under way and its announce only from the connected
    // client; every other message it handles at all. None with --trace, which shows every one.
    std::optional<std::vector<platform::HandledMessage>> handledBroadcasts() const;

  private:
    void clientWrite(const char* tag, std::uintptr_t slot, const char* value);
    void store(std::uintptr_t slot, const char* value);
    std::intptr_t deliver(std::uintptr_t slot, const char* value, std::size_t length);
    std::intptr_t sendToClient(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
    std::intptr_t sendBytesToClient(std::uint32_t msg, std::uintptr_t wParam, const char* bytes,
                                    std::size_t size);
    void forgetIfGone(Handle to, std::intptr_t result);
    const std::string& slot(std::uintptr_t index) const;

    Link& link_;
    Options options_;
    Handle candidate_ = 0;  // the client whose handshake is under way
    Handle client_ = 0;     // the connected client
    std::unordered_map<unsigned, std::string> slots_;
    std::optional<std::pair<std::uintptr_t, std::string>> onWrite_;
    bool dieOnWrite_ = false;
};

// Splits standard input into lines for StandIn::command: a CR before the LF is dropped, and a
// line that never ends is not kept beyond REQUEST_MAX bytes.
class LineSplitter {
  public:
    template <typename OnLine>
    void feed(const char* bytes, std::size_t n, OnLine&& onLine) {
        pending_.append(bytes, n);
        for (auto nl = pending_.find('\n'); nl != std::string::npos; nl = pending_.find('\n')) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            onLine(line);
        }
        if (pending_.size() > REQUEST_MAX)
            pending_.clear();
    }
    // End of input: the last line, if it had no LF.
    template <typename OnLine>
    void finish(OnLine&& onLine) {
        if (!pending_.empty())
            onLine(pending_);
        pending_.clear();
    }

  private:
    std::string pending_;
};

}  // namespace standin
