// Serial ports on Win32 under Wine, on pseudo-terminals linked as COM5 and COM6 that echo what
// they receive: open codes (also against another process), the reader's notifications, the
// real COMMTIMEOUTS, and a cancel that ends a waiting read at once.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "child_process.h"
#include "comms/port_table.h"
#include "comms/serial_port.h"
#include "message_pump.h"
#include "platform/serial_device.h"
#include "platform/win32/window_win32.h"
#include "test_prefix.h"

using namespace std::chrono_literals;
using comms::SerialPort;
using platform::SerialDevice;
using testing_support::ChildProcess;

namespace {

constexpr int kEchoPort = 5;
constexpr int kQuietPort = 6;  // nobody writes to it unless the test does
constexpr int kMissingPort = 9;

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::unique_ptr<SerialDevice> openDevice(int n) {
    SerialDevice::OpenError error;
    auto device = SerialDevice::open("\\\\.\\COM" + std::to_string(n), &error);
    if (device)
        device->configure(9600, 8, 0, 0);
    return device;
}

// The comms-holder program holding COMn, as another program of the machine would.
struct PortHolder {
    explicit PortHolder(int n)
        : child({testing_support::binPath("comms-holder"), "port", std::to_string(n)}) {}
    std::string result() { return child.readLine(30s).value_or("no answer"); }
    ~PortHolder() {
        child.closeStdin();
        child.waitExit(10s);
    }
    ChildProcess child;
};

TEST(Win32PortOpen, CodesForFreeHeldMissingAndOutOfRangePorts) {
    SerialPort port;
    EXPECT_EQ(port.open(0), -1);
    EXPECT_EQ(port.open(257), -1);
    EXPECT_EQ(comms::PortTable.load(), nullptr);
    EXPECT_EQ(port.open(kMissingPort), -1);
    EXPECT_EQ(comms::PortTable.load(), nullptr) << "a failed open leaves no table";

    ASSERT_EQ(port.open(kEchoPort), 1);
    SerialPort second;
    EXPECT_EQ(second.open(kEchoPort), -2) << "held in this process";
    {
        PortHolder other(kEchoPort);
        EXPECT_EQ(other.result(), "-2") << "held by another process";
    }
    port.close();
    {
        PortHolder other(kEchoPort);
        ASSERT_EQ(other.result(), "1");
        EXPECT_EQ(port.open(kEchoPort), -2);
        EXPECT_EQ(comms::PortTable.load(), nullptr) << "the busy open freed the unused table";
    }
    // The holder has exited: the port is free again.
    EXPECT_EQ(port.open(kEchoPort), 1);
}

TEST(Win32PortNotify, EchoedBytesArriveThroughWmCommNotify) {
    SerialPort port;
    ASSERT_EQ(port.open(kEchoPort), 1);
    std::string received;
    int notifications = 0;
    platform::HWND hwnd =
        platform::createWindow("notified", [&](platform::HWND h, UINT msg, WPARAM w, LPARAM l) {
            if (msg != WM_COMMNOTIFY)
                return platform::defWindowProc(h, msg, w, l);
            EXPECT_EQ(l, reinterpret_cast<LPARAM>(&port));
            ++notifications;
            char buf[32];
            int n = port.read(buf, sizeof buf);
            received.append(buf, static_cast<std::size_t>(n));
            return LRESULT{0};
        });
    ASSERT_NE(hwnd, 0u);
    ASSERT_EQ(port.setNotifyWindow(hwnd, 32), 1);
    const platform::COMMTIMEOUTS t = comms::comm_device_timeouts(kEchoPort - 1);
    EXPECT_EQ(t.ReadIntervalTimeout, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 32u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

    const std::string packet = "\x81\x01\x04\x07\x22\xFF";
    EXPECT_EQ(port.write(packet.data(), static_cast<std::uint32_t>(packet.size())),
              static_cast<int>(packet.size()));
    EXPECT_TRUE(testing_support::pumpUntil([&] { return received.size() >= packet.size(); }, 20s));
    EXPECT_EQ(received, packet);
    EXPECT_GE(notifications, 1);
    port.close();
    platform::destroyWindow(hwnd);
}

TEST(Win32SerialDevice, TotalTimeoutIsMultiplierTimesCountPlusConstant) {
    auto device = openDevice(kQuietPort);
    ASSERT_TRUE(device);
    device->setTimeouts({0, 20, 100, 0, 1000});
    char buf[10];
    auto start = Clock::now();
    SerialDevice::ReadResult r = device->read(buf, sizeof buf);
    const long long elapsed = msSince(start);
    EXPECT_EQ(r.status, SerialDevice::IoStatus::Ok);
    EXPECT_EQ(r.count, 0u);
    EXPECT_GE(elapsed, 250) << "20 x 10 + 100 ms";
    EXPECT_LT(elapsed, 5000);
}

TEST(Win32SerialDevice, IntervalTimeoutEndsAReadOnlyAfterTheFirstByte) {
    auto device = openDevice(kEchoPort);
    ASSERT_TRUE(device);
    device->setTimeouts({50, 0, 0, 0, 1000});
    EXPECT_EQ(device->write("abc", 3), 3);
    char buf[16] = {};
    std::size_t total = 0;
    // The echo may come in more than one piece; each read ends 50 ms after its last byte.
    auto start = Clock::now();
    while (total < 3 && msSince(start) < 10000) {
        SerialDevice::ReadResult r = device->read(buf + total, sizeof buf - total);
        ASSERT_EQ(r.status, SerialDevice::IoStatus::Ok);
        total += r.count;
    }
    EXPECT_EQ(std::string(buf, total), "abc");
}

TEST(Win32SerialDevice, CancelEndsAReadThatWouldWaitForever) {
    auto device = openDevice(kQuietPort);
    ASSERT_TRUE(device);
    device->setTimeouts({0, 0, 0, 0, 1000});  // no read time-out at all
    auto reading = std::async(std::launch::async, [&] {
        char buf[8];
        return device->read(buf, sizeof buf).status;
    });
    EXPECT_EQ(reading.wait_for(300ms), std::future_status::timeout);
    auto start = Clock::now();
    device->cancel();
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reading.get(), SerialDevice::IoStatus::Cancelled);
    EXPECT_LT(msSince(start), 5000);
    EXPECT_TRUE(device->waitWake(0)) << "cancel is final";
}

TEST(Win32SerialDevice, PortsThatAreNoCommunicationsDevicesFail) {
    SerialDevice::OpenError error;
    EXPECT_FALSE(SerialDevice::open("\\\\.\\COM" + std::to_string(kMissingPort), &error));
    EXPECT_EQ(error, SerialDevice::OpenError::Failed);
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_FALSE(SerialDevice::open(path, &error)) << "a plain file";
    EXPECT_NE(error, SerialDevice::OpenError::None);
}

}  // namespace
