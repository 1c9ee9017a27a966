// End-to-end benchmarks of the whole driver, every peer real except the camera:
//
//   this program (sends change requests over the bus exactly as kelp-slot does)
//     -> kelp-infodriver DEVICE (stand-in infodriver, prints "write SLOT VALUE" per driver write)
//     -> camlet32 DEVICE (headless) -> serial line = pty slave
//     -> this program's camera thread on the pty master (timestamps packets, answers them)
//
// Measured:
//   latency     time from a change request to the last byte of its packet at the camera,
//               slot 8 alternating "1" and "0"; in-process sends, and optionally real kelp-slot
//               processes (process start included)
//   throughput  sustained sequential change requests per second on slot 33 (values 0..8 in
//               turn, each a 9-byte packet); each request returns once the echo is stored.
//               Then the same from several sender processes at once (--senders), as the
//               control system's many clients send; each sender is this program again, started
//               with the internal option "--sender DEVICE SECONDS"
//   idle        VmRSS and CPU (utime+stime) of a connected driver doing nothing but its polls
//   farm        N devices at once (N cameras, N infodrivers, N drivers started together): time
//               until every driver is connected with its link up, CPU of all of them while
//               idle, PSS and open files per driver
//   soak        changes at a steady rate for a long time: counts, losses and RSS at start and end
//   flood       the camera end pours garbage into the line as fast as the pty takes it; a change
//               request every 20 ms meanwhile, timed to its packet at the camera; then the
//               driver's CPU in 100 ms windows until it is idle again
// Every run checks that nothing was lost: each change gives exactly one packet, in order, with
// the right bytes, and exactly one echo of the same value.
//
// usage: system_bench [options]
//   --count N        latency changes per run (10000)
//   --processes N    latency changes through kelp-slot processes (200; 0 skips)
//   --gap MS         pause after each in-process latency change (0), so that the driver has
//                    handled the camera's reply before the next change (for profilers, under
//                    which the driver is too slow to keep up otherwise)
//   --seconds S      throughput run length (10)
//   --senders N      sender processes of the second throughput run (8; 0 or 1 skips it)
//   --idle S         idle run length (60; 0 skips)
//   --flood MIB      garbage flood size in MiB (1; 0 skips)
//   --debug LIST     DebugMode values for the latency and throughput runs ("1,0")
//   --quiet-camera   the camera answers polls only, never commands
//   --keep           copy the driver logs out of the prefix before it is removed
//   --wine DIR       the Windows programs of DIR (camlet32.exe, kelp-infodriver.exe and
//                    KELPIF32.dll) under Wine beside the Linux ones, in a Wine prefix: latency
//                    (2000 changes unless --count says otherwise) and sustained changes, both
//                    made through the stand-in's standard input ("set SLOT VALUE", each waiting
//                    for its echo) so that the two rows compare; and the size of camlet32.exe
//   --network LIST   lines besides the pty for the in-process latency run ("tcp,udp"; "" skips):
//                    the COM port mapped in [Ports] of C:\kelp_config.ini to this program's
//                    camera on loopback TCP, or UDP with the VISCA over IP header
//   --unreachable S  idle run of a driver whose network camera is unreachable (60; 0 skips)
//   --farm LIST      only the farm, for each size in LIST (e.g. 16,64,256)
//   --farm-idle S    idle window of each farm (10)
//   --soak S         only the soak, S seconds long
//   --rate R         soak changes per second (50: a 9-byte command and its two 3-byte replies
//                    take about 16 ms on a 9600 baud line, so a camera cannot take many more)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../../tools/infodriver/standin.h"
#include "child_process.h"
#include "comms/visca_ip.h"
#include "infodriver/protocol.h"
#include "platform/profile.h"
#include "platform/window.h"
#include "pty_pair.h"
#include "test_prefix.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

std::string g_binDir;
// Pause after each in-process latency change (--gap).
std::chrono::milliseconds g_gap{0};
// The Windows programs' folder (--wine), and the Wine loader that runs them.
std::string g_wineBin;
std::string g_wine;

// One lock and condition for everything the helper threads report to the main thread.
std::mutex g_mutex;
std::condition_variable g_changed;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Waits until `done` holds (checked under g_mutex), handling bus messages meanwhile, so that a
// broadcast of the driver reaching this process's window is answered at once.
bool waitFor(const std::function<bool()>& done, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::unique_lock lock(g_mutex);
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        g_changed.wait_for(lock, 2ms);
    }
}

