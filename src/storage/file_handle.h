// The owner of one open file, shared by the mapped files and the streams.
#pragma once

#include <cstdint>
#include <filesystem>

#include "storage/unique_fd.h"

namespace brindle {

enum class OpenMode {
    ReadExisting,       // read only; the file must exist; never changes it
    ReadWriteExisting,  // read and write; the file must exist
    CreateAlways,       // read and write; created, or truncated to 0 bytes
};

class FileHandle {
public:
    FileHandle() = default;
    virtual ~FileHandle() = default;
    FileHandle(FileHandle&&) noexcept = default;
    FileHandle& operator=(FileHandle&&) noexcept = default;

    // Closes any open file first. Returns 1 on success, 0 on failure (errno tells why).
    virtual int Open(const std::filesystem::path& name, OpenMode mode);
    virtual void Close() { fd_.Reset(); }

    bool IsOpen() const { return fd_.IsValid(); }
    bool IsWritable() const { return IsOpen() && mode_ != OpenMode::ReadExisting; }
    int Fd() const { return fd_.Get(); }
    // The file's size in bytes, or -1 when closed or unknown.
    int64_t FileSize() const;

private:
    UniqueFd fd_;
    OpenMode mode_ = OpenMode::ReadExisting;
};

}  // namespace brindle
