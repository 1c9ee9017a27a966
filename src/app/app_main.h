// The process entry of camlet32, as a function that tests and other programs can call.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/driver_hooks.h"

namespace app {

// Builds the driver once the device number is known and the single-instance lock is held, before
// the main window exists; it is destroyed after the message loop has ended, while the event loop
// and the bus still work. Without a factory the shell runs with the default hooks.
using DriverFactory = std::function<std::unique_ptr<DriverHooks>(int deviceNumber)>;

// argv[1..] joined by single blanks, cut to 254 characters.
std::string joinCommandLine(int argc, const char* const* argv);

// The device number of a command line by atoi rules: leading white space, an optional sign,
// decimal digits, the rest ignored; no digits give 0. A number beyond the int range saturates.
int parseDeviceNumber(const std::string& commandLine);

// The whole process: returns the exit code (-1 for a bad device number or a second instance,
// 0 when the window cannot be created, else the code of the quit message).
int runCamlet32(int argc, char** argv, const DriverFactory& makeDriver = {});

}  // namespace app
