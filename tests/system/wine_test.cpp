// The Windows programs end to end under Wine: camlet32.exe with kelp-infodriver.exe, kelp-slot.exe
// and send_wm_command.exe from the Windows build ($KELP_WINDOWS_BIN), and this build's visca-sim
// as the camera. A Wine prefix has our prefix's layout, so visca-sim with KELP_PREFIX set to it
// links its pty as dosdevices/com1, which is Wine's COM1: the driver talks to the simulator
// through Wine's serial layer; with COM1 mapped in [Ports] of C:\kelp_config.ini, visca-sim on
// loopback TCP or UDP is the camera (Wine programs share 127.0.0.1 with Linux ones) and the
// driver reaches it through Winsock. Without KELP_WINDOWS_BIN the tests are skipped.
//
// One Wine prefix (and, without a DISPLAY, one Xvfb) serves the whole suite: making a prefix
// takes half a minute. Each test starts its programs afresh and ends them all.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/net_socket.h"
#include "system_rig.h"

namespace system_test {
namespace {

namespace fs = std::filesystem;
using testing_support::runProgram;

// Wine starts slowly on a loaded machine; the first start of a program takes longest.
constexpr std::chrono::milliseconds kWineStartLimit = 60s;
// Three reply time-outs in a row, with the poll cycle slowing to 5 s after the first.
constexpr std::chrono::milliseconds kLinkLossLimit = 40s;
constexpr int kDevice = 1;
constexpr int kCmdExit = 105;
constexpr int kCmdTestSet = 32772;

// A program of the machine, found along PATH (the child-process helper wants a path).
std::string onPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
        start = end + 1;
    }
    return name;
}

class WineTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const char* bin = getenv("KELP_WINDOWS_BIN");
        if (!bin || !*bin)
            return;
        windowsBin_ = new std::string(bin);
        // Outside ctest, this build's programs (visca-sim) are beside the test binary.
        if (!getenv("KELP_BIN_DIR"))
            setenv("KELP_BIN_DIR", fs::read_symlink("/proc/self/exe").parent_path().c_str(), 1);
        if (!getenv("DISPLAY") || !*getenv("DISPLAY")) {
            // Xvfb picks a free display and prints its number.
            xvfb_ = new ChildProcess({onPath("Xvfb"), "-displayfd", "1", "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp"});
            auto number = xvfb_->readLine(kWineStartLimit);
            ASSERT_TRUE(number) << xvfb_->stderrText();
            display_ = new std::string(":" + *number);
        } else {
            display_ = new std::string(getenv("DISPLAY"));
        }
        char dir[] = "/tmp/kelp-wine-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        wineprefix_ = new std::string(dir);
        const auto boot = runProgram({onPath("wineboot"), "-i"}, wineEnv(), 180s);
        ASSERT_EQ(boot.exitCode, 0) << boot.err;
    }

    static void TearDownTestSuite() {
        if (wineprefix_) {
            runProgram({onPath("wineserver"), "-k"}, wineEnv(), 30s);
            std::error_code ignored;
            fs::remove_all(*wineprefix_, ignored);
        }
        delete xvfb_;
        delete wineprefix_;
        delete display_;
        delete windowsBin_;
        xvfb_ = nullptr;
        wineprefix_ = display_ = windowsBin_ = nullptr;
    }

    void SetUp() override {
        if (!windowsBin_)
            GTEST_SKIP() << "KELP_WINDOWS_BIN is not set: no Windows programs to run";
        ASSERT_TRUE(wineprefix_) << "no Wine prefix";
        // Every test starts from the default settings and no log files.
        std::error_code ignored;
        fs::remove(driveC() + "/windows/DEV_001.ini", ignored);
        fs::remove_all(driveC() + "/kelplogs", ignored);
        fs::remove(driveC() + "/kelp_config.ini", ignored);
    }

    void TearDown() override {
        // Programs go in reverse: the driver before its peers.
        for (auto it = children_.rbegin(); it != children_.rend(); ++it)
            (*it)->signal(SIGKILL);
        for (auto& child : children_)
            child->waitExit(kEventLimit);
        children_.clear();
    }

    static ChildProcess::Env wineEnv() {
        return {{"WINEPREFIX", *wineprefix_},
                {"WINEDEBUG", "-all"},
                {"DISPLAY", *display_},
                {"KELP_PREFIX", *wineprefix_}};
    }
    static std::string driveC() { return *wineprefix_ + "/drive_c"; }
    static std::string exe(const std::string& name) { return *windowsBin_ + "/" + name + ".exe"; }

    std::shared_ptr<ChildProcess> start(const std::vector<std::string>& argv) {
        auto child = std::make_shared<ChildProcess>(argv, wineEnv());
        children_.push_back(child);
        return child;
    }
    std::shared_ptr<ChildProcess> startCamera() {
        auto camera = start({testing_support::binPath("visca-sim"), "1"});
        auto path = camera->readLine(kStartLimit);
        EXPECT_TRUE(path && path->starts_with("/dev/")) << camera->stderrText();
        return camera;
    }
    // visca-sim serving `scheme` on loopback at `port` (0: one the system picks); returns the port.
    int startNetworkCamera(const std::string& scheme, int port) {
        camera =
            start({testing_support::binPath("visca-sim"), "--" + scheme, std::to_string(port)});
        auto line = camera->readLine(kStartLimit);
        EXPECT_TRUE(line && line->starts_with(scheme + " ")) << camera->stderrText();
        return line ? std::atoi(line->c_str() + scheme.size() + 1) : 0;
    }
    // The driver's COM1 is the camera at `scheme`:127.0.0.1:`port`.
    void mapCom1(const std::string& scheme, int port) {
        testing_support::writeFile(
            driveC() + "/kelp_config.ini",
            "[Ports]\r\nCOM1=" + scheme + ":127.0.0.1:" + std::to_string(port) + "\r\n");
    }
    static void stop(ChildProcess& child) {
        child.signal(SIGKILL);
        child.waitExit(kEventLimit);
    }
    std::shared_ptr<ChildProcess> startInfodriver() {
        auto info = start({onPath("wine"), exe("kelp-infodriver"), std::to_string(kDevice)});
        EXPECT_TRUE(info->waitForLine("ready", kWineStartLimit)) << info->stderrText();
        return info;
    }
    std::shared_ptr<ChildProcess> startDriver() {
        return start({onPath("wine"), exe("camlet32"), std::to_string(kDevice)});
    }
    // Camera, infodriver and driver; returns once the driver has connected and the first good
    // reply has put "1" into slot 1.
    void startConnected() {
        camera = startCamera();
        ASSERT_FALSE(HasFailure());
        info = startInfodriver();
        ASSERT_FALSE(HasFailure());
        driver = startDriver();
        ASSERT_TRUE(info->waitForLine("connect ", kWineStartLimit)) << dump(*info);
        ASSERT_TRUE(waitFrom(*info, 0, "write 1 1", kWineStartLimit)) << dump(*info);
    }

    void setSlot(int slot, const std::string& value) {
        const auto r = runProgram({onPath("wine"), exe("kelp-slot"), std::to_string(kDevice), "set",
                                   std::to_string(slot), value},
                                  wineEnv(), kWineStartLimit);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    }
    std::string slot(int slot) {
        const auto r = runProgram({onPath("wine"), exe("kelp-slot"), std::to_string(kDevice), "get",
                                   std::to_string(slot)},
                                  wineEnv(), kWineStartLimit);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        std::string value = r.out;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
            value.pop_back();
        return value;
    }
    void sendCommand(int id) {
        const auto r = runProgram(
            {onPath("wine"), exe("send_wm_command"), "CLASS_CAMLET32", std::to_string(id)},
            wineEnv(), kWineStartLimit);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    std::shared_ptr<ChildProcess> camera, info, driver;

  private:
    std::vector<std::shared_ptr<ChildProcess>> children_;
    static inline ChildProcess* xvfb_ = nullptr;
    static inline std::string* display_ = nullptr;
    static inline std::string* wineprefix_ = nullptr;
    static inline std::string* windowsBin_ = nullptr;
};

