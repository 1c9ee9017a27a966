// kelp-slot DEVICE set SLOT VALUE | kelp-slot DEVICE get SLOT
//
// Talks to the running stand-in infodriver of DEVICE over the message bus. `set` makes a change
// request as the rest of the control system would and exits 0 once the stand-in has delivered
// it (any echo of the driver is stored by then); `get` prints the slot's value and a newline.
// Exit codes: 0 done, 1 bad usage, 2 no stand-in for DEVICE (or it went away).
#include <signal.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "infodriver/protocol.h"
#include "platform/window.h"
#include "standin.h"

namespace {

const char* const kUsage =
    "usage: kelp-slot DEVICE set SLOT VALUE\n"
    "       kelp-slot DEVICE get SLOT\n"
    "SLOT is 0..65535. Exit codes: 0 done, 1 bad usage, 2 no infodriver for DEVICE.\n";

std::optional<long long> parseNumber(const char* s) {
    if (!s || !*s)
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s, &end, 10);
    if (errno || *end)
        return std::nullopt;
    return v;
}

int usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 4)
        return usage();
    auto device = parseNumber(argv[1]);
    auto slot = parseNumber(argv[3]);
    bool set = !std::strcmp(argv[2], "set");
    bool get = !std::strcmp(argv[2], "get");
    if (!device || *device <= 0 || *device > INT32_MAX || !slot || *slot < 0 ||
        *slot >= static_cast<long long>(standin::SLOT_COUNT) || (set && argc != 5) ||
        (get && argc != 4) || (!set && !get))
        return usage();
    std::size_t valueLength = set ? std::strlen(argv[4]) : 0;
    if (valueLength >= standin::REQUEST_MAX) {
        std::fprintf(stderr, "kelp-slot: value longer than %zu characters\n",
                     standin::REQUEST_MAX - 1);
        return 1;
    }

    signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const platform::HWND standIn = standin::findStandIn(*device);
    int code = 0;
    if (!standIn) {
        std::fprintf(stderr, "kelp-slot: no infodriver running for device %lld\n", *device);
        code = 2;
    } else if (set) {
        platform::MessageBuffer mb;
        mb.in = argv[4];
        mb.inSize = valueLength + 1;
        auto r = platform::sendMessage(standIn, standin::KELP_SETSLOT,
                                       static_cast<platform::WPARAM>(*slot), 0, &mb);
        if (r == 0) {
            std::fprintf(stderr, "kelp-slot: the infodriver for device %lld did not take it\n",
                         *device);
            code = 2;
        }
    } else {
        char value[infodriver::SLOT_READ_SIZE] = {};
        platform::MessageBuffer mb;
        mb.out = value;
        mb.outSize = sizeof value;
        auto r = platform::sendMessage(standIn, infodriver::ZED_SLOTREAD,
                                       static_cast<platform::WPARAM>(*slot), 0, &mb);
        value[sizeof value - 1] = '\0';
        if (r == 0) {
            std::fprintf(stderr, "kelp-slot: the infodriver for device %lld did not answer\n",
                         *device);
            code = 2;
        } else {
            std::printf("%s\n", value);
            std::fflush(stdout);
        }
    }
    return code;
}
