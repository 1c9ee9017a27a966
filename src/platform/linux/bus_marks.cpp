#include "platform/linux/bus_marks.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace platform::detail {

namespace {

constexpr const char* kMarksName = "/marks";
// Marks a page of the file holds.
constexpr std::size_t kPerPage = 4096 / sizeof(std::uint64_t);

// A value no reader remembers: random, never 0.
std::uint64_t freshMark() {
    std::uint64_t mark = 0;
    if (getrandom(&mark, sizeof mark, 0) != static_cast<ssize_t>(sizeof mark)) {
        // No entropy to be had (a very early boot): the time and the process still differ from
        // any mark that went before.
        mark = static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (static_cast<std::uint64_t>(getpid()) << 40);
    }
    return mark ? mark : 1;
}

}  // namespace

void raiseMark(const std::string& entryPath) {
    const std::size_t slash = entryPath.rfind('/');
    unsigned low = 0;
    char extra = 0;
    if (slash == std::string::npos ||
        std::sscanf(entryPath.c_str() + slash + 1, "w%4x%c", &low, &extra) != 1)
        return;
    const std::string path = entryPath.substr(0, slash) + kMarksName;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    const std::uint64_t mark = freshMark();
    (void)pwrite(fd, &mark, sizeof mark, static_cast<off_t>(low * sizeof mark));
    close(fd);
}

std::vector<std::uint64_t> readMarks(const std::string& dir,
                                     const std::vector<std::uint16_t>& lows) {
    std::vector<std::uint64_t> marks(lows.size(), 0);
    const int fd = open((dir + kMarksName).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return marks;
    std::uint64_t page[kPerPage];
    std::size_t loaded = SIZE_MAX;  // the page in `page`
    std::size_t known = 0;          // marks of it that were read
    for (std::size_t i = 0; i < lows.size(); ++i) {
        const std::size_t at = lows[i] / kPerPage;
        if (at != loaded) {
            const ssize_t n = pread(fd, page, sizeof page, static_cast<off_t>(at * sizeof page));
            known = n > 0 ? static_cast<std::size_t>(n) / sizeof(std::uint64_t) : 0;
            loaded = at;
        }
        if (lows[i] % kPerPage < known)
            marks[i] = page[lows[i] % kPerPage];
    }
    close(fd);
    return marks;
}

}  // namespace platform::detail
