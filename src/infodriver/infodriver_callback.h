// The driver's callback on the infodriver client: logs the client's events and passes slot
// changes to camera control, echoing accepted values back to their slot.
#pragma once

#include <string>

#include "infodriver/roreziv.h"

namespace infodriver {

// What the callback needs from the rest of the driver; the driver start-up installs the real one.
class InfodriverHost {
  public:
    virtual ~InfodriverHost() = default;
    // One finished debug line.
    virtual void logLine(const std::string& text) = 0;
    // Writes the traffic counters into the status panel.
    virtual void refreshCounters() = 0;
    // Hands a slot change to camera control: 0 accepted (the value is echoed), non-zero refused.
    virtual int dispatchSlotChange(int device, int slot, const char* value) = 0;
    // The infodriver said that it has disconnected (ZED_DISCONNECTED).
    virtual void infodriverDisconnected() {}
};

// Installs the host the callback uses (not owned; null for none, then events are dropped).
void setInfodriverHost(InfodriverHost* host);

// The event callback to give roreziv::setcallback.
void InfodriverCallback(roreziv* client, int value, const char* text);

}  // namespace infodriver
