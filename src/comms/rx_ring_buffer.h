// Receive ring buffer of a serial port: 16384 bytes that the port's reader thread fills and the
// port's owner drains, guarded by a named semaphore "%XBUFSEM" of the device handle value.
//
// Unread count: write_pos - read_pos, plus 16384 when write_pos < read_pos, 0 when equal. So at
// most 16383 unread bytes can be told from an empty buffer; a writer that laps the reader
// overwrites the oldest bytes, and 16384 unread bytes read as none.
//
// Every locked operation gives up after waiting 200 ms for the lock. Buffers are referred to by
// handles; 0 and handles of destroyed buffers count as no buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class NamedSemaphore;
}

namespace comms {

inline constexpr std::uint32_t RXBUF_SIZE = 0x4000;

using RxBufHandle = std::uintptr_t;  // 0: no buffer

struct RxRingBuffer {
    std::uint8_t data[RXBUF_SIZE];
    std::shared_ptr<platform::NamedSemaphore> lock;
    std::uint32_t write_pos;
    std::uint32_t read_pos;
};

// Name of the lock for a device handle value: upper-case hexadecimal, no prefix, no padding.
std::string rxbuf_lock_name(std::uint32_t deviceHandle);

// New, empty buffer; 0 when its lock is held elsewhere for more than 200 ms or memory is short.
RxBufHandle rxbuf_create(std::uint32_t deviceHandle);
// Frees the buffer without taking its lock: no write may run at the same time.
void rxbuf_destroy(RxBufHandle buf);
// 1 when the bytes were stored; 0 when nothing was (bad arguments, lock time-out).
// `overwritten`, when given, receives how many of the unread bytes this write destroyed by
// lapping the reader (the unread count before, plus n, less the unread count after).
int rxbuf_write(RxBufHandle buf, const void* bytes, std::uint32_t n,
                std::uint32_t* overwritten = nullptr);
// Bytes copied out, at most n.
std::uint32_t rxbuf_read(RxBufHandle buf, void* out, std::uint32_t n);
// Unread count, or -1 (no buffer, lock time-out).
int rxbuf_count(RxBufHandle buf);

// Unlocked helpers. put fails (0) only for a null buffer, get fails (0) when the buffer is empty.
int rxbuf_put(RxRingBuffer* rb, std::uint8_t byte);
int rxbuf_get(RxRingBuffer* rb, std::uint8_t* byte);
std::uint32_t rxbuf_used(const RxRingBuffer* rb);

}  // namespace comms
