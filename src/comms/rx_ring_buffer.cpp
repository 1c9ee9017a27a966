#include "comms/rx_ring_buffer.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/named_object.h"

namespace comms {

namespace {

constexpr std::chrono::milliseconds kLockWait{200};

// Live buffers by handle. A handle is never reused, so a stale one finds nothing instead of
// another port's buffer.
std::mutex registryMutex;
std::unordered_map<RxBufHandle, RxRingBuffer*> registry;
RxBufHandle nextHandle = 0;

RxRingBuffer* lookup(RxBufHandle buf) {
    if (buf == 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry.find(buf);
    return it == registry.end() ? nullptr : it->second;
}

// Holds a buffer's lock for one operation.
class Locked {
  public:
    explicit Locked(RxRingBuffer* rb) : rb_(rb) {
        taken_ = rb_->lock && rb_->lock->wait(kLockWait);
    }
    ~Locked() {
        if (taken_)
            rb_->lock->release();
    }
    explicit operator bool() const { return taken_; }

  private:
    RxRingBuffer* rb_;
    bool taken_;
};

}  // namespace

std::string rxbuf_lock_name(std::uint32_t deviceHandle) {
    char name[32];
    std::snprintf(name, sizeof name, "%XBUFSEM", static_cast<unsigned>(deviceHandle));
    return name;
}

RxBufHandle rxbuf_create(std::uint32_t deviceHandle) {
    std::shared_ptr<platform::NamedSemaphore> lock =
        platform::NamedSemaphore::open(rxbuf_lock_name(deviceHandle));
    if (!lock)
        return 0;
    if (!lock->wait(kLockWait))
        return 0;  // our reference goes; the holder keeps the name

    auto* rb = new (std::nothrow) RxRingBuffer();  // value-initialised: all zero
    if (!rb) {
        lock->release();  // a later create under this name must not find it taken
        return 0;
    }
    rb->write_pos = 0;
    rb->read_pos = 0;
    rb->lock = lock;
    RxBufHandle handle;
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        handle = ++nextHandle;
        registry.emplace(handle, rb);
    }
    lock->release();
    return handle;
}

void rxbuf_destroy(RxBufHandle buf) {
    if (buf == 0)
        return;
    RxRingBuffer* rb = nullptr;
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        auto it = registry.find(buf);
        if (it == registry.end())
            return;
        rb = it->second;
        registry.erase(it);
    }
    rb->lock.reset();
    delete rb;
}

int rxbuf_write(RxBufHandle buf, const void* bytes, std::uint32_t n, std::uint32_t* overwritten) {
    if (overwritten)
        *overwritten = 0;
    RxRingBuffer* rb = lookup(buf);
    if (!rb || !bytes || n == 0)
        return 0;
    Locked held(rb);
    if (!held)
        return 0;
    const std::uint64_t before = rxbuf_used(rb);
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    for (std::uint32_t i = 0; i < n; ++i)
        rxbuf_put(rb, in[i]);
    if (overwritten)
        *overwritten = static_cast<std::uint32_t>(before + n - rxbuf_used(rb));
    return 1;
}

std::uint32_t rxbuf_read(RxBufHandle buf, void* out, std::uint32_t n) {
    RxRingBuffer* rb = lookup(buf);
    if (!rb || !out || n == 0)
        return 0;
    Locked held(rb);
    if (!held)
        return 0;
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint32_t copied = 0;
    while (copied < n && rxbuf_get(rb, dst + copied))
        ++copied;
    return copied;
}

int rxbuf_count(RxBufHandle buf) {
    RxRingBuffer* rb = lookup(buf);
    if (!rb)
        return -1;
    Locked held(rb);
    if (!held)
        return -1;
    return static_cast<int>(rxbuf_used(rb));
}

int rxbuf_put(RxRingBuffer* rb, std::uint8_t byte) {
    if (!rb)
        return 0;
    rb->data[rb->write_pos] = byte;
    rb->write_pos = (rb->write_pos + 1) % RXBUF_SIZE;
    return 1;
}

int rxbuf_get(RxRingBuffer* rb, std::uint8_t* byte) {
    if (!rb || rxbuf_used(rb) == 0)
        return 0;
    if (byte)
        *byte = rb->data[rb->read_pos];
    rb->read_pos = (rb->read_pos + 1) % RXBUF_SIZE;
    return 1;
}

std::uint32_t rxbuf_used(const RxRingBuffer* rb) {
    if (!rb)
        return 0;
    if (rb->write_pos > rb->read_pos)
        return rb->write_pos - rb->read_pos;
    if (rb->write_pos < rb->read_pos)
        return rb->write_pos - rb->read_pos + RXBUF_SIZE;
    return 0;
}

}  // namespace comms
