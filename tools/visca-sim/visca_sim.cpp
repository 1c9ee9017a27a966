// visca-sim: a VISCA camera with address 1 on a pseudo-terminal or on the network.
//
// It makes a pty, links <prefix>/dosdevices/comN to the pty's slave side and answers the packets
// a controller writes there (or, with --tcp, --udp or --udp-raw, serves the same camera on
// 127.0.0.1 and ::1 at a port): acknowledgement and completion for the commands it knows, answers
// to inquiries, error replies for the rest. It keeps a zoom, focus and pan/tilt position that
// move while a drive runs. Fault modes (silence, a wrong first reply byte, split or slow replies,
// a pulled cable) are chosen by options at start or by commands on standard input.
//
// Standard output, one line per event, flushed at once:
//   <slave path>                    first line (on the network: "<scheme> <port>")
//   rx <t> 81 01 04 07 22 FF        a packet received (t in seconds since start, ms precision)
//   skip <t> 00                     bytes dropped while looking for a packet start
//   tx <t> 90 41 FF                 bytes written to the line
//   ok <command> / error <text>     answer to a standard-input command
//   status ...                      state, on `status`
//   hangup <t> / pty <path>         cable pulled / new pty after `reconnect`
//   connect <t> <peer> / disconnect <t>   a TCP controller came or went
//   peer <t> <address>              a UDP controller's first datagram
//   reset <t> / seqerror <t> <got> <expected>   VISCA over IP sequence numbers
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "common/say.h"
#include "comms/visca_ip.h"
#include "platform/prefix.h"

namespace {

namespace fs = std::filesystem;
using comms::Bytes;

constexpr std::size_t kMaxPacket = 16;
// How often an idle simulator looks for an exclusive mode whose holder has gone, and how closely
// it looks in the moments after someone closed the line (a killed holder's lock may go a little
// after its close is reported).
constexpr int kExclusiveCheckMs = 100;
constexpr int kExclusiveRecheckMs = 5;
constexpr double kExclusiveRecheckForMs = 300;

const char kUsage[] =
    "usage: visca-sim N [options]\n"
    "       visca-sim --tcp PORT | --udp PORT | --udp-raw PORT [options]\n"
    "\n"
    "Simulates a VISCA camera (address 1) on a pseudo-terminal and links\n"
    "$KELP_PREFIX/dosdevices/comN to it, so that a driver opening COMN finds the camera.\n"
    "The first line of standard output is the pty's path; then one line per event:\n"
    "  rx <t> <hex bytes>   packet received        tx <t> <hex bytes>   bytes sent\n"
    "  skip <t> <hex bytes> bytes dropped while resynchronising on a packet start\n"
    "\n"
    "On the network the camera listens on 127.0.0.1 and ::1 at PORT (0: a free port) instead:\n"
    "  --tcp PORT       raw VISCA over TCP, one controller at a time\n"
    "  --udp PORT       VISCA over IP: 8-byte header, sequence numbers checked, RESET answered\n"
    "  --udp-raw PORT   one VISCA packet per datagram\n"
    "The first line is then \"tcp|udp|udp-raw PORT\"; further lines: connect <t> <peer>,\n"
    "disconnect <t>, peer <t> <address> (first datagram of a UDP controller), reset <t>,\n"
    "seqerror <t> <got> <expected>.\n"
    "\n"
    "options:\n"
    "  --ack-ms=MS          command to acknowledgement (default 20)\n"
    "  --completion-ms=MS   acknowledgement to completion (default 10)\n"
    "  --silent             receive but never answer\n"
    "  --wrong[=HEX]        replace the first byte of every reply (default 91)\n"
    "  --split=MS[,SIZE]    send every reply in pieces of SIZE bytes (default 1), MS apart\n"
    "  --slow=MS            delay every reply by MS more\n"
    "  --hangup-after=MS    pull the cable MS after start\n"
    "  --help               this text\n"
    "\n"
    "commands on standard input, one per line:\n"
    "  silent on|off   wrong HEX|off   split MS [SIZE]|off   slow MS|off   normal (no faults)\n"
    "  hangup (close the pty as a pulled cable would; on the network close the TCP\n"
    "          connection and stop listening, or fall silent on UDP)\n"
    "  reconnect (new pty, link again; on the network take connections again)\n"
    "  status (print the state)   quit\n"
    "SIGTERM and SIGINT end it, removing the link it made.\n";

// ---- output --------------------------------------------------------------------------------

struct timespec g_start;

double secondsSinceStart() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - g_start.tv_sec) +
           static_cast<double>(now.tv_nsec - g_start.tv_nsec) / 1e9;
}

