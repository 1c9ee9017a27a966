#include "standin_core.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/say.h"
#include "infodriver/protocol.h"

namespace standin {

using namespace infodriver;

namespace {

const char* const kUsage =
    "usage: kelp-infodriver [options] DEVICE\n"
    "\n"
    "A stand-in infodriver for device number DEVICE (1..2147483647).\n"
    "\n"
    "Options:\n"
    "  --suppress-announce N  send ZED_SUPPRESSANNOUNCE with wParam N to every client while it\n"
    "                         connects (1 leaves its ZED_CLIENTANNOUNCE out)\n"
    "  --params-result N      result of ZED_CLIENTPARAMS (default 0; negative fails the connect)\n"
    "  --trace                also print \"msg NUMBER WPARAM LPARAM\" (hex) for every protocol\n"
    "                         message received, before it is handled\n"
    "  --help                 this text\n"
    "\n"
    "Standard output, one line per event:\n"
    "  ready                  the stand-in can be found by clients\n"
    "  connect HANDLE         a client completed its handshake (HANDLE: 0x%04x, low word)\n"
    "  announce HANDLE        the client announced itself\n"
    "  params HANDLE P3 P4    the client sent its connect parameters\n"
    "  write SLOT VALUE       the client wrote a slot (the value as received)\n"
    "  writealt SLOT VALUE    the client wrote a slot with ZED_SLOTWRITEALT\n"
    "  closing DEVICE         the client said farewell\n"
    "  lost HANDLE            the client's process has gone; it is forgotten\n"
    "  result N               result of a message sent by a command below\n"
    "  value SLOT VALUE       answer to get\n"
    "\n"
    "Standard input commands, one a line, sent to the connected client:\n"
    "  rxonly                 ZED_REQDEVGORXONLY (request to go RX only)\n"
    "  txrx                   ZED_REQDEVGOTXRX (request to go TXRX)\n"
    "  inquiry                ZED_INQDEVGOTXRX (inquiry whether to go TXRX)\n"
    "  text TEXT              ZED_TEXT with TEXT\n"
    "  deviceidinuse N        ZED_DEVICEIDINUSE with wParam N\n"
    "  disconnect             ZED_DISCONNECTED\n"
    "  suppress N             ZED_SUPPRESSANNOUNCE with wParam N\n"
    "  librarymsg W L         ZED_LIBRARYMSG with wParam W and lParam L\n"
    "  set SLOT VALUE         change request, as kelp-slot DEVICE set SLOT VALUE\n"
    "  get SLOT               print the slot's value\n"
    "Test aids:\n"
    "  onwrite SLOT VALUE     at the client's next slot write, deliver this change to the\n"
    "                         client before answering the write\n"
    "  diewrite               at the client's next slot write, die without answering\n"
    "\n"
    "Slots 0..65535, all empty at start; a stored value keeps at most 255 characters. With no\n"
    "client connected a change request is stored directly; otherwise the stored value changes\n"
    "only when the client writes the slot (its echo of an accepted value).\n";

const char* const kSlotUsage =
    "usage: kelp-slot DEVICE set SLOT VALUE\n"
    "       kelp-slot DEVICE get SLOT\n"
    "SLOT is 0..65535. Exit codes: 0 done, 1 bad usage, 2 no infodriver for DEVICE.\n";

bool isProtocolMessage(std::uint32_t msg) {
    switch (msg) {
        case ZED_FINDINFODRIVER:
        case ZED_CLIENTCONNECTED:
        case ZED_CLIENTANNOUNCE:
        case ZED_CLIENTPARAMS:
        case ZED_CLIENTCLOSING:
        case ZED_SLOTWRITE:
        case ZED_SLOTREAD:
        case ZED_SLOTWRITEALT:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::optional<long long> parseNumber(const std::string& s) {
    if (s.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno || !end || *end)
        return std::nullopt;
    return v;
}

std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    bool haveDevice = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto needValue = [&]() -> std::optional<long long> {
            if (i + 1 >= argc)
                return std::nullopt;
            return parseNumber(argv[++i]);
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--trace") {
            options.trace = true;
        } else if (a == "--suppress-announce") {
            auto n = needValue();
            if (!n || *n < 0)
                return std::fputs(kUsage, stderr), 1;
            options.suppressOnConnect = *n;
        } else if (a == "--params-result") {
            auto n = needValue();
            if (!n)
                return std::fputs(kUsage, stderr), 1;
            options.paramsResult = *n;
        } else if (!haveDevice) {
            auto n = parseNumber(a);
            if (!n || *n <= 0 || *n > INT32_MAX) {
                std::fprintf(stderr, "kelp-infodriver: bad device number: %s\n", a.c_str());
                return 1;
            }
            options.device = static_cast<int>(*n);
            haveDevice = true;
        } else {
            return std::fputs(kUsage, stderr), 1;
        }
    }
    if (!haveDevice)
        return std::fputs(kUsage, stderr), 1;
    return std::nullopt;
}

std::optional<int> parseSlotCommand(int argc, char** argv, SlotCommand& command) {
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(kSlotUsage, stdout);
        return 0;
    }
    auto usage = [] {
        std::fputs(kSlotUsage, stderr);
        return 1;
    };
    if (argc < 4)
        return usage();
    // Decimal only, as typed.
    auto decimal = [](const char* s) -> std::optional<long long> {
        if (!s || !*s)
            return std::nullopt;
        errno = 0;
        char* end = nullptr;
        const long long v = std::strtoll(s, &end, 10);
        if (errno || *end)
            return std::nullopt;
        return v;
    };
    auto device = decimal(argv[1]);
    auto slot = decimal(argv[3]);
    command.set = !std::strcmp(argv[2], "set");
    const bool get = !std::strcmp(argv[2], "get");
    if (!device || *device <= 0 || *device > INT32_MAX || !slot || *slot < 0 ||
        *slot >= static_cast<long long>(SLOT_COUNT) || (command.set && argc != 5) ||
        (get && argc != 4) || (!command.set && !get))
        return usage();
    command.device = *device;
    command.slot = static_cast<unsigned>(*slot);
    if (command.set) {
        command.value = argv[4];
        command.valueLength = std::strlen(argv[4]);
        if (command.valueLength >= REQUEST_MAX) {
            std::fprintf(stderr, "kelp-slot: value longer than %zu characters\n", REQUEST_MAX - 1);
            return 1;
        }
    }
    return std::nullopt;
}

int runSlotCommand(const SlotCommand& command, SlotRequests* standIn) {
    if (!standIn) {
        std::fprintf(stderr, "kelp-slot: no infodriver running for device %lld\n", command.device);
        return 2;
    }
    auto failed = [&](const char* how) {
        std::fprintf(stderr, "kelp-slot: the infodriver for device %lld %s\n", command.device, how);
        return 2;
    };
    if (command.set) {
        if (standIn->set(command.slot, command.value, command.valueLength + 1) == 0)
            return failed("did not take it");
        return 0;
    }
    char value[SLOT_READ_SIZE] = {};
    const std::intptr_t answered = standIn->get(command.slot, value, sizeof value);
    value[sizeof value - 1] = '\0';
    if (answered == 0)
        return failed("did not answer");
    std::printf("%s\n", value);
    std::fflush(stdout);
    return 0;
}

std::optional<std::intptr_t> StandIn::handle(std::uint32_t msg, std::uintptr_t wParam,
                                             std::intptr_t lParam, const Payload& payload) {
    if (options_.trace && isProtocolMessage(msg))
        say("msg 0x%04x 0x%08x 0x%08x", msg, static_cast<unsigned>(wParam),
            static_cast<unsigned>(lParam));
    switch (msg) {
        case ZED_FINDINFODRIVER: {
            if (lowWord(static_cast<std::uint64_t>(lParam)) !=
                lowWord(static_cast<unsigned>(options_.device)))
                return 0;
            // A new handshake for our device replaces whatever client we had.
            candidate_ = link_.fromLowWord(lowWord(wParam));
            link_.send(candidate_, ZED_INFODRIVERHWND, link_.self(), 0);
            if (options_.suppressOnConnect >= 0)
                link_.send(candidate_, ZED_SUPPRESSANNOUNCE,
                           static_cast<std::uintptr_t>(options_.suppressOnConnect), 0);
            return 0;
        }
        case ZED_CLIENTPARAMS:
            if (lowWord(wParam) != lowWord(candidate_))
                return 0;
            say("params 0x%04x %u %u", lowWord(candidate_),
                lowWord(static_cast<std::uint64_t>(lParam)),
                highWord(static_cast<std::uint64_t>(lParam)));
            return static_cast<std::intptr_t>(options_.paramsResult);
        case ZED_CLIENTCONNECTED:
            if (!candidate_ || lowWord(wParam) != lowWord(candidate_))
                return 0;
            client_ = candidate_;
            candidate_ = 0;
            say("connect 0x%04x", lowWord(client_));
            return 0;
        case ZED_CLIENTANNOUNCE:
            if (client_ && lowWord(wParam) == lowWord(client_))
                say("announce 0x%04x", lowWord(client_));
            return 0;
        case ZED_CLIENTCLOSING:
            say("closing %d", static_cast<int>(static_cast<std::int32_t>(lParam)));
            client_ = 0;
            return 0;
        case ZED_SLOTWRITE:
            clientWrite("write", wParam, payload.text ? payload.text : "");
            return 1;
        case ZED_SLOTWRITEALT:
            clientWrite("writealt", wParam, payload.text ? payload.text : "");
            return 1;
        case ZED_SLOTREAD: {
            // The value goes into the reader's buffer, cut to its size and always terminated.
            if (!payload.out || payload.outSize == 0)
                return 0;
            const std::string& v = slot(wParam);
            const std::size_t n = std::min(v.size(), payload.outSize - 1);
            std::memcpy(payload.out, v.data(), n);
            payload.out[n] = '\0';
            return 1;
        }
        case KELP_SETSLOT: {
            const char* v = payload.text ? payload.text : "";
            return deliver(wParam, v, strnlen(v, REQUEST_MAX));
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::vector<platform::HandledMessage>> StandIn::handledBroadcasts() const {
    if (options_.trace)
        return std::nullopt;
    using Only = platform::HandledMessage::Only;
    std::vector<platform::HandledMessage> handled{
        {ZED_FINDINFODRIVER, Only::LParamLowWord,
         static_cast<std::uint16_t>(lowWord(static_cast<unsigned>(options_.device)))},
        ZED_CLIENTPARAMS,
        ZED_CLIENTCLOSING,
        ZED_SLOTWRITE,
        ZED_SLOTREAD,
        ZED_SLOTWRITEALT,
        KELP_SETSLOT};
    if (candidate_)
        handled.emplace_back(ZED_CLIENTCONNECTED, Only::WParamLowWord,
                             static_cast<std::uint16_t>(lowWord(candidate_)));
    if (client_)
        handled.emplace_back(ZED_CLIENTANNOUNCE, Only::WParamLowWord,
                             static_cast<std::uint16_t>(lowWord(client_)));
    return handled;
}

const std::string& StandIn::slot(std::uintptr_t index) const {
    static const std::string empty;
    auto it = slots_.find(static_cast<unsigned>(index));
    return it == slots_.end() ? empty : it->second;
}

void StandIn::clientWrite(const char* tag, std::uintptr_t slot, const char* value) {
    say("%s %u %s", tag, static_cast<unsigned>(slot), value);
    if (dieOnWrite_)
        link_.die();
    store(slot, value);
    if (onWrite_) {
        auto [s, v] = std::move(*onWrite_);
        onWrite_.reset();
        deliver(s, v.c_str(), v.size());
    }
}

void StandIn::store(std::uintptr_t index, const char* value) {
    if (index >= SLOT_COUNT) {
        std::fprintf(stderr, "kelp-infodriver: slot %lu out of range, not stored\n",
                     static_cast<unsigned long>(index));
        return;
    }
    slots_[static_cast<unsigned>(index)].assign(value, strnlen(value, VALUE_MAX));
}

std::intptr_t StandIn::deliver(std::uintptr_t index, const char* value, std::size_t length) {
    if (index >= SLOT_COUNT)
        return 0;
    if (client_) {
        if (sendBytesToClient(ZED_SLOTCHANGED, index, value, length + 1) != 0 || client_)
            return 1;
    }
    store(index, value);
    return 2;
}

void StandIn::forgetIfGone(Handle to, std::intptr_t result) {
    // A failed send to a client whose process has gone: forget it (once, even if a nested
    // handshake already replaced it).
    if (result == 0 && client_ == to && !link_.survives(to)) {
        say("lost 0x%04x", lowWord(to));
        client_ = 0;
    }
}

std::intptr_t StandIn::sendToClient(std::uint32_t msg, std::uintptr_t wParam,
                                    std::intptr_t lParam) {
    if (!client_)
        return 0;
    const Handle to = client_;
    const std::intptr_t r = link_.send(to, msg, wParam, lParam);
    forgetIfGone(to, r);
    return r;
}

std::intptr_t StandIn::sendBytesToClient(std::uint32_t msg, std::uintptr_t wParam,
                                         const char* bytes, std::size_t size) {
    if (!client_)
        return 0;
    const Handle to = client_;
    const std::intptr_t r = link_.sendBytes(to, msg, wParam, bytes, size);
    forgetIfGone(to, r);
    return r;
}

void StandIn::command(const std::string& line) {
    auto space = line.find(' ');
    std::string cmd = line.substr(0, space);
    std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    auto sendResult = [this](std::uint32_t msg, std::uintptr_t w = 0, std::intptr_t l = 0) {
        say("result %ld", static_cast<long>(sendToClient(msg, w, l)));
    };
    // "SLOT VALUE" -> slot, value
    auto slotAndValue = [&](std::uintptr_t& s, std::string& v) {
        auto sp = rest.find(' ');
        auto n = parseNumber(rest.substr(0, sp));
        if (!n || *n < 0 || *n >= static_cast<long long>(SLOT_COUNT))
            return false;
        s = static_cast<std::uintptr_t>(*n);
        v = sp == std::string::npos ? std::string() : rest.substr(sp + 1);
        return true;
    };
    std::uintptr_t s = 0;
    std::string v;
    if (cmd == "rxonly") {
        sendResult(ZED_REQDEVGORXONLY);
    } else if (cmd == "txrx") {
        sendResult(ZED_REQDEVGOTXRX);
    } else if (cmd == "inquiry") {
        sendResult(ZED_INQDEVGOTXRX);
    } else if (cmd == "disconnect") {
        sendResult(ZED_DISCONNECTED);
    } else if (cmd == "text") {
        say("result %ld",
            static_cast<long>(sendBytesToClient(ZED_TEXT, 0, rest.c_str(), rest.size() + 1)));
    } else if (cmd == "deviceidinuse" || cmd == "suppress") {
        auto n = parseNumber(rest);
        if (!n) {
            std::fprintf(stderr, "kelp-infodriver: %s needs a number\n", cmd.c_str());
            return;
        }
        sendResult(cmd == "suppress" ? ZED_SUPPRESSANNOUNCE : ZED_DEVICEIDINUSE,
                   static_cast<std::uintptr_t>(*n));
    } else if (cmd == "librarymsg") {
        auto sp = rest.find(' ');
        auto w = parseNumber(rest.substr(0, sp));
        auto l = parseNumber(sp == std::string::npos ? std::string() : rest.substr(sp + 1));
        if (!w || !l) {
            std::fprintf(stderr, "kelp-infodriver: librarymsg needs two numbers\n");
            return;
        }
        sendResult(ZED_LIBRARYMSG, static_cast<std::uintptr_t>(*w), static_cast<std::intptr_t>(*l));
    } else if (cmd == "set" && slotAndValue(s, v)) {
        deliver(s, v.c_str(), v.size());
    } else if (cmd == "get" && slotAndValue(s, v)) {
        say("value %u %s", static_cast<unsigned>(s), slot(s).c_str());
    } else if (cmd == "onwrite" && slotAndValue(s, v)) {
        onWrite_.emplace(s, v);
    } else if (cmd == "diewrite") {
        dieOnWrite_ = true;
    } else if (!cmd.empty()) {
        std::fprintf(stderr, "kelp-infodriver: bad command: %s (see --help)\n", line.c_str());
    }
}

}  // namespace standin
