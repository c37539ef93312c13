#include "storage/mapped_file_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/file_io.h"
#include "tasks/failure.h"

namespace brindle {

int MappedFileStream::OpenForWriting(const std::filesystem::path& name, uint32_t initialSize)
{
    if (name.empty() || initialSize == 0 || isOpen_)
        return 0;
    size_ = 0;
    position_ = 0;
    windowBytes_ = 0;
    hasReadFault_ = false;
    if (!mapped_.Open(name, OpenMode::CreateOrTruncate))
        return 0;
    if (!mapped_.Reserve(initialSize)) {
        mapped_.Close();
        return 0;
    }
    isOpen_ = true;
    isWriting_ = true;
    return 1;
}

int MappedFileStream::OpenForReading(const std::filesystem::path& name)
{
    if (name.empty() || isOpen_)
        return 0;
    size_ = 0;
    position_ = 0;
    windowBytes_ = 0;
    hasReadFault_ = false;
    if (!mapped_.Open(name, OpenMode::ReadOnly))
        return 0;
    return TakeOpenedForReading();
}

int MappedFileStream::OpenForReading(const SourceFile& source)
{
    if (!source.IsOpen() || isOpen_)
        return 0;
    UniqueFd fd = source.Duplicate();
    if (!fd.IsValid())
        return 0;
    mapped_.Adopt(std::move(fd), OpenMode::ReadOnly, source.Path());
    return TakeOpenedForReading();
}

int MappedFileStream::TakeOpenedForReading()
{
    size_ = 0;
    position_ = 0;
    windowBytes_ = 0;
    hasReadFault_ = false;
    // The size of the file that was opened, not of whatever the name points to a moment later.
    struct stat st {};
    if (::fstat(mapped_.Fd(), &st) != 0 || uint64_t(st.st_size) > UINT32_MAX) {
        NoteSystemFailure(uint64_t(st.st_size) > UINT32_MAX ? EFBIG : errno);
        mapped_.Close();
        return 0;
    }
    const uint64_t fileSize = uint64_t(st.st_size);
    size_ = uint32_t(fileSize);
    isOpen_ = true;
    isWriting_ = false;
    return 1;
}

int MappedFileStream::CloseChecked()
{
    int result = 1;
    if (isOpen_) {
        // Only a written file is cut: closing a read stream must never change the file. The file's
        // own size is asked, not the reserved one, since a failed growth leaves no reservation.
        if (isWriting_) {
            struct stat st {};
            if (::fstat(mapped_.Fd(), &st) != 0) {
                NoteSystemFailure();
                result = 0;
            } else if (uint64_t(st.st_size) > size_ && ::ftruncate(mapped_.Fd(), off_t(size_)) != 0) {
                // The file would keep the tail of its last growth step: zeros after the content.
                NoteSystemFailure();
                result = 0;
            }
            if (!mapped_.CloseChecked())
                result = 0;
        } else {
            mapped_.Close();
        }
    }
    isOpen_ = false;
    isWriting_ = false;
    size_ = 0;
    position_ = 0;
    windowBytes_ = 0;
    window_ = {};
    return result;
}

bool MappedFileStream::ReadFully(uint32_t offset, uint8_t* destination, uint32_t n)
{
    const int64_t got = ReadFullyAt(mapped_.Fd(), destination, n, offset);
    if (got == int64_t(n))
        return true;
    if (got < 0)
        NoteSystemFailure();
    else
        NoteFailure({FailureKind::System, "the file shrank while it was read"});
    hasReadFault_ = true;
    return false;
}

bool MappedFileStream::ReadAt(uint32_t offset, uint8_t* destination, uint32_t n)
{
    const uint64_t end = uint64_t(offset) + n;
    if (windowBytes_ != 0 && offset >= windowOffset_ && end <= uint64_t(windowOffset_) + windowBytes_) {
        std::memcpy(destination, window_.data() + (offset - windowOffset_), n);
        return true;
    }
    // A large request (a block of samples) goes straight to the caller's buffer; small ones (chunk
    // headers, the decoder's few hundred bytes at a time) are served from one pread per window.
    if (n >= kStreamWindowBytes)
        return ReadFully(offset, destination, n);
    window_.resize(kStreamWindowBytes);
    windowBytes_ = 0;
    const uint32_t bytes = uint32_t(std::min<uint64_t>(kStreamWindowBytes, uint64_t(size_) - offset));
    if (!ReadFully(offset, window_.data(), bytes))
        return false;
    windowOffset_ = offset;
    windowBytes_ = bytes;
    std::memcpy(destination, window_.data(), n);
    return true;
}

uint32_t MappedFileStream::Read(void* buffer, uint32_t itemSize, uint32_t count)
{
    if (RequestBytes(buffer, itemSize, count) == 0 || !isOpen_ || hasReadFault_ || IsAtEnd())
        return 0;
    const uint32_t n = uint32_t(std::min<uint64_t>(uint64_t(itemSize) * count, size_ - position_));
    if (n == 0 || !ReadAt(position_, static_cast<uint8_t*>(buffer), n))
        return 0;
    position_ += n;
    return n / itemSize;
}

uint32_t MappedFileStream::Write(const void* buffer, uint32_t itemSize, uint32_t count)
{
    const uint32_t n = RequestBytes(buffer, itemSize, count);
    if (n == 0 || !isOpen_ || !isWriting_)
        return 0;
    const uint64_t end = uint64_t(position_) + n;
    if (end > UINT32_MAX)
        return 0;
    windowBytes_ = 0;  // what is read back must be what was written
    if (mapped_.ReservedSize() < end) {
        const uint64_t grown = (end + kStreamWindowBytes - 1) / kStreamWindowBytes * kStreamWindowBytes;
        if (!mapped_.Grow(grown))
            return 0;
    }
    // Written with pwrite, not through a view: see ReservedFile::WriteAt.
    if (!mapped_.WriteAt(position_, buffer, n))
        return 0;
    position_ = uint32_t(end);
    size_ = std::max(size_, position_);
    return n / itemSize;
}

int MappedFileStream::MoveTo(uint32_t position)
{
    position_ = position;
    return 1;
}

}  // namespace brindle
