#include "platform/named_object.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/prefix.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// How often a wait retries a lock that another process holds.
constexpr auto kPollInterval = std::chrono::milliseconds(1);

// Names up to this many bytes become their hex spelling; longer ones a hex prefix and a hash.
constexpr std::size_t kMaxPlainName = 100;

// The sweep's own lock file, "names.sweep" beside the names folder: a sweep holds it exclusively,
// and an instance lock found held waits on it, shared, for at most kSweepWaitLimit.
constexpr const char* kSweepLock = ".sweep";
constexpr auto kSweepWaitLimit = std::chrono::seconds(10);

// A sweep looks at the file of every name in the folder, so a machine that starts hundreds of
// processes at once would look at all their files once per process. A sweep is skipped when the
// last one ended less than this long ago; the sweep lock file's modification time says when.
constexpr auto kSweepPeriod = std::chrono::seconds(1);

std::uint64_t fnv1a(const std::string& s, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

// A file name for any bytes of an object name: hex keeps it safe ("/", "\r\n", "%" and blanks
// all allowed in names) and case-sensitive like the names themselves; a 128-bit hash bounds the
// length of long names.
std::string encodeName(const std::string& name) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "n-";
    std::size_t plain = name.size() <= kMaxPlainName ? name.size() : kMaxPlainName / 2;
    for (std::size_t i = 0; i < plain; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    if (name.size() > kMaxPlainName) {
        char tail[64];
        std::snprintf(tail, sizeof tail, "-%016llx%016llx-%zu",
                      static_cast<unsigned long long>(fnv1a(name, 0xcbf29ce484222325ULL)),
                      static_cast<unsigned long long>(fnv1a(name, 0x84222325cbf29ce4ULL)),
                      name.size());
        out += tail;
    }
    return out;
}

// A lock file exists while some process has its name open: the last one to close the name
// removes it, and a process that finds the file of a name whose holder died without closing it
// removes it too. A file is only ever removed by a process that holds flock(LOCK_EX) on it, and
// a lock taken counts only when the file locked still has a name (st_nlink > 0): no renames or
// links are ever made, so such a file is the one at the path. A process that locked a file just
// removed opens the path afresh and locks again, so two processes never hold one name at once.

int openPath(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool tryLock(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool stillNamed(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_nlink > 0;
}

// Takes the lock of the name's file as the path names it now; `fd` is replaced by a fresh open
// of `path` when its file was removed since it was opened. False when another process holds it
// (or the path cannot be opened).
bool tryLockNamed(int& fd, const std::string& path) {
    for (;;) {
        if (!tryLock(fd))
            return false;
        if (stillNamed(fd))
            return true;
        flock(fd, LOCK_UN);
        int fresh = openPath(path, O_CREAT);
        if (fresh < 0)
            return false;
        ::close(fd);
        fd = fresh;
    }
}

// Removes the name's file when no process holds its lock (the caller may hold it through `fd`),
// then lets the lock go. Another process that has the name open re-creates the file when it next
// takes the name.
void removeIfFree(int fd, const std::string& path, bool held) {
    if ((held || tryLock(fd)) && stillNamed(fd))
        unlink(path.c_str());
    flock(fd, LOCK_UN);
}

// Whether the sweep lock file `fd` was last stamped less than kSweepPeriod ago. A stamp from the
// future (the clock was set back) does not count as recent. A sweep lock file just made counts as
// a stamp: it is made before the first name file of its folder, so there is nothing to sweep yet.
bool sweptLately(int fd) {
    struct stat st {};
    timespec now{};
    if (fstat(fd, &st) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0)
        return false;
    const auto age = std::chrono::seconds(now.tv_sec - st.st_mtim.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - st.st_mtim.tv_nsec);
    return age >= std::chrono::nanoseconds(0) && age < kSweepPeriod;
}

// Removes the lock files in `dir` that no live process holds: left behind by processes that died
// without closing their names. Once per folder and process, on the first use of a name, unless
// another process is sweeping just then or swept within kSweepPeriod. A sweep holds each file it
// looks at for a moment, so it holds the sweep lock throughout, for instance locks to wait on
// (see SweepsPaused).
void sweepOnce(const std::string& dir) {
    static std::mutex mutex;
    static std::set<std::string> swept;
    std::lock_guard<std::mutex> lk(mutex);
    if (!swept.insert(dir).second)
        return;
    const int sweeping = openPath(dir + kSweepLock, O_CREAT);
    if (sweeping < 0)
        return;
    DIR* d = tryLock(sweeping) && !sweptLately(sweeping) ? opendir(dir.c_str()) : nullptr;
    if (!d) {
        ::close(sweeping);
        return;
    }
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, "n-", 2) != 0)
            continue;
        const std::string path = dir + "/" + e->d_name;
        int fd = openPath(path, 0);
        if (fd < 0)
            continue;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            removeIfFree(fd, path, false);
        ::close(fd);
    }
    closedir(d);
    futimens(sweeping, nullptr);  // stamped now, while still held
    ::close(sweeping);
}

