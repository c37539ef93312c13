// A FileStream over a block of memory that the caller owns (pictures built into the program).
// Reads and writes never pass the block's size; the stream never allocates. Seeks follow the rule of
// every stream (file_stream.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "storage/file_stream.h"

namespace brindle {

class MemoryBlockStream final : public FileStream {
public:
    MemoryBlockStream() = default;
    ~MemoryBlockStream() override { Close(); }

    // A read-only block. Fails for a null pointer, size 0 or when already attached.
    int Attach(const void* data, uint32_t size);
    // A block that may also be written.
    int AttachWritable(void* data, uint32_t size);

    bool IsOpen() const override { return data_ != nullptr; }
    uint32_t Size() const override { return size_; }
    uint32_t Position() const override { return position_; }
    int CloseChecked() override;
    uint32_t Read(void* buffer, uint32_t itemSize, uint32_t count) override;
    uint32_t Write(const void* buffer, uint32_t itemSize, uint32_t count) override;

protected:
    int MoveTo(uint32_t position) override;

private:
    const uint8_t* data_ = nullptr;
    uint8_t* writable_ = nullptr;
    uint32_t size_ = 0;
    uint32_t position_ = 0;
};

}  // namespace brindle
