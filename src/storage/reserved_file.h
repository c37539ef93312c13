// One open file and the size reserved for it.
//
// Reserving grows the file to the size with allocated (not sparse) zeros, so that writing it later
// cannot run out of disk half-way; writes go with pwrite and never reach past the reserved size,
// which never exceeds the file's own size. The sample stores and the written streams keep their files
// this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "storage/file_handle.h"

namespace brindle {

// The unit of the store and stream layouts: a block holds 4 of these in floats, a stream window is 4
// of them in bytes. Fixed so that block and window sizes are the same on every machine.
inline constexpr uint32_t kAllocationGranularity = 65536;

class ReservedFile {
public:
    ReservedFile() = default;
    ~ReservedFile() { Close(); }
    ReservedFile(const ReservedFile&) = delete;
    ReservedFile& operator=(const ReservedFile&) = delete;

    // Opens the file (closing anything open before). Returns 1 or 0. Here and below a failing system
    // call's reason is noted (tasks/failure.h).
    int Open(const std::filesystem::path& name, OpenMode mode);

    // Takes an open file (closing anything open before); name is how it is shown.
    void Adopt(UniqueFd fd, OpenMode mode, const std::filesystem::path& name);

    // Fails when a size is already reserved or no file is open. size 0 takes the whole file (and
    // fails for an empty file); a size beyond the file grows it with zeros (writable files only).
    int Reserve(uint64_t size);
    // Reserves again with a new size (grows the file as Reserve does).
    int Grow(uint64_t size);
    // A reserved, writable file to a new non-zero size: grown with allocated zeros or cut. On failure
    // the file and its reservation stay as they were.
    int Resize(uint64_t size);

    // Writes bytes at offset inside the reserved size with pwrite.
    int WriteAt(uint64_t offset, const void* data, size_t bytes);
    // Everything: reservation, file, name.
    void Close();
    // Close, with the result of closing the file: 0 (and the reason noted) when close() failed.
    int CloseChecked();

    bool IsReserved() const { return isReserved_; }
    bool IsOpen() const { return file_.IsOpen(); }
    bool IsWritable() const { return file_.IsWritable(); }
    uint64_t ReservedSize() const { return reservedSize_; }
    const std::filesystem::path& Name() const { return name_; }
    int Fd() const { return file_.Fd(); }

private:
    FileHandle file_;
    uint64_t reservedSize_ = 0;
    bool isReserved_ = false;
    std::filesystem::path name_;
};

}  // namespace brindle
