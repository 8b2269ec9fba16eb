#include "serial/SpCircularBuffer.h"

#include <algorithm>
#include <cstring>

namespace kt::serial {

TSpCircularBuffer::TSpCircularBuffer(std::int32_t capacity)
    : storage_(std::make_unique<char[]>(static_cast<std::size_t>(std::max(capacity, 1)))),
      capacity_(std::max(capacity, 1))
{
    Clear();
}

void TSpCircularBuffer::Clear()
{
    readPos_ = 0;
    writePos_ = 0;
    full_ = false;
}

std::int32_t TSpCircularBuffer::BufUsed() const
{
    if (full_)
        return capacity_;
    if (writePos_ >= readPos_)
        return writePos_ - readPos_;
    return writePos_ + capacity_ - readPos_;
}

std::int32_t TSpCircularBuffer::BufFree() const
{
    return capacity_ - BufUsed();
}

std::int32_t TSpCircularBuffer::LinearUsed() const
{
    if (full_)
        return capacity_ - readPos_;
    if (writePos_ >= readPos_)
        return writePos_ - readPos_;
    return capacity_ - readPos_;
}

const char* TSpCircularBuffer::ReadPtr() const
{
    return storage_.get() + readPos_;
}

std::int32_t TSpCircularBuffer::advance(std::int32_t position, std::int32_t count) const
{
    const std::int32_t next = position + count;
    return next < capacity_ ? next : next - capacity_;
}

bool TSpCircularBuffer::Remove(std::int32_t count)
{
    if (count < 0 || count > BufUsed())
        return false;
    readPos_ = advance(readPos_, count);
    if (count > 0)
        full_ = false;
    return true;
}

bool TSpCircularBuffer::Write(const char* data, std::int32_t count)
{
    if (count < 1 || count > BufFree())
        return false;
    char* base = storage_.get();
    const std::int32_t tail = capacity_ - writePos_;
    if (writePos_ < readPos_ || tail >= count) {
        std::memcpy(base + writePos_, data, static_cast<std::size_t>(count));
    } else {
        std::memcpy(base + writePos_, data, static_cast<std::size_t>(tail));
        std::memcpy(base, data + tail, static_cast<std::size_t>(count - tail));
    }
    writePos_ = advance(writePos_, count);
    full_ = readPos_ == writePos_;
    return true;
}

}  // namespace kt::serial
