// kelp-slot.exe DEVICE set SLOT VALUE | kelp-slot.exe DEVICE get SLOT
//
// The Windows twin of kelp-slot: the same command line, output and exit codes; it reaches the
// stand-in infodriver with WM_COPYDATA (slot_request.h).
// First: it brings <windows.h> in after the protocol's names.
#include "slot_request.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

int main(int argc, char** argv) {
    // Lines end in LF alone, as the Linux tools write them.
    _setmode(_fileno(stdout), _O_BINARY);
    standin::SlotCommand command;
    if (auto code = standin::parseSlotCommand(argc, argv, command))
        return *code;

    const HWND standIn = standin::findStandIn(command.device);
    if (!standIn) {
        std::fprintf(stderr, "kelp-slot: no infodriver running for device %lld\n", command.device);
        return 2;
    }
    if (command.set) {
        if (standin::sendSlotRequest(standIn, standin::KELP_SETSLOT, command.slot, command.value,
                                     command.valueLength + 1) == 0) {
            std::fprintf(stderr, "kelp-slot: the infodriver for device %lld did not take it\n",
                         command.device);
            return 2;
        }
        return 0;
    }
    char value[infodriver::SLOT_READ_SIZE] = {};
    const LRESULT r = standin::sendSlotRequest(standIn, infodriver::ZED_SLOTREAD, command.slot,
                                               nullptr, 0, value, sizeof value);
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
