#include "infodriver/roreziv.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "infodriver/protocol.h"
#include "platform/interface_library.h"
#include "platform/message_box.h"

namespace infodriver {

const char* const IFMODE_NAMES[8] = {
    "IFMODE_NONE",    "IFMODE_RXONLY",       "IFMODE_TXRX", "IFMODE_FORCETXRX",
    "IFMODE_TXRXINQ", "IFMODE_RXONLYBROKEN", "6",           "7"};

namespace {

// Whether this process has registered the client window class.
bool classRegistered = false;

void noCallback(roreziv*, int, const char*) {}

class RealSystem final : public RorezivSystem {
  public:
    bool registerClass(const char*) override { return true; }
    HWND createWindow(const char* className, platform::WindowProc proc,
                      LPARAM createParam) override {
        return platform::createWindow(className, std::move(proc), createParam);
    }
    bool destroyWindow(HWND hwnd) override { return platform::destroyWindow(hwnd); }
    void setHandledMessages(HWND hwnd, std::vector<platform::HandledMessage> messages) override {
        platform::setHandledMessages(hwnd, std::move(messages));
    }
    LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) override {
        return platform::sendMessage(hwnd, msg, wParam, lParam);
    }
    void messageBox(const char* text, const char* caption) override {
        platform::messageBox(text, caption);
    }
    std::int32_t libraryEntry1(HWND hwnd, WPARAM wParam, LPARAM lParam) override {
        const auto& lib = platform::interfaceLibrary();
        return lib.entry1 ? lib.entry1(hwnd, wParam, lParam) : 0;
    }
    std::int32_t libraryEntry2(HWND hWndInfo, UINT message, std::int32_t slot, char* buffer,
                               std::int32_t one, std::int32_t count) override {
        const auto& lib = platform::interfaceLibrary();
        return lib.entry2 ? lib.entry2(hWndInfo, message, slot, buffer, one, count) : 0;
    }
};

// |index| without overflow: INT_MIN has no positive counterpart and is sent as INT_MAX+1 cut to
// 32 bits, i.e. as itself, which the infodriver rejects as out of range.
std::int32_t absIndex(int index) {
    return index < 0 ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(index)) : index;
}

}  // namespace

RorezivSystem& defaultRorezivSystem() {
    static RealSystem* system = new RealSystem;  // never destroyed: used until process exit
    return *system;
}

// Extra data of the client window: the owning client, stored by WM_CREATE.
struct roreziv::WindowExtra {
    roreziv* owner = nullptr;
};

roreziv::roreziv(int headerVersion, RorezivSystem* system)
    : system_(system ? system : &defaultRorezivSystem()) {
    pLog = nullptr;
    if (headerVersion != ROREZIV_HEADER_VERSION)
        system_->messageBox("Header doesn't match library", "Error");
    hWndClient = 0;
    hInst = nullptr;
    iDevice = 0;
    hWndInfo = 0;
    iParam3 = iParam4 = iParam2 = bParams = iParam1 = bNoAnnounce = 0;
    iTxCount = iRxCount = 0;
    iStatus = IFSTATUS_DISCONNECTED;
    piTxCount = &iTxCount;
    piRxCount = &iRxCount;
    pfnCallback = noCallback;
    iMode = IFMODE_TXRX;
    szText = new char[ROREZIV_TEXT_BUFFER];
    szText[0] = '\0';
}

roreziv::~roreziv() {
    if (hWndClient)
        system_->destroyWindow(hWndClient);
    hWndClient = 0;
    // Should the window outlive us (its destruction failed), it no longer reaches this object.
    if (extra_)
        extra_->owner = nullptr;
    delete[] szText;
    szText = nullptr;
}

void roreziv::resetClassRegistrationForTesting() {
    classRegistered = false;
}

