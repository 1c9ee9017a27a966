// The device behind a COM port: the network camera that [Ports] of C:\kelp_config.ini names for
// the port (see comms/network_entry.h), else the port's serial device.
#pragma once

#include <memory>

#include "platform/serial_device.h"

namespace comms {

enum class LineOpenError { None, Busy, Failed };

// Opens the line of COM `portNumber`. A bad [Ports] entry fails the open as a missing device
// would, and its reason is printed on stderr (once per entry and port in the process).
std::unique_ptr<platform::CommDevice> openLine(int portNumber, LineOpenError* error);

}  // namespace comms
