// The driver proper: puts the infodriver client, the serial port and camera control into service
// when the main window is created, and takes them out again when it is destroyed.
//
// One object, built by the entry once the device number is known, owns the process-wide parts in
// this order: the infodriver client first, the serial port object second, camera control last.
// They are destroyed in reverse after the message loop has ended, while the bus still works, so
// that the port is closed before the client sends its farewell.
//
// The infodriver is supervised on the poll timer's tick: when the window that the handshake found
// no longer exists (and the infodriver did not say it disconnected), the driver logs "Infodriver
// %d has gone", writes no slot, and repeats the connect handshake on every tick until an
// infodriver answers; then it logs "Connected OK to infodriver %d" and publishes the camera link
// state in slot 1 again. While the infodriver lives, supervision sends nothing.
#pragma once

#include <memory>

#include "app/driver_hooks.h"
#include "camera/camera_controller.h"
#include "comms/serial_port.h"
#include "infodriver/infodriver_callback.h"
#include "infodriver/roreziv.h"

namespace app {

class Driver final : public DriverHooks,
                     private camera::CameraHost,
                     private infodriver::InfodriverHost {
  public:
    Driver();
    ~Driver() override;

    // The main window's hooks.
    void startup(Shell& shell) override;
    void shutdown(Shell& shell) override;
    void testSet(Shell& shell) override;
    void onTimer(Shell& shell, unsigned id) override;
    void onCommNotify(Shell& shell, platform::LPARAM lParam) override;

    infodriver::roreziv& client() { return client_; }
    comms::SerialPort& port() { return port_; }
    camera::CameraController& camera() { return camera_; }

  private:
    // Camera control's view of the driver.
    int serialWrite(const void* bytes, int count) override;
    int serialRead(void* buffer, int size) override;
    void serialGetStatus() override;
    int serialPortNumber() override;
    void setTimer(unsigned id, unsigned ms) override;
    void killTimer(unsigned id) override;
    bool logging() override;
    void log(const char* line) override;
    void refreshCounters() override;
    void setStatusText(const char* text) override;
    void updateslot(int slot, const char* value) override;

    // The infodriver callback's view of the driver.
    void logLine(const std::string& text) override;
    int dispatchSlotChange(int device, int slot, const char* value) override;
    void infodriverDisconnected() override { infodriverDisconnected_ = true; }

    void superviseInfodriver(Shell& shell);

    infodriver::roreziv client_;
    comms::SerialPort port_;
    camera::CameraController camera_;
    Shell* shell_ = nullptr;               // set by startup, for the lifetime of the main window
    bool infodriverGone_ = false;          // its window vanished; reconnecting on each poll
    bool infodriverDisconnected_ = false;  // it said so: left as it is
};

// The entry's factory for the driver.
std::unique_ptr<DriverHooks> makeDriver(int deviceNumber);

}  // namespace app
