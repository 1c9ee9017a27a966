#include "comms/serial_port.h"

#include <gtest/gtest.h>

#include "platform/window.h"
#include "port_fixture.h"

using namespace comms;
using namespace comms_test;
using namespace std::chrono_literals;

namespace {

using SerialPortTest = PortTest;

TEST_F(SerialPortTest, DefaultsAndClosedBehaviour) {
    SerialPort port;
    EXPECT_EQ(port.portIndex, -1);
    EXPECT_EQ(port.portNumber, 0);
    EXPECT_EQ(port.baudRate, 9600);
    EXPECT_EQ(port.dataBits, 8);
    EXPECT_EQ(port.parity, 0);
    EXPECT_EQ(port.stopBits, 0);
    EXPECT_EQ(port.isOpen, 0);

    // A setter on a closed object only stores.
    port.setBaudRate(19200);
    EXPECT_EQ(port.baudRate, 19200);
    EXPECT_EQ(PortTable.load(), nullptr);

    EXPECT_EQ(port.write("x", 1), -1);
    char out[4];
    EXPECT_EQ(port.read(out, 4), 0);
    EXPECT_EQ(port.open(0), -1);
    EXPECT_EQ(port.open(257), -1);
    EXPECT_EQ(port.portNumber, 257);  // a failed open keeps the requested number
    EXPECT_EQ(port.portIndex, -1);
    EXPECT_EQ(port.isOpen, 0);
    COMSTAT st{};
    st.cbInQue = 5;
    std::uint32_t errors = 5;
    port.getStatus(&st, &errors);
    EXPECT_EQ(st.cbInQue, 5u);
    port.close();
    EXPECT_EQ(port.portNumber, 0);
    EXPECT_EQ(port.portIndex, -1);
}

TEST_F(SerialPortTest, OpenWriteReadAndStatus) {
    LINK_OR_SKIP(p, 2);
    SerialPort port;
    ASSERT_EQ(port.open(2), 1);
    EXPECT_EQ(port.portIndex, 1);
    EXPECT_EQ(port.getPortNumber(), 2);
    EXPECT_EQ(port.isOpen, 1);
    // Opened with no target and read size 0: the reader asks for nothing.
    EXPECT_EQ(portReadSize[1].load(), 0);
    EXPECT_EQ(PortTable.load()[1].owner.load(), &port);

    EXPECT_EQ(port.write("\x81\x09\x04\x00\xff", 5), 5);
    EXPECT_EQ(p->receive(5, 5s), std::string("\x81\x09\x04\x00\xff", 5));

    SerialPort other;
    EXPECT_EQ(other.open(2), -2);
    EXPECT_EQ(other.portIndex, -2);
    EXPECT_EQ(other.write("x", 1), -2);
    EXPECT_EQ(other.setNotifyWindow(0x1234, 32), 0);

    ASSERT_EQ(comm_notify_callback(port.portIndex, countingCallback, 32), 1);
    ASSERT_TRUE(p->send("\x90\x41\xff"));
    ASSERT_TRUE(waitUntil([&] { return log.calls >= 1; }));
    COMSTAT st{};
    std::uint32_t errors = 1;
    port.getStatus(&st, nullptr);  // one pointer missing: nothing happens
    EXPECT_EQ(st.cbInQue, 0u);
    port.getStatus(&st, &errors);
    EXPECT_EQ(st.cbInQue, 3u);
    EXPECT_EQ(errors, 0u);
    char out[32];
    EXPECT_EQ(port.read(out, 32), 3);
    port.close();
    EXPECT_EQ(port.portIndex, -1);
    EXPECT_EQ(port.portNumber, 0);
    EXPECT_EQ(PortTable.load(), nullptr);
}

TEST_F(SerialPortTest, SetterReopensWithoutTheRegistration) {
    LINK_OR_SKIP(p, 2);
    SerialPort port;
    ASSERT_EQ(port.open(2), 1);
    platform::HWND hwnd = platform::createWindow(
        "CommsTestWindow", [](platform::HWND h, platform::UINT m, platform::WPARAM w,
                              platform::LPARAM l) { return platform::defWindowProc(h, m, w, l); });
    ASSERT_NE(hwnd, 0u);
    EXPECT_EQ(port.setNotifyWindow(0x7FFF0FFF, 32), 0);  // no such window
    EXPECT_EQ(PortTable.load()[1].notifyWnd.load(), 0u);
    EXPECT_EQ(port.setNotifyWindow(hwnd, 32), 1);
    EXPECT_EQ(PortTable.load()[1].notifyWnd.load(), hwnd);
    EXPECT_EQ(portReadSize[1].load(), 32);

    port.setBaudRate(19200);
    EXPECT_EQ(port.isOpen, 1);
    EXPECT_EQ(port.portNumber, 2);
    EXPECT_EQ(PortTable.load()[1].baudRate, 19200);
    EXPECT_EQ(PortTable.load()[1].notifyWnd.load(), 0u);
    EXPECT_EQ(portReadSize[1].load(), 0);
    unsigned speed = 0;
    termios t{};
    ASSERT_EQ(tcgetattr(p->slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));

    // A setting the line cannot take leaves the object closed with the failure in portIndex.
    port.setDataBits(9);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(port.portIndex, -1);
    EXPECT_EQ(PortTable.load(), nullptr);
    (void)speed;
    platform::destroyWindow(hwnd);
}

TEST_F(SerialPortTest, OpeningAnotherPortClosesTheFirst) {
    LINK_OR_SKIP(p1, 1);
    LINK_OR_SKIP(p3, 3);
    SerialPort port;
    ASSERT_EQ(port.open(1), 1);
    ASSERT_EQ(port.open(3), 1);
    EXPECT_EQ(port.portIndex, 2);
    EXPECT_FALSE(PortTable.load()[0].hCom);
    // COM1 is free again.
    SerialPort other;
    EXPECT_EQ(other.open(1), 1);
}

TEST_F(SerialPortTest, DestructorClosesAnOpenPort) {
    LINK_OR_SKIP(p, 1);
    {
        SerialPort port;
        ASSERT_EQ(port.open(1), 1);
        ASSERT_EQ(comm_notify_callback(0, countingCallback, 16), 1);
        ASSERT_TRUE(p->send("streaming"));
    }
    EXPECT_EQ(PortTable.load(), nullptr);
    SerialPort again;
    EXPECT_EQ(again.open(1), 1);
}

}  // namespace
