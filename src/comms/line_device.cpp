#include "comms/line_device.h"

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "comms/network_entry.h"
#include "comms/network_line.h"
#include "platform/prefix.h"

namespace comms {

namespace {

// A driver may try to open its port again and again; the reason of a bad entry is worth one
// line, not one per attempt.
void reportBadEntry(int portNumber, const std::string& text, const std::string& reason) {
    static std::mutex mutex;
    static std::set<std::pair<int, std::string>> reported;
    std::lock_guard<std::mutex> lock(mutex);
    if (!reported.emplace(portNumber, text).second)
        return;
    std::fprintf(stderr, "COM%d: bad [Ports] entry \"%s\" in C:\\kelp_config.ini: %s\n", portNumber,
                 text.c_str(), reason.c_str());
}

}  // namespace

std::unique_ptr<platform::CommDevice> openLine(int portNumber, LineOpenError* error) {
    *error = LineOpenError::Failed;
    const std::string text = portEntryText(portNumber);
    if (text.empty()) {
        platform::SerialDevice::OpenError serialError = platform::SerialDevice::OpenError::None;
        auto device =
            platform::SerialDevice::open(platform::serialDevicePath(portNumber), &serialError);
        if (serialError == platform::SerialDevice::OpenError::Busy)
            *error = LineOpenError::Busy;
        else if (device)
            *error = LineOpenError::None;
        return device;
    }
    std::string reason;
    const auto entry = parseNetworkEntry(text, &reason);
    if (!entry) {
        reportBadEntry(portNumber, text, reason);
        return nullptr;
    }
    auto line = NetworkLine::open(*entry, portNumber);
    if (line)
        *error = LineOpenError::None;
    return line;
}

}  // namespace comms