double nowMs() {
    return secondsSinceStart() * 1000.0;
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        out += buf;
    }
    return out;
}

void sayBytes(const char* tag, const std::uint8_t* p, std::size_t n) {
    say("%s %.3f %s", tag, secondsSinceStart(), hex(p, n).c_str());
}

// Parses a whole decimal number (no sign unless allowed); false on anything else.
bool parseInt(const char* text, long min, long max, long* out) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || *end || v < min || v > max)
        return false;
    *out = v;
    return true;
}

// ---- camera state --------------------------------------------------------------------------

struct Faults {
    bool silent = false;
    int wrongByte = -1;  // replaces byte 0 of every reply when >= 0
    long splitMs = -1;   // pieces MS apart when >= 0
    long splitSize = 1;
    long slowMs = 0;
};

struct Axis {
    double pos, min, max;
    double rate = 0;  // units per second, signed
    void advance(double dtSeconds) { pos = std::clamp(pos + rate * dtSeconds, min, max); }
};

struct Camera {
    Axis zoom{0, 0, 0x4000};
    Axis focus{0x1000, 0x1000, 0xC000};
    Axis pan{0, -0x0990, 0x0990};
    Axis tilt{0, -0x01B0, 0x0510};
    bool autoFocus = true;
    int busySockets[3] = {0, 0, 0};  // sockets 1 and 2; a count of completions still due
    double lastUpdateMs = 0;

    void advance(double now) {
        double dt = (now - lastUpdateMs) / 1000.0;
        lastUpdateMs = now;
        if (dt <= 0)
            return;
        zoom.advance(dt);
        focus.advance(dt);
        pan.advance(dt);
        tilt.advance(dt);
    }
};

// Zoom and focus: speed p 0..7 moves (p + 1) * 512 units a second; the standard speed is 3.
double driveRate(int p) {
    return (p + 1) * 512.0;
}
// Pan and tilt: speed VV/WW moves 40 units a second per step.
double ptRate(int speed) {
    return speed * 40.0;
}

// ---- the simulator -------------------------------------------------------------------------

struct Pending {
    double due;
    Bytes bytes;
    int socket;             // > 0: a completion that frees this socket when sent
    std::uint32_t seq = 0;  // VISCA over IP: the number of the message answered
};

enum class Transport { Pty, Tcp, Udp, UdpRaw };

const char* transportName(Transport t) {
    return t == Transport::Tcp ? "tcp" : t == Transport::Udp ? "udp" : "udp-raw";
}

std::string addressText(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
}

class Simulator {
  public:
    Simulator(int port, long ackMs, long completionMs, Faults faults, Transport transport,
              int netPort)
        : port_(port),
          ackMs_(ackMs),
          completionMs_(completionMs),
          faults_(faults),
          transport_(transport),
          netPort_(netPort) {}

    bool openLine();
    void hangup();
    void removeLink();
    void releaseStaleExclusive();
    int run(int signalFd, double hangupAtMs);

  private:
    void onBytes(const std::uint8_t* p, std::size_t n);
    void flushJunk();
    void handlePacket(const Bytes& pkt);
    void handleCommand(const Bytes& pkt);
    void handleInquiry(const Bytes& pkt);
    void reply(double delayMs, Bytes bytes, int socket = 0);
    void sendDue();
    void onStdinLine(const std::string& line);
    void printStatus();
    bool linkPort();
    bool lineUp() const;
    void transmit(const Pending& p);
    void resetParser();
    // The network: listening sockets, the TCP connection, UDP datagrams.
    bool openNetwork();
    int bindSocket(int family, int type);
    void acceptConnection(int listener);
    void onConnectionBytes();
    void dropConnection();
    void onDatagram(int sock);
    void onViscaIp(int sock, const std::uint8_t* p, std::size_t n);
    void sendControl(int sock, Bytes payload, std::uint32_t seq);
    void sendDatagram(int sock, const Bytes& datagram);

    int port_;
    long ackMs_, completionMs_;
    Faults faults_;
    Camera cam_;
    int master_ = -1, slave_ = -1;
    int closeWatch_ = -1;  // inotify: someone closed the line's slave side
    double recheckUntilMs_ = -1;
    std::string slavePath_, linkPath_;
    bool firstLine_ = true;
    Bytes packet_, junk_;
    bool dropping_ = false;  // an overlong packet: drop until its terminator
    std::deque<Pending> out_;
    bool quit_ = false;

