// The user's file that a load reads, opened once at the door: the WAV header, the conversion, the
// tags, the MP3 decoder and its frame index all read this one descriptor, so that what they read is
// one file, however its name is moved, replaced or rewritten meanwhile. The identity taken from it
// is the one rule by which the program tells whether a file is still what it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <sys/stat.h>

#include "storage/file_handle.h"
#include "storage/unique_fd.h"

namespace brindle {

// Device and inode, size, and the modification and change times in nanoseconds. A rewrite in place
// that keeps the size and sets the modification time back (as tag editors do with `touch -r`) still
// moves the change time, which nothing but the kernel sets.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanoseconds = 0;
    int64_t changedSeconds = 0;
    int64_t changedNanoseconds = 0;

    static FileIdentity Of(const struct stat& info);
    bool operator==(const FileIdentity&) const = default;
};

class SourceFile {
public:
    SourceFile() = default;
    SourceFile(SourceFile&&) noexcept = default;
    SourceFile& operator=(SourceFile&&) noexcept = default;

    // Opens path read-only: only a regular file, without blocking on a FIFO or reading a device. 1, or
    // 0 with the reason noted (tasks/failure.h). Every open of a user's file for a load comes here.
    int Open(const std::filesystem::path& path);
    bool IsOpen() const { return file_.IsOpen(); }

    // For pread: readers that keep their own position may share it.
    int Fd() const { return file_.Fd(); }
    const std::filesystem::path& Path() const { return path_; }
    const FileIdentity& Identity() const { return identity_; }
    uint64_t Size() const { return identity_.size; }

    // A descriptor of the same open file for a reader of its own that reads with pread. Invalid,
    // with the reason noted, when none can be had.
    UniqueFd Duplicate() const;
    // The same for a reader that moves the file offset (read, lseek, a library given a descriptor),
    // with the offset, which every descriptor of this file shares, set to the start: such readers
    // take turns, and a pread reader may read meanwhile.
    UniqueFd DuplicateAtStart() const;

    // Whether the file is still the one opened, by its identity now; but a change time moved by
    // unlinking the name alone (the file deleted, or a save renamed over it) is no change: the open
    // file still holds every byte it held. Its bytes themselves are for the caller to check.
    bool IsUnchangedButForItsName() const;

private:
    FileHandle file_;
    std::filesystem::path path_;
    FileIdentity identity_;
};

}  // namespace brindle
