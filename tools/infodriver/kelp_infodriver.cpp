// kelp-infodriver DEVICE: a stand-in infodriver for one device number, on the prefix's message
// bus. It answers the connect handshake of a client for its device, holds the device's slots,
// answers the client's slot writes and reads, and passes change requests (from kelp-slot or from
// its standard input) to the connected client. Events go to stdout, one flushed line each.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

#include "common/say.h"
#include "infodriver/protocol.h"
#include "platform/window.h"
#include "standin.h"

using namespace infodriver;
using platform::HWND;
using platform::LPARAM;
using platform::LRESULT;
using platform::WPARAM;

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
    "  diewrite               at the client's next slot write, die (SIGKILL) without answering\n"
    "\n"
    "Slots 0..65535, all empty at start; a stored value keeps at most 255 characters. With no\n"
    "client connected a change request is stored directly; otherwise the stored value changes\n"
    "only when the client writes the slot (its echo of an accepted value).\n";

// Parses a whole decimal (or 0x hex) number that fits in `long long`.
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

class StandIn {
  public:
    int device = 0;
    long long suppressOnConnect = -1;  // -1: send nothing
    long long paramsResult = 0;
    bool trace = false;

    bool start() {
        self_ = platform::createWindow(
            standin::CLASS_NAME,
            [this](HWND h, platform::UINT m, WPARAM w, LPARAM l) { return proc(h, m, w, l); });
        return self_ != 0;
    }
    void stop() {
        if (self_)
            platform::destroyWindow(self_);
        self_ = 0;
    }

    void command(const std::string& line);

  private:
    LRESULT proc(HWND hwnd, platform::UINT msg, WPARAM wParam, LPARAM lParam);
    void clientWrite(const char* tag, WPARAM slot, LPARAM lParam);
    void store(WPARAM slot, const char* value);
    LRESULT deliver(WPARAM slot, const char* value, std::size_t length);
    LRESULT sendToClient(platform::UINT msg, WPARAM wParam, LPARAM lParam,
                         const platform::MessageBuffer* buffer = nullptr);
    const std::string& slot(WPARAM index) const {
        static const std::string empty;
        auto it = slots_.find(static_cast<unsigned>(index));
        return it == slots_.end() ? empty : it->second;
    }

    HWND self_ = 0;
    HWND candidate_ = 0;  // the client whose handshake is under way
    HWND client_ = 0;     // the connected client
    std::unordered_map<unsigned, std::string> slots_;
    std::optional<std::pair<WPARAM, std::string>> onWrite_;
    bool dieOnWrite_ = false;
};

