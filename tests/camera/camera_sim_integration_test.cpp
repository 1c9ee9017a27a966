// CameraController driving visca-sim through the real serial port object, the real reader
// thread and the main window's timers and WM_COMMNOTIFY, with the simulator on a real pty.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_controller.h"
#include "child_process.h"
#include "comms/serial_port.h"
#include "platform/window.h"
#include "test_prefix.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::TestPrefix;

QCoreApplication& qtApp() {
    static int argc = 1;
    static char name[] = "camera_sim_integration_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The driver's adaptation of its real objects, reduced to what a test can observe.
class RealHost : public camera::CameraHost {
  public:
    RealHost(comms::SerialPort& port, platform::HWND hwnd) : port_(port), hwnd_(hwnd) {}
    int serialWrite(const void* b, int n) override { return port_.write(b, n); }
    int serialRead(void* b, int n) override { return port_.read(b, n); }
    void serialGetStatus() override {
        platform::COMSTAT st{};
        std::uint32_t errors = 0;
        port_.getStatus(&st, &errors);
    }
    int serialPortNumber() override { return port_.getPortNumber(); }
    void setTimer(unsigned id, unsigned ms) override { platform::setTimer(hwnd_, id, ms); }
    void killTimer(unsigned id) override { platform::killTimer(hwnd_, id); }
    bool logging() override { return true; }
    void log(const char* line) override { logs.emplace_back(line); }
    void refreshCounters() override {}
    void setStatusText(const char* text) override {
        status = text;
        replyErrors += status == "Reply error";
    }
    void updateslot(int slot, const char* value) override {
        if (slotValues[slot] != value)
            slotValues[slot] = value;
    }

    std::vector<std::string> logs;
    std::string status = "Initialising";
    int replyErrors = 0;
    std::map<int, std::string> slotValues;

  private:
    comms::SerialPort& port_;
    platform::HWND hwnd_;
};

TEST(CameraWithSimulator, PollsCommandsAndSupervisesOverARealPty) {
    qtApp();
    TestPrefix prefix;
    ChildProcess sim({testing_support::binPath("visca-sim"), "3"});
    ASSERT_TRUE(sim.readLine(10s));

    camera::CameraController* cam = nullptr;
    platform::HWND hwnd =
        platform::createWindow("camera-test",
                               [&](platform::HWND, platform::UINT msg, platform::WPARAM w,
                                   platform::LPARAM l) -> platform::LRESULT {
                                   if (!cam)
                                       return 0;
                                   if (msg == platform::WM_COMMNOTIFY)
                                       cam->onSerialData(l);
                                   if (msg == platform::WM_TIMER && w == camera::kReplyTimerId)
                                       cam->onReplyTimeout();
                                   if (msg == platform::WM_TIMER && w == camera::kPollTimerId)
                                       cam->onPollTimer();
                                   return 0;
                               });
    ASSERT_NE(hwnd, 0u);

    {
        comms::SerialPort port;
        ASSERT_EQ(port.open(3), 1);
        RealHost host(port, hwnd);
        camera::CameraController controller(host);
        cam = &controller;
        ASSERT_EQ(port.setNotifyWindow(hwnd, 32), 1);
        host.setTimer(camera::kPollTimerId, 1000);

        // The first poll is answered: slot 1 "1", the 1 s cycle starts afresh.
        ASSERT_TRUE(pumpUntil([&] { return controller.connected; }, 5s));
        EXPECT_EQ(host.slotValues[1], "1");
        EXPECT_EQ(host.status, "Connected OK");
        EXPECT_TRUE(sim.waitForLine("81 09 04 38 FF", 5s));

        // Commands reach the camera byte for byte; Zoom Stop's extra byte does not upset it.
        EXPECT_EQ(controller.dispatchSlotChange(7, 8, "3"), 0);
        EXPECT_TRUE(sim.waitForLine("81 01 04 07 27 FF", 5s));
        EXPECT_EQ(controller.dispatchSlotChange(7, 8, "0"), 0);
        EXPECT_TRUE(sim.waitForLine("81 01 04 07 00 FF", 5s));
        EXPECT_EQ(controller.dispatchSlotChange(7, 33, "9"), 0);
        EXPECT_TRUE(sim.waitForLine("81 01 06 04 FF", 5s));
        const std::int32_t rxBefore = controller.serialRxCount;
        ASSERT_TRUE(pumpUntil([&] { return controller.serialRxCount > rxBefore + 1; }, 5s));
        EXPECT_TRUE(controller.connected);

        // A camera that answers with a wrong first byte is a reply error at once.
        sim.writeStdin("wrong 91\n");
        ASSERT_TRUE(sim.waitForLine("ok wrong 91", 5s));
        ASSERT_TRUE(pumpUntil([&] { return host.status == "Reply error"; }, 5s));
        EXPECT_EQ(host.slotValues[1], "0");
        EXPECT_FALSE(controller.connected);

        // Answering properly again restores the link.
        sim.writeStdin("normal\n");
        ASSERT_TRUE(pumpUntil([&] { return host.status == "Connected OK"; }, 5s));
        EXPECT_EQ(host.slotValues[1], "1");

        // Replies that arrive a byte at a time: every read after the first of a packet continues
        // it, and none of them is taken for a bad reply.
        sim.writeStdin("split 20 1\n");
        ASSERT_TRUE(sim.waitForLine("ok split 20 1", 5s));
        const int errorsBefore = host.replyErrors;
        for (const char* zoom : {"1", "0", "2", "0"}) {
            const std::int32_t reads = controller.serialRxCount;
            EXPECT_EQ(controller.dispatchSlotChange(7, 8, zoom), 0);
            // Acknowledgement and completion, six bytes, each byte its own read at most.
            ASSERT_TRUE(pumpUntil([&] { return controller.serialRxCount >= reads + 2; }, 5s));
            pumpUntil([&] { return controller.serialRxCount >= reads + 6; }, 500ms);
        }
        EXPECT_EQ(host.replyErrors, errorsBefore);
        EXPECT_EQ(host.slotValues[1], "1");
        EXPECT_TRUE(controller.connected);
        sim.writeStdin("normal\n");
        ASSERT_TRUE(sim.waitForLine("ok normal", 5s));

        bool sawRead = false;
        for (const auto& l : host.logs)
            sawRead |= l.rfind("Read ", 0) == 0;
        EXPECT_TRUE(sawRead);

        platform::killTimer(hwnd, camera::kPollTimerId);
        platform::killTimer(hwnd, camera::kReplyTimerId);
        port.close();
        cam = nullptr;
    }
    platform::destroyWindow(hwnd);
}

}  // namespace