// Lets the event loop run for a while without spinning.
void idleFor(std::chrono::milliseconds d) {
    QEventLoop loop;
    QTimer::singleShot(d, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---- the camera: a pty whose slave is the driver's COM port, or a loopback socket ----

// Unreachable: the COM port is mapped to a loopback TCP port where nobody listens.
enum class Line { Pty, Tcp, Udp, Unreachable };

const char* lineName(Line l) {
    return l == Line::Pty ? "pty" : l == Line::Tcp ? "tcp" : l == Line::Udp ? "udp" : "unreachable";
}

class Camera {
  public:
    struct Packet {
        Bytes bytes;
        Clock::time_point lastByte;
    };

    ~Camera() { stop(); }

    bool answerCommands = true;

    bool start(const testing_support::TestPrefix& prefix, int comPort, Line line) {
        line_ = line;
        if (line != Line::Pty)
            return startNetwork(prefix, comPort);
        // The slave stays open here, so the master never sees a hang-up between driver opens.
        pty_.emplace();
        if (!pty_->ok())
            return false;
        fcntl(master(), F_SETFL, fcntl(master(), F_GETFL) | O_NONBLOCK);
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        prefix.linkComPort(comPort, pty_->slavePath);
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void stop() {
        if (thread_.joinable()) {
            std::uint64_t one = 1;
            [[maybe_unused]] auto n = write(wake_, &one, sizeof one);
            thread_.join();
        }
        pty_.reset();
        for (int* fd : {&wake_, &socket_, &conn_})
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
    }

    // Writes `bytes` bytes of garbage into the line as fast as it takes them (blocking the
    // calling thread until all went), in writes of 4 KiB.
    void flood(std::size_t bytes) {
        std::uint8_t chunk[4096];
        std::uint32_t x = 12345;
        for (auto& b : chunk) {
            x = x * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(x >> 16);
        }
        std::size_t sent = 0;
        while (sent < bytes) {
            const std::size_t n = std::min(sizeof chunk, bytes - sent);
            ssize_t w = write(master(), chunk, n);
            if (w > 0) {
                sent += static_cast<std::size_t>(w);
                continue;
            }
            pollfd p{master(), POLLOUT, 0};
            poll(&p, 1, 10);  // the line is full: wait for the driver's reader
        }
    }

    // Read under g_mutex.
    std::vector<Packet> commands;  // every packet but the poll, in order of arrival
    unsigned polls = 0;
    unsigned junk = 0;  // bytes that belong to no packet

  private:
    int master() const { return pty_ ? pty_->master : -1; }
    static bool isPoll(const Bytes& p) { return p == Bytes{0x81, 0x09, 0x04, 0x38, 0xFF}; }

    // A socket on a free loopback port, and [Ports] COMn pointing at it.
    bool startNetwork(const testing_support::TestPrefix& prefix, int comPort) {
        const bool stream = line_ != Line::Udp;
        socket_ = socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
            (line_ == Line::Tcp && listen(socket_, 4) != 0))
            return false;
        const std::string entry = std::string(line_ == Line::Udp ? "udp" : "tcp") +
                                  ":127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        if (!platform::writeProfileString(prefix.driveC() + "/kelp_config.ini", "Ports",
                                          "COM" + std::to_string(comPort), entry))
            return false;
        if (line_ == Line::Unreachable)  // the port stays bound, so nobody else takes it
            return true;
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void reply(const Bytes& r) {
        // A pty master takes a few bytes at once; a short write here would only cost a reply.
        if (line_ == Line::Pty) {
            [[maybe_unused]] auto n = write(master(), r.data(), r.size());
        } else if (line_ == Line::Tcp) {
            [[maybe_unused]] auto n = send(conn_, r.data(), r.size(), MSG_NOSIGNAL);
        } else {
            sendDatagram(comms::encodeViscaIp(comms::kViscaReply, sequence_, r.data(), r.size()));
        }
    }

    void sendDatagram(const Bytes& d) {
        sendto(socket_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&peer_),
               sizeof peer_);
    }

    // The next bytes from the line; -1 when there were none (or only a control message).
    ssize_t receive(std::uint8_t* buf, std::size_t size) {
        if (line_ == Line::Pty)
            return read(master(), buf, size);
        if (line_ == Line::Tcp) {
            ssize_t n = recv(conn_, buf, size, 0);
            if (n == 0) {
                close(conn_);
                conn_ = -1;
            }
            return n > 0 ? n : -1;
        }
        std::uint8_t d[2048];
        socklen_t len = sizeof peer_;
        ssize_t n = recvfrom(socket_, d, sizeof d, 0, reinterpret_cast<sockaddr*>(&peer_), &len);
        auto h = n > 0 ? comms::decodeViscaIp(d, static_cast<std::size_t>(n)) : std::nullopt;
        if (!h)
            return -1;
        sequence_ = h->sequence;
        if (h->type == comms::kControlCommand) {
            sendDatagram(
                comms::encodeViscaIp(comms::kControlReply, h->sequence, &comms::kControlReset, 1));
            return -1;
        }
        const std::size_t payload = std::min<std::size_t>(h->length, size);
        std::memcpy(buf, d + comms::kViscaIpHeaderSize, payload);
        return static_cast<ssize_t>(payload);
    }

    void run() {
        static const Bytes kPollReply{0x90, 0x50, 0x02, 0xFF};
        static const Bytes kCommandReply{0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF};
        Bytes current;
        bool inPacket = false, lastWasCommand = false;
        std::uint8_t buf[4096];
        for (;;) {
            // The line's data, the wake-up, and a TCP camera's listening socket.
            const int data = line_ == Line::Pty ? master() : line_ == Line::Tcp ? conn_ : socket_;
            pollfd fds[3] = {{data, POLLIN, 0},
                             {wake_, POLLIN, 0},
                             {line_ == Line::Tcp ? socket_ : -1, POLLIN, 0}};
            if (poll(fds, 3, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents)
                return;
            if (fds[2].revents & POLLIN) {
                if (conn_ >= 0)
                    close(conn_);
                conn_ = accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
                int one = 1;
                setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                continue;
            }
            if (line_ == Line::Pty && (fds[0].revents & (POLLHUP | POLLERR))) {
                usleep(10000);  // the slave is held open, so this is transient
                continue;
            }
            if (!(fds[0].revents & POLLIN))
                continue;
            ssize_t n = receive(buf, sizeof buf);
            const auto now = Clock::now();
            if (n <= 0)
                continue;
            std::vector<Bytes> replies;
            {
                std::lock_guard lock(g_mutex);
                for (ssize_t i = 0; i < n; ++i) {
                    const std::uint8_t b = buf[i];
                    if (!inPacket && b == 0x81) {
                        inPacket = true;
                        current.assign(1, b);
                    } else if (inPacket) {
                        current.push_back(b);
                        if (b == 0xFF) {
                            inPacket = false;
                            lastWasCommand = !isPoll(current);
                            if (lastWasCommand) {
                                commands.push_back({current, now});
                                if (answerCommands)
                                    replies.push_back(kCommandReply);
                            } else {
                                ++polls;
                                replies.push_back(kPollReply);
                            }
                        } else if (current.size() > 16) {
                            junk += current.size();
                            inPacket = false;
                        }
                    } else if (lastWasCommand && !commands.empty()) {
                        // Bytes after a command's terminator belong to it (Zoom Stop ends in 00).
                        commands.back().bytes.push_back(b);
                        commands.back().lastByte = now;
                    } else {
                        ++junk;
                    }
                }
            }
            g_changed.notify_all();
            for (const auto& r : replies)
                reply(r);
        }
    }

    Line line_ = Line::Pty;
    std::optional<testing_support::PtyPair> pty_;  // the line of a pty camera
    int wake_ = -1;
    int socket_ = -1, conn_ = -1;  // network: listening (TCP) or datagram socket; TCP connection
    sockaddr_in peer_{};
    std::uint32_t sequence_ = 0;  // of the message being answered
    std::thread thread_;
};

// ---- child processes ----

using testing_support::ChildProcess;

// Where the output of a child that nobody reads goes.
const std::string kNowhere = "/dev/null";

// A change request to the stand-in infodriver as kelp-slot makes it; its result (1: delivered to
// the driver).
platform::LRESULT sendChange(platform::HWND standIn, unsigned slot, const std::string& value) {
    platform::MessageBuffer mb;
    mb.in = value.c_str();
    mb.inSize = value.size() + 1;
    return platform::sendMessage(standIn, standin::KELP_SETSLOT, slot, 0, &mb);
}

// Starts a child process (see ChildProcess: `outputPath` empty means its output is read here);
// null, with the reason on stderr, when it cannot start.
std::unique_ptr<ChildProcess> startChild(const std::vector<std::string>& argv,
                                         const std::string& outputPath) {
    try {
        return std::make_unique<ChildProcess>(argv, ChildProcess::Env{}, outputPath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return nullptr;
    }
}

// The command line of one of our programs: the Linux one, or the Windows one under Wine.
std::vector<std::string> program(const std::string& name, bool wine,
                                 std::vector<std::string> args) {
    std::vector<std::string> argv =
        wine ? std::vector<std::string>{g_wine, g_wineBin + "/" + name + ".exe"}
             : std::vector<std::string>{g_binDir + "/" + name};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Waits for `child` to end while this process answers the bus; its exit code, nullopt when
// `timeout` passed first.
std::optional<int> waitExit(ChildProcess& child, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto code = child.waitExit(0ms))
            return code;
        if (Clock::now() >= deadline)
            return std::nullopt;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        usleep(2000);
    }
}

// The stand-in infodriver with its stdout read line by line on a thread of its own.
class Infodriver {
  public:
    ~Infodriver() { stop(); }

    pid_t pid() const { return child_ ? child_->pid() : -1; }

    bool start(int device, bool wine) {
        child_ = startChild(program("kelp-infodriver", wine, {std::to_string(device)}), "");
        if (!child_)
            return false;
        reader_ = std::thread([this] { readLines(); });
        return waitFor([this] { return ready; }, wine ? 90s : 10s);
    }

    // One command line on the stand-in's standard input.
    void command(const std::string& line) { child_->writeStdin(line + "\n"); }

    std::optional<int> stop() {
        std::optional<int> code;
        if (child_) {
            child_->signal(SIGTERM);
            code = waitExit(*child_, 10s);
            if (!code) {
                child_->signal(SIGKILL);
                child_->waitExit(10s);
            }
        }
        if (reader_.joinable())  // its output has ended with it
            reader_.join();
        child_.reset();
        return code;
    }

    // Read under g_mutex.
    bool ready = false;
    unsigned connects = 0, closings = 0;
    std::map<unsigned, std::vector<std::string>> writes;  // slot -> values written, in order

  private:
    // Until the stand-in's output ends.
    void readLines() {
        while (auto text = child_->readLine(24h)) {
            text->erase(std::min(text->size(), text->find('\r')));
            const char* line = text->c_str();
            {
                std::lock_guard lock(g_mutex);
                unsigned slot = 0;
                int offset = 0;
                if (!std::strcmp(line, "ready"))
                    ready = true;
                else if (!std::strncmp(line, "connect ", 8))
                    ++connects;
                else if (!std::strncmp(line, "closing ", 8))
                    ++closings;
                else if (std::sscanf(line, "write %u %n", &slot, &offset) == 1 && offset > 0)
                    writes[slot].push_back(line + offset);
            }
            g_changed.notify_all();
        }
    }

    std::unique_ptr<ChildProcess> child_;
    std::thread reader_;
};

// ---- /proc ----

struct ProcSample {
    long rssKiB = 0, hwmKiB = 0;
    double cpuSeconds = 0;
};

// Proportional set size of a process, in KiB.
long pssKiB(pid_t pid) {
    const std::string rollup =
        testing_support::readFile("/proc/" + std::to_string(pid) + "/smaps_rollup");
    const auto at = rollup.find("\nPss:");
    return at == std::string::npos ? 0 : std::atol(rollup.c_str() + at + 5);
}

// Open file descriptors of a process.
std::size_t openFiles(pid_t pid) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

ProcSample sample(pid_t pid) {
    ProcSample s;
    const std::string base = "/proc/" + std::to_string(pid);
    std::string status = testing_support::readFile(base + "/status");
    auto field = [&](const char* name) {
        auto at = status.find(name);
        return at == std::string::npos ? 0L : std::atol(status.c_str() + at + std::strlen(name));
    };
    s.rssKiB = field("VmRSS:");
    s.hwmKiB = field("VmHWM:");
    // utime and stime are fields 14 and 15; the command name (field 2) may hold blanks, so count
    // from the closing parenthesis.
    std::string stat = testing_support::readFile(base + "/stat");
    auto close = stat.rfind(')');
    if (close != std::string::npos) {
        unsigned long utime = 0, stime = 0;
        if (std::sscanf(stat.c_str() + close + 2,
                        "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) == 2)
            s.cpuSeconds = static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
    }
    return s;
}

// CPU time of every thread of a process so far, in nanoseconds (precise, unlike the clock ticks
// of /proc/PID/stat).
std::int64_t cpuNs(pid_t pid) {
    std::int64_t total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(tasks, ec))
        total += std::atoll(testing_support::readFile(e.path().string() + "/schedstat").c_str());
    return total;
}

// ---- one driver with its peers ----

struct Stats {
    std::size_t n = 0, over10ms = 0;
    double median = 0, p99 = 0, max = 0, mean = 0;
};

Stats stats(std::vector<double> v) {
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, (v.size() * 99 + 99) / 100 - 1)];
    s.max = v.back();
    for (double x : v) {
        s.mean += x;
        s.over10ms += x > 10.0;
    }
    s.mean /= static_cast<double>(v.size());
    return s;
}