TEST_F(WineTest, AcceptedChangesReachTheCameraAndAreEchoedRefusedOnesAreNot) {
    startConnected();
    std::size_t cam = mark(*camera);
    setSlot(8, "1");
    EXPECT_TRUE(waitFrom(*camera, cam, "81 01 04 07 22 FF")) << dump(*camera, cam);
    EXPECT_TRUE(waitFrom(*info, 0, "write 8 1")) << dump(*info);
    EXPECT_EQ(slot(8), "1");

    // Refused: nothing on the line, nothing written back.
    cam = mark(*camera);
    const std::size_t id = mark(*info);
    setSlot(8, "5");
    readFor(*camera, 500ms);
    readFor(*info, 100ms);
    EXPECT_EQ(countFrom(*camera, cam, "81 01 04 07"), 0u) << dump(*camera, cam);
    EXPECT_EQ(countFrom(*info, id, "write 8"), 0u) << dump(*info, id);
    EXPECT_EQ(slot(8), "1");
}

TEST_F(WineTest, LinkStateIsLostWhenTheCameraFallsSilentAndComesBack) {
    startConnected();
    std::size_t id = mark(*info);
    camera->writeStdin("silent on\n");
    EXPECT_TRUE(waitFrom(*info, id, "write 1 0", kLinkLossLimit)) << dump(*info, id);

    id = mark(*info);
    camera->writeStdin("silent off\n");
    EXPECT_TRUE(waitFrom(*info, id, "write 1 1", kLinkLossLimit)) << dump(*info, id);
}

TEST_F(WineTest, TestSetFromAnotherProcessAndExitWithItsFarewell) {
    startConnected();
    std::size_t id = mark(*info);
    sendCommand(kCmdTestSet);
    EXPECT_TRUE(waitFrom(*info, id, "write 1 0")) << dump(*info, id);
    EXPECT_TRUE(waitFrom(*info, id, "write 2 1")) << dump(*info, id);

    // The next good reply brings the link state back; then File > Exit writes "0" again.
    EXPECT_TRUE(waitFrom(*info, id, "write 1 1")) << dump(*info, id);
    id = mark(*info);
    sendCommand(kCmdExit);
    EXPECT_TRUE(waitFrom(*info, id, "write 1 0")) << dump(*info, id);
    EXPECT_TRUE(waitFrom(*info, id, "closing 1")) << dump(*info, id);
    EXPECT_EQ(driver->waitExit(kWineStartLimit), 0) << driver->stderrText();
}

TEST_F(WineTest, SecondInstanceExitsAndARestartAfterAKillWorks) {
    startConnected();
    // -1 as Wine reports an exit code: its low byte.
    const auto second = runProgram({onPath("wine"), exe("camlet32"), std::to_string(kDevice)},
                                   wineEnv(), kWineStartLimit);
    EXPECT_EQ(second.exitCode, 255) << second.err;

    driver->signal(SIGKILL);
    driver->waitExit(kEventLimit);
    std::size_t id = mark(*info);
    driver = startDriver();
    EXPECT_TRUE(waitFrom(*info, id, "connect ", kWineStartLimit)) << dump(*info, id);
    const std::size_t cam = mark(*camera);
    setSlot(8, "2");
    EXPECT_TRUE(waitFrom(*camera, cam, "81 01 04 07 32 FF")) << dump(*camera, cam);
}

TEST_F(WineTest, WithoutTheInterfaceLibraryABoxNamesItAndTheDriverDoesNotStart) {
    // The program alone in a folder: the library is neither beside it nor on the search path.
    const fs::path alone = fs::path(driveC()) / "alone";
    fs::create_directories(alone);
    fs::copy_file(exe("camlet32"), alone / "camlet32.exe", fs::copy_options::overwrite_existing);
    ChildProcess lonely({onPath("wine"), (alone / "camlet32.exe").string(), "1"}, wineEnv());
    // The box waits for its OK; the driver exits once it is pressed.
    const auto deadline = std::chrono::steady_clock::now() + kWineStartLimit;
    int sent = 2;
    while (sent != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(500ms);
        sent = runProgram({onPath("wine"), exe("send_wm_command"), "#32770", "1"}, wineEnv(),
                          kWineStartLimit)
                   .exitCode;
    }
    EXPECT_EQ(sent, 0) << "no message box";
    EXPECT_EQ(lonely.waitExit(kWineStartLimit), 255) << lonely.stderrText();
}