    Transport transport_;
    int netPort_;
    std::vector<int> listeners_;  // TCP: 127.0.0.1 and ::1 while taking connections
    int conn_ = -1;               // TCP: the controller's connection
    std::vector<int> datagramSockets_;
    bool up_ = false;  // UDP: answering (false after hangup)
    sockaddr_storage peer_{};
    socklen_t peerLen_ = 0;
    int peerSock_ = -1;
    std::uint32_t expectedSeq_ = 0;
    std::uint32_t currentSeq_ = 0;
};

bool Simulator::linkPort() {
    fs::path dir = fs::path(platform::prefixDir()) / "dosdevices";
    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::path link = dir / ("com" + std::to_string(port_));
    fs::path tmp =
        dir / (".com" + std::to_string(port_) + ".visca-sim." + std::to_string(getpid()));
    fs::remove(tmp, ec);
    if (symlink(slavePath_.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "visca-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        fs::remove(tmp, ec);
        return false;
    }
    linkPath_ = link.string();
    return true;
}

void Simulator::removeLink() {
    if (linkPath_.empty())
        return;
    char target[4096];
    ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
    // Leave a link that someone else has pointed elsewhere meanwhile.
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_)
        unlink(linkPath_.c_str());
    linkPath_.clear();
}

bool Simulator::openLine() {
    if (transport_ != Transport::Pty)
        return openNetwork();
    int m = -1, s = -1;
    if (openpty(&m, &s, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "visca-sim: openpty: %s\n", std::strerror(errno));
        return false;
    }
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    // Raw 9600 8N1 on the slave, so nothing is echoed or translated before a driver sets its own.
    struct termios t;
    if (tcgetattr(s, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(s, TCSANOW, &t);
    }
    const char* name = ttyname(s);
    master_ = m;
    slave_ = s;
    slavePath_ = name ? name : "";
    packet_.clear();
    junk_.clear();
    dropping_ = false;
    if (slavePath_.empty() || !linkPort()) {
        hangup();
        return false;
    }
    // Closes of the line wake the simulator to look for a stale exclusive mode at once.
    closeWatch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closeWatch_ >= 0 && inotify_add_watch(closeWatch_, slavePath_.c_str(), IN_CLOSE) < 0) {
        close(closeWatch_);
        closeWatch_ = -1;
    }
    if (firstLine_) {
        say("%s", slavePath_.c_str());
        firstLine_ = false;
    } else {
        say("pty %s", slavePath_.c_str());
    }
    return true;
}

void Simulator::hangup() {
    if (conn_ >= 0)
        close(conn_);
    conn_ = -1;
    for (int l : listeners_)
        close(l);
    listeners_.clear();
    up_ = false;
    if (closeWatch_ >= 0)
        close(closeWatch_);
    closeWatch_ = -1;
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
    master_ = slave_ = -1;
    out_.clear();
    std::fill(std::begin(cam_.busySockets), std::end(cam_.busySockets), 0);
}

// A driver takes the port with a lock and exclusive mode, and undoes exclusive mode when it closes.
// One that is killed cannot, and since this simulator keeps its own end of the line open, the
// line never sees the last close that would clear the mode: nobody but root could open the port
// again. So when the line is exclusive but nobody holds the port's lock, the holder has gone, and
// its exclusive mode is cleared. A live holder keeps its lock and is left alone.
void Simulator::releaseStaleExclusive() {
    if (slave_ < 0)
        return;
    int exclusive = 0;
    if (ioctl(slave_, TIOCGEXCL, &exclusive) != 0 || !exclusive)
        return;
    if (flock(slave_, LOCK_EX | LOCK_NB) != 0)
        return;
    ioctl(slave_, TIOCNXCL);
    flock(slave_, LOCK_UN);
}

void Simulator::reply(double delayMs, Bytes bytes, int socket) {
    if (faults_.silent) {
        if (socket > 0)
            cam_.busySockets[socket] = std::max(0, cam_.busySockets[socket] - 1);
        return;
    }
    if (faults_.wrongByte >= 0 && !bytes.empty())
        bytes[0] = static_cast<std::uint8_t>(faults_.wrongByte);
    double due = nowMs() + delayMs + static_cast<double>(faults_.slowMs);
    // Replies leave in order: one never overtakes an earlier one.
    if (!out_.empty())
        due = std::max(due, out_.back().due);
    if (faults_.splitMs >= 0) {
        std::size_t size = static_cast<std::size_t>(std::max(1L, faults_.splitSize));
        for (std::size_t i = 0; i < bytes.size(); i += size) {
            Bytes piece(bytes.begin() + static_cast<long>(i),
                        bytes.begin() + static_cast<long>(std::min(bytes.size(), i + size)));
            bool last = i + size >= bytes.size();
            out_.push_back({due, std::move(piece), last ? socket : 0, currentSeq_});
            due += static_cast<double>(faults_.splitMs);
        }
        return;
    }
    out_.push_back({due, std::move(bytes), socket, currentSeq_});
}

