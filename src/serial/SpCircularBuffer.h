// Fixed-capacity byte ring holding the bytes that wait to be sent.
#pragma once

#include <cstdint>
#include <memory>

namespace kt::serial {

// Not thread-safe: every user holds the port core's write lock around each call.
// The write thread sends straight from ReadPtr()/LinearUsed() without a copy.
class TSpCircularBuffer {
public:
    explicit TSpCircularBuffer(std::int32_t capacity);

    TSpCircularBuffer(const TSpCircularBuffer&) = delete;
    TSpCircularBuffer& operator=(const TSpCircularBuffer&) = delete;

    void Clear();
    std::int32_t BufUsed() const;
    std::int32_t BufFree() const;
    // Bytes readable in one piece from the read position (stops at the end of the storage).
    std::int32_t LinearUsed() const;
    const char* ReadPtr() const;
    // Drops count bytes from the front; false (and no change) when fewer are held.
    bool Remove(std::int32_t count);
    // Appends all count bytes or none; false when count < 1 or exceeds BufFree().
    bool Write(const char* data, std::int32_t count);

    std::int32_t Capacity() const { return capacity_; }

private:
    std::int32_t advance(std::int32_t position, std::int32_t count) const;

    std::unique_ptr<char[]> storage_;
    std::int32_t capacity_;
    std::int32_t readPos_ = 0;
    std::int32_t writePos_ = 0;
    // Equal positions mean either empty or full; this tells them apart.
    bool full_ = false;
};

}  // namespace kt::serial
