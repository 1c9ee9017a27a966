#include "app/driver.h"

#include "app/counters.h"
#include "config/settings.h"
#include "platform/window.h"

namespace app {

namespace {
constexpr unsigned kPollTimerStartMs = 1000;
constexpr int kReadSize = 32;
}  // namespace

Driver::Driver() : client_(infodriver::ROREZIV_HEADER_VERSION), camera_(*this) {
    infodriver::setInfodriverHost(this);
}

Driver::~Driver() {
    // Port first (closing it if the shutdown did not), then the client with its farewell.
    port_.close();
    infodriver::setInfodriverHost(nullptr);
}

void Driver::startup(Shell& shell) {
    shell_ = &shell;
    shell.setStatusText("Initialising");
    shell.resetWidthRing();
    client_.setcallback(infodriver::InfodriverCallback);

    const int result = client_.connect(shell.deviceNumber(), nullptr, 0, 0, 0, 0);
    if (result == infodriver::IFSTATUS_CONNECTED)
        app::logLine("Connected OK to infodriver %d", client_.iDevice);
    else if (result == infodriver::IFSTATUS_NOWINDOW)
        app::logLine("ERROR - - - Connect FAILED to infodriver %d", client_.iDevice);
    else
        app::logLine("ERROR - - - Connect FAILED to infodriver %d -- Error code %d",
                     client_.iDevice, client_.iStatus);
    client_.setcounters(&infoTxCount, &infoRxCount);

    const config::DeviceSettings& settings = config::deviceSettings();
    app::logLine("Opening serial port %d, speed %ld", settings.portNumber,
                 static_cast<long>(settings.speed));
    port_.setBaudRate(settings.speed);
    port_.setDataBits(settings.dataBits);
    port_.setStopBits(settings.stopBitsCode);
    port_.setParity(settings.parityCode);
    if (port_.open(settings.portNumber) == 1)
        platform::setTimer(shell.mainWindow(), camera::kPollTimerId, kPollTimerStartMs);
    else
        app::logLine("Can't open serial port %d", settings.portNumber);
    app::logLine("comms test cycle set to 1 second");
    port_.setNotifyWindow(shell.mainWindow(), kReadSize);
}

void Driver::superviseInfodriver(Shell& shell) {
    if (infodriverDisconnected_)
        return;
    if (!infodriverGone_) {
        // The usual tick: one look-up of a window known to be alive, nothing sent.
        if (client_.hWndInfo == 0 || platform::isWindow(client_.hWndInfo))
            return;
        app::logLine("Infodriver %d has gone", client_.iDevice);
        infodriverGone_ = true;
        // Nothing more goes to the dead window, not even the farewell of the next handshake.
        client_.hWndInfo = 0;
    }
    // A handshake that finds no infodriver is tried again on the next tick, quietly.
    if (client_.connect(shell.deviceNumber(), nullptr, 0, 0, 0, 0) !=
        infodriver::IFSTATUS_CONNECTED)
        return;
    infodriverGone_ = false;
    app::logLine("Connected OK to infodriver %d", client_.iDevice);
    client_.updateslot(1, "%s", camera_.connected ? "1" : "0");
}

void Driver::shutdown(Shell& shell) {
    if (!infodriverGone_)
        client_.updateslot(1, "%s", "0");
    platform::killTimer(shell.mainWindow(), camera::kReplyTimerId);
    port_.close();
}

void Driver::testSet(Shell&) {
    if (infodriverGone_)
        return;
    client_.setslot(1, "%s", "0");
    client_.setslot(2, "%s", "1");
}

void Driver::onTimer(Shell& shell, unsigned id) {
    if (id == camera::kReplyTimerId)
        camera_.onReplyTimeout();
    else if (id == camera::kPollTimerId) {
        superviseInfodriver(shell);
        camera_.onPollTimer();
    }
}

void Driver::onCommNotify(Shell&, platform::LPARAM lParam) {
    // The one serial port object is the only sender of WM_COMMNOTIFY.
    if (lParam == reinterpret_cast<platform::LPARAM>(&port_))
        camera_.onSerialData(lParam);
}

int Driver::serialWrite(const void* bytes, int count) {
    return port_.write(bytes, count);
}

int Driver::serialRead(void* buffer, int size) {
    return port_.read(buffer, size);
}

void Driver::serialGetStatus() {
    platform::COMSTAT status{};
    std::uint32_t errors = 0;
    port_.getStatus(&status, &errors);
}

int Driver::serialPortNumber() {
    return port_.getPortNumber();
}

void Driver::setTimer(unsigned id, unsigned ms) {
    if (shell_)
        platform::setTimer(shell_->mainWindow(), id, ms);
}

void Driver::killTimer(unsigned id) {
    if (shell_)
        platform::killTimer(shell_->mainWindow(), id);
}

bool Driver::logging() {
    return app::logging();
}

void Driver::log(const char* line) {
    app::logText(line);
}

void Driver::refreshCounters() {
    serialRxCount = camera_.serialRxCount;
    serialTxCount = camera_.serialTxCount;
    if (shell_)
        shell_->refreshCounters();
}

void Driver::setStatusText(const char* text) {
    if (shell_)
        shell_->setStatusText(text);
}

void Driver::updateslot(int slot, const char* value) {
    if (infodriverGone_)
        return;
    client_.updateslot(slot, "%s", value);
}

void Driver::logLine(const std::string& text) {
    app::logText(text);
}

int Driver::dispatchSlotChange(int device, int slot, const char* value) {
    return camera_.dispatchSlotChange(device, slot, value);
}

std::unique_ptr<DriverHooks> makeDriver(int) {
    return std::make_unique<Driver>();
}

}  // namespace app