void Simulator::sendDue() {
    double now = nowMs();
    while (!out_.empty() && out_.front().due <= now) {
        Pending p = std::move(out_.front());
        out_.pop_front();
        if (p.socket > 0)
            cam_.busySockets[p.socket] = std::max(0, cam_.busySockets[p.socket] - 1);
        transmit(p);
    }
}

bool Simulator::lineUp() const {
    switch (transport_) {
        case Transport::Pty:
            return master_ >= 0;
        case Transport::Tcp:
            return !listeners_.empty();
        default:
            return up_;
    }
}

void Simulator::transmit(const Pending& p) {
    ssize_t n = -1;
    if (transport_ == Transport::Pty) {
        if (master_ < 0)
            return;
        n = write(master_, p.bytes.data(), p.bytes.size());
    } else if (transport_ == Transport::Tcp) {
        if (conn_ < 0)
            return;
        n = send(conn_, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } else {
        if (!up_ || peerLen_ == 0)
            return;
        if (transport_ == Transport::UdpRaw)
            sendDatagram(peerSock_, p.bytes);
        else
            sendDatagram(peerSock_, comms::encodeViscaIp(comms::kViscaReply, p.seq, p.bytes.data(),
                                                         p.bytes.size()));
        n = static_cast<ssize_t>(p.bytes.size());
    }
    if (n < 0) {
        // Nobody drains the line and its buffer is full: the bytes are lost, as on a wire.
        say("drop %.3f %s", secondsSinceStart(), hex(p.bytes.data(), p.bytes.size()).c_str());
        return;
    }
    sayBytes("tx", p.bytes.data(), static_cast<std::size_t>(n));
}

void Simulator::resetParser() {
    flushJunk();
    if (!packet_.empty()) {
        junk_.swap(packet_);
        flushJunk();
    }
    packet_.clear();
    dropping_ = false;
}

// ---- the network ---------------------------------------------------------------------------

// A socket bound to the loopback address of `family` at netPort_; -1 on failure.
int Simulator::bindSocket(int family, int type) {
    int fd = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage a{};
    socklen_t len;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(netPort_));
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *v4;
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(netPort_));
        v6->sin6_addr = in6addr_loopback;
        len = sizeof *v6;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        (type == SOCK_STREAM && listen(fd, 4) != 0)) {
        close(fd);
        return -1;
    }
    if (netPort_ == 0) {  // the port the system chose serves the other family as well
        len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        netPort_ = ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    }
    return fd;
}

bool Simulator::openNetwork() {
    const int type = transport_ == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    std::vector<int>& sockets = transport_ == Transport::Tcp ? listeners_ : datagramSockets_;
    if (sockets.empty()) {
        int v4 = bindSocket(AF_INET, type);
        if (v4 < 0) {
            std::fprintf(stderr, "visca-sim: cannot use 127.0.0.1 port %d: %s\n", netPort_,
                         std::strerror(errno));
            return false;
        }
        sockets.push_back(v4);
        int v6 = bindSocket(AF_INET6, type);
        if (v6 >= 0)
            sockets.push_back(v6);
        else
            std::fprintf(stderr, "visca-sim: no ::1 port %d: %s\n", netPort_, std::strerror(errno));
    }
    up_ = true;
    say("%s %d", transportName(transport_), netPort_);
    return true;
}

void Simulator::acceptConnection(int listener) {
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    int fd =
        accept4(listener, reinterpret_cast<sockaddr*>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (conn_ >= 0)
        dropConnection();  // a camera serves one controller: the newest one
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conn_ = fd;
    resetParser();
    say("connect %.3f %s", secondsSinceStart(), addressText(from).c_str());
}

void Simulator::dropConnection() {
    close(conn_);
    conn_ = -1;
    out_.clear();
    std::fill(std::begin(cam_.busySockets), std::end(cam_.busySockets), 0);
    say("disconnect %.3f", secondsSinceStart());
}

void Simulator::onConnectionBytes() {
    std::uint8_t buf[256];
    ssize_t n = recv(conn_, buf, sizeof buf, 0);
    if (n > 0)
        onBytes(buf, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        dropConnection();
}

void Simulator::sendDatagram(int sock, const Bytes& datagram) {
    sendto(sock, datagram.data(), datagram.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&peer_), peerLen_);
}

void Simulator::sendControl(int sock, Bytes payload, std::uint32_t seq) {
    if (faults_.silent)
        return;
    sendDatagram(sock,
                 comms::encodeViscaIp(comms::kControlReply, seq, payload.data(), payload.size()));
}

void Simulator::onDatagram(int sock) {
    std::uint8_t buf[65536];
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0 || !up_)
        return;  // a camera that hung up hears nothing
    if (peerLen_ != len || std::memcmp(&peer_, &from, len) != 0)
        say("peer %.3f %s", secondsSinceStart(), addressText(from).c_str());
    peer_ = from;
    peerLen_ = len;
    peerSock_ = sock;
    // Every datagram is parsed on its own: a packet cut over two datagrams shows as skipped bytes.
    if (transport_ == Transport::UdpRaw)
        onBytes(buf, static_cast<std::size_t>(n));
    else
        onViscaIp(sock, buf, static_cast<std::size_t>(n));
    resetParser();
}

