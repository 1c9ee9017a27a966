// A CameraHost in virtual time: a millisecond clock, timers by id with restart-on-set semantics,
// a serial port whose received bytes are scheduled arrivals, a slot table with updateslot's
// write-only-when-different behaviour, and a record of everything the controller did.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "camera/camera_controller.h"

namespace camera_test {

using Bytes = std::vector<std::uint8_t>;

class FakeCameraHost : public camera::CameraHost {
  public:
    struct Sent {
        std::int64_t at;
        Bytes bytes;
    };
    struct SlotWrite {
        std::int64_t at;
        int slot;
        std::string value;
    };
    struct TimerSet {
        std::int64_t at;
        unsigned id;
        unsigned ms;
    };
    struct Status {
        std::int64_t at;
        std::string text;
    };
    struct Log {
        std::int64_t at;
        std::string text;
    };

    // Called for every write, at the time of the write; may schedule arrivals.
    std::function<void(const Bytes&)> camera;
    camera::CameraController* controller = nullptr;

    std::int64_t now = 0;
    int portNumber = 7;
    std::deque<std::uint8_t> rx;  // bytes waiting in the port's receive buffer
    std::map<int, std::string> slots;

    std::vector<Sent> sent;
    std::vector<SlotWrite> slotWrites;
    std::vector<TimerSet> timerSets;
    std::vector<Status> statuses;
    std::vector<Log> logs;
    int refreshes = 0;
    int statusCalls = 0;
    bool loggingOn = true;  // what logging() answers

    // Bytes that reach the port `delayMs` from now, followed by one data notification.
    void arriveIn(std::int64_t delayMs, Bytes bytes);
    // Runs every timer expiry and arrival due up to `until`, in time order, advancing `now`.
    void runUntil(std::int64_t until);
    bool timerRunning(unsigned id) const { return timers_.count(id) != 0; }
    unsigned timerPeriod(unsigned id) const;

    // Times of the writes that equal `bytes`.
    std::vector<std::int64_t> sendTimes(const Bytes& bytes) const;
    std::vector<std::int64_t> logTimes(const std::string& text) const;
    std::vector<std::string> logTexts() const;

    int serialWrite(const void* bytes, int count) override;
    int serialRead(void* buffer, int size) override;
    void serialGetStatus() override { ++statusCalls; }
    int serialPortNumber() override { return portNumber; }
    void setTimer(unsigned id, unsigned ms) override;
    void killTimer(unsigned id) override { timers_.erase(id); }
    bool logging() override { return loggingOn; }
    void log(const char* line) override { logs.push_back({now, line}); }
    void refreshCounters() override { ++refreshes; }
    void setStatusText(const char* text) override { statuses.push_back({now, text}); }
    void updateslot(int slot, const char* value) override;

  private:
    struct Timer {
        unsigned period;
        std::int64_t due;
    };
    std::map<unsigned, Timer> timers_;
    std::multimap<std::int64_t, Bytes> arrivals_;
};

// The poll packet and the camera's answers.
inline const Bytes kPoll = {0x81, 0x09, 0x04, 0x38, 0xFF};
inline const Bytes kAutoFocusReply = {0x90, 0x50, 0x02, 0xFF};

}  // namespace camera_test