struct Row {
    std::string name;
    std::string figures;
    std::string check;
};
std::vector<Row> g_rows;

void addRow(std::string name, std::string figures, std::string check) {
    std::printf("  %-44s %s  [%s]\n", name.c_str(), figures.c_str(), check.c_str());
    std::fflush(stdout);
    g_rows.push_back({std::move(name), std::move(figures), std::move(check)});
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

Bytes zoomPacket(const std::string& v) {
    return v == "1" ? Bytes{0x81, 0x01, 0x04, 0x07, 0x22, 0xFF}
                    : Bytes{0x81, 0x01, 0x04, 0x07, 0x00, 0xFF, 0x00};
}

Bytes panTiltPacket(int v) {
    static const std::uint8_t dir[9][2] = {{3, 3}, {3, 1}, {3, 2}, {1, 3}, {2, 3},
                                           {1, 1}, {2, 1}, {1, 2}, {2, 2}};
    return {0x81, 0x01, 0x06, 0x01, 0x07, 0x07, dir[v][0], dir[v][1], 0xFF};
}

class Session {
  public:
    // How change requests reach the stand-in: over the bus as kelp-slot sends them, or as
    // "set" lines on its standard input (the only way into a stand-in under Wine).
    enum class Requests { Bus, Stdin };

    Session(const testing_support::TestPrefix& prefix, int device, int debugMode,
            bool answerCommands, bool wine = false, Requests requests = Requests::Bus,
            Line line = Line::Pty)
        : prefix_(prefix),
          device_(device),
          debugMode_(debugMode),
          wine_(wine),
          requests_(requests),
          line_(line) {
        camera_.answerCommands = answerCommands;
    }
    ~Session() { stop(); }

    int device() const { return device_; }
    pid_t driverPid() const { return driver_ ? driver_->pid() : -1; }
    pid_t infodriverPid() const { return info_.pid(); }

    bool start() { return startPeers() && startDriver() && waitUp(wine_ ? 90s : 20s); }

    // The camera and the infodriver, with the device's settings file.
    bool startPeers() {
        char ini[64];
        std::snprintf(ini, sizeof ini, "/DEV_%03d.ini", device_);
        testing_support::writeFile(
            prefix_.windowsDir() + ini,
            format("[Camlet32]\r\nDebugMode=%d\r\nLogMode=0\r\nPort=%d\r\n", debugMode_, device_));
        if (!camera_.start(prefix_, device_, line_) || !info_.start(device_, wine_)) {
            std::fprintf(stderr, "camera or infodriver did not start\n");
            return false;
        }
        return true;
    }

    bool startDriver() {
        logPath_ = format("%s/driver-%d.log", prefix_.path().c_str(), device_);
        testing_support::writeFile(logPath_, "");
        driver_ = startChild(program("camlet32", wine_, {std::to_string(device_)}), logPath_);
        return driver_ != nullptr;
    }

    // Connected to the infodriver, and the camera answered: slot 1 went to "1" (with no camera
    // to answer, connected is enough). Called under g_mutex.
    bool isUp() {
        auto it = info_.writes.find(1);
        return info_.connects > 0 &&
               (line_ == Line::Unreachable ||
                (it != info_.writes.end() && !it->second.empty() && it->second.back() == "1"));
    }

    // What a driver that is not up got so far, to find out why. Called under g_mutex.
    std::string progress() {
        auto it = info_.writes.find(1);
        const std::string link =
            it == info_.writes.end() || it->second.empty() ? "none" : it->second.back();
        // The end of the driver's output, which goes with the prefix when the benchmark ends.
        std::string log = testing_support::readFile(logPath_);
        std::size_t from = log.size();
        for (int lines = 0; lines < 6 && from > 0; ++lines) {
            const std::size_t newline = log.rfind('\n', from - 1);
            from = newline == std::string::npos ? 0 : newline;
        }
        return format(
            "device %d: driver %s, %u connects, slot 1 last written %s, camera answered %u "
            "polls; the end of %s:\n%s",
            device_, driverState().c_str(), info_.connects, link.c_str(), camera_.polls,
            logPath_.c_str(), log.substr(from).c_str());
    }

    // Whether the driver still runs, or how it ended; it is left to be reaped by stop().
    std::string driverState() const {
        siginfo_t info{};
        if (!driver_ ||
            waitid(P_PID, static_cast<id_t>(driverPid()), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return "not started";
        if (info.si_pid == 0)
            return "running";
        return info.si_code == CLD_EXITED ? format("exited with %d", info.si_status)
                                          : format("ended by signal %d", info.si_status);
    }

    bool waitUp(Clock::duration limit) {
        if (!waitFor([this] { return isUp(); }, limit)) {
            std::fprintf(stderr, "driver %d did not come up; see %s\n", device_, logPath_.c_str());
            return false;
        }
        if (requests_ == Requests::Stdin)
            return true;
        standIn_ = standin::findStandIn(device_);
        return standIn_ != 0;
    }

    // Ends the driver with SIGTERM, as a service manager would; true when it exited 0 and said
    // farewell.
    bool stop() {
        bool clean = true;
        if (driver_) {
            // Under Wine, closing the window ends the driver as File > Exit does.
            if (wine_) {
                if (auto closer = startChild({g_wine, "taskkill", "/im", "camlet32.exe"}, kNowhere))
                    waitExit(*closer, 30s);
            } else {
                driver_->signal(SIGTERM);
            }
            auto code = waitExit(*driver_, wine_ ? 30s : 15s);
            clean = code == 0 && waitFor([this] { return info_.closings > 0; }, 5s);
            driver_.reset();  // kills a driver that is still there
        }
        info_.stop();
        camera_.stop();
        return clean;
    }

    // A change request as kelp-slot makes it; its result (1: delivered to the driver).
    platform::LRESULT change(unsigned slot, const std::string& value) {
        if (requests_ == Requests::Stdin) {
            // Delivered once the driver's echo arrives (every value the benchmarks send is
            // accepted).
            const std::size_t echoes = echoCount(slot);
            info_.command("set " + std::to_string(slot) + " " + value);
            return waitFor([&] { return info_.writes[slot].size() > echoes; }, 10s) ? 1 : 0;
        }
        return sendChange(standIn_, slot, value);
    }

    std::size_t commandCount() {
        std::lock_guard lock(g_mutex);
        return camera_.commands.size();
    }

    // Waits for command packet `index` to be complete (`size` bytes); its last byte's time.
    std::optional<Clock::time_point> waitPacket(std::size_t index, std::size_t size) {
        std::optional<Clock::time_point> at;
        waitFor(
            [&] {
                if (camera_.commands.size() <= index || camera_.commands[index].bytes.size() < size)
                    return false;
                at = camera_.commands[index].lastByte;
                return true;
            },
            5s);
        return at;
    }

    // Checks that the commands from `first` on are exactly `expected`, and that the echoes of
    // `slot` from `firstEcho` on are exactly `values`, waiting a moment for stragglers. With
    // `anyOrder` (changes from several senders at once) each may come in any order.
    std::string verify(std::size_t first, std::vector<Bytes> expected, unsigned slot,
                       std::size_t firstEcho, std::vector<std::string> values,
                       bool anyOrder = false) {
        waitFor(
            [&] {
                return camera_.commands.size() >= first + expected.size() &&
                       info_.writes[slot].size() >= firstEcho + values.size();
            },
            10s);
        idleFor(300ms);  // anything extra would show up now
        std::lock_guard lock(g_mutex);
        const auto& cmds = camera_.commands;
        const auto& echoes = info_.writes[slot];
        std::vector<Bytes> gotPackets;
        for (std::size_t i = first; i < cmds.size(); ++i)
            gotPackets.push_back(cmds[i].bytes);
        std::vector<std::string> gotEchoes;
        for (std::size_t i = firstEcho; i < echoes.size(); ++i)
            gotEchoes.push_back(echoes[i]);
        const std::size_t packets = gotPackets.size(), echoed = gotEchoes.size();
        if (anyOrder) {
            std::sort(expected.begin(), expected.end());
            std::sort(gotPackets.begin(), gotPackets.end());
            std::sort(values.begin(), values.end());
            std::sort(gotEchoes.begin(), gotEchoes.end());
        }
        std::size_t badPackets = 0, badEchoes = 0;
        for (std::size_t i = 0; i < std::min(packets, expected.size()); ++i)
            badPackets += gotPackets[i] != expected[i];
        for (std::size_t i = 0; i < std::min(echoed, values.size()); ++i)
            badEchoes += gotEchoes[i] != values[i];
        if (packets == expected.size() && echoed == values.size() && !badPackets && !badEchoes &&
            !camera_.junk)
            return format("ok: %zu packets, %zu echoes", packets, echoed);
        return format(
            "LOST/WRONG: %zu/%zu packets (%zu wrong), %zu/%zu echoes (%zu wrong), %u junk", packets,
            expected.size(), badPackets, echoed, values.size(), badEchoes, camera_.junk);
    }

    void flood(std::size_t bytes) { camera_.flood(bytes); }

    // The packet as the camera gets it: a datagram line cuts a write at its terminator and drops
    // the stray byte after it (Zoom Stop's 00).
    Bytes atCamera(Bytes packet) const {
        if (line_ == Line::Udp)
            packet.erase(std::find(packet.begin(), packet.end(), 0xFF) + 1, packet.end());
        return packet;
    }

    std::size_t echoCount(unsigned slot) {
        std::lock_guard lock(g_mutex);
        return info_.writes[slot].size();
    }

    unsigned polls() {
        std::lock_guard lock(g_mutex);
        return camera_.polls;
    }

  private:
    const testing_support::TestPrefix& prefix_;
    int device_, debugMode_;
    bool wine_;
    Requests requests_;
    Line line_;
    Camera camera_;
    Infodriver info_;
    std::unique_ptr<ChildProcess> driver_;
    std::string logPath_;
    platform::HWND standIn_ = 0;
};

// ---- the benchmarks ----

void latencyInProcess(Session& s, int count, const char* tag) {
    std::vector<double> toPacket, roundTrip;
    std::vector<Bytes> expected;
    std::vector<std::string> values;
    const std::size_t first = s.commandCount();
    const std::size_t firstEcho = s.echoCount(8);
    const std::size_t linkWrites = s.echoCount(1);
    std::size_t refused = 0, missing = 0;
    for (int i = 0; i < count; ++i) {
        const std::string v = i % 2 ? "0" : "1";
        const Bytes packet = s.atCamera(zoomPacket(v));
        const auto t0 = Clock::now();
        const auto r = s.change(8, v);
        const auto t1 = Clock::now();
        refused += r != 1;
        expected.push_back(packet);
        values.push_back(v);
        auto at = s.waitPacket(first + i, packet.size());
        if (!at) {
            ++missing;
            break;  // a packet that never came would shift every later one
        }
        toPacket.push_back(ms(*at - t0));
        roundTrip.push_back(ms(t1 - t0));
        if (g_gap.count() > 0)
            idleFor(g_gap);
    }
    std::string check = s.verify(first, expected, 8, firstEcho, values);
    if (refused || missing)
        check += format("; %zu not delivered, %zu timed out", refused, missing);
    check += format("; slot 1 written %zu times", s.echoCount(1) - linkWrites);
    Stats a = stats(toPacket), b = stats(roundTrip);
    addRow(format("latency to last byte, in-process, %s", tag),
           format("n=%zu median %.3f ms  p99 %.3f ms  max %.1f ms  >10ms: %zu", a.n, a.median,
                  a.p99, a.max, a.over10ms),
           check);
    addRow(format("request round trip (echo stored), %s", tag),
           format("n=%zu median %.3f ms  p99 %.3f ms  max %.1f ms  >10ms: %zu", b.n, b.median,
                  b.p99, b.max, b.over10ms),
           "same run");
}

void latencyProcesses(Session& s, int count, const char* tag) {
    std::vector<double> toPacket, exitTime;
    std::vector<Bytes> expected;
    std::vector<std::string> values;
    const std::size_t first = s.commandCount();
    const std::size_t firstEcho = s.echoCount(8);
    std::size_t failed = 0, missing = 0;
    for (int i = 0; i < count; ++i) {
        const std::string v = i % 2 ? "0" : "1";
        const Bytes packet = zoomPacket(v);
        const auto t0 = Clock::now();
        auto slot = startChild({g_binDir + "/kelp-slot", std::to_string(s.device()), "set", "8", v},
                               kNowhere);
        auto code = slot ? waitExit(*slot, 10s) : std::nullopt;
        const auto t1 = Clock::now();
        failed += code != 0;
        expected.push_back(packet);
        values.push_back(v);
        auto at = s.waitPacket(first + i, packet.size());
        if (!at) {
            ++missing;
            break;
        }
        toPacket.push_back(ms(*at - t0));
        exitTime.push_back(ms(t1 - t0));
    }
    std::string check = s.verify(first, expected, 8, firstEcho, values);
    if (failed || missing)
        check += format("; %zu kelp-slot failures, %zu timed out", failed, missing);
    Stats a = stats(toPacket), b = stats(exitTime);
    addRow(format("latency to last byte, kelp-slot process, %s", tag),
           format("n=%zu median %.2f ms  p99 %.2f ms  max %.1f ms", a.n, a.median, a.p99, a.max),
           check);
    addRow(format("kelp-slot start to exit, %s", tag),
           format("n=%zu median %.2f ms  p99 %.2f ms  max %.1f ms", b.n, b.median, b.p99, b.max),
           "same run");
}

void throughput(Session& s, double seconds, const char* tag) {
    std::vector<Bytes> expected;
    std::vector<std::string> values;
    const std::size_t first = s.commandCount();
    const std::size_t firstEcho = s.echoCount(33);
    const std::size_t linkWrites = s.echoCount(1);
    std::size_t refused = 0;
    const double cpu0 = sample(s.driverPid()).cpuSeconds;
    const auto t0 = Clock::now();
    const auto end =
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Clock::time_point t1;
    for (int i = 0;; ++i) {
        t1 = Clock::now();
        if (t1 >= end)
            break;
        const int v = i % 9;
        refused += s.change(33, std::to_string(v)) != 1;
        expected.push_back(panTiltPacket(v));
        values.push_back(std::to_string(v));
    }
    const double elapsed = std::chrono::duration<double>(t1 - t0).count();
    std::string check = s.verify(first, expected, 33, firstEcho, values);
    if (refused)
        check += format("; %zu not delivered", refused);
    check += format("; slot 1 written %zu times", s.echoCount(1) - linkWrites);
    addRow(format("sustained changes, sequential, %s", tag),
           format("%zu changes in %.1f s = %.0f /s", values.size(), elapsed,
                  static_cast<double>(values.size()) / elapsed),
           check);
    ProcSample p = sample(s.driverPid());
    addRow(format("driver CPU per change, %s", tag),
           format("%.1f us", 1e6 * (p.cpuSeconds - cpu0) / static_cast<double>(values.size())),
           "same run");
    addRow(
        format("driver memory after the load, %s", tag),
        format("VmRSS %ld KiB, VmHWM %ld KiB, CPU so far %.2f s", p.rssKiB, p.hwmKiB, p.cpuSeconds),
        "-");
}

// A sender of throughputSenders(), in a process of its own: changes of slot 33 (values 0..8 in
// turn) to the stand-in of `device`, one after the other for `seconds`. Prints
// "sent N refused R from T0 to T1" (steady clock, ns: the same clock in every process).
int runSender(int device, double seconds) {
    int argc = 1;
    char name[] = "sender";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const platform::HWND standIn = standin::findStandIn(device);
    if (!standIn) {
        std::fprintf(stderr, "no stand-in infodriver for device %d\n", device);
        return 2;
    }
    const auto t0 = Clock::now();
    const auto end =
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::size_t sent = 0, refused = 0;
    Clock::time_point t1;
    while ((t1 = Clock::now()) < end) {
        refused += sendChange(standIn, 33, std::to_string(sent % 9)) != 1;
        ++sent;
    }
    auto ns = [](Clock::time_point t) {
        return static_cast<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
    };
    std::printf("sent %zu refused %zu from %lld to %lld\n", sent, refused, ns(t0), ns(t1));
    return 0;
}

// Sustained changes from `senders` processes at once, each sending one change after another;
// every change must still give one packet and one echo, in whatever order they interleave.
void throughputSenders(Session& s, int senders, double seconds, const char* tag) {
    const std::size_t first = s.commandCount();
    const std::size_t firstEcho = s.echoCount(33);
    const std::size_t linkWrites = s.echoCount(1);
    const double cpu0 = sample(s.driverPid()).cpuSeconds;
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < senders; ++i)
        if (auto child = startChild({g_binDir + "/system_bench", "--sender",
                                     std::to_string(s.device()), format("%g", seconds)},
                                    ""))
            children.push_back(std::move(child));
    std::vector<Bytes> expected;
    std::vector<std::string> values;
    std::size_t refused = 0, failed = static_cast<std::size_t>(senders) - children.size();
    long long from = 0, to = 0;
    for (auto& c : children) {
        auto code = waitExit(*c, std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds)) +
                                     30s);
        auto line = code ? c->waitForLine("sent ", 1s) : std::nullopt;
        std::size_t sent = 0, notDelivered = 0;
        long long t0 = 0, t1 = 0;
        if (code != 0 || !line ||
            std::sscanf(line->c_str(), "sent %zu refused %zu from %lld to %lld", &sent,
                        &notDelivered, &t0, &t1) != 4) {
            ++failed;
            continue;
        }
        for (std::size_t i = 0; i < sent; ++i) {
            expected.push_back(panTiltPacket(static_cast<int>(i % 9)));
            values.push_back(std::to_string(i % 9));
        }
        refused += notDelivered;
        from = from == 0 ? t0 : std::min(from, t0);
        to = std::max(to, t1);
    }
    const double elapsed = 1e-9 * static_cast<double>(to - from);
    std::string check = s.verify(first, expected, 33, firstEcho, values, true);
    if (refused)
        check += format("; %zu not delivered", refused);
    if (failed)
        check += format("; %zu senders failed (LOST)", failed);
    check += format("; slot 1 written %zu times", s.echoCount(1) - linkWrites);
    addRow(format("sustained changes, %d senders, %s", senders, tag),
           format("%zu changes in %.1f s = %.0f /s", values.size(), elapsed,
                  elapsed > 0 ? static_cast<double>(values.size()) / elapsed : 0.0),
           check);
    addRow(format("driver CPU per change, %d senders, %s", senders, tag),
           format("%.1f us", values.empty() ? 0.0
                                            : 1e6 * (sample(s.driverPid()).cpuSeconds - cpu0) /
                                                  static_cast<double>(values.size())),
           "same run");
}