bool isProtocolMessage(platform::UINT msg) {
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

LRESULT StandIn::proc(HWND hwnd, platform::UINT msg, WPARAM wParam, LPARAM lParam) {
    if (trace && isProtocolMessage(msg))
        say("msg 0x%04x 0x%08x 0x%08x", msg, static_cast<unsigned>(wParam),
            static_cast<unsigned>(lParam));
    switch (msg) {
        case ZED_FINDINFODRIVER: {
            if (lowWord(static_cast<std::uint64_t>(lParam)) !=
                lowWord(static_cast<unsigned>(device)))
                return 0;
            // A new handshake for our device replaces whatever client we had.
            candidate_ = lowWord(wParam);
            platform::sendMessage(candidate_, ZED_INFODRIVERHWND, self_, 0);
            if (suppressOnConnect >= 0)
                platform::sendMessage(candidate_, ZED_SUPPRESSANNOUNCE,
                                      static_cast<WPARAM>(suppressOnConnect), 0);
            return 0;
        }
        case ZED_CLIENTPARAMS:
            if (lowWord(wParam) != candidate_)
                return 0;
            say("params 0x%04x %u %u", candidate_, lowWord(static_cast<std::uint64_t>(lParam)),
                highWord(static_cast<std::uint64_t>(lParam)));
            return static_cast<LRESULT>(paramsResult);
        case ZED_CLIENTCONNECTED:
            if (!candidate_ || lowWord(wParam) != candidate_)
                return 0;
            client_ = candidate_;
            candidate_ = 0;
            say("connect 0x%04x", client_);
            return 0;
        case ZED_CLIENTANNOUNCE:
            if (client_ && lowWord(wParam) == client_)
                say("announce 0x%04x", client_);
            return 0;
        case ZED_CLIENTCLOSING:
            say("closing %d", static_cast<int>(static_cast<std::int32_t>(lParam)));
            client_ = 0;
            return 0;
        case ZED_SLOTWRITE:
            clientWrite("write", wParam, lParam);
            return 1;
        case ZED_SLOTWRITEALT:
            clientWrite("writealt", wParam, lParam);
            return 1;
        case ZED_SLOTREAD: {
            // The value goes into the reader's buffer, cut to its size and always terminated.
            const std::size_t size = platform::messageBufferSize();
            if (!lParam || size == 0)
                return 0;
            const std::string& v = slot(wParam);
            const std::size_t n = std::min(v.size(), size - 1);
            char* out = reinterpret_cast<char*>(lParam);
            std::memcpy(out, v.data(), n);
            out[n] = '\0';
            return 1;
        }
        case standin::KELP_FINDSTANDIN:
            return static_cast<std::int32_t>(lParam) == device ? 1 : 0;
        case standin::KELP_SETSLOT: {
            const char* v = platform::lParamText(lParam);
            return deliver(wParam, v, strnlen(v, standin::REQUEST_MAX));
        }
        default:
            return platform::defWindowProc(hwnd, msg, wParam, lParam);
    }
}

void StandIn::clientWrite(const char* tag, WPARAM slot, LPARAM lParam) {
    const char* value = platform::lParamText(lParam);
    say("%s %u %s", tag, static_cast<unsigned>(slot), value);
    if (dieOnWrite_)
        raise(SIGKILL);
    store(slot, value);
    if (onWrite_) {
        auto [s, v] = std::move(*onWrite_);
        onWrite_.reset();
        deliver(s, v.c_str(), v.size());
    }
}

void StandIn::store(WPARAM index, const char* value) {
    if (index >= standin::SLOT_COUNT) {
        std::fprintf(stderr, "kelp-infodriver: slot %lu out of range, not stored\n",
                     static_cast<unsigned long>(index));
        return;
    }
    slots_[static_cast<unsigned>(index)].assign(value, strnlen(value, standin::VALUE_MAX));
}

LRESULT StandIn::deliver(WPARAM index, const char* value, std::size_t length) {
    if (index >= standin::SLOT_COUNT)
        return 0;
    if (client_) {
        platform::MessageBuffer mb;
        mb.in = value;
        mb.inSize = length + 1;
        if (sendToClient(ZED_SLOTCHANGED, index, 0, &mb) != 0 || client_)
            return 1;
    }
    store(index, value);
    return 2;
}

// Whether a window that just failed to answer still exists. A process that dies closes its bus
// connection and releases its window a moment apart, so a window that looks alive right after a
// failed send is looked at again for a short while.
bool windowSurvives(HWND hwnd) {
    for (int i = 0; i < 20; ++i) {
        if (!platform::isWindow(hwnd))
            return false;
        usleep(5000);
    }
    return true;
}

LRESULT StandIn::sendToClient(platform::UINT msg, WPARAM wParam, LPARAM lParam,
                              const platform::MessageBuffer* buffer) {
    if (!client_)
        return 0;
    HWND to = client_;
    LRESULT r = platform::sendMessage(to, msg, wParam, lParam, buffer);
    // A failed send to a client whose process has gone: forget it (once, even if a nested
    // handshake already replaced it).
    if (r == 0 && client_ == to && !windowSurvives(to)) {
        say("lost 0x%04x", to);
        client_ = 0;
    }
    return r;
}

void StandIn::command(const std::string& line) {
    auto space = line.find(' ');
    std::string cmd = line.substr(0, space);
    std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    auto sendResult = [this](platform::UINT msg, WPARAM w = 0, LPARAM l = 0,
                             const platform::MessageBuffer* mb = nullptr) {
        say("result %ld", static_cast<long>(sendToClient(msg, w, l, mb)));
    };
    // "SLOT VALUE" -> slot, value
    auto slotAndValue = [&](WPARAM& s, std::string& v) {
        auto sp = rest.find(' ');
        auto n = parseNumber(rest.substr(0, sp));
        if (!n || *n < 0 || *n >= static_cast<long long>(standin::SLOT_COUNT))
            return false;
        s = static_cast<WPARAM>(*n);
        v = sp == std::string::npos ? std::string() : rest.substr(sp + 1);
        return true;
    };
    WPARAM s = 0;
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
        platform::MessageBuffer mb;
        mb.in = rest.c_str();
        mb.inSize = rest.size() + 1;
        sendResult(ZED_TEXT, 0, 0, &mb);
    } else if (cmd == "deviceidinuse" || cmd == "suppress") {
        auto n = parseNumber(rest);
        if (!n) {
            std::fprintf(stderr, "kelp-infodriver: %s needs a number\n", cmd.c_str());
            return;
        }
        sendResult(cmd == "suppress" ? ZED_SUPPRESSANNOUNCE : ZED_DEVICEIDINUSE,
                   static_cast<WPARAM>(*n));
    } else if (cmd == "librarymsg") {
        auto sp = rest.find(' ');
        auto w = parseNumber(rest.substr(0, sp));
        auto l = parseNumber(sp == std::string::npos ? std::string() : rest.substr(sp + 1));
        if (!w || !l) {
            std::fprintf(stderr, "kelp-infodriver: librarymsg needs two numbers\n");
            return;
        }
        sendResult(ZED_LIBRARYMSG, static_cast<WPARAM>(*w), static_cast<LPARAM>(*l));
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

}  // namespace

int main(int argc, char** argv) {
    StandIn standIn;
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
            standIn.trace = true;
        } else if (a == "--suppress-announce") {
            auto n = needValue();
            if (!n || *n < 0)
                return std::fputs(kUsage, stderr), 1;
            standIn.suppressOnConnect = *n;
        } else if (a == "--params-result") {
            auto n = needValue();
            if (!n)
                return std::fputs(kUsage, stderr), 1;
            standIn.paramsResult = *n;
        } else if (!haveDevice) {
            auto n = parseNumber(a);
            if (!n || *n <= 0 || *n > INT32_MAX) {
                std::fprintf(stderr, "kelp-infodriver: bad device number: %s\n", a.c_str());
                return 1;
            }
            standIn.device = static_cast<int>(*n);
            haveDevice = true;
        } else {
            return std::fputs(kUsage, stderr), 1;
        }
    }
    if (!haveDevice)
        return std::fputs(kUsage, stderr), 1;

    // A pipe reader that went away must not kill us with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    if (!standIn.start()) {
        std::fprintf(stderr, "kelp-infodriver: cannot create the window on the message bus\n");
        return 1;
    }
    platform::onTerminationSignal([&standIn] {
        standIn.stop();
        platform::postQuitMessage(0);
    });

    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[4096];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            // End of input: keep serving clients.
            input.setEnabled(false);
            if (!pending.empty())
                standIn.command(pending);
            pending.clear();
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        // Bound a line that never ends.
        if (pending.size() > standin::REQUEST_MAX && pending.find('\n') == std::string::npos)
            pending.clear();
        for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            standIn.command(line);
        }
    });

    say("ready");
    int code = platform::runMessageLoop();
    standIn.stop();
    return code;
}
