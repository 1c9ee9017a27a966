#include "system_rig.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace system_test {

using testing_support::binPath;
using testing_support::runProgram;

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds leftUntil(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

// The programs run on Qt's offscreen platform whatever the caller's environment says.
const ChildProcess::Env& childEnv() {
    static const ChildProcess::Env env{{"QT_QPA_PLATFORM", "offscreen"}};
    return env;
}

}  // namespace

std::optional<std::string> waitFrom(ChildProcess& p, std::size_t from, const std::string& needle,
                                    std::chrono::milliseconds limit) {
    if (auto i = indexOf(p, from, needle))
        return p.linesSeen()[*i];
    return p.waitForLine(needle, limit);
}

bool waitForCount(ChildProcess& p, std::size_t from, const std::string& needle, std::size_t count,
                  std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (countFrom(p, from, needle) < count) {
        const auto left = leftUntil(deadline);
        if (left.count() <= 0 || !p.waitForLine(needle, left))
            return false;
    }
    return true;
}

void readFor(ChildProcess& p, std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    for (auto left = duration; left.count() > 0; left = leftUntil(deadline))
        if (!p.readLine(left) && leftUntil(deadline).count() > 0)
            break;  // end of output
}

std::size_t countFrom(const ChildProcess& p, std::size_t from, const std::string& needle) {
    std::size_t n = 0;
    const auto& lines = p.linesSeen();
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].find(needle) != std::string::npos)
            ++n;
    return n;
}

std::optional<std::size_t> indexOf(const ChildProcess& p, std::size_t from,
                                   const std::string& needle) {
    const auto& lines = p.linesSeen();
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].find(needle) != std::string::npos)
            return i;
    return std::nullopt;
}

std::string dump(const ChildProcess& p, std::size_t from) {
    std::string out;
    const auto& lines = p.linesSeen();
    for (std::size_t i = from; i < lines.size(); ++i)
        out += "  | " + lines[i] + "\n";
    return out;
}

double simTime(const std::string& line) {
    // "rx 12.345 81 ..."
    const auto space = line.find(' ');
    return space == std::string::npos ? -1.0 : std::strtod(line.c_str() + space + 1, nullptr);
}

std::shared_ptr<ChildProcess> SystemTest::start(const std::vector<std::string>& argv) {
    auto child = std::make_shared<ChildProcess>(argv, childEnv());
    const auto slash = argv[0].rfind('/');
    children_.emplace_back(argv[0].substr(slash == std::string::npos ? 0 : slash + 1), child);
    return child;
}

void SystemTest::SetUp() {
    if (std::getenv("KELP_BIN_DIR"))
        return;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        setenv("KELP_BIN_DIR", self.parent_path().c_str(), 1);
}

void SystemTest::TearDown() {
    for (const auto& [name, child] : children_) {
        const std::string err = child->stderrText();
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << name << ":\n" << err;
        EXPECT_EQ(err.find("runtime error:"), std::string::npos) << name << ":\n" << err;
    }
}

std::shared_ptr<ChildProcess> SystemTest::startCamera(int com,
                                                      const std::vector<std::string>& options) {
    std::vector<std::string> argv{binPath("visca-sim"), std::to_string(com)};
    argv.insert(argv.end(), options.begin(), options.end());
    auto camera = start(argv);
    // The first line, the pty's path, comes once comN links to it.
    auto path = camera->readLine(kStartLimit);
    EXPECT_TRUE(path && path->starts_with("/dev/")) << camera->stderrText();
    return camera;
}

int freePort(platform::NetKind kind) {
    const auto local = platform::resolveHost("127.0.0.1", 0, kind, nullptr);
    auto s = local.empty() ? nullptr : platform::NetSocket::create(local[0], kind);
    if (!s || !s->listen(local[0]))
        return 0;
    const std::string t = s->localAddress().text();
    return std::stoi(t.substr(t.rfind(':') + 1));
}

std::shared_ptr<ChildProcess> SystemTest::startNetworkCamera(
    const std::string& scheme, int port, int* bound, const std::vector<std::string>& options) {
    std::vector<std::string> argv{binPath("visca-sim"), "--" + scheme, std::to_string(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    auto camera = start(argv);
    // The first line, "<scheme> <port>", comes once it listens.
    auto line = camera->readLine(kStartLimit);
    EXPECT_TRUE(line && line->starts_with(scheme + " ")) << camera->stderrText();
    *bound = line ? std::atoi(line->c_str() + scheme.size() + 1) : 0;
    return camera;
}

std::shared_ptr<ChildProcess> SystemTest::startInfodriver(int device) {
    auto info = start({binPath("kelp-infodriver"), std::to_string(device)});
    EXPECT_TRUE(info->waitForLine("ready", kStartLimit)) << info->stderrText();
    return info;
}

std::shared_ptr<ChildProcess> SystemTest::startDriver(int device) {
    return start({binPath("camlet32"), std::to_string(device)});
}

Device SystemTest::startConnected(int device, int com) {
    Device d;
    d.number = device;
    d.camera = startCamera(com);
    d.infodriver = startInfodriver(device);
    d.driver = startDriver(device);
    EXPECT_TRUE(
        d.driver->waitForLine("Connected OK to infodriver " + std::to_string(device), kStartLimit))
        << dump(*d.driver) << d.driver->stderrText();
    EXPECT_TRUE(d.infodriver->waitForLine("write 1 1", kStartLimit))
        << "infodriver:\n"
        << dump(*d.infodriver) << "camera:\n"
        << dump(*d.camera);
    return d;
}

void SystemTest::writeSettings(int device, const std::vector<std::string>& lines) {
    char name[32];
    std::snprintf(name, sizeof name, "/DEV_%03d.ini", device);
    std::string text = "[Camlet32]\r\n";
    for (const auto& l : lines)
        text += l + "\r\n";
    testing_support::writeFile(prefix.windowsDir() + name, text);
}

void SystemTest::setSlot(int device, int slot, const std::string& value) {
    const auto r = runProgram(
        {binPath("kelp-slot"), std::to_string(device), "set", std::to_string(slot), value},
        childEnv());
    EXPECT_EQ(r.exitCode, 0) << "set " << slot << ": " << r.err;
}

std::string SystemTest::slot(int device, int slot) {
    const auto r = runProgram(
        {binPath("kelp-slot"), std::to_string(device), "get", std::to_string(slot)}, childEnv());
    EXPECT_EQ(r.exitCode, 0) << "get " << slot << ": " << r.err;
    std::string v = r.out;
    if (!v.empty() && v.back() == '\n')
        v.pop_back();
    return v;
}

void SystemTest::sendCommand(int id) {
    const auto r =
        runProgram({binPath("send_wm_command"), "CLASS_CAMLET32", std::to_string(id)}, childEnv());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

void SystemTest::stopDriver(ChildProcess& driver, int sig) {
    driver.signal(sig);
    EXPECT_EQ(driver.waitExit(kStartLimit), 0) << driver.stderrText();
}

void ConnectedTest::SetUp() {
    SystemTest::SetUp();
    dev = startConnected(1);
    ASSERT_FALSE(HasFailure());
}

}  // namespace system_test
