// kelp-slot DEVICE set SLOT VALUE | kelp-slot DEVICE get SLOT
//
// Talks to the running stand-in infodriver of DEVICE over the message bus. `set` makes a change
// request as the rest of the control system would and exits 0 once the stand-in has delivered
// it (any echo of the driver is stored by then); `get` prints the slot's value and a newline.
// Exit codes: 0 done, 1 bad usage, 2 no stand-in for DEVICE (or it went away).
#include <signal.h>

#include <QCoreApplication>

#include "infodriver/protocol.h"
#include "platform/window.h"
#include "standin.h"

namespace {

// Requests as messages on the bus, the bytes travelling with them.
class BusRequests final : public standin::SlotRequests {
  public:
    explicit BusRequests(platform::HWND standIn) : standIn_(standIn) {}

    std::intptr_t set(unsigned slot, const char* value, std::size_t size) override {
        platform::MessageBuffer mb;
        mb.in = value;
        mb.inSize = size;
        return platform::sendMessage(standIn_, standin::KELP_SETSLOT, slot, 0, &mb);
    }

    std::intptr_t get(unsigned slot, char* buffer, std::size_t size) override {
        platform::MessageBuffer mb;
        mb.out = buffer;
        mb.outSize = size;
        return platform::sendMessage(standIn_, infodriver::ZED_SLOTREAD, slot, 0, &mb);
    }

  private:
    platform::HWND standIn_;
};

}  // namespace

int main(int argc, char** argv) {
    standin::SlotCommand command;
    if (auto code = standin::parseSlotCommand(argc, argv, command))
        return *code;

    signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const platform::HWND standIn = standin::findStandIn(command.device);
    BusRequests requests(standIn);
    return standin::runSlotCommand(command, standIn ? &requests : nullptr);
}