void Simulator::onViscaIp(int sock, const std::uint8_t* p, std::size_t n) {
    const auto header = comms::decodeViscaIp(p, n);
    if (!header) {
        // Too short, or a length field that does not match: message abnormality.
        sayBytes("skip", p, n);
        std::uint32_t seq = 0;
        for (std::size_t k = 4; k < 8 && k < n; ++k)
            seq = seq << 8 | p[k];
        return sendControl(sock, comms::kMessageError, seq);
    }
    const std::uint8_t* payload = p + comms::kViscaIpHeaderSize;
    if (header->type == comms::kControlCommand && header->length == 1 &&
        payload[0] == comms::kControlReset) {
        expectedSeq_ = 0;
        say("reset %.3f", secondsSinceStart());
        return sendControl(sock, {comms::kControlReset}, header->sequence);
    }
    if (header->type != comms::kViscaCommand && header->type != comms::kViscaInquiry) {
        sayBytes("skip", p, n);
        return sendControl(sock, comms::kMessageError, header->sequence);
    }
    if (header->sequence != expectedSeq_) {
        say("seqerror %.3f %u %u", secondsSinceStart(), static_cast<unsigned>(header->sequence),
            static_cast<unsigned>(expectedSeq_));
        return sendControl(sock, comms::kSequenceError, header->sequence);
    }
    expectedSeq_ = header->sequence + 1;
    currentSeq_ = header->sequence;
    onBytes(payload, header->length);
}

void Simulator::flushJunk() {
    if (junk_.empty())
        return;
    sayBytes("skip", junk_.data(), junk_.size());
    junk_.clear();
}

void Simulator::onBytes(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t b = p[i];
        if (dropping_) {
            junk_.push_back(b);
            if (b == 0xFF) {
                dropping_ = false;
                flushJunk();
            }
            continue;
        }
        bool header = (b & 0xF0) == 0x80 && b != 0x80;  // 0x81..0x8F; 0x80 is the controller
        if (packet_.empty()) {
            if (!header) {  // not a packet start: skip it, e.g. a stray byte after a packet
                junk_.push_back(b);
                continue;
            }
            flushJunk();
        } else if (header) {
            // A new header before the terminator: the unfinished packet is abandoned.
            junk_ = packet_;
            flushJunk();
            packet_.clear();
        }
        packet_.push_back(b);
        if (b == 0xFF) {
            Bytes pkt;
            pkt.swap(packet_);
            sayBytes("rx", pkt.data(), pkt.size());
            handlePacket(pkt);
        } else if (packet_.size() >= kMaxPacket) {
            // Longer than any VISCA packet: message length error, then resynchronise.
            junk_.swap(packet_);
            packet_.clear();
            dropping_ = true;
            if ((junk_[0] & 0x0F) == 1)
                reply(ackMs_, {0x90, 0x60, 0x01, 0xFF});
        }
    }
    if (packet_.empty() && !dropping_)
        flushJunk();
}

void Simulator::handlePacket(const Bytes& pkt) {
    const std::uint8_t receiver = pkt[0] & 0x0F;
    if (receiver == 8) {  // broadcast
        if (pkt == Bytes{0x88, 0x30, 0x01, 0xFF})
            reply(ackMs_, {0x88, 0x30, 0x02, 0xFF});  // address set: next address is 2
        else if (pkt == Bytes{0x88, 0x01, 0x00, 0x01, 0xFF})
            reply(ackMs_, {0x88, 0x01, 0x00, 0x01, 0xFF});  // interface clear
        return;
    }
    if (receiver != 1)
        return;  // for another camera on the chain
    if (pkt.size() >= 3 && pkt[1] == 0x01)
        return handleCommand(pkt);
    if (pkt.size() >= 3 && pkt[1] == 0x09)
        return handleInquiry(pkt);
    reply(ackMs_, {0x90, 0x60, 0x02, 0xFF});
}

