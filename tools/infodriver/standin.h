// Finding the stand-in infodriver on the message bus (the Linux tools and benchmarks); its own
// messages are in standin_core.h.
#pragma once

#include "platform/window.h"
#include "standin_core.h"

namespace standin {

// The window of the stand-in infodriver that serves `device`, or 0 when none runs. Only windows
// of the stand-in's class are asked, so a hung window elsewhere on the bus cannot delay the search.
inline platform::HWND findStandIn(long long device) {
    for (platform::HWND h : platform::enumWindows()) {
        if (platform::windowClassName(h) == CLASS_NAME &&
            platform::sendMessage(h, KELP_FINDSTANDIN, 0, static_cast<platform::LPARAM>(device)) ==
                1)
            return h;
    }
    return 0;
}

}  // namespace standin
