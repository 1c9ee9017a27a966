// Named kernel objects of a prefix: semaphores (count 0..1) and the single-instance lock.
//
// Within a process there is one object per name, so any thread may release what another took.
// Across processes, a process holds flock(LOCK_EX) on the name's lock file in the runtime folder
// for as long as its own count is 0; the kernel drops that lock when the process dies, even by
// SIGKILL, so a name is never left held by a dead process. A lock file lasts while a process has
// its name open: the last one to close the name removes it, and the next process that opens a
// name removes the files that dead processes left behind (unless the folder was swept less than
// a second ago, so that processes started together do not each look at every file).
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace platform {

class NamedSemaphore {
  public:
    // Opens the semaphore of this name, creating it with count 1 (maximum 1) when no object of
    // that name exists in the process. Names may hold any bytes ("\r\n", "%", blanks).
    // Returns null when the runtime folder is unusable.
    static std::shared_ptr<NamedSemaphore> open(const std::string& name);

    virtual ~NamedSemaphore() = default;

    // Takes the semaphore (count 1 -> 0) waiting at most `timeout`. False on time-out.
    virtual bool wait(std::chrono::milliseconds timeout) = 0;

    // Releases it (count 0 -> 1). Releasing a semaphore whose count is already 1 does nothing
    // and returns false, as a maximum count of 1 demands.
    virtual bool release() = 0;

    virtual const std::string& name() const = 0;
};

// A named mutex owned by this process from creation until the object is destroyed or the
// process ends. acquire() returns null when the name is already held, by this process or any
// other process of the prefix (ERROR_ALREADY_EXISTS).
class InstanceLock {
  public:
    static std::unique_ptr<InstanceLock> acquire(const std::string& name);
    virtual ~InstanceLock() = default;
};

}  // namespace platform
