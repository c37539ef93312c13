// The byte stream every sound file is read and written through.
//
// Positions and sizes are 32-bit byte counts: files of 4 GiB or more do not open. An item is a run of
// itemSize bytes; Read and Write move whole items and return how many, 0 for a missing buffer, an
// item size or count of 0, or a request larger than 4 GiB.
#pragma once

#include <cstdint>

namespace brindle {

enum class SeekOrigin { Begin = 0, Current = 1, End = 2 };

class FileStream {
public:
    virtual ~FileStream() = default;  // each implementation closes itself

    // Closed, or positioned beyond the size.
    virtual bool IsPastEnd() const { return !IsOpen() || Position() > Size(); }
    virtual bool IsAtEnd() const { return Position() >= Size(); }
    virtual bool IsOpen() const = 0;
    virtual uint32_t Size() const = 0;
    virtual uint32_t Position() const = 0;
    virtual int SeekTo(uint32_t offset) { return Seek(offset, SeekOrigin::Begin); }
    virtual void Close() = 0;
    virtual uint32_t Read(void* buffer, uint32_t itemSize, uint32_t count) = 0;
    virtual uint32_t Write(const void* buffer, uint32_t itemSize, uint32_t count) = 0;
    virtual int Flush() = 0;
    // The byte 0..255, or -1 when none was read.
    virtual int ReadByte();
    virtual int WriteByte(uint8_t value);
    // The new position must lie in 0..UINT32_MAX; 1 on success.
    virtual int Seek(int64_t offset, SeekOrigin origin) = 0;
    virtual int Rewind() { return Seek(0, SeekOrigin::Begin); }
    virtual int SeekToEnd() { return Seek(0, SeekOrigin::End); }

protected:
    // itemSize * count in bytes, or 0 when the request is empty or does not fit 32 bits.
    static uint32_t RequestBytes(const void* buffer, uint32_t itemSize, uint32_t count);
};

}  // namespace brindle
