#include "storage/reserved_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "storage/file_io.h"
#include "tasks/failure.h"

namespace brindle {

int ReservedFile::Open(const std::filesystem::path& name, OpenMode mode)
{
    Close();
    if (!file_.Open(name, mode))
        return 0;
    name_ = name;
    return 1;
}

void ReservedFile::Adopt(UniqueFd fd, OpenMode mode, const std::filesystem::path& name)
{
    Close();
    file_.Adopt(std::move(fd), mode);
    name_ = file_.IsOpen() ? name : std::filesystem::path();
}

int ReservedFile::Reserve(uint64_t size)
{
    if (isReserved_ || !file_.IsOpen())
        return 0;
    const int64_t fileSize = file_.FileSize();
    if (fileSize < 0)
        return 0;
    if (size == 0) {
        if (fileSize == 0)
            return 0;
        size = uint64_t(fileSize);
    } else if (size > uint64_t(fileSize)) {
        if (!file_.IsWritable())
            return 0;
        // Allocate the blocks now, so that a full disk fails here and not half-way through a write.
        if (int err = ::posix_fallocate(file_.Fd(), fileSize, off_t(size - uint64_t(fileSize))); err != 0) {
            (void)::ftruncate(file_.Fd(), fileSize);
            NoteSystemFailure(err);
            errno = err;
            return 0;
        }
    }
    reservedSize_ = size;
    isReserved_ = true;
    return 1;
}

int ReservedFile::Grow(uint64_t size)
{
    reservedSize_ = 0;
    isReserved_ = false;
    return Reserve(size);
}

int ReservedFile::Resize(uint64_t size)
{
    if (!isReserved_ || !file_.IsWritable() || size == 0)
        return 0;
    if (size > reservedSize_) {
        const uint64_t old = reservedSize_;
        if (int err = ::posix_fallocate(file_.Fd(), off_t(old), off_t(size - old)); err != 0) {
            (void)::ftruncate(file_.Fd(), off_t(old));
            NoteSystemFailure(err);
            errno = err;
            return 0;
        }
    } else if (size < reservedSize_ && ::ftruncate(file_.Fd(), off_t(size)) != 0) {
        NoteSystemFailure();
        return 0;
    }
    reservedSize_ = size;
    return 1;
}

void ReservedFile::Close()
{
    reservedSize_ = 0;
    isReserved_ = false;
    file_.Close();
    name_.clear();
}

int ReservedFile::CloseChecked()
{
    reservedSize_ = 0;
    isReserved_ = false;
    const int result = file_.CloseChecked();
    name_.clear();
    return result;
}

int ReservedFile::WriteAt(uint64_t offset, const void* data, size_t bytes)
{
    if (!isReserved_ || !file_.IsWritable() || offset > reservedSize_ || bytes > reservedSize_ - offset)
        return 0;
    if (!WriteFullyAt(file_.Fd(), data, bytes, int64_t(offset))) {
        NoteSystemFailure();
        return 0;
    }
    return 1;
}

}  // namespace brindle
