#include "fault_rig.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/prefix.h"

namespace fault_test {

using testing_support::binPath;
using testing_support::readFile;

HostilePeer::HostilePeer()
    : proc_(std::make_unique<ChildProcess>(std::vector<std::string>{binPath("bus_peer"), "hostile"},
                                           ChildProcess::Env{{"QT_QPA_PLATFORM", "offscreen"}})) {
    EXPECT_TRUE(proc_->waitForLine("ready", kStartLimit)) << proc_->stderrText();
}

std::vector<unsigned> HostilePeer::find(const std::string& className) {
    const std::size_t from = mark(*proc_);
    proc_->writeStdin("find " + className + "\n");
    EXPECT_TRUE(waitFrom(*proc_, from, "found end")) << proc_->stderrText();
    std::vector<unsigned> found;
    for (std::size_t i = from; i < proc_->linesSeen().size(); ++i) {
        const std::string& line = proc_->linesSeen()[i];
        unsigned h = 0;
        // "found end" closes the list; read as hex, its "e" would be a window 0xE.
        if (line != "found end" && std::sscanf(line.c_str(), "found %x", &h) == 1)
            found.push_back(h & 0xFFFF);
    }
    return found;
}

std::string HostilePeer::send(unsigned hwnd, unsigned msg, std::uint64_t wParam,
                              std::uint64_t lParam) {
    char line[96];
    std::snprintf(line, sizeof line, "send %x %x %llx %llx\n", hwnd, msg,
                  static_cast<unsigned long long>(wParam), static_cast<unsigned long long>(lParam));
    const std::size_t from = mark(*proc_);
    proc_->writeStdin(line);
    auto result = waitFrom(*proc_, from, "result ");
    EXPECT_TRUE(result) << "no answer to " << line << proc_->stderrText();
    return result ? result->substr(7) : std::string();
}

std::string busSocketPath(pid_t pid) {
    return platform::runtimeDir() + "/b" + std::to_string(pid) + ".s";
}

int connectRaw(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

bool sendRaw(int fd, const std::vector<std::uint8_t>& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool closedByPeer(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0)
        return false;
    char buf[256];
    return recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0;
}

std::vector<std::string> lockFiles() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(platform::runtimeDir() + "/names", ec))
        names.push_back(e.path().filename().string());
    return names;
}

bool running(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

void FaultTest::expectControlWorks(const Device& d) {
    tele_ = !tele_;
    const std::string value = tele_ ? "1" : "2";
    const std::size_t cam = mark(*d.camera);
    const std::size_t id = mark(*d.infodriver);
    setSlot(d.number, 8, value);
    EXPECT_TRUE(waitFrom(*d.camera, cam, tele_ ? "81 01 04 07 22 FF" : "81 01 04 07 32 FF"))
        << "camera:\n"
        << dump(*d.camera, cam) << "driver:\n"
        << dump(*d.driver);
    EXPECT_TRUE(waitFrom(*d.infodriver, id, "write 8 " + value)) << dump(*d.infodriver, id);
}

}  // namespace fault_test