int roreziv::connect(int device, void* instance, int param1, int param2, int param3, int param4) {
    hInst = instance;
    // The product in 32-bit signed arithmetic: computed unsigned so that it wraps instead of
    // overflowing.
    std::uint32_t product = static_cast<std::uint32_t>(param1) *
                            static_cast<std::uint32_t>(param3) * static_cast<std::uint32_t>(param4);
    if (product != 0) {
        iParam3 = param3;
        iParam4 = param4;
        iParam2 = param2;
        bParams = 1;
        iParam1 = param1;
    } else {
        iParam3 = iParam4 = iParam2 = bParams = iParam1 = 0;
    }
    iStatus = IFSTATUS_CONNECTED;
    if (!classRegistered) {
        if (!system_->registerClass(ROREZIV_CLASS_NAME)) {
            iStatus = IFSTATUS_NOCLASS;
            return IFSTATUS_NOCLASS;
        }
        classRegistered = true;
    }
    if (device == 0) {
        iStatus = IFSTATUS_NODEVICE;
        return IFSTATUS_NODEVICE;
    }
    // A client connected twice leaves its first window: otherwise that window would outlive
    // the object it points at.
    if (hWndClient) {
        system_->destroyWindow(hWndClient);
        hWndClient = 0;
    }
    iDevice = device;
    auto extra = std::make_shared<WindowExtra>();
    extra_ = extra;
    hWndClient = system_->createWindow(
        ROREZIV_CLASS_NAME,
        [extra](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
            return windowProc(*extra, hwnd, msg, wParam, lParam);
        },
        reinterpret_cast<LPARAM>(this));
    if (!hWndClient) {
        iStatus = IFSTATUS_NOWINDOW;
        return IFSTATUS_NOWINDOW;
    }
    return IFSTATUS_CONNECTED;
}

void roreziv::setcallback(RorezivCallback callback) {
    pfnCallback = callback ? callback : noCallback;
}

void roreziv::setcounters(int* txCount, int* rxCount) {
    piTxCount = txCount ? txCount : &iTxCount;
    piRxCount = rxCount ? rxCount : &iRxCount;
}

void roreziv::write(int index, const char* value) {
    // The library's count includes the NUL; the value is at most 511 characters.
    auto count = static_cast<std::int32_t>(std::strlen(value) + 1);
    UINT message = index < 0 ? ZED_SLOTWRITEALT : ZED_SLOTWRITE;
    system_->libraryEntry2(hWndInfo, message, absIndex(index), const_cast<char*>(value), 1, count);
}

void roreziv::setslot(int index, const char* format, ...) {
    // A buffer of this call's own (on its stack): a write made by a callback nested in this one
    // (while our send waits) must not disturb it.
    char value[ROREZIV_VALUE_BUFFER];
    va_list args;
    va_start(args, format);
    std::vsnprintf(value, sizeof value, format, args);
    va_end(args);
    ++*piTxCount;
    write(index, value);
}

bool roreziv::updateslot(int index, const char* format, ...) {
    char value[ROREZIV_VALUE_BUFFER];
    va_list args;
    va_start(args, format);
    std::vsnprintf(value, sizeof value, format, args);
    va_end(args);
    // getslot zero-fills and terminates it, so the comparison stays inside the buffer whatever
    // the read leaves.
    char current[SLOT_READ_SIZE];
    getslot(absIndex(index), current);
    if (std::strcmp(value, current) == 0)
        return false;
    ++*piTxCount;
    write(index, value);
    return true;
}

void roreziv::getslot(int index, char* buffer) {
    if (!buffer)
        return;
    std::memset(buffer, 0, SLOT_READ_SIZE);
    system_->libraryEntry2(hWndInfo, ZED_SLOTREAD, index, buffer, 1, SLOT_READ_SIZE);
    buffer[SLOT_READ_SIZE - 1] = '\0';
}

void roreziv::sink(const char* text) {
    if (pLog)
        pLog->log(text);
}

void roreziv::event(int status, int value, const char* text) {
    iStatus = status;
    pfnCallback(this, value, text);
}

