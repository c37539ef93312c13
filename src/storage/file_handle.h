// The owner of one open file, shared by the mapped files and the streams.
#pragma once

#include <cstdint>
#include <filesystem>

#include "storage/unique_fd.h"

namespace brindle {

enum class OpenMode {
    ReadOnly,          // the file must exist; never changes it
    ReadWrite,         // read and write; the file must exist
    CreateOrTruncate,  // read and write; created, or truncated to 0 bytes
};

class FileHandle {
public:
    FileHandle() = default;
    FileHandle(FileHandle&&) noexcept = default;
    FileHandle& operator=(FileHandle&&) noexcept = default;

    // Closes any open file first. Only a regular file opens: a folder, FIFO or device is refused
    // without blocking and before anything is read from it. Returns 1 on success, 0 on failure, whose
    // reason is noted (tasks/failure.h).
    int Open(const std::filesystem::path& name, OpenMode mode);
    // Takes an already open regular file (one made by the caller, such as an unnamed temporary file).
    void Adopt(UniqueFd fd, OpenMode mode)
    {
        fd_ = std::move(fd);
        mode_ = mode;
    }
    void Close() { fd_.Reset(); }
    // Close, with the result of close(): 0 (and the reason noted) when it reported an error.
    int CloseChecked();

    bool IsOpen() const { return fd_.IsValid(); }
    bool IsWritable() const { return IsOpen() && mode_ != OpenMode::ReadOnly; }
    int Fd() const { return fd_.Get(); }
    // The file's size in bytes, or -1 when closed or unknown.
    int64_t FileSize() const;

private:
    UniqueFd fd_;
    OpenMode mode_ = OpenMode::ReadOnly;
};

}  // namespace brindle