void idle(Session& s, int seconds, int debugMode) {
    // Let the start-up settle (first connection, early polls) before the window opens.
    idleFor(2s);
    const unsigned polls0 = s.polls();
    const ProcSample a = sample(s.driverPid());
    const std::int64_t cpu0 = cpuNs(s.driverPid());
    const auto t0 = Clock::now();
    long peakRss = a.rssKiB;
    for (int i = 0; i < seconds; ++i) {
        idleFor(1s);
        peakRss = std::max(peakRss, sample(s.driverPid()).rssKiB);
    }
    const ProcSample b = sample(s.driverPid());
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = 1e-9 * static_cast<double>(cpuNs(s.driverPid()) - cpu0);
    addRow(format("idle connected driver, DebugMode=%d, %d s", debugMode, seconds),
           format("VmRSS %ld -> %ld KiB (peak %ld), CPU %.4f s = %.3f %% of a core", a.rssKiB,
                  b.rssKiB, peakRss, cpu, 100.0 * cpu / wall),
           format("%u polls answered", s.polls() - polls0));
}

void idleUnreachable(Session& s, int seconds) {
    idleFor(2s);  // past the start-up and the first connection attempts
    const std::int64_t a = cpuNs(s.driverPid());
    const auto t0 = Clock::now();
    idleFor(std::chrono::seconds(seconds));
    const double cpu = static_cast<double>(cpuNs(s.driverPid()) - a) / 1e9;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    addRow(format("idle driver, network camera unreachable, %d s", seconds),
           format("CPU %.3f s = %.3f %% of a core", cpu, 100.0 * cpu / wall),
           100.0 * cpu / wall < 0.1 ? "ok: under 0.1 %" : "OVER 0.1 %");
}