LRESULT roreziv::handshake(HWND hwnd) {
    hWndInfo = 0;
    // The infodriver that serves iDevice answers with ZED_INFODRIVERHWND while this broadcast is
    // still going on; it may also send ZED_SUPPRESSANNOUNCE.
    system_->sendMessage(
        platform::HWND_BROADCAST, ZED_FINDINFODRIVER,
        packWords(hwnd, static_cast<std::uint32_t>(iParam1)),
        packWords(static_cast<std::uint32_t>(iDevice), static_cast<std::uint32_t>(iParam2)));
    if (!hWndInfo)
        return -1;
    if (iParam1 != 0) {
        LRESULT r = system_->sendMessage(
            hWndInfo, ZED_CLIENTPARAMS, packWords(hwnd, 0),
            packWords(static_cast<std::uint32_t>(iParam3), static_cast<std::uint32_t>(iParam4)));
        // The result is a 32-bit value; a peer may hand it over without sign extension.
        if (static_cast<std::int32_t>(r) < 0)
            return -1;
    }
    system_->sendMessage(platform::HWND_BROADCAST, ZED_CLIENTCONNECTED, packWords(hwnd, 0), 0);
    if (bNoAnnounce == 0)
        system_->sendMessage(platform::HWND_BROADCAST, ZED_CLIENTANNOUNCE, packWords(hwnd, 0), 0);
    return 0;
}

namespace {

// One row of the mode-negotiation table.
struct Negotiation {
    int status;            // new iStatus, or -1 to leave it
    const char* callback;  // callback text (may hold %u device and %s mode name), or null
    const char* returned;  // sink line with the result
    LRESULT result;
};

constexpr const char* RXONLY_RET1 = "roreziv::ZED_REQDEVGORXONLY - Return 1";
constexpr const char* RXONLY_RET0 = "roreziv::ZED_REQDEVGORXONLY - Return 0";
constexpr const char* TXRX_RET1 = "roreziv::ZED_REQDEVGOTXRX - Return 1";
constexpr const char* TXRX_RET0 = "roreziv::ZED_REQDEVGOTXRX - Return 0";
constexpr const char* INQ_RET1 = "roreziv::ZED_INQDEVGOTXRX - Return 1";
constexpr const char* INQ_RET0 = "roreziv::ZED_INQDEVGOTXRX - Return 0";

Negotiation negotiationRow(UINT msg, int mode) {
    switch (msg) {
        case ZED_REQDEVGORXONLY:
            switch (mode) {
                case 0:
                case 1:
                case 5:
                    return {IFSTATUS_RXONLY,
                            "ZED_REQDEVGORXONLY Device=%u Mode=%s ~ Accepting request to go RX "
                            "Only",
                            RXONLY_RET1, 1};
                case 2:
                case 3:
                case 4:
                    return {IFSTATUS_TXRX,
                            "ZED_REQDEVGORXONLY Device=%u Mode=%s ~ Denying request to go RX Only",
                            RXONLY_RET0, 0};
                case 6:
                case 7:
                    return {IFSTATUS_RXONLY, "Accepting request to go RX Only", RXONLY_RET1, 1};
                default:
                    return {-1, nullptr, RXONLY_RET1, 1};
            }
        case ZED_REQDEVGOTXRX:
            switch (mode) {
                case 1:
                case 2:
                case 3:
                case 4:
                case 5:
                    return {IFSTATUS_TXRX,
                            "ZED_REQDEVGOTXRX Device=%u Mode=%s ~ Accepting request to go TXRX",
                            TXRX_RET1, 1};
                case 6:
                case 7:
                    return {IFSTATUS_TXRX, "Accepting request to go TXRX", TXRX_RET1, 1};
                default:  // mode 0 and any other
                    return {-1, nullptr, TXRX_RET0, 0};
            }
        default:  // ZED_INQDEVGOTXRX
            switch (mode) {
                case 0:
                case 1:
                case 5:
                    return {IFSTATUS_INQUIRY,
                            "ZED_INQDEVGOTXRX Device=%u Mode=%s ~ Denying inquiry to go TXRX",
                            INQ_RET0, 0};
                case 2:
                case 3:
                case 4:
                    return {IFSTATUS_INQUIRY,
                            "ZED_INQDEVGOTXRX Device=%u Mode=%s ~ Accepting inquiry to go TXRX",
                            INQ_RET1, 1};
                case 6:
                case 7:
                    return {-1, nullptr,
                            "roreziv::Accepting Request to ask to go TXRX - but not passing onto "
                            "external. Return 1",
                            1};
                default:
                    return {-1, nullptr, INQ_RET0, 0};
            }
    }
}

}  // namespace

