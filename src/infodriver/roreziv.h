// The infodriver client: the driver's one link to the infodriver of its device.
//
// It owns a hidden window of class "rorezivspwn" on the message bus. Connecting runs the
// handshake inside that window's creation; slot writes and reads go through entry 2 of the
// interface library; everything the infodriver tells the client (slot changes, disconnection,
// mode requests, device id in use) is delivered to one callback, with iStatus set to the event's
// code first. Every operation, and every callback, runs on the UI thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/window.h"

namespace infodriver {

using platform::HWND;
using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

inline constexpr int ROREZIV_HEADER_VERSION = 109;

inline constexpr int IFSTATUS_DISCONNECTED = 3;
inline constexpr int IFSTATUS_NODEVICE = 4;
inline constexpr int IFSTATUS_NOWINDOW = 5;
inline constexpr int IFSTATUS_TXRX = 6;
inline constexpr int IFSTATUS_RXONLY = 7;
inline constexpr int IFSTATUS_INQUIRY = 8;
inline constexpr int IFSTATUS_NOCLASS = 9;
inline constexpr int IFSTATUS_CONNECTED = 15;
inline constexpr int IFSTATUS_DEVICEIDINUSE = 2190;

inline constexpr int IFMODE_NONE = 0;
inline constexpr int IFMODE_RXONLY = 1;
inline constexpr int IFMODE_TXRX = 2;
inline constexpr int IFMODE_FORCETXRX = 3;
inline constexpr int IFMODE_TXRXINQ = 4;
inline constexpr int IFMODE_RXONLYBROKEN = 5;

// Names of the modes 0..7, as the negotiation texts show them.
extern const char* const IFMODE_NAMES[8];

inline constexpr const char* ROREZIV_CLASS_NAME = "rorezivspwn";

// Size of the buffers that setslot and updateslot format a value into (511 characters and NUL).
inline constexpr int ROREZIV_VALUE_BUFFER = 512;
// Size of szText (299 characters and NUL).
inline constexpr int ROREZIV_TEXT_BUFFER = 300;

class roreziv;

// Event callback: the client, an integer, a NUL-terminated text valid only during the call.
// The client's iStatus says which event it is.
using RorezivCallback = void (*)(roreziv* client, int value, const char* text);

// Optional sink for the client's own trace lines ("roreziv::...").
class RorezivLogSink {
  public:
    virtual ~RorezivLogSink() = default;
    virtual void log(const char* text) = 0;
};

// What the client needs from the system: the window layer, the message box and the interface
// library. The default one (used when none is given) is the real platform and the library loaded
// at run time; tests give a fake.
class RorezivSystem {
  public:
    virtual ~RorezivSystem() = default;
    // Registers the client's window class; false when that fails.
    virtual bool registerClass(const char* className) = 0;
    virtual HWND createWindow(const char* className, platform::WindowProc proc,
                              LPARAM createParam) = 0;
    virtual bool destroyWindow(HWND hwnd) = 0;
    // Names the messages from WM_USER up that the window handles (platform::setHandledMessages).
    virtual void setHandledMessages(HWND hwnd, std::vector<platform::HandledMessage> messages) = 0;
    virtual LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
    virtual void messageBox(const char* text, const char* caption) = 0;
    virtual std::int32_t libraryEntry1(HWND hwnd, WPARAM wParam, LPARAM lParam) = 0;
    virtual std::int32_t libraryEntry2(HWND hWndInfo, UINT message, std::int32_t slot, char* buffer,
                                       std::int32_t one, std::int32_t count) = 0;
};

// The real system: platform windows and bus, platform message box, the interface library.
RorezivSystem& defaultRorezivSystem();

class roreziv {
  public:
    // `headerVersion` other than ROREZIV_HEADER_VERSION shows the "Header doesn't match library"
    // box; the object works either way.
    explicit roreziv(int headerVersion, RorezivSystem* system = nullptr);
    ~roreziv();
    roreziv(const roreziv&) = delete;
    roreziv& operator=(const roreziv&) = delete;

    // Registers the window class (once per process), creates the hidden window and runs the
    // handshake. Returns IFSTATUS_CONNECTED, _NOWINDOW, _NODEVICE or _NOCLASS.
    int connect(int device, void* instance, int param1, int param2, int param3, int param4);
    void setcallback(RorezivCallback callback);
    void setcounters(int* txCount, int* rxCount);
    // Formats the value (at most 511 characters) and writes it to the slot, always. A negative
    // index writes slot |index| with ZED_SLOTWRITEALT.
    void setslot(int index, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // As setslot, but only when the slot's current value differs (case-sensitive); true when
    // the value was sent.
    bool updateslot(int index, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Reads the slot's current value into `buffer` (at least 256 bytes), always NUL-terminated;
    // empty when it cannot be read.
    void getslot(int index, char* buffer);

    // Not used by the driver; for tools and tests.
    void setLogSink(RorezivLogSink* sink) { pLog = sink; }
    void setMode(int mode) { iMode = mode; }

    // Forgets that the window class was registered in this process (tests only).
    static void resetClassRegistrationForTesting();

    // Fields, in this order.
    RorezivCallback pfnCallback;
    int iDevice;
    HWND hWndInfo;
    char* szText;  // ROREZIV_TEXT_BUFFER bytes, owned
    int iStatus;
    int iMode;
    int iParam3;
    int iParam4;
    int iParam2;
    int bParams;
    int iParam1;
    int bNoAnnounce;
    HWND hWndClient;
    int* piTxCount;
    int* piRxCount;
    int iTxCount;
    int iRxCount;
    void* hInst;
    RorezivLogSink* pLog;

  private:
    struct WindowExtra;
    static LRESULT windowProc(WindowExtra& extra, HWND hwnd, UINT msg, WPARAM wParam,
                              LPARAM lParam);
    LRESULT handshake(HWND hwnd);
    LRESULT negotiate(UINT msg);
    void write(int index, const char* value);
    void sink(const char* text);
    void event(int status, int value, const char* text);

    RorezivSystem* system_;
    std::shared_ptr<WindowExtra> extra_;  // of the current window, if any
};

}  // namespace infodriver
