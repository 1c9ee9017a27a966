#include "infodriver/infodriver_callback.h"

#include <cstdarg>
#include <cstdio>

namespace infodriver {

namespace {

InfodriverHost* theHost = nullptr;

void log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    theHost->logLine(line);
}

}  // namespace

void setInfodriverHost(InfodriverHost* host) {
    theHost = host;
}

void InfodriverCallback(roreziv* client, int value, const char* text) {
    if (!theHost || !client)
        return;
    switch (client->iStatus) {
        case IFSTATUS_DISCONNECTED:
            log("ERROR - - - Infodriver %d has disconnected", client->iDevice);
            theHost->infodriverDisconnected();
            break;
        case IFSTATUS_TXRX:
            log("Infodriver %d received request to go TXRX", client->iDevice);
            break;
        case IFSTATUS_RXONLY:
            log("Infodriver %d received request to go RX Only", client->iDevice);
            break;
        case IFSTATUS_CONNECTED: {
            const char* v = text ? text : "";
            theHost->refreshCounters();
            // The value is echoed as an argument, never as a format; setslot keeps at most its
            // first 511 characters.
            if (theHost->dispatchSlotChange(client->iDevice, value, v) == 0)
                client->setslot(value, "%s", v);
            break;
        }
        default:
            log("iStatus=%d", client->iStatus);
            break;
    }
}

}  // namespace infodriver