void flood(Session& s, double mib, const char* tag) {
    const auto bytes = static_cast<std::size_t>(mib * 1024 * 1024);
    const std::size_t first = s.commandCount();
    const std::size_t firstEcho = s.echoCount(8);
    const std::size_t linkWrites = s.echoCount(1);
    std::atomic<bool> flooding{true};
    Clock::time_point floodEnd;
    const auto t0 = Clock::now();
    std::thread writer([&] {
        s.flood(bytes);
        floodEnd = Clock::now();
        flooding = false;
    });

    // Change requests while the flood lasts, each timed to its packet's last byte.
    std::vector<double> toPacket;
    std::vector<Bytes> expected;
    std::vector<std::string> values;
    std::size_t refused = 0, missing = 0;
    for (int i = 0; flooding; ++i) {
        const std::string v = i % 2 ? "0" : "1";
        const auto at0 = Clock::now();
        refused += s.change(8, v) != 1;
        expected.push_back(zoomPacket(v));
        values.push_back(v);
        auto at = s.waitPacket(first + i, expected.back().size());
        if (!at) {
            ++missing;
            break;
        }
        toPacket.push_back(ms(*at - at0));
        idleFor(20ms);
    }
    writer.join();
    const double floodMs = ms(floodEnd - t0);

    // The driver's CPU in 100 ms windows from the flood's end; idle is a window under 1 ms.
    double settledMs = -1;
    std::int64_t before = cpuNs(s.driverPid());
    auto windowStart = floodEnd;
    while (settledMs < 0 && Clock::now() - floodEnd < 30s) {
        std::this_thread::sleep_until(windowStart + 100ms);
        const std::int64_t now = cpuNs(s.driverPid());
        if (now - before < 1000000)
            settledMs = ms(windowStart - floodEnd);
        before = now;
        windowStart += 100ms;
    }

    std::string check = s.verify(first, expected, 8, firstEcho, values);
    if (refused || missing)
        check += format("; %zu not delivered, %zu timed out", refused, missing);
    check += format("; slot 1 written %zu times", s.echoCount(1) - linkWrites);
    Stats a = stats(toPacket);
    addRow(format("change during a %.0f MiB flood, %s", mib, tag),
           format("flood %.0f ms, %zu changes: median %.1f ms  max %.1f ms (goal <= 100 ms)",
                  floodMs, a.n, a.median, a.max),
           check);
    addRow(format("driver idle again after the flood, %s", tag),
           settledMs < 0 ? std::string("not within 30 s")
                         : format("%.0f ms after its end (goal <= 1000 ms)", settledMs),
           a.max <= 100 && settledMs >= 0 && settledMs <= 1000 ? "pass" : "FAIL");
}

