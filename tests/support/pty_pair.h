// A pseudo-terminal pair for serial tests and benchmarks (Linux): the slave stands for the
// port's device (linked as dosdevices/comN), the test plays the far end on the master. The
// slave starts raw, so nothing is echoed or translated before a driver sets its own modes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace testing_support {

struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slavePath;

    PtyPair() {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            master = slave = -1;
            return;
        }
        slavePath = name;
        // Never inherited: a driver started later would hold the line open.
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        termios t{};
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
    }
    ~PtyPair() {
        closeMaster();
        if (slave >= 0)
            ::close(slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master >= 0; }
    void closeMaster() {
        if (master >= 0)
            ::close(master);
        master = -1;
    }

    // Sends bytes towards the port (the port's receive side).
    bool send(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t w = ::write(master, bytes.data() + done, bytes.size() - done);
            if (w <= 0)
                return false;
            done += static_cast<std::size_t>(w);
        }
        return true;
    }

    // Bytes the port sent, collected until `want` bytes came or `limit` passed.
    std::string receive(std::size_t want, std::chrono::milliseconds limit) const {
        std::string out;
        auto end = std::chrono::steady_clock::now() + limit;
        while (out.size() < want) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buf[4096];
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }
};

}  // namespace testing_support