void Simulator::handleCommand(const Bytes& pkt) {
    cam_.advance(nowMs());
    const std::size_t n = pkt.size();
    bool ok = false;
    auto is = [&](std::initializer_list<std::uint8_t> prefix, std::size_t len) {
        return n == len && std::equal(prefix.begin(), prefix.end(), pkt.begin() + 1);
    };
    if (is({0x01, 0x04, 0x07}, 6) || is({0x01, 0x04, 0x08}, 6)) {
        Axis& axis = pkt[3] == 0x07 ? cam_.zoom : cam_.focus;
        std::uint8_t p = pkt[4];
        ok = true;
        if (p == 0x00)
            axis.rate = 0;
        else if (p == 0x02)
            axis.rate = driveRate(3);
        else if (p == 0x03)
            axis.rate = -driveRate(3);
        else if ((p & 0xF0) == 0x20 && (p & 0x0F) <= 7)
            axis.rate = driveRate(p & 0x0F);
        else if ((p & 0xF0) == 0x30 && (p & 0x0F) <= 7)
            axis.rate = -driveRate(p & 0x0F);
        else
            ok = false;
        // Focus near/far only moves in manual focus; auto focus ignores the drive.
        if (ok && pkt[3] == 0x08 && cam_.autoFocus)
            cam_.focus.rate = 0;
    } else if (is({0x01, 0x04, 0x38}, 6)) {
        if (pkt[4] == 0x02 || pkt[4] == 0x03 || pkt[4] == 0x10) {
            cam_.autoFocus = pkt[4] == 0x10 ? !cam_.autoFocus : pkt[4] == 0x02;
            if (cam_.autoFocus)
                cam_.focus.rate = 0;
            ok = true;
        }
    } else if (is({0x01, 0x06, 0x01}, 9)) {
        std::uint8_t vv = pkt[4], ww = pkt[5], x = pkt[6], y = pkt[7];
        if (vv >= 0x01 && vv <= 0x18 && ww >= 0x01 && ww <= 0x17 && x >= 1 && x <= 3 && y >= 1 &&
            y <= 3) {
            cam_.pan.rate = x == 1 ? -ptRate(vv) : x == 2 ? ptRate(vv) : 0;
            cam_.tilt.rate = y == 1 ? ptRate(ww) : y == 2 ? -ptRate(ww) : 0;
            ok = true;
        }
    } else if (is({0x01, 0x06, 0x04}, 5)) {
        cam_.pan.rate = cam_.tilt.rate = 0;
        cam_.pan.pos = cam_.tilt.pos = 0;
        ok = true;
    }
    if (!ok)
        return reply(ackMs_, {0x90, 0x60, 0x02, 0xFF});
    int socket = cam_.busySockets[1] == 0 ? 1 : cam_.busySockets[2] == 0 ? 2 : 0;
    if (socket == 0)
        return reply(ackMs_, {0x90, 0x60, 0x03, 0xFF});  // both sockets busy
    ++cam_.busySockets[socket];
    const auto y = static_cast<std::uint8_t>(socket);
    reply(ackMs_, {0x90, static_cast<std::uint8_t>(0x40 | y), 0xFF});
    reply(ackMs_ + completionMs_, {0x90, static_cast<std::uint8_t>(0x50 | y), 0xFF}, socket);
}

// Four nibbles of a 16-bit value, most significant first.
void putNibbles(Bytes& out, int value) {
    auto v = static_cast<std::uint16_t>(value);
    for (int shift = 12; shift >= 0; shift -= 4)
        out.push_back((v >> shift) & 0x0F);
}

void Simulator::handleInquiry(const Bytes& pkt) {
    cam_.advance(nowMs());
    if (pkt == Bytes{0x81, 0x09, 0x04, 0x38, 0xFF})
        return reply(ackMs_, {0x90, 0x50, static_cast<std::uint8_t>(cam_.autoFocus ? 2 : 3), 0xFF});
    if (pkt == Bytes{0x81, 0x09, 0x04, 0x47, 0xFF} || pkt == Bytes{0x81, 0x09, 0x04, 0x48, 0xFF}) {
        Bytes r{0x90, 0x50};
        putNibbles(r,
                   static_cast<int>(std::lround(pkt[3] == 0x47 ? cam_.zoom.pos : cam_.focus.pos)));
        r.push_back(0xFF);
        return reply(ackMs_, r);
    }
    if (pkt == Bytes{0x81, 0x09, 0x06, 0x12, 0xFF}) {
        Bytes r{0x90, 0x50};
        putNibbles(r, static_cast<int>(std::lround(cam_.pan.pos)));
        putNibbles(r, static_cast<int>(std::lround(cam_.tilt.pos)));
        r.push_back(0xFF);
        return reply(ackMs_, r);
    }
    reply(ackMs_, {0x90, 0x60, 0x02, 0xFF});
}

