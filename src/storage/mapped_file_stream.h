// The FileStream of the WAV reader and writer, the MP3 decoder's input and output and the MP3 writer.
//
// Writing: the file is sized ahead in steps of whole W-byte windows (W = 256 KiB), with allocated
// blocks, and written with pwrite; close cuts the file back to the bytes written.
// Reading: through a W-byte window filled with pread. A source file can shrink while it is read
// (another program truncates or rewrites it): pread then only comes back short, where a memory
// mapping would fault (SIGBUS). A file that turns out shorter than it was when opened,
// or that cannot be read, makes this read and every later one return 0 items, with the reason noted.
// A stream opened for reading needs only read permission and never changes the file.
#pragma once

#include <filesystem>
#include <vector>

#include "storage/file_stream.h"
#include "storage/reserved_file.h"
#include "storage/source_file.h"

namespace brindle {

inline constexpr uint32_t kStreamWindowBytes = 4 * kAllocationGranularity;

class MappedFileStream final : public FileStream {
public:
    MappedFileStream() = default;
    ~MappedFileStream() override { Close(); }

    // Creates or truncates the file and sizes it to initialSize bytes (non-zero).
    int OpenForWriting(const std::filesystem::path& name, uint32_t initialSize);
    // The file must be a regular file smaller than 4 GiB; its size is taken once, here.
    int OpenForReading(const std::filesystem::path& name);
    // Reads the file open at the door, through a descriptor of its own (it reads with pread).
    int OpenForReading(const SourceFile& source);

    bool IsOpen() const override { return isOpen_; }
    uint32_t Size() const override { return size_; }
    uint32_t Position() const override { return position_; }
    // For a written file, cuts it to the bytes written; 0 when that, or closing the file, failed.
    int CloseChecked() override;
    uint32_t Read(void* buffer, uint32_t itemSize, uint32_t count) override;
    uint32_t Write(const void* buffer, uint32_t itemSize, uint32_t count) override;
    int Descriptor() const override { return isOpen_ ? mapped_.Fd() : -1; }
    // True once a read found the file shorter than at open, or failed.
    bool HasReadFault() const { return hasReadFault_; }

protected:
    int MoveTo(uint32_t position) override;

private:
    // Sizes the file just opened for reading in mapped_.
    int TakeOpenedForReading();
    // Copies n bytes at offset (inside the size) into destination, through the window when they fit.
    bool ReadAt(uint32_t offset, uint8_t* destination, uint32_t n);
    // pread of exactly n bytes; a short file or an error is a read fault.
    bool ReadFully(uint32_t offset, uint8_t* destination, uint32_t n);

    ReservedFile mapped_;
    uint32_t size_ = 0;
    uint32_t position_ = 0;
    bool isOpen_ = false;
    bool isWriting_ = false;
    bool hasReadFault_ = false;
    // The read window: windowBytes_ bytes of the file from windowOffset_.
    std::vector<uint8_t> window_;
    uint32_t windowOffset_ = 0;
    uint32_t windowBytes_ = 0;
};

}  // namespace brindle
