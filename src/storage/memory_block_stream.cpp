#include "storage/memory_block_stream.h"

#include <algorithm>
#include <cstring>

namespace brindle {

int MemoryBlockStream::Attach(const void* data, uint32_t size)
{
    if (!data || size == 0 || IsOpen())
        return 0;
    data_ = static_cast<const uint8_t*>(data);
    size_ = size;
    position_ = 0;
    return 1;
}

int MemoryBlockStream::AttachWritable(void* data, uint32_t size)
{
    if (!Attach(data, size))
        return 0;
    writable_ = static_cast<uint8_t*>(data);
    return 1;
}

int MemoryBlockStream::CloseChecked()
{
    data_ = nullptr;
    writable_ = nullptr;
    size_ = 0;
    position_ = 0;
    return 1;
}

uint32_t MemoryBlockStream::Read(void* buffer, uint32_t itemSize, uint32_t count)
{
    const uint32_t bytes = RequestBytes(buffer, itemSize, count);
    if (bytes == 0 || !IsOpen() || position_ >= size_)
        return 0;
    const uint32_t items = std::min(bytes, size_ - position_) / itemSize;
    std::memcpy(buffer, data_ + position_, size_t(items) * itemSize);
    position_ += items * itemSize;
    return items;
}

uint32_t MemoryBlockStream::Write(const void* buffer, uint32_t itemSize, uint32_t count)
{
    const uint32_t bytes = RequestBytes(buffer, itemSize, count);
    if (bytes == 0 || !writable_ || position_ >= size_)
        return 0;
    const uint32_t items = std::min(bytes, size_ - position_) / itemSize;
    std::memcpy(writable_ + position_, buffer, size_t(items) * itemSize);
    position_ += items * itemSize;
    return items;
}

int MemoryBlockStream::MoveTo(uint32_t position)
{
    position_ = position;
    return 1;
}

}  // namespace brindle
