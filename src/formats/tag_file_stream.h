// The file TagLib reads and writes tags through: a descriptor of ours instead of TagLib's own stdio
// stream, which neither stops when the user cancels (a file that is not an MP3 is scanned to its end)
// nor says when a write failed (a full disk left a file cut short and a save that "succeeded").
//
// Every read and write first polls the Progress; once it is cancelled, or once any system call has
// failed, reads return nothing and writes do nothing, so TagLib runs out quickly, and Error() tells
// the caller what happened. Internal to the tag code; TagLib's types do not reach the core's users.
#pragma once

#include <filesystem>
#include <string>

#include <taglib/tiostream.h>

#include "storage/unique_fd.h"

namespace brindle {

class Progress;
class SourceFile;

class TagFileStream final : public TagLib::IOStream {
public:
    TagFileStream() = default;

    // Opens a regular file, read-only or for reading and writing; a FIFO or a device is refused
    // before anything waits on it. Throws a Failure with the reason.
    void Open(const std::filesystem::path& path, bool writable, Progress* progress);
    // Reads the file opened at the door, through a descriptor of its own.
    void Open(const SourceFile& source, Progress* progress);
    // Throws the reason of Error() when it is set: the system's, or cancellation.
    void ThrowIfFailed() const;

    // The first failure's errno, ECANCELED once the Progress was cancelled, 0 while all is well.
    int Error() const { return error_; }

    TagLib::FileName name() const override { return name_.c_str(); }
    TagLib::ByteVector readBlock(unsigned long length) override;
    void writeBlock(const TagLib::ByteVector& data) override;
    void insert(const TagLib::ByteVector& data, unsigned long start = 0, unsigned long replace = 0) override;
    void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
    bool readOnly() const override { return !writable_; }
    bool isOpen() const override { return fd_.IsValid(); }
    void seek(long offset, Position p = Beginning) override;
    long tell() const override { return position_; }
    long length() override;
    void truncate(long length) override;

private:
    // False once failed or cancelled (noting the cancellation).
    bool Usable();
    void Fail(int errorNumber);
    // Whole transfers at a given offset; false on failure (noted).
    bool ReadAt(char* data, size_t size, long offset, size_t& got);
    bool WriteAt(const char* data, size_t size, long offset);
    // Moves the bytes from `from` to the end of the file so that they start at `to`.
    bool MoveTail(long from, long to);

    static constexpr size_t kMoveChunk = 1 << 20;

    std::string name_;
    UniqueFd fd_;
    bool writable_ = false;
    Progress* progress_ = nullptr;
    long position_ = 0;
    long size_ = 0;  // kept here: TagLib asks for it often, and only this stream changes the file
    int error_ = 0;
};

}  // namespace brindle
