#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/linux/serial_termios2.h"

namespace platform {

namespace {

// How long a read that got some bytes lets more gather before it looks at the line again.
constexpr int kGatherMs = 1;

speed_t standardSpeed(int baud) {
    switch (baud) {
        case 50:
            return B50;
        case 75:
            return B75;
        case 110:
            return B110;
        case 134:
            return B134;
        case 150:
            return B150;
        case 200:
            return B200;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 1800:
            return B1800;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 500000:
            return B500000;
        case 576000:
            return B576000;
        case 921600:
            return B921600;
        case 1000000:
            return B1000000;
        case 1152000:
            return B1152000;
        case 1500000:
            return B1500000;
        case 2000000:
            return B2000000;
        case 2500000:
            return B2500000;
        case 3000000:
            return B3000000;
        case 3500000:
            return B3500000;
        case 4000000:
            return B4000000;
        default:
            return B0;
    }
}

tcflag_t sizeFlag(int dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

bool isPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;  // the Unix98 pty slave majors
}

}  // namespace

std::unique_ptr<SerialDevice> SerialDevice::open(const std::string& path, OpenError* error) {
    OpenError dummy;
    if (!error)
        error = &dummy;
    *error = OpenError::Failed;

    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // TIOCEXCL of another holder shows as EBUSY (for everyone but root).
        if (errno == EBUSY)
            *error = OpenError::Busy;
        return nullptr;
    }
    if (!isatty(fd)) {
        ::close(fd);
        return nullptr;
    }
    // The lock belongs to this open file description: a second open in this process conflicts as
    // well, and root is not exempt.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            *error = OpenError::Busy;
        ::close(fd);
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);

    void* saved = kelp_tty_save(fd);
    if (!saved) {
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    }
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        kelp_tty_free(saved);
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    }
    *error = OpenError::None;
    return std::unique_ptr<SerialDevice>(new SerialDevice(fd, wakeFd, saved));
}

SerialDevice::SerialDevice(int fd, int wakeFd, void* saved)
    : fd_(fd), wakeFd_(wakeFd), saved_(saved) {
    std::uint32_t pid = static_cast<std::uint32_t>(getpid()) & 0xFFFFu;
    handleValue_ = (pid << 16) | (static_cast<std::uint32_t>(fd) & 0xFFFFu);
}

SerialDevice::~SerialDevice() {
    kelp_tty_restore(fd_, saved_);  // fails harmlessly on a line that is gone
    kelp_tty_free(saved_);
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    ::close(wakeFd_);
}

