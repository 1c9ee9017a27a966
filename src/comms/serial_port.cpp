#include "comms/serial_port.h"

namespace comms {

SerialPort::SerialPort()
    : portIndex(-1), baudRate(9600), dataBits(8), parity(0), stopBits(0), isOpen(0) {}

SerialPort::~SerialPort() {
    if (portIndex >= 0)
        comm_close(portIndex);
}

void SerialPort::storeSetting(std::int32_t& field, std::int32_t value) {
    const std::int32_t port = portNumber;
    field = value;
    if (!isOpen)
        return;
    close();
    open(port);
}

void SerialPort::setBaudRate(std::int32_t value) {
    storeSetting(baudRate, value);
}

void SerialPort::setDataBits(std::int32_t value) {
    storeSetting(dataBits, value);
}

void SerialPort::setParity(std::int32_t value) {
    storeSetting(parity, value);
}

void SerialPort::setStopBits(std::int32_t value) {
    storeSetting(stopBits, value);
}

int SerialPort::open(std::int32_t port) {
    if (portNumber > 0)
        close();
    portNumber = port;
    portIndex = comm_open(this, baudRate, dataBits, stopBits, parity);
    if (portIndex < 0)
        return portIndex;
    comm_notify_callback(portIndex, nullptr, 0);
    isOpen = 1;
    return 1;
}

void SerialPort::close() {
    if (portIndex >= 0)
        comm_close(portIndex);
    portIndex = -1;
    portNumber = 0;
    isOpen = 0;
}

int SerialPort::write(const void* bytes, std::int32_t length) {
    if (portIndex < 0)
        return portIndex;
    return comm_write(portIndex, bytes, static_cast<std::uint32_t>(length));
}

int SerialPort::read(void* dest, std::int32_t count) {
    return comm_read(portIndex, dest, static_cast<std::uint32_t>(count));
}

int SerialPort::setNotifyWindow(platform::HWND hwnd, std::int32_t readSize) {
    if (portIndex < 0 || !platform::isWindow(hwnd))
        return 0;
    comm_notify_window(portIndex, hwnd, readSize);
    return 1;
}

void SerialPort::getStatus(COMSTAT* status, std::uint32_t* errors) {
    if (status && errors)
        comm_status(portIndex, status, errors);
}

}  // namespace comms
