#include "platform/named_object.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "platform/prefix.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// How often a wait retries a lock that another process holds.
constexpr auto kPollInterval = std::chrono::milliseconds(1);

// Names up to this many bytes become their hex spelling; longer ones a hex prefix and a hash.
constexpr std::size_t kMaxPlainName = 100;

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

// Opens (creating) the lock file of `name` in the runtime folder of the current prefix. Returns
// -1 when the folder is unusable; `key` receives the file's path, which identifies the object.
int openLockFile(const std::string& name, std::string& key) {
    std::string dir = runtimeDir();
    if (dir.empty())
        return -1;
    dir += "/names";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return -1;
    key = dir + "/" + encodeName(name);
    int fd;
    do {
        fd = ::open(key.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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

class SemaphoreImpl final : public NamedSemaphore {
  public:
    SemaphoreImpl(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
    ~SemaphoreImpl() override {
        flock(fd_, LOCK_UN);
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
            bool got = tryLock(fd_);
            while (!got && Clock::now() < deadline) {
                auto left = deadline - Clock::now();
                std::this_thread::sleep_for(left < kPollInterval ? left : kPollInterval);
                got = tryLock(fd_);
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
    const int fd_;
    std::mutex m_;
    std::condition_variable cv_;
    int count_ = 1;
    int waiters_ = 0;
    bool flockHeld_ = false;  // we hold flock(LOCK_EX) on fd_
    bool probing_ = false;    // a waiter is polling the file lock
};

class InstanceLockImpl final : public InstanceLock {
  public:
    explicit InstanceLockImpl(int fd) : fd_(fd) {}
    // Unlocking first frees the name at once, even while a child that has just forked (and not
    // yet run exec, which closes its copy) shares the descriptor.
    ~InstanceLockImpl() override {
        flock(fd_, LOCK_UN);
        ::close(fd_);
    }

  private:
    const int fd_;
};

// One semaphore object per lock file (that is, per name and prefix) in the process.
std::mutex g_registryMutex;
std::map<std::string, std::weak_ptr<SemaphoreImpl>> g_registry;

}  // namespace

std::shared_ptr<NamedSemaphore> NamedSemaphore::open(const std::string& name) {
    std::string key;
    int fd = openLockFile(name, key);
    if (fd < 0)
        return nullptr;
    std::lock_guard<std::mutex> lk(g_registryMutex);
    for (auto it = g_registry.begin(); it != g_registry.end();)
        it = it->second.expired() ? g_registry.erase(it) : std::next(it);
    if (auto existing = g_registry[key].lock()) {
        ::close(fd);
        return existing;
    }
    auto sem = std::make_shared<SemaphoreImpl>(name, fd);
    g_registry[key] = sem;
    return sem;
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(const std::string& name) {
    std::string key;
    int fd = openLockFile(name, key);
    if (fd < 0)
        return nullptr;
    // Every acquire opens its own file description, so a second acquire in this process fails
    // just as one in another process does.
    if (!tryLock(fd)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<InstanceLockImpl>(fd);
}

}  // namespace platform
