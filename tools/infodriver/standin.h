// Finding the stand-in infodriver on the message bus (the Linux tools and benchmarks); its own
// messages are in standin_core.h.
#pragma once

#include <string>

#include "platform/window.h"
#include "standin_core.h"

namespace standin {

// The window of the stand-in infodriver that serves `device`, or 0 when none runs. The stand-in's
// window has the device number as its title, so it is found in the registry without a message to
// any window.
inline platform::HWND findStandIn(long long device) {
    return platform::findWindow(CLASS_NAME, std::to_string(device));
}

}  // namespace standin
