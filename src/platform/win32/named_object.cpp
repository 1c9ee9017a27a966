// Named kernel objects on Win32: real named semaphores and mutexes. The system keeps one object
// per name and drops a dead process's handles, so nothing is left held after a crash.
#include "platform/named_object.h"

#include <windows.h>

namespace platform {

namespace {

class Win32Semaphore final : public NamedSemaphore {
  public:
    Win32Semaphore(HANDLE handle, std::string name) : handle_(handle), name_(std::move(name)) {}
    ~Win32Semaphore() override { CloseHandle(handle_); }

    bool wait(std::chrono::milliseconds timeout) override {
        const auto ms = timeout.count() < 0 ? 0 : timeout.count();
        const DWORD limit = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
        return WaitForSingleObject(handle_, limit) == WAIT_OBJECT_0;
    }

    // At count 1 the system refuses the release (ERROR_TOO_MANY_POSTS): maximum count 1.
    bool release() override { return ReleaseSemaphore(handle_, 1, nullptr) != 0; }

    const std::string& name() const override { return name_; }

  private:
    HANDLE handle_;
    std::string name_;
};

class Win32InstanceLock final : public InstanceLock {
  public:
    explicit Win32InstanceLock(HANDLE handle) : handle_(handle) {}
    ~Win32InstanceLock() override {
        ReleaseMutex(handle_);
        CloseHandle(handle_);
    }

  private:
    HANDLE handle_;
};

}  // namespace

std::shared_ptr<NamedSemaphore> NamedSemaphore::open(const std::string& name) {
    HANDLE handle = CreateSemaphoreA(nullptr, 1, 1, name.c_str());
    if (!handle)
        return nullptr;
    return std::make_shared<Win32Semaphore>(handle, name);
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(const std::string& name) {
    SetLastError(ERROR_SUCCESS);
    HANDLE handle = CreateMutexA(nullptr, TRUE, name.c_str());
    if (!handle)
        return nullptr;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        return nullptr;
    }
    return std::make_unique<Win32InstanceLock>(handle);
}

}  // namespace platform
