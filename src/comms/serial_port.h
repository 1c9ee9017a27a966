// The serial port object through which the driver uses the port table: it keeps the line
// settings, opens and closes one port, and forwards writes, reads, status requests and the
// choice of notification window with its port index. It is the owner of its port, so its
// address is the lParam of every WM_COMMNOTIFY for the port.
//
// Line setting codes are passed on unchanged: parity 0 none, 1 odd, 2 even, 3 mark, 4 space;
// stop bits 0 one, 1 one and a half, 2 two.
#pragma once

#include <cstdint>

#include "comms/port_table.h"
#include "platform/window.h"

namespace comms {

class SerialPort {
  public:
    SerialPort();
    // Closes a port that is still open; the fields stay as they are.
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Store the value; an open port is closed and opened again with it (the notification window
    // and read size are not restored, and the result of the reopen is not reported).
    void setBaudRate(std::int32_t value);
    void setDataBits(std::int32_t value);
    void setParity(std::int32_t value);
    void setStopBits(std::int32_t value);

    std::int32_t getPortNumber() const { return portNumber; }

    // 1 on success, with no notification target and read size 0; otherwise comm_open's negative
    // result (-1, or -2 when the port is already open). A port that is open is closed first.
    int open(std::int32_t port);
    void close();
    // Bytes sent (low 16 bits of length), -1 when the write failed, the negative portIndex when
    // no port is open.
    int write(const void* bytes, std::int32_t length);
    int read(void* dest, std::int32_t count);
    // 1 when `hwnd` is a window and the port is open; then WM_COMMNOTIFY goes to it and the reader
    // asks for `readSize` bytes per read. 0 otherwise.
    int setNotifyWindow(platform::HWND hwnd, std::int32_t readSize);
    // Both pointers must be given; otherwise nothing happens.
    void getStatus(COMSTAT* status, std::uint32_t* errors);

    std::int32_t portIndex;  // index in the port table while open; else -1 or the failed result
    std::int32_t portNumber = 0;
    std::int32_t baudRate;
    std::int32_t dataBits;
    std::int32_t parity;
    std::int32_t stopBits;
    std::int32_t isOpen;

  private:
    // Stores a line setting; an open port is closed and opened again on the same number.
    void storeSetting(std::int32_t& field, std::int32_t value);
};

}  // namespace comms