bool SerialDevice::configure(int baud, int dataBits, int stopBits, int parity) {
    if (baud <= 0 || dataBits < 5 || dataBits > 8 || parity < NOPARITY || parity > SPACEPARITY)
        return false;
    // The line can send one and a half stop bits only with 5 data bits, and with 5 data bits the
    // stop-bit flag means one and a half, so two stop bits need 6 data bits or more.
    if (stopBits == ONE5STOPBITS  ? dataBits != 5
        : stopBits == TWOSTOPBITS ? dataBits == 5
                                  : stopBits != ONESTOPBIT)
        return false;

    termios t{};
    if (tcgetattr(fd_, &t) != 0)
        return false;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    t.c_cflag |= sizeFlag(dataBits) | CLOCAL | CREAD;
    switch (parity) {
        case ODDPARITY:
            t.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (stopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    speed_t standard = standardSpeed(baud);
    // A rate without a B-constant is set through termios2 after the rest; until then the line
    // keeps a standard placeholder rate.
    speed_t first = standard != B0 ? standard : B38400;
    cfsetispeed(&t, first);
    cfsetospeed(&t, first);
    if (tcsetattr(fd_, TCSANOW, &t) != 0)
        return false;
    if (standard == B0 && kelp_tty_set_speed(fd_, static_cast<unsigned>(baud)) != 0)
        return false;

    termios back{};
    if (tcgetattr(fd_, &back) != 0)
        return false;
    // A pseudo-terminal carries bytes without framing: its driver always reports CS8 and no
    // parity, whatever it was given, so only the other settings can be checked on one.
    tcflag_t mask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    if (isPseudoTerminal(fd_))
        mask &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    if ((back.c_cflag & mask) != (t.c_cflag & mask))
        return false;
    unsigned actual = 0;
    if (kelp_tty_get_speed(fd_, &actual) != 0)
        return false;
    // A UART can only divide its clock: accept what it makes of the rate within 3%.
    double ratio = static_cast<double>(actual) / static_cast<double>(baud);
    return ratio > 0.97 && ratio < 1.03;
}

SerialDevice::ReadResult SerialDevice::readSome(void* buf, std::size_t n) {
    ReadDeadline deadline(timeouts(), n);
    auto* out = static_cast<unsigned char*>(buf);
    std::size_t got = 0;
    bool hungUp = false;  // poll reported a hang-up or an error on the line
    // The line is read first, and after that only when poll says it has something or after a
    // pause for more bytes: a read that came back short took all there was, and a poll that
    // timed out saw nothing come.
    bool readable = true;
    for (;;) {
        // Bytes taken by this pass: the next wait lets more gather before the line is read again.
        bool took = false;
        if (readable) {
            ssize_t r = ::read(fd_, out + got, n - got);
            if (r > 0) {
                got += static_cast<std::size_t>(r);
                deadline.arrived();
                if (got == n)
                    return {IoStatus::Ok, got};
                took = true;
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else if (r < 0 && errno != EAGAIN) {
                // The bytes already taken are delivered; the error shows again on the next read.
                return got > 0 ? ReadResult{IoStatus::Ok, got} : ReadResult{IoStatus::Failed, 0};
            } else if (hungUp) {
                // Nothing to read after a hang-up (a read of 0 while poll keeps reporting the
                // line readable): this is the end of the line, not a wait.
                return got > 0 ? ReadResult{IoStatus::Ok, got} : ReadResult{IoStatus::Failed, 0};
            }
        }
        if (deadline.returnsNow())
            return {IoStatus::Ok, got};

        int waitMs = pollTimeoutMs(deadline.waitUntil());
        if (waitMs == 0)
            return {IoStatus::Ok, got};

        // After bytes came, the rest of a burst is given kGatherMs to arrive, and only a wake
        // ends that pause early: a camera answering packet after packet then wakes this thread
        // about once a millisecond, not once per reply. A read ends at most that much later than
        // its time-outs say.
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (took && (waitMs < 0 || waitMs > kGatherMs))
            waitMs = kGatherMs;
        int pr = took ? poll(&fds[1], 1, waitMs) : poll(fds, 2, waitMs);
        if (pr < 0) {
            if (errno == EINTR)
                continue;
            return got > 0 ? ReadResult{IoStatus::Ok, got} : ReadResult{IoStatus::Failed, 0};
        }
        if (fds[1].revents & POLLIN) {
            drainWake();
            if (cancelled())
                return {IoStatus::Cancelled, 0};
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            hungUp = true;
        readable = took || fds[0].revents != 0;
    }
}

long SerialDevice::write(const void* buf, std::size_t n) {
    if (n == 0)
        return 0;
    if (!buf)
        return -1;
    std::optional<ReadDeadline::Clock::time_point> deadline;
    if (auto limit = writeLimit(timeouts(), n))
        deadline = ReadDeadline::Clock::now() + *limit;

    auto* in = static_cast<const unsigned char*>(buf);
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd_, in + done, n - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return -1;
        const int waitMs = pollTimeoutMs(deadline);
        if (waitMs == 0)
            break;
        pollfd p{fd_, POLLOUT, 0};
        int pr = poll(&p, 1, waitMs);
        if (pr < 0 && errno != EINTR)
            return -1;
        if (pr > 0 && (p.revents & (POLLERR | POLLNVAL)))
            return -1;
        if (pr > 0 && (p.revents & POLLHUP) && !(p.revents & POLLOUT))
            return -1;
    }
    return static_cast<long>(done);
}

void SerialDevice::purgeInput() {
    tcflush(fd_, TCIFLUSH);
}

void SerialDevice::clearErrors(std::uint32_t* errors, COMSTAT* stat) {
    std::uint32_t word = 0;
    kelp_tty_counts c{};
    // A driver without error counters (a pseudo-terminal, many USB adapters) says so once; it is
    // not asked again on every status request.
    auto counted = [&] {
        if (countersMissing_.load(std::memory_order_relaxed))
            return false;
        if (kelp_tty_icount(fd_, &c) == 0)
            return true;
        if (errno == ENOTTY || errno == EINVAL)
            countersMissing_.store(true, std::memory_order_relaxed);
        return false;
    };
    if (counted()) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (haveCounts_) {
            if (c.buf_overrun != lastBufOverrun_)
                word |= CE_RXOVER;
            if (c.overrun != lastOverrun_)
                word |= CE_OVERRUN;
            if (c.parity != lastParity_)
                word |= CE_RXPARITY;
            if (c.frame != lastFrame_)
                word |= CE_FRAME;
            if (c.brk != lastBrk_)
                word |= CE_BREAK;
        }
        haveCounts_ = true;
        lastBufOverrun_ = c.buf_overrun;
        lastOverrun_ = c.overrun;
        lastParity_ = c.parity;
        lastFrame_ = c.frame;
        lastBrk_ = c.brk;
    }
    if (errors)
        *errors = word;
    if (stat) {
        *stat = COMSTAT{};
        int in = 0, out = 0;
        if (ioctl(fd_, FIONREAD, &in) == 0 && in > 0)
            stat->cbInQue = static_cast<std::uint32_t>(in);
        if (ioctl(fd_, TIOCOUTQ, &out) == 0 && out > 0)
            stat->cbOutQue = static_cast<std::uint32_t>(out);
    }
}

void SerialDevice::properties(COMMPROP* prop) const {
    if (!prop)
        return;
    *prop = selfDrivenProperties(prop->wPacketLength, 1);  // PST_RS232
}

void SerialDevice::cancel() {
    cancelled_.store(true, std::memory_order_release);
    wake();
}

void SerialDevice::wake() {
    std::uint64_t one = 1;
    ssize_t r = ::write(wakeFd_, &one, sizeof one);
    (void)r;  // a full counter already means "woken"
}

void SerialDevice::drainWake() {
    std::uint64_t value;
    ssize_t r = ::read(wakeFd_, &value, sizeof value);
    (void)r;
}

bool SerialDevice::waitReadable() {
    for (;;) {
        if (cancelled())
            return false;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return true;  // the read that follows reports the error
        }
        if (fds[1].revents & POLLIN) {
            drainWake();
            return false;
        }
        if (fds[0].revents)
            return true;
    }
}

bool SerialDevice::waitWake(int timeoutMs) {
    if (cancelled())
        return true;
    pollfd p{wakeFd_, POLLIN, 0};
    for (;;) {
        int pr = poll(&p, 1, timeoutMs);
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr > 0) {
            drainWake();
            return true;
        }
        return false;
    }
}

}  // namespace platform