// ---- network cameras ---------------------------------------------------------------------------

const char* const kSchemes[] = {"tcp", "udp", "udp-raw"};

// Each scheme with its own camera, infodriver and driver (a fresh infodriver, so that the first
// "1" in slot 1 is this driver's).
TEST_F(WineTest, EachNetworkSchemeCarriesSlotChangesWholeAndKeepsTheLink) {
    for (const std::string scheme : kSchemes) {
        SCOPED_TRACE(scheme);
        mapCom1(scheme, startNetworkCamera(scheme, 0));
        info = startInfodriver();
        ASSERT_FALSE(HasFailure());
        driver = startDriver();
        ASSERT_TRUE(info->waitForLine("connect ", kWineStartLimit)) << dump(*info);
        ASSERT_TRUE(waitFrom(*info, 0, "write 1 1", kWineStartLimit))
            << dump(*info) << dump(*camera);

        const std::size_t cam = mark(*camera);
        const std::size_t id = mark(*info);
        setSlot(8, "1");
        EXPECT_TRUE(waitFrom(*camera, cam, "81 01 04 07 22 FF")) << dump(*camera, cam);
        EXPECT_TRUE(waitFrom(*info, id, "write 8 1")) << dump(*info, id);
        EXPECT_EQ(slot(8), "1");
        // Polls go on, every packet whole.
        EXPECT_TRUE(waitForCount(*camera, cam, kPollPacket, 2)) << dump(*camera, cam);
        EXPECT_EQ(countFrom(*camera, 0, "skip "), 0u) << dump(*camera);
        EXPECT_EQ(slot(1), "1");
        stop(*driver);
        stop(*info);
        stop(*camera);
    }
}

TEST_F(WineTest, NetworkCameraStartedAfterTheDriverIsFound) {
    for (const std::string scheme : kSchemes) {
        SCOPED_TRACE(scheme);
        const int port =
            freePort(scheme == "tcp" ? platform::NetKind::Stream : platform::NetKind::Datagram);
        ASSERT_NE(port, 0);
        mapCom1(scheme, port);
        info = startInfodriver();
        ASSERT_FALSE(HasFailure());
        std::size_t id = mark(*info);
        driver = startDriver();
        ASSERT_TRUE(waitFrom(*info, id, "connect ", kWineStartLimit)) << dump(*info, id);
        // The port opened with nobody there: the link is down and polls go on.
        ASSERT_TRUE(waitFrom(*info, id, "write 1 0", kWineStartLimit)) << dump(*info, id);

        id = mark(*info);
        ASSERT_EQ(startNetworkCamera(scheme, port), port);
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitFrom(*info, id, "write 1 1", kLinkLossLimit))
            << dump(*info, id) << dump(*camera);
        // About two polls; the bound is loose for Wine on a loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
        EXPECT_TRUE(waitFrom(*camera, 0, kPollPacket)) << dump(*camera);
        stop(*driver);
        stop(*info);
        stop(*camera);
    }
}

TEST_F(WineTest, RestartedTcpCameraIsReconnectedWithoutRestartingTheDriver) {
    info = startInfodriver();
    ASSERT_FALSE(HasFailure());
    const int port = startNetworkCamera("tcp", 0);
    mapCom1("tcp", port);
    driver = startDriver();
    ASSERT_TRUE(info->waitForLine("write 1 1", kWineStartLimit)) << dump(*info) << dump(*camera);

    // The camera dies (its connection is reset) and comes back on the same port.
    stop(*camera);
    ASSERT_EQ(startNetworkCamera("tcp", port), port);
    ASSERT_TRUE(camera->waitForLine("connect ", kLinkLossLimit)) << dump(*camera);
    ASSERT_TRUE(waitFrom(*camera, 0, kPollPacket)) << dump(*camera);
    const std::size_t cam = mark(*camera);
    setSlot(8, "2");
    EXPECT_TRUE(waitFrom(*camera, cam, "81 01 04 07 32 FF")) << dump(*camera, cam);
    EXPECT_EQ(slot(1), "1");
}

}  // namespace
}  // namespace system_test
