// The byte stream every sound file is read and written through.
//
// Positions and sizes are 32-bit byte counts: files of 4 GiB or more do not open. An item is a run of
// itemSize bytes; Read and Write move whole items and return how many, 0 for a missing buffer, an
// item size or count of 0, or a request larger than 4 GiB.
//
// A failing system call is noted as the calling thread's failure reason (tasks/failure.h) where it
// happens, so that a reader or writer that only sees a short count can still say why.
#pragma once

#include <cstdint>

namespace brindle {

enum class SeekOrigin { Begin = 0, Current = 1, End = 2 };

class FileStream {
public:
    virtual ~FileStream() = default;  // each implementation closes itself

    bool IsAtEnd() const { return Position() >= Size(); }
    virtual bool IsOpen() const = 0;
    virtual uint32_t Size() const = 0;
    virtual uint32_t Position() const = 0;
    int SeekTo(uint32_t offset) { return Seek(offset, SeekOrigin::Begin); }
    // Closes the stream. 0 when what was written through it may not have reached the file as
    // written (cutting the file to the bytes written, or closing it, failed); the reason is noted.
    // Closing a read stream, or a closed stream, gives 1.
    virtual int CloseChecked() = 0;
    // For the paths where the outcome no longer matters (failures, destructors).
    void Close() { (void)CloseChecked(); }
    virtual uint32_t Read(void* buffer, uint32_t itemSize, uint32_t count) = 0;
    virtual uint32_t Write(const void* buffer, uint32_t itemSize, uint32_t count) = 0;
    // 1 when the byte was written.
    int WriteByte(uint8_t value);
    // The descriptor of the open file, for a reader that copies a range of it in the kernel; -1 for a
    // stream without one (memory).
    virtual int Descriptor() const { return -1; }

    // The one seek rule of every stream: the new position is offset bytes from the start (Begin),
    // the current position (Current) or the size (End), and must lie in 0..UINT32_MAX. It may lie at
    // or past the size: reads there return 0 items and IsAtEnd() holds. (A file stream's write past
    // the size extends the file, the gap reading as zeros; a memory block never grows, so its write
    // there returns 0.) Returns 1, or 0 for a closed stream or a position out of range, which
    // leaves the position as it was.
    int Seek(int64_t offset, SeekOrigin origin);
    int Rewind() { return Seek(0, SeekOrigin::Begin); }

protected:
    // itemSize * count in bytes, or 0 when the request is empty or does not fit 32 bits.
    static uint32_t RequestBytes(const void* buffer, uint32_t itemSize, uint32_t count);
    // Moves an open stream to a position Seek has checked; 1 on success.
    virtual int MoveTo(uint32_t position) = 0;
};

}  // namespace brindle
