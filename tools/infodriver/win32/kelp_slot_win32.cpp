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

namespace {

// Requests as WM_COPYDATA; a read names its buffer in this process for the stand-in to fill.
class CopyDataRequests final : public standin::SlotRequests {
  public:
    explicit CopyDataRequests(HWND standIn) : standIn_(standIn) {}

    std::intptr_t set(unsigned slot, const char* value, std::size_t size) override {
        return standin::sendSlotRequest(standIn_, standin::KELP_SETSLOT, slot, value, size);
    }

    std::intptr_t get(unsigned slot, char* buffer, std::size_t size) override {
        return standin::sendSlotRequest(standIn_, infodriver::ZED_SLOTREAD, slot, nullptr, 0,
                                        buffer, size);
    }

  private:
    HWND standIn_;
};

}  // namespace

int main(int argc, char** argv) {
    // Lines end in LF alone, as the Linux tools write them.
    _setmode(_fileno(stdout), _O_BINARY);
    standin::SlotCommand command;
    if (auto code = standin::parseSlotCommand(argc, argv, command))
        return *code;

    const HWND standIn = standin::findStandIn(command.device);
    CopyDataRequests requests(standIn);
    return standin::runSlotCommand(command, standIn ? &requests : nullptr);
}
