// A FileStream that reads a file through a sliding view of whole W-byte windows (W = 256 KiB) and
// writes it with pwrite, which costs far less than write faults on a view. Writing grows the file in
// steps of W and close cuts it back to the bytes written.
// A stream opened for reading maps the file read-only and never changes it.
#pragma once

#include <filesystem>

#include "storage/file_stream.h"
#include "storage/mapped_file.h"

namespace brindle {

inline constexpr uint32_t kStreamWindowBytes = 4 * kAllocationGranularity;

class MappedFileStream final : public FileStream {
public:
    MappedFileStream() = default;
    ~MappedFileStream() override { Close(); }

    // Creates or truncates the file and sizes it to initialSize bytes (non-zero).
    int OpenForWriting(const std::filesystem::path& name, uint32_t initialSize);
    // The file must exist and be smaller than 4 GiB; it needs only read permission.
    int OpenForReading(const std::filesystem::path& name);

    bool IsOpen() const override { return isOpen_; }
    uint32_t Size() const override { return size_; }
    uint32_t Position() const override { return position_; }
    // For a written file, cuts it to the bytes written.
    void Close() override;
    uint32_t Read(void* buffer, uint32_t itemSize, uint32_t count) override;
    uint32_t Write(const void* buffer, uint32_t itemSize, uint32_t count) override;
    int Flush() override { return mapped_.Flush(); }
    // Any position from 0 up; past the size is allowed (reads there return 0).
    int Seek(int64_t offset, SeekOrigin origin) override;

private:
    // Makes the view cover [position, end) with whole windows; returns the byte at position or null.
    uint8_t* ViewFor(uint64_t position, uint64_t end);

    MappedFile mapped_;
    uint32_t size_ = 0;
    uint32_t position_ = 0;
    bool isOpen_ = false;
    bool isWriting_ = false;
};

}  // namespace brindle
