#include "fake_camera_host.h"

#include <algorithm>
#include <cstring>

namespace camera_test {

void FakeCameraHost::arriveIn(std::int64_t delayMs, Bytes bytes) {
    arrivals_.emplace(now + delayMs, std::move(bytes));
}

void FakeCameraHost::runUntil(std::int64_t until) {
    for (;;) {
        // The earliest event: an arrival, else the timer due first (lower id on a tie).
        std::int64_t when = INT64_MAX;
        if (!arrivals_.empty())
            when = arrivals_.begin()->first;
        unsigned timerId = 0;
        for (const auto& [id, t] : timers_) {
            if (t.due < when) {
                when = t.due;
                timerId = id;
            }
        }
        if (when > until)
            break;
        now = when;
        if (timerId == 0) {
            auto it = arrivals_.begin();
            rx.insert(rx.end(), it->second.begin(), it->second.end());
            arrivals_.erase(it);
            controller->onSerialData(0);
            continue;
        }
        timers_[timerId].due += timers_[timerId].period;
        if (timerId == camera::kReplyTimerId)
            controller->onReplyTimeout();
        if (timerId == camera::kPollTimerId)
            controller->onPollTimer();
    }
    now = until;
}

unsigned FakeCameraHost::timerPeriod(unsigned id) const {
    auto it = timers_.find(id);
    return it == timers_.end() ? 0 : it->second.period;
}

std::vector<std::int64_t> FakeCameraHost::sendTimes(const Bytes& bytes) const {
    std::vector<std::int64_t> out;
    for (const auto& s : sent)
        if (s.bytes == bytes)
            out.push_back(s.at);
    return out;
}

std::vector<std::int64_t> FakeCameraHost::logTimes(const std::string& text) const {
    std::vector<std::int64_t> out;
    for (const auto& l : logs)
        if (l.text == text)
            out.push_back(l.at);
    return out;
}

std::vector<std::string> FakeCameraHost::logTexts() const {
    std::vector<std::string> out;
    for (const auto& l : logs)
        out.push_back(l.text);
    return out;
}

int FakeCameraHost::serialWrite(const void* bytes, int count) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    Bytes b(p, p + std::max(count, 0));
    sent.push_back({now, b});
    if (camera)
        camera(b);
    return count;
}

int FakeCameraHost::serialRead(void* buffer, int size) {
    int n = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (n < size && !rx.empty()) {
        out[n++] = rx.front();
        rx.pop_front();
    }
    return n;
}

void FakeCameraHost::setTimer(unsigned id, unsigned ms) {
    timers_[id] = Timer{ms, now + ms};
    timerSets.push_back({now, id, ms});
}

void FakeCameraHost::updateslot(int slot, const char* value) {
    if (slots[slot] == value)
        return;
    slots[slot] = value;
    slotWrites.push_back({now, slot, value});
}

}  // namespace camera_test