LRESULT roreziv::negotiate(UINT msg) {
    switch (msg) {
        case ZED_REQDEVGORXONLY:
            sink("roreziv::ZED_REQDEVGORXONLY - Request to ask to go RXONLY");
            break;
        case ZED_REQDEVGOTXRX:
            sink("roreziv::ZED_REQDEVGOTXRX - Request to go TXRX");
            break;
        default:
            sink("roreziv::ZED_INQDEVGOTXRX - Request to ask to go TXRX");
            break;
    }
    Negotiation row = negotiationRow(msg, iMode);
    if (row.status >= 0)
        iStatus = row.status;
    if (row.callback) {
        char text[256];
        // Only rows of modes 0..5 carry conversions, so the mode indexes the name table.
        const char* name = (iMode >= 0 && iMode < 8) ? IFMODE_NAMES[iMode] : "";
        std::snprintf(text, sizeof text, row.callback, static_cast<unsigned>(iDevice), name);
        pfnCallback(this, 0, text);
    }
    sink(row.returned);
    return row.result;
}

LRESULT roreziv::windowProc(WindowExtra& extra, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == platform::WM_CREATE) {
        extra.owner = reinterpret_cast<roreziv*>(lParam);
        if (!extra.owner)
            return -1;
        // Every message the switch below acts on; the broadcasts of other clients' handshakes
        // then pass this window by.
        extra.owner->system_->setHandledMessages(
            hwnd, {ZED_SUPPRESSANNOUNCE, ZED_LIBRARYMSG, ZED_DISCONNECTED, ZED_REQDEVGORXONLY,
                   ZED_REQDEVGOTXRX, ZED_INQDEVGOTXRX, ZED_DEVICEIDINUSE, ZED_SLOTCHANGED,
                   ZED_INFODRIVERHWND, ZED_TEXT});
        return extra.owner->handshake(hwnd);
    }
    roreziv* self = extra.owner;
    if (!self)
        return platform::defWindowProc(hwnd, msg, wParam, lParam);
    switch (msg) {
        case platform::WM_DESTROY:
            // The farewell; with no infodriver known it reaches no window.
            if (self->hWndInfo)
                self->system_->sendMessage(self->hWndInfo, ZED_CLIENTCLOSING, 0,
                                           static_cast<LPARAM>(self->iDevice));
            // Nothing reaches the object through this window any more.
            extra.owner = nullptr;
            return 0;
        case ZED_SUPPRESSANNOUNCE:
            self->bNoAnnounce = static_cast<int>(wParam);
            return 0;
        case ZED_LIBRARYMSG:
            return self->system_->libraryEntry1(hwnd, wParam, lParam);
        case ZED_DISCONNECTED:
            self->event(IFSTATUS_DISCONNECTED, 0, "Infodriver has disconnected");
            return 0;
        case ZED_REQDEVGORXONLY:
        case ZED_REQDEVGOTXRX:
        case ZED_INQDEVGOTXRX:
            return self->negotiate(msg);
        case ZED_DEVICEIDINUSE:
            self->sink("roreziv::ZED_DEVICEIDINUSE - Device Id In Use");
            self->event(IFSTATUS_DEVICEIDINUSE, static_cast<int>(lowWord(wParam)),
                        "Device ID in use");
            return 0;
        case ZED_SLOTCHANGED: {
            ++*self->piRxCount;
            // A change that arrives without its value text is delivered as an empty value.
            const char* value = platform::lParamText(lParam);
            self->event(IFSTATUS_CONNECTED, static_cast<int>(static_cast<std::uint32_t>(wParam)),
                        value);
            return 1;
        }
        case ZED_INFODRIVERHWND:
            self->hWndInfo = static_cast<HWND>(wParam);
            return 0;
        case ZED_TEXT: {
            // At most 299 characters, never reading past them: a text without a terminator is
            // cut there.
            const char* src = platform::lParamText(lParam);
            size_t n = strnlen(src, ROREZIV_TEXT_BUFFER - 1);
            if (n)
                std::memcpy(self->szText, src, n);
            self->szText[n] = '\0';
            return 0;
        }
        default:
            return platform::defWindowProc(hwnd, msg, wParam, lParam);
    }
}

}  // namespace infodriver