// While it lives, no sweep runs in the names folder `dir`: it waits for a running one to end,
// for at most kSweepWaitLimit (a sweep stopped for good must not stop everyone else).
class SweepsPaused {
  public:
    explicit SweepsPaused(const std::string& dir) : fd_(openPath(dir + kSweepLock, O_CREAT)) {
        const Clock::time_point deadline = Clock::now() + kSweepWaitLimit;
        while (fd_ >= 0 && flock(fd_, LOCK_SH | LOCK_NB) != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(kPollInterval);
    }
    ~SweepsPaused() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SweepsPaused(const SweepsPaused&) = delete;
    SweepsPaused& operator=(const SweepsPaused&) = delete;

  private:
    int fd_;
};

// The path of the lock file of `name` in the runtime folder of the current prefix, which
// identifies the object; empty when the folder is unusable.
std::string lockFilePath(const std::string& name) {
    std::string dir = runtimeDir();
    if (dir.empty())
        return {};
    dir += "/names";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    sweepOnce(dir);
    return dir + "/" + encodeName(name);
}

class SemaphoreImpl final : public NamedSemaphore {
  public:
    SemaphoreImpl(std::string name, std::string path, int fd)
        : name_(std::move(name)), path_(std::move(path)), fd_(fd) {}
    ~SemaphoreImpl() override {
        removeIfFree(fd_, path_, flockHeld_);
        ::close(fd_);
    }

    bool wait(std::chrono::milliseconds timeout) override {
        const Clock::time_point deadline = Clock::now() + timeout;
        std::unique_lock<std::mutex> lk(m_);
        ++waiters_;
        for (;;) {
            bool ready = cv_.wait_until(lk, deadline, [&] { return count_ == 1 && !probing_; });
            if (!ready) {
                --waiters_;
                dropLockIfIdle();
                return false;
            }
            if (flockHeld_) {
                // Handed over by a release within this process: the file lock never left us.
                count_ = 0;
                --waiters_;
                return true;
            }
            // Another process may hold the name: poll its lock until the deadline, without
            // holding our mutex, so that releases and other waits of this process go on.
            probing_ = true;
            lk.unlock();
            bool got = tryLockNamed(fd_, path_);
            while (!got && Clock::now() < deadline) {
                auto left = deadline - Clock::now();
                std::this_thread::sleep_for(left < kPollInterval ? left : kPollInterval);
                got = tryLockNamed(fd_, path_);
            }
            lk.lock();
            probing_ = false;
            if (got) {
                flockHeld_ = true;
                count_ = 0;
                --waiters_;
                cv_.notify_all();
                return true;
            }
            --waiters_;
            cv_.notify_all();  // another waiter with a later deadline may try now
            return false;
        }
    }

    bool release() override {
        std::lock_guard<std::mutex> lk(m_);
        if (count_ == 1)
            return false;
        count_ = 1;
        // With a waiter of this process, keep the file lock for it; otherwise let it go, so that
        // other processes may take the name.
        if (waiters_ == 0) {
            flock(fd_, LOCK_UN);
            flockHeld_ = false;
        } else {
            cv_.notify_one();
        }
        return true;
    }

    const std::string& name() const override { return name_; }

  private:
    // Called with m_ held: a file lock kept for a waiter that then gave up is let go.
    void dropLockIfIdle() {
        if (count_ == 1 && flockHeld_ && waiters_ == 0) {
            flock(fd_, LOCK_UN);
            flockHeld_ = false;
        }
    }

    const std::string name_;
    const std::string path_;
    int fd_;  // replaced only by a waiter while it probes (probing_), see tryLockNamed
    std::mutex m_;
    std::condition_variable cv_;
    int count_ = 1;
    int waiters_ = 0;
    bool flockHeld_ = false;  // we hold flock(LOCK_EX) on fd_
    bool probing_ = false;    // a waiter is polling the file lock
};

class InstanceLockImpl final : public InstanceLock {
  public:
    InstanceLockImpl(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    // Unlocking before the close frees the name at once, even while a child that has just forked
    // (and not yet run exec, which closes its copy) shares the descriptor.
    ~InstanceLockImpl() override {
        removeIfFree(fd_, path_, true);
        ::close(fd_);
    }

  private:
    const std::string path_;
    const int fd_;
};

// One semaphore object per lock file (that is, per name and prefix) in the process.
std::mutex g_registryMutex;
std::map<std::string, std::weak_ptr<SemaphoreImpl>> g_registry;

}  // namespace

std::shared_ptr<NamedSemaphore> NamedSemaphore::open(const std::string& name) {
    const std::string key = lockFilePath(name);
    if (key.empty())
        return nullptr;
    std::lock_guard<std::mutex> lk(g_registryMutex);
    for (auto it = g_registry.begin(); it != g_registry.end();)
        it = it->second.expired() ? g_registry.erase(it) : std::next(it);
    if (auto existing = g_registry[key].lock())
        return existing;
    int fd = openPath(key, O_CREAT);
    if (fd < 0)
        return nullptr;
    auto sem = std::make_shared<SemaphoreImpl>(name, key, fd);
    g_registry[key] = sem;
    return sem;
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(const std::string& name) {
    const std::string key = lockFilePath(name);
    if (key.empty())
        return nullptr;
    // Every acquire opens its own file description, so a second acquire in this process fails
    // just as one in another process does.
    int fd = openPath(key, O_CREAT);
    if (fd < 0)
        return nullptr;
    bool locked = tryLockNamed(fd, key);
    if (!locked) {
        // Held by another instance, or by a sweep looking at it just now (another process's
        // first use of a name): once no sweep runs, only an instance can hold it.
        SweepsPaused paused(key.substr(0, key.rfind('/')));
        locked = tryLockNamed(fd, key);
    }
    if (!locked) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<InstanceLockImpl>(key, fd);
}

}  // namespace platform
