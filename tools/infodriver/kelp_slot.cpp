// kelp-slot DEVICE set SLOT VALUE | kelp-slot DEVICE get SLOT
//
// Talks to the running stand-in infodriver of DEVICE over the message bus. `set` makes a change
// request as the rest of the control system would and exits 0 once the stand-in has delivered
// it (any echo of the driver is stored by then); `get` prints the slot's value and a newline.
// Exit codes: 0 done, 1 bad usage, 2 no stand-in for DEVICE (or it went away).
#include <signal.h>

#include <QCoreApplication>
#include <cstdio>

#include "infodriver/protocol.h"
#include "platform/window.h"
#include "standin.h"

int main(int argc, char** argv) {
    standin::SlotCommand command;
    if (auto code = standin::parseSlotCommand(argc, argv, command))
        return *code;

    signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const platform::HWND standIn = standin::findStandIn(command.device);
    if (!standIn) {
        std::fprintf(stderr, "kelp-slot: no infodriver running for device %lld\n", command.device);
        return 2;
    }
    if (command.set) {
        platform::MessageBuffer mb;
        mb.in = command.value;
        mb.inSize = command.valueLength + 1;
        if (platform::sendMessage(standIn, standin::KELP_SETSLOT, command.slot, 0, &mb) == 0) {
            std::fprintf(stderr, "kelp-slot: the infodriver for device %lld did not take it\n",
                         command.device);
            return 2;
        }
        return 0;
    }
    char value[infodriver::SLOT_READ_SIZE] = {};
    platform::MessageBuffer mb;
    mb.out = value;
    mb.outSize = sizeof value;
    const auto r = platform::sendMessage(standIn, infodriver::ZED_SLOTREAD, command.slot, 0, &mb);
    value[sizeof value - 1] = '\0';
    if (r == 0) {
        std::fprintf(stderr, "kelp-slot: the infodriver for device %lld did not answer\n",
                     command.device);
        return 2;
    }
    std::printf("%s\n", value);
    std::fflush(stdout);
    return 0;
}