void Simulator::printStatus() {
    cam_.advance(nowMs());
    say("status zoom=%ld focus=%ld focusmode=%s pan=%ld tilt=%ld zoomrate=%g focusrate=%g "
        "panrate=%g tiltrate=%g line=%s silent=%d wrong=%d split=%ld,%ld slow=%ld",
        std::lround(cam_.zoom.pos), std::lround(cam_.focus.pos), cam_.autoFocus ? "auto" : "manual",
        std::lround(cam_.pan.pos), std::lround(cam_.tilt.pos), cam_.zoom.rate, cam_.focus.rate,
        cam_.pan.rate, cam_.tilt.rate, lineUp() ? "up" : "down", faults_.silent ? 1 : 0,
        faults_.wrongByte, faults_.splitMs, faults_.splitSize, faults_.slowMs);
}

void Simulator::onStdinLine(const std::string& line) {
    char cmd[32] = {}, a[32] = {}, b[32] = {};
    int n = std::sscanf(line.c_str(), "%31s %31s %31s", cmd, a, b);
    if (n <= 0)
        return;
    const std::string c = cmd, x = n >= 2 ? a : "", y = n >= 3 ? b : "";
    long v = 0, w = 0;
    bool ok = true;
    if (c == "silent" && (x == "on" || x == "off" || x.empty())) {
        faults_.silent = x != "off";
    } else if (c == "wrong") {
        char* end = nullptr;
        long byte = x.empty() ? 0x91 : std::strtol(x.c_str(), &end, 16);
        if (x == "off")
            faults_.wrongByte = -1;
        else if (x.empty() || (end && !*end && byte >= 0 && byte <= 0xFF))
            faults_.wrongByte = static_cast<int>(byte);
        else
            ok = false;
    } else if (c == "split" && x == "off") {
        faults_.splitMs = -1;
    } else if (c == "split" && parseInt(x.c_str(), 0, 60000, &v) &&
               (y.empty() || parseInt(y.c_str(), 1, 16, &w))) {
        faults_.splitMs = v;
        faults_.splitSize = y.empty() ? 1 : w;
    } else if (c == "slow" && x == "off") {
        faults_.slowMs = 0;
    } else if (c == "slow" && parseInt(x.c_str(), 0, 600000, &v)) {
        faults_.slowMs = v;
    } else if (c == "normal") {
        faults_ = Faults{};
    } else if (c == "hangup") {
        if (lineUp()) {
            hangup();
            say("hangup %.3f", secondsSinceStart());
        }
    } else if (c == "reconnect") {
        hangup();
        removeLink();
        ok = openLine();
    } else if (c == "status") {
        printStatus();
        return;
    } else if (c == "quit") {
        quit_ = true;
    } else {
        ok = false;
    }
    if (ok)
        say("ok %s", line.c_str());
    else
        say("error %s", line.c_str());
}

