#include "platform/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace platform {

bool appendToFile(const std::string& path, std::string_view record) {
    // Past a file size limit (ulimit -f, a service's LimitFSIZE) the write must fail like one on
    // a full disk, not end the process with SIGXFSZ.
    static const bool sizeSignalIgnored = signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    (void)sizeSignalIgnored;
    // O_NONBLOCK: a pipe without a reader in place of the file fails at once instead of stalling
    // the caller; regular files are unaffected.
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return false;
    const off_t start = lseek(fd, 0, SEEK_END);
    ssize_t written;
    do {
        written = write(fd, record.data(), record.size());
    } while (written < 0 && errno == EINTR);
    const bool whole = written == static_cast<ssize_t>(record.size());
    // A fragment would glue the next record onto it: take it back out. (A file that cannot be
    // positioned, a pipe or a device, keeps what went through.)
    if (!whole && written > 0 && start >= 0)
        (void)ftruncate(fd, start);
    close(fd);
    return whole;
}

bool makeDirectory(const std::string& path) {
    return !path.empty() && mkdir(path.c_str(), 0777) == 0;
}

LocalTime localTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    LocalTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
}

}  // namespace platform
