// Serial library benchmark on a pseudo-terminal (not part of the test suite).
//
//   comms_bench [seconds]
//
// 1. Sustained receive: a writer thread pushes a counting byte sequence into the far end as fast
//    as the line takes it; the owner (the UI thread) reads the ring buffer on every WM_COMMNOTIFY.
//    Paced at 115200 baud, at about 4 Mbaud, and unpaced. Reports rate, loss and the largest
//    backlog, and fails when bytes were lost while the backlog fit the ring.
// 2. Idle port: an open port registered like the driver does it (read size 32, 9600 baud) and
//    no traffic; reports the process's CPU time over the period as a share of one core.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "comms/port_table.h"
#include "comms/serial_port.h"
#include "platform/window.h"
#include "pty_pair.h"
#include "test_prefix.h"

using namespace std::chrono;

namespace {

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop (sleeping while there is nothing to do) until `end`.
void runEventLoopUntil(steady_clock::time_point end) {
    auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
    if (left <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(left), &loop, &QEventLoop::quit);
    loop.exec();
}

// Byte k of the stream is byte k % 4 of the 32-bit number k / 4, so any loss that is not a
// multiple of 16 GiB shows as a break in the sequence.
std::uint8_t streamByte(std::uint64_t k) {
    return static_cast<std::uint8_t>((k / 4) >> (8 * (k % 4)));
}

// bytesPerSecond 0: as fast as the line takes it.
int sustainedReceive(int seconds, double bytesPerSecond) {
    testing_support::PtyPair pty;
    if (!pty.ok()) {
        std::printf("no pseudo-terminal\n");
        return 1;
    }
    testing_support::TestPrefix prefix;
    prefix.linkComPort(1, pty.slavePath);
    comms::SerialPort port;
    if (port.open(1) != 1) {
        std::printf("open failed\n");
        return 1;
    }

    std::uint64_t received = 0, mismatches = 0, notifications = 0;
    std::uint64_t position = 0;
    std::atomic<std::uint64_t> sent{0};
    // Bytes sent and not yet read at the owner's busiest moment: an upper bound of what the ring
    // held, since part of it may still be in the line.
    std::int64_t maxBacklog = 0;
    std::vector<std::uint8_t> buf(16383);
    platform::HWND hwnd = platform::createWindow(
        "CommsBench",
        [&](platform::HWND h, platform::UINT msg, platform::WPARAM w,
            platform::LPARAM l) -> platform::LRESULT {
            if (msg != platform::WM_COMMNOTIFY)
                return platform::defWindowProc(h, msg, w, l);
            ++notifications;
            maxBacklog = std::max(maxBacklog, static_cast<std::int64_t>(sent.load() - received));
            auto* owner = reinterpret_cast<comms::SerialPort*>(l);
            for (;;) {
                int n = owner->read(buf.data(), static_cast<int>(buf.size()));
                if (n <= 0)
                    break;
                for (int i = 0; i < n; ++i) {
                    if (buf[i] != streamByte(position + i)) {
                        ++mismatches;  // a read that does not continue the stream
                        break;
                    }
                }
                received += static_cast<std::uint64_t>(n);
                position += static_cast<std::uint64_t>(n);
            }
            return 0;
        });
    if (!hwnd || port.setNotifyWindow(hwnd, 256) != 1) {
        std::printf("no window\n");
        return 1;
    }

    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::uint8_t chunk[4096];
        auto start = steady_clock::now();
        while (!stop) {
            if (bytesPerSecond > 0) {
                // Pace the far end: never ahead of the wanted rate.
                auto due = start + duration_cast<steady_clock::duration>(duration<double>(
                                       static_cast<double>(sent) / bytesPerSecond));
                std::this_thread::sleep_until(due);
            }
            const std::uint64_t base = sent;
            for (std::size_t i = 0; i < sizeof chunk; ++i)
                chunk[i] = streamByte(base + i);
            std::size_t done = 0;
            while (done < sizeof chunk && !stop) {
                ssize_t w = write(pty.master, chunk + done, sizeof chunk - done);
                if (w > 0) {
                    done += static_cast<std::size_t>(w);
                    sent += static_cast<std::uint64_t>(w);
                } else {
                    pollfd p{pty.master, POLLOUT, 0};
                    poll(&p, 1, 10);  // the line is full: wait for the reader
                }
            }
        }
    });
    double cpu0 = cpuSeconds();
    auto t0 = steady_clock::now();
    auto end = t0 + seconds * 1s;
    runEventLoopUntil(end);
    stop = true;
    writer.join();
    auto settle = steady_clock::now() + 500ms;
    runEventLoopUntil(settle);
    double elapsed = duration<double>(steady_clock::now() - t0).count();
    double cpu = cpuSeconds() - cpu0;
    port.close();
    platform::destroyWindow(hwnd);

    std::printf(
        "sustained receive at %.0f bytes/s (0: unpaced): %.1f s, sent %llu bytes, received %llu "
        "bytes (%.2f MB/s), "
        "%llu notifications, %llu reads out of sequence, lost %lld bytes, largest backlog %lld "
        "bytes, CPU %.1f%% of a core\n",
        bytesPerSecond, elapsed, static_cast<unsigned long long>(sent.load()),
        static_cast<unsigned long long>(received), received / elapsed / 1e6,
        static_cast<unsigned long long>(notifications), static_cast<unsigned long long>(mismatches),
        static_cast<long long>(sent.load()) - static_cast<long long>(received),
        static_cast<long long>(maxBacklog), 100.0 * cpu / elapsed);
    // The ring overwrites once the owner falls a whole ring behind; below that nothing may go.
    bool lossless = mismatches == 0 && sent == received;
    bool withinRing = maxBacklog < static_cast<std::int64_t>(comms::RXBUF_SIZE);
    if (withinRing && !lossless)
        std::printf("  FAIL: bytes lost while the backlog fit the ring\n");
    return withinRing && !lossless ? 1 : 0;
}

int idlePort(int seconds) {
    testing_support::PtyPair pty;
    if (!pty.ok())
        return 1;
    testing_support::TestPrefix prefix;
    prefix.linkComPort(1, pty.slavePath);
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
    // 11520 bytes/s is a 115200-baud line (8N1); 400000 bytes/s about a 4-Mbaud line, the fastest
    // standard rate. Unpaced, the far end writes as fast as the pty takes it.
    int rc = sustainedReceive(seconds, 11520);
    rc |= sustainedReceive(seconds, 400000);
    rc |= sustainedReceive(seconds, 0);
    rc |= idlePort(seconds);
    return rc;
}
