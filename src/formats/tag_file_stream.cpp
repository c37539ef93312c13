#include "formats/tag_file_stream.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "storage/file_io.h"
#include "storage/source_file.h"
#include "tasks/failure.h"
#include "tasks/progress.h"

namespace brindle {

void TagFileStream::Open(const std::filesystem::path& path, bool writable, Progress* progress)
{
    name_ = path.string();
    writable_ = writable;
    progress_ = progress;
    // O_NONBLOCK: opening a FIFO that has no writer would otherwise wait for one.
    fd_.Reset(::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd_.IsValid())
        ThrowSystem();
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0)
        ThrowSystem();
    if (!S_ISREG(st.st_mode)) {
        fd_.Reset();
        ThrowFormat(S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file");
    }
    size_ = long(st.st_size);
}

void TagFileStream::Open(const SourceFile& source, Progress* progress)
{
    name_ = source.Path().string();
    writable_ = false;
    progress_ = progress;
    fd_ = source.Duplicate();
    if (!fd_.IsValid())
        ThrowSystem();
    size_ = long(source.Size());
}

void TagFileStream::ThrowIfFailed() const
{
    if (error_ == ECANCELED)
        ThrowCancelled();
    if (error_ != 0)
        ThrowSystem(error_);
}

bool TagFileStream::Usable()
{
    if (error_ != 0 || !fd_.IsValid())
        return false;
    if (IsCancelled(progress_)) {
        error_ = ECANCELED;
        return false;
    }
    return true;
}

void TagFileStream::Fail(int errorNumber)
{
    if (error_ == 0)
        error_ = errorNumber != 0 ? errorNumber : EIO;
}

bool TagFileStream::ReadAt(char* data, size_t size, long offset, size_t& got)
{
    // Short at the end of the file.
    const int64_t n = ReadFullyAt(fd_.Get(), data, size, int64_t(offset));
    if (n < 0) {
        got = 0;
        Fail(errno);
        return false;
    }
    got = size_t(n);
    return true;
}

bool TagFileStream::WriteAt(const char* data, size_t size, long offset)
{
    if (!writable_) {
        Fail(EBADF);
        return false;
    }
    if (!WriteFullyAt(fd_.Get(), data, size, int64_t(offset))) {
        Fail(errno);
        return false;
    }
    size_ = std::max(size_, offset + long(size));
    return true;
}

TagLib::ByteVector TagFileStream::readBlock(unsigned long length)
{
    if (!Usable() || position_ >= size_)
        return {};
    // A damaged header can ask for far more than the file holds; allocate only what is there.
    const size_t wanted = size_t(std::min<unsigned long>(length, (unsigned long)(size_ - position_)));
    TagLib::ByteVector data(unsigned(wanted), '\0');
    size_t got = 0;
    if (!ReadAt(data.data(), wanted, position_, got))
        return {};
    data.resize(unsigned(got));
    position_ += long(got);
    return data;
}

void TagFileStream::writeBlock(const TagLib::ByteVector& data)
{
    if (!Usable())
        return;
    if (WriteAt(data.data(), data.size(), position_))
        position_ += long(data.size());
}

bool TagFileStream::MoveTail(long from, long to)
{
    const long count = size_ - from;
    if (count <= 0 || from == to)
        return true;
    std::vector<char> buffer(size_t(std::min<long>(count, long(kMoveChunk))));
    long moved = 0;
    while (moved < count) {
        if (!Usable())
            return false;
        const long chunk = std::min<long>(long(buffer.size()), count - moved);
        // Moving up, the last bytes go first so that none is overwritten before it was copied.
        const long source = to > from ? from + count - moved - chunk : from + moved;
        size_t got = 0;
        if (!ReadAt(buffer.data(), size_t(chunk), source, got))
            return false;
        if (got != size_t(chunk)) {
            Fail(EIO);  // the file shrank under us
            return false;
        }
        if (!WriteAt(buffer.data(), size_t(chunk), source + (to - from)))
            return false;
        moved += chunk;
    }
    return true;
}

void TagFileStream::insert(const TagLib::ByteVector& data, unsigned long start, unsigned long replace)
{
    if (!Usable())
        return;
    const long begin = long(start);
    const long oldEnd = begin + long(replace);
    const long newEnd = begin + long(data.size());
    if (newEnd > oldEnd && !MoveTail(oldEnd, newEnd))
        return;
    if (!WriteAt(data.data(), data.size(), begin))
        return;
    if (newEnd < oldEnd) {
        const long shrunk = size_ - (oldEnd - newEnd);
        if (!MoveTail(oldEnd, newEnd))
            return;
        truncate(shrunk);
    }
    position_ = newEnd;
}

void TagFileStream::removeBlock(unsigned long start, unsigned long length)
{
    if (!Usable() || length == 0)
        return;
    const long begin = long(start);
    const long end = std::min(size_, begin + long(length));
    if (begin >= end)
        return;
    const long shrunk = size_ - (end - begin);
    if (MoveTail(end, begin))
        truncate(shrunk);
}

void TagFileStream::seek(long offset, Position p)
{
    const long base = p == Beginning ? 0 : p == Current ? position_ : size_;
    // Like fseek, a position before the start is refused and the old one kept.
    if (base + offset >= 0)
        position_ = base + offset;
}

long TagFileStream::length() { return size_; }

void TagFileStream::truncate(long length)
{
    if (!Usable())
        return;
    if (!writable_) {
        Fail(EBADF);
        return;
    }
    if (::ftruncate(fd_.Get(), off_t(length)) != 0) {
        Fail(errno);
        return;
    }
    size_ = length;
}

}  // namespace brindle
