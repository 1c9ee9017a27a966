// Serial library benchmark on a pseudo-terminal (not part of the test suite).
//
//   comms_bench [seconds]
//
// 1. Sustained receive: a writer thread pushes a counting byte sequence into the far end as fast
//    as the line takes it; the owner (the UI thread) reads the ring buffer on every WM_COMMNOTIFY.
//    Reports the rate and checks that every byte arrived, in order.
// 2. Idle port: an open port registered like the driver does it (read size 32, 9600 baud) and
//    no traffic; reports the process's CPU time over the period as a share of one core.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "comms/port_table.h"
#include "comms/serial_port.h"
#include "platform/window.h"
#include "test_prefix.h"

using namespace std::chrono;

namespace {

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Pty {
    int master = -1, slave = -1;
    char name[128] = {};
    bool open() { return openpty(&master, &slave, name, nullptr, nullptr) == 0; }
    ~Pty() {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
};

int sustainedReceive(int seconds) {
    Pty pty;
    if (!pty.open()) {
        std::printf("no pseudo-terminal\n");
        return 1;
    }
    testing_support::TestPrefix prefix;
    prefix.linkComPort(1, pty.name);
    comms::SerialPort port;
    if (port.open(1) != 1) {
        std::printf("open failed\n");
        return 1;
    }

    std::uint64_t received = 0, mismatches = 0, notifications = 0;
    std::uint8_t expect = 0;
    std::vector<std::uint8_t> buf(16383);
    platform::HWND hwnd = platform::createWindow(
        "CommsBench",
        [&](platform::HWND h, platform::UINT msg, platform::WPARAM w,
            platform::LPARAM l) -> platform::LRESULT {
            if (msg != platform::WM_COMMNOTIFY)
                return platform::defWindowProc(h, msg, w, l);
            ++notifications;
            auto* owner = reinterpret_cast<comms::SerialPort*>(l);
            for (;;) {
                int n = owner->read(buf.data(), static_cast<int>(buf.size()));
                if (n <= 0)
                    break;
                for (int i = 0; i < n; ++i) {
                    if (buf[i] != expect) {
                        ++mismatches;
                        expect = buf[i];
                    }
                    ++expect;
                }
                received += static_cast<std::uint64_t>(n);
            }
            return 0;
        });
    if (!hwnd || port.setNotifyWindow(hwnd, 256) != 1) {
        std::printf("no window\n");
        return 1;
    }

    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::uint64_t sent = 0;
    std::thread writer([&] {
        std::uint8_t chunk[4096];
        std::uint8_t next = 0;
        while (!stop) {
            for (auto& b : chunk)
                b = next++;
            std::size_t done = 0;
            while (done < sizeof chunk && !stop) {
                ssize_t w = write(pty.master, chunk + done, sizeof chunk - done);
                if (w > 0) {
                    done += static_cast<std::size_t>(w);
                } else {
                    pollfd p{pty.master, POLLOUT, 0};
                    poll(&p, 1, 10);  // the line is full: wait for the reader
                }
            }
            sent += done;
            // A partial chunk at the end leaves `next` ahead of what went out; harmless, the
            // loop ends here.
        }
    });
    double cpu0 = cpuSeconds();
    auto t0 = steady_clock::now();
    auto end = t0 + seconds * 1s;
    while (steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    stop = true;
    writer.join();
    auto settle = steady_clock::now() + 500ms;
    while (steady_clock::now() < settle)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    double elapsed = duration<double>(steady_clock::now() - t0).count();
    double cpu = cpuSeconds() - cpu0;
    port.close();
    platform::destroyWindow(hwnd);

    std::printf(
        "sustained receive: %.1f s, sent %llu bytes, received %llu bytes (%.2f MB/s), "
        "%llu notifications, %llu sequence breaks, lost %lld bytes, CPU %.1f%% of a core\n",
        elapsed, static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received),
        received / elapsed / 1e6, static_cast<unsigned long long>(notifications),
        static_cast<unsigned long long>(mismatches),
        static_cast<long long>(sent) - static_cast<long long>(received), 100.0 * cpu / elapsed);
    return mismatches == 0 && sent == received ? 0 : 1;
}

int idlePort(int seconds) {
    Pty pty;
    if (!pty.open())
        return 1;
    testing_support::TestPrefix prefix;
    prefix.linkComPort(1, pty.name);
    comms::SerialPort port;
    if (port.open(1) != 1)
        return 1;
    platform::HWND hwnd = platform::createWindow(
        "CommsBenchIdle", [](platform::HWND h, platform::UINT m, platform::WPARAM w,
                             platform::LPARAM l) { return platform::defWindowProc(h, m, w, l); });
    port.setNotifyWindow(hwnd, 32);
    double cpu0 = cpuSeconds();
    auto t0 = steady_clock::now();
    std::this_thread::sleep_for(seconds * 1s);
    double elapsed = duration<double>(steady_clock::now() - t0).count();
    double cpu = cpuSeconds() - cpu0;
    port.close();
    platform::destroyWindow(hwnd);
    std::printf("idle open port: %.1f s, CPU %.4f s = %.4f%% of a core (goal < 0.1%%)\n", elapsed,
                cpu, 100.0 * cpu / elapsed);
    return cpu / elapsed < 0.001 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds <= 0)
        seconds = 10;
    QCoreApplication app(argc, argv);
    int rc = sustainedReceive(seconds);
    rc |= idlePort(seconds);
    return rc;
}
