// What the camera controller needs from the rest of the driver, behind one small interface so
// that the controller depends on neither Qt, the application shell nor the infodriver client.
//
// The driver adapts its real objects to it: the serial* calls go to the process-wide serial port
// object, the timers to the main window's timers, log() to the debug log, refreshCounters() and
// setStatusText() to the status panel, and updateslot() to the infodriver client. Tests supply a
// fake with virtual time.
//
// Every call is made on the user-interface thread.
#pragma once

namespace camera {

struct CameraHost {
    virtual ~CameraHost() = default;

    // Serial port object. serialWrite hands `count` bytes to the port (nothing reaches the line
    // while the port is closed; the result is not examined). serialRead moves up to `size`
    // received bytes into `buffer` and returns how many it moved. serialGetStatus clears any
    // pending line-error condition. serialPortNumber is the port's number (COMn), for logging.
    virtual int serialWrite(const void* bytes, int count) = 0;
    virtual int serialRead(void* buffer, int size) = 0;
    virtual void serialGetStatus() = 0;
    virtual int serialPortNumber() = 0;

    // Timers of the main window, by id. Setting an id that runs restarts its countdown with the
    // new period; killing one that does not run does nothing. Expiries come back as
    // CameraController::onReplyTimeout (id 3) and onPollTimer (id 4).
    virtual void setTimer(unsigned id, unsigned ms) = 0;
    virtual void killTimer(unsigned id) = 0;

    // Whether debug lines are wanted now. The controller formats a line only when they are, so
    // a driver whose debug mode is off spends nothing on its lines.
    virtual bool logging() = 0;
    // One finished debug line (already formatted; not a format string).
    virtual void log(const char* line) = 0;

    // Status panel: show the traffic counters afresh; set the status text.
    virtual void refreshCounters() = 0;
    virtual void setStatusText(const char* text) = 0;

    // Infodriver client: write `value` to `slot` only when the slot's current value differs.
    virtual void updateslot(int slot, const char* value) = 0;
};

}  // namespace camera