int Simulator::run(int signalFd, double hangupAtMs) {
    std::string stdinBuf;
    bool stdinOpen = true;
    while (!quit_) {
        if (hangupAtMs >= 0 && nowMs() >= hangupAtMs) {
            hangupAtMs = -1;
            if (lineUp()) {
                hangup();
                say("hangup %.3f", secondsSinceStart());
            }
        }
        sendDue();
        releaseStaleExclusive();
        double now = nowMs();
        int timeout = slave_ < 0              ? -1
                      : now < recheckUntilMs_ ? kExclusiveRecheckMs
                                              : kExclusiveCheckMs;
        if (!out_.empty()) {
            int t = static_cast<int>(std::ceil(std::max(0.0, out_.front().due - now)));
            timeout = timeout < 0 ? t : std::min(timeout, t);
        }
        if (hangupAtMs >= 0) {
            int t = static_cast<int>(std::ceil(std::max(0.0, hangupAtMs - now)));
            timeout = timeout < 0 ? t : std::min(timeout, t);
        }
        // The pty's four, then the network's: listeners, the connection, datagram sockets.
        std::vector<pollfd> fds = {
            {signalFd, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}, {closeWatch_, POLLIN, 0}};
        if (stdinOpen)
            fds[1].fd = STDIN_FILENO;
        if (master_ >= 0)
            fds[2].fd = master_;
        for (int l : listeners_)
            fds.push_back({l, POLLIN, 0});
        const std::size_t connIndex = fds.size();
        fds.push_back({conn_, POLLIN, 0});
        for (int d : datagramSockets_)
            fds.push_back({d, POLLIN, 0});
        int r = poll(fds.data(), fds.size(), timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[0].revents)
            break;  // SIGTERM or SIGINT
        if (fds[3].revents) {
            char events[4096];
            while (read(closeWatch_, events, sizeof events) > 0) {
            }
            recheckUntilMs_ = nowMs() + kExclusiveRecheckForMs;
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            std::uint8_t buf[256];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                onBytes(buf, static_cast<std::size_t>(n));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                // The line failed under us; treat it as a pulled cable rather than spin.
                hangup();
                say("hangup %.3f", secondsSinceStart());
            }
        }
        const std::vector<int> listeners = listeners_;  // accepting may not change the list
        for (std::size_t i = 0; i < listeners.size(); ++i)
            if (fds[4 + i].revents & POLLIN)
                acceptConnection(listeners[i]);
        if (conn_ >= 0 && fds[connIndex].fd == conn_ &&
            (fds[connIndex].revents & (POLLIN | POLLHUP | POLLERR)))
            onConnectionBytes();
        for (std::size_t i = 0; i < datagramSockets_.size(); ++i)
            if (fds[connIndex + 1 + i].revents & POLLIN)
                onDatagram(datagramSockets_[i]);
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[512];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                stdinOpen = false;  // go on serving the line without commands
            } else {
                stdinBuf.append(buf, static_cast<std::size_t>(n));
                std::size_t nl;
                while ((nl = stdinBuf.find('\n')) != std::string::npos) {
                    std::string line = stdinBuf.substr(0, nl);
                    stdinBuf.erase(0, nl + 1);
                    if (!line.empty() && line.back() == '\r')
                        line.pop_back();
                    onStdinLine(line);
                }
                if (stdinBuf.size() > 4096)
                    stdinBuf.clear();  // no line is that long
            }
        }
    }
    return 0;
}

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    int saved = errno;
    char c = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &c, 1);
    errno = saved;
}

bool parseOption(const std::string& arg, const char* name, std::string* value) {
    std::string prefix = std::string(name) + "=";
    if (arg.rfind(prefix, 0) != 0)
        return false;
    *value = arg.substr(prefix.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    long port = -1, ackMs = 20, completionMs = 10, hangupAfter = -1, netPort = -1;
    Transport transport = Transport::Pty;
    Faults faults;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], v;
        long n = 0, m = 0;
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if ((arg == "--tcp" || arg == "--udp" || arg == "--udp-raw") &&
                   transport == Transport::Pty) {
            transport = arg == "--tcp"   ? Transport::Tcp
                        : arg == "--udp" ? Transport::Udp
                                         : Transport::UdpRaw;
            ok = i + 1 < argc && parseInt(argv[++i], 0, 65535, &netPort);
        } else if (arg == "--silent") {
            faults.silent = true;
        } else if (arg == "--wrong") {
            faults.wrongByte = 0x91;
        } else if (parseOption(arg, "--wrong", &v)) {
            char* end = nullptr;
            long b = std::strtol(v.c_str(), &end, 16);
            ok = !v.empty() && !*end && b >= 0 && b <= 0xFF;
            faults.wrongByte = static_cast<int>(b);
        } else if (parseOption(arg, "--ack-ms", &v)) {
            ok = parseInt(v.c_str(), 0, 600000, &ackMs);
        } else if (parseOption(arg, "--completion-ms", &v)) {
            ok = parseInt(v.c_str(), 0, 600000, &completionMs);
        } else if (parseOption(arg, "--slow", &v)) {
            ok = parseInt(v.c_str(), 0, 600000, &faults.slowMs);
        } else if (parseOption(arg, "--hangup-after", &v)) {
            ok = parseInt(v.c_str(), 0, 86400000, &hangupAfter);
        } else if (parseOption(arg, "--split", &v)) {
            std::size_t comma = v.find(',');
            ok = parseInt(v.substr(0, comma).c_str(), 0, 60000, &n) &&
                 (comma == std::string::npos || parseInt(v.substr(comma + 1).c_str(), 1, 16, &m));
            faults.splitMs = n;
            faults.splitSize = comma == std::string::npos ? 1 : m;
        } else if (port < 0 && parseInt(arg.c_str(), 1, 255, &n)) {
            port = n;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "visca-sim: bad argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if ((port < 0) == (transport == Transport::Pty)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Simulator sim(static_cast<int>(port), ackMs, completionMs, faults, transport,
                  static_cast<int>(netPort));
    if (!sim.openLine())
        return 1;
    int rc = sim.run(g_signalPipe[0], hangupAfter >= 0 ? static_cast<double>(hangupAfter) : -1);
    sim.removeLink();
    sim.hangup();
    return rc;
}