// N devices started together, as a machine full of them boots.
bool farm(const testing_support::TestPrefix& prefix, int firstDevice, int n, int idleSeconds) {
    std::vector<std::unique_ptr<Session>> devices;
    for (int i = 0; i < n; ++i) {
        devices.push_back(std::make_unique<Session>(prefix, firstDevice + i, 0, true));
        if (!devices.back()->startPeers())
            return false;
    }
    const auto t0 = Clock::now();
    for (auto& d : devices)
        if (!d->startDriver())
            return false;
    const bool allUp = waitFor(
        [&] {
            return std::all_of(devices.begin(), devices.end(), [](auto& d) { return d->isUp(); });
        },
        120s);
    const double startSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::size_t up = 0;
    {
        std::lock_guard lock(g_mutex);
        for (auto& d : devices)
            up += d->isUp();
    }
    addRow(format("farm of %d: start until all connected, link up", n),
           format("%.1f s, %zu of %d up", startSeconds, up, n), allUp ? "ok" : "NOT ALL UP");
    {
        std::lock_guard lock(g_mutex);
        for (auto& d : devices)
            if (!d->isUp())
                std::fprintf(stderr, "not up: %s\n", d->progress().c_str());
    }

    double driversCpu = 0, infodriversCpu = 0;
    for (auto& d : devices) {
        driversCpu += sample(d->driverPid()).cpuSeconds;
        infodriversCpu += sample(d->infodriverPid()).cpuSeconds;
    }
    // What a device cost so far: it grows with the farm's size only through the broadcasts.
    addRow(format("farm of %d: CPU per device to start", n),
           format("driver %.0f ms, infodriver %.0f ms", 1000 * driversCpu / n,
                  1000 * infodriversCpu / n),
           "-");
    // The idle figure is the drivers' long run: every one on its 20 s poll cycle, which a driver
    // sets 20 polls (at 1 s) after its camera first answered, at the latest when all were up. On
    // a loaded machine those polls come late, so the wait leaves them twice the time.
    idleFor(40s);
    // In the scheduler's nanoseconds: clock ticks charge a whole tick to a process that a timer
    // woke just as the tick came, which is what every idle driver does.
    auto cpuOfAll = [&] {
        std::int64_t ns = 0;
        for (auto& d : devices)
            ns += cpuNs(d->driverPid()) + cpuNs(d->infodriverPid());
        return ns;
    };
    const std::int64_t cpu0 = cpuOfAll();
    const auto w0 = Clock::now();
    idleFor(std::chrono::seconds(idleSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    const double cpu = 1e-9 * static_cast<double>(cpuOfAll() - cpu0);
    long pss = 0;
    std::size_t files = 0, maxFiles = 0;
    for (auto& d : devices) {
        pss += pssKiB(d->driverPid());
        const std::size_t f = openFiles(d->driverPid());
        files += f;
        maxFiles = std::max(maxFiles, f);
    }
    addRow(format("farm of %d: idle drivers and infodrivers, %d s", n, idleSeconds),
           format("CPU %.2f %% of a core", 100.0 * cpu / wall), "20 s poll cycle");
    addRow(format("farm of %d: per driver", n),
           format("PSS %.1f MiB, open files %.1f (max %zu)", pss / 1024.0 / n,
                  static_cast<double>(files) / n, maxFiles),
           "-");

    // All end together, as at a shutdown of the machine.
    for (auto& d : devices)
        kill(d->driverPid(), SIGTERM);
    bool clean = true;
    for (auto& d : devices)
        clean = d->stop() && clean;
    return allUp && clean;
}

// Changes at a steady rate for a long time; every one must reach the camera and be echoed, and
// memory must stay flat.
bool soak(Session& s, int seconds, double rate) {
    std::vector<Bytes> expected;
    std::vector<std::string> values;
    const std::size_t first = s.commandCount();
    const std::size_t firstEcho = s.echoCount(33);
    const ProcSample a = sample(s.driverPid());
    std::size_t refused = 0;
    const auto t0 = Clock::now();
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    auto next = t0;
    auto report = t0 + 60s;
    for (int i = 0; Clock::now() - t0 < std::chrono::seconds(seconds); ++i) {
        const int v = i % 9;
        refused += s.change(33, std::to_string(v)) != 1;
        expected.push_back(panTiltPacket(v));
        values.push_back(std::to_string(v));
        next += period;
        const auto now = Clock::now();
        if (next > now)
            idleFor(std::chrono::duration_cast<std::chrono::milliseconds>(next - now));
        if (now >= report) {
            std::printf("  soak: %zu changes, VmRSS %ld KiB\n", values.size(),
                        sample(s.driverPid()).rssKiB);
            std::fflush(stdout);
            report += 60s;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    std::string check = s.verify(first, expected, 33, firstEcho, values);
    if (refused)
        check += format("; %zu not delivered", refused);
    const ProcSample b = sample(s.driverPid());
    addRow(format("soak, %d s at %.0f changes/s", seconds, rate),
           format("%zu changes (%.1f /s), VmRSS %ld -> %ld KiB, CPU %.1f %% of a core",
                  values.size(), static_cast<double>(values.size()) / elapsed, a.rssKiB, b.rssKiB,
                  100.0 * (b.cpuSeconds - a.cpuSeconds) / elapsed),
           check);
    return check.starts_with("ok");
}

std::vector<int> parseList(const char* s) {
    std::vector<int> out;
    for (const char* p = s; *p;) {
        char* end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (end == p)
            break;
        out.push_back(static_cast<int>(v));
        p = *end == ',' ? end + 1 : end;
    }
    return out;
}

// Makes the prefix a Wine prefix (its layout is ours: drive_c, dosdevices) with a display for
// Wine's windows: the caller's, or an Xvfb of our own, left in `xvfb`. False on failure.
bool prepareWine(const testing_support::TestPrefix& prefix, std::unique_ptr<ChildProcess>& xvfb) {
    for (const char* candidate : {"/usr/bin/wine64", "/usr/bin/wine", "/usr/lib/wine/wine64"})
        if (access(candidate, X_OK) == 0) {
            g_wine = candidate;
            break;
        }
    if (g_wine.empty()) {
        std::fprintf(stderr, "wine is not installed\n");
        return false;
    }
    setenv("WINEPREFIX", prefix.path().c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    if (!getenv("DISPLAY") || !*getenv("DISPLAY")) {
        // Xvfb writes the number of the display it took on its stdout.
        xvfb = startChild(
            {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            "");
        auto number = xvfb ? xvfb->readLine(30s) : std::nullopt;
        if (!number)
            return false;
        setenv("DISPLAY", (":" + *number).c_str(), 1);
    }
    std::printf("making a Wine prefix (about half a minute)\n");
    auto boot = startChild({"/usr/bin/wineboot", "-i"}, kNowhere);
    return boot && waitExit(*boot, 300s) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && !std::strcmp(argv[1], "--sender"))
        return runSender(std::atoi(argv[2]), std::atof(argv[3]));
    int count = 10000, processes = 200, idleSeconds = 60, unreachableSeconds = 60, senders = 8;
    std::vector<Line> networkLines = {Line::Tcp, Line::Udp};
    double seconds = 10, floodMiB = 1;
    std::vector<int> debugModes = {1, 0};
    bool keep = false, answerCommands = true, countGiven = false;
    std::vector<int> farmSizes;
    int farmIdle = 10, soakSeconds = 0;
    double soakRate = 50;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!std::strcmp(a, "--keep")) {
            keep = true;
        } else if (!std::strcmp(a, "--quiet-camera")) {
            answerCommands = false;
        } else if (next && !std::strcmp(a, "--count")) {
            count = std::atoi(argv[++i]);
            countGiven = true;
        } else if (next && !std::strcmp(a, "--wine")) {
            g_wineBin = std::filesystem::absolute(argv[++i]).string();
        } else if (next && !std::strcmp(a, "--processes")) {
            processes = std::atoi(argv[++i]);
        } else if (next && !std::strcmp(a, "--gap")) {
            g_gap = std::chrono::milliseconds(std::atoi(argv[++i]));
        } else if (next && !std::strcmp(a, "--seconds")) {
            seconds = std::atof(argv[++i]);
        } else if (next && !std::strcmp(a, "--senders")) {
            senders = std::atoi(argv[++i]);
        } else if (next && !std::strcmp(a, "--flood")) {
            floodMiB = std::atof(argv[++i]);
        } else if (next && !std::strcmp(a, "--idle")) {
            idleSeconds = std::atoi(argv[++i]);
        } else if (next && !std::strcmp(a, "--unreachable")) {
            unreachableSeconds = std::atoi(argv[++i]);
        } else if (next && !std::strcmp(a, "--network")) {
            const std::string list = argv[++i];
            networkLines.clear();
            if (list.find("tcp") != std::string::npos)
                networkLines.push_back(Line::Tcp);
            if (list.find("udp") != std::string::npos)
                networkLines.push_back(Line::Udp);
        } else if (next && !std::strcmp(a, "--debug")) {
            debugModes = parseList(argv[++i]);
        } else if (next && !std::strcmp(a, "--farm")) {
            farmSizes = parseList(argv[++i]);
        } else if (next && !std::strcmp(a, "--farm-idle")) {
            farmIdle = std::atoi(argv[++i]);
        } else if (next && !std::strcmp(a, "--soak")) {
            soakSeconds = std::atoi(argv[++i]);
        } else if (next && !std::strcmp(a, "--rate")) {
            soakRate = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: system_bench [--count N] [--gap MS] [--processes N] [--seconds S] "
                         "[--senders N] [--idle S] [--flood MIB] [--debug 1,0] [--quiet-camera] "
                         "[--keep] [--wine DIR]\n"
                         "       [--network tcp,udp] [--unreachable S]\n"
                         "       system_bench --farm 16,64,256 [--farm-idle S]\n"
                         "       system_bench --soak S [--rate R] [--debug N]\n");
            return 1;
        }
    }

    signal(SIGPIPE, SIG_IGN);
    g_binDir = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);  // the driver runs headless
    auto prefix = std::make_unique<testing_support::TestPrefix>();
    QCoreApplication app(argc, argv);
    std::printf("prefix %s, binaries from %s\n", prefix->path().c_str(), g_binDir.c_str());

    // Each run gets its own device number and COM port, so the runs never share a name.
    int device = 1;
    bool clean = true;
    if (!farmSizes.empty() || soakSeconds > 0) {
        for (int n : farmSizes) {
            std::printf("== farm of %d devices\n", n);
            // COM ports go up to COM256, so every farm numbers its devices from 1 again: the
            // farm before it has stopped.
            clean = farm(*prefix, 1, n, farmIdle) && clean;
        }
        if (soakSeconds > 0) {
            const int debugMode = debugModes.empty() ? 1 : debugModes.front();
            std::printf("== soak, %d s at %.0f changes/s, DebugMode=%d\n", soakSeconds, soakRate,
                        debugMode);
            Session s(*prefix, device++, debugMode, answerCommands);
            if (!s.start())
                return 2;
            clean = soak(s, soakSeconds, soakRate) && clean;
            clean = s.stop() && clean;
        }
        // Only what was asked for.
        debugModes.clear();
        idleSeconds = 0;
        unreachableSeconds = 0;
    }
    if (!g_wineBin.empty()) {
        std::unique_ptr<ChildProcess> xvfb;
        if (!prepareWine(*prefix, xvfb))
            return 2;
        if (!countGiven)
            count = 2000;
        for (bool wine : {false, true}) {
            const char* tag = wine ? "Windows programs under Wine" : "Linux programs";
            std::printf("== latency and throughput through the stand-in's input, %s\n", tag);
            Session s(*prefix, device++, 1, answerCommands, wine, Session::Requests::Stdin);
            if (!s.start())
                return 2;
            if (count > 0)
                latencyInProcess(s, count, tag);
            if (seconds > 0)
                throughput(s, seconds, tag);
            clean = s.stop() && clean;
        }
        std::error_code error;
        const auto size = std::filesystem::file_size(g_wineBin + "/camlet32.exe", error);
        addRow("size of camlet32.exe",
               error ? "unknown" : format("%ju bytes", std::uintmax_t(size)), "-");
        if (auto stopper = startChild({"/usr/bin/wineserver", "-k"}, kNowhere))
            waitExit(*stopper, 30s);
        xvfb.reset();
        debugModes.clear();
        idleSeconds = 0;
        unreachableSeconds = 0;
    }
    for (int debugMode : debugModes) {
        const std::string tag =
            format("DebugMode=%d%s", debugMode, answerCommands ? "" : ", quiet camera");
        std::printf("== latency and throughput, %s\n", tag.c_str());
        Session s(*prefix, device++, debugMode, answerCommands);
        if (!s.start())
            return 2;
        if (count > 0)
            latencyInProcess(s, count, tag.c_str());
        if (processes > 0)
            latencyProcesses(s, processes, tag.c_str());
        if (seconds > 0)
            throughput(s, seconds, tag.c_str());
        if (seconds > 0 && senders > 1)
            throughputSenders(s, senders, seconds, tag.c_str());
        if (floodMiB > 0)
            flood(s, floodMiB, tag.c_str());
        clean = s.stop() && clean;
        // The same changes with the camera on the network, beside the pty figure above.
        for (Line line : networkLines) {
            const std::string netTag = tag + ", " + lineName(line);
            std::printf("== latency, %s\n", netTag.c_str());
            Session n(*prefix, device++, debugMode, answerCommands, false, Session::Requests::Bus,
                      line);
            if (!n.start())
                return 2;
            if (count > 0)
                latencyInProcess(n, count, netTag.c_str());
            clean = n.stop() && clean;
        }
    }
    if (unreachableSeconds > 0) {
        std::printf("== idle, network camera unreachable\n");
        Session s(*prefix, device++, 1, true, false, Session::Requests::Bus, Line::Unreachable);
        if (!s.start())
            return 2;
        idleUnreachable(s, unreachableSeconds);
        clean = s.stop() && clean;
    }
    for (int debugMode : idleSeconds > 0 ? debugModes : std::vector<int>{}) {
        std::printf("== idle, DebugMode=%d\n", debugMode);
        Session s(*prefix, device++, debugMode, true);
        if (!s.start())
            return 2;
        idle(s, idleSeconds, debugMode);
        clean = s.stop() && clean;
    }

    std::printf("\n%-46s %s\n", "benchmark", "figures  [check]");
    bool lost = false;
    for (const auto& r : g_rows) {
        std::printf("%-46s %s  [%s]\n", r.name.c_str(), r.figures.c_str(), r.check.c_str());
        lost = lost || r.check.find("LOST") != std::string::npos ||
               r.check.find("not delivered") != std::string::npos ||
               r.check.find("timed out") != std::string::npos;
    }
    std::printf("drivers stopped cleanly (exit 0, farewell seen): %s\n", clean ? "yes" : "NO");
    if (keep) {
        // The prefix goes with its owner; the driver logs are copied out first.
        std::string tmpl = (std::filesystem::temp_directory_path() / "kelp-bench-logs-XXXXXX");
        if (mkdtemp(tmpl.data())) {
            for (const auto& e : std::filesystem::directory_iterator(prefix->path()))
                if (e.path().extension() == ".log")
                    std::filesystem::copy(e.path(), tmpl,
                                          std::filesystem::copy_options::overwrite_existing);
            std::printf("driver logs kept in %s\n", tmpl.c_str());
        }
    }
    return lost || !clean ? 3 : 0;
}
