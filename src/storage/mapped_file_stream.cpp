#include "storage/mapped_file_stream.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/temp_files.h"

namespace brindle {

int MappedFileStream::OpenForWriting(const std::filesystem::path& name, uint32_t initialSize)
{
    if (name.empty() || initialSize == 0 || isOpen_)
        return 0;
    size_ = 0;
    position_ = 0;
    if (!mapped_.Open(name, OpenMode::CreateAlways))
        return 0;
    if (!mapped_.CreateMapping(initialSize)) {
        mapped_.Close();
        return 0;
    }
    isOpen_ = true;
    isWriting_ = true;
    return 1;
}

int MappedFileStream::OpenForReading(const std::filesystem::path& name)
{
    if (name.empty() || isOpen_ || !ExistsFile(name))
        return 0;
    size_ = 0;
    position_ = 0;
    if (!mapped_.Open(name, OpenMode::ReadExisting))
        return 0;
    std::error_code ec;
    const uintmax_t fileSize = std::filesystem::file_size(name, ec);
    if (ec || fileSize > UINT32_MAX) {
        mapped_.Close();
        return 0;
    }
    // An empty file has nothing to map; it opens all the same and reads nothing.
    if (fileSize != 0 && !mapped_.CreateMapping(fileSize)) {
        mapped_.Close();
        return 0;
    }
    size_ = uint32_t(fileSize);
    isOpen_ = true;
    isWriting_ = false;
    return 1;
}

void MappedFileStream::Close()
{
    if (isOpen_) {
        const int fd = mapped_.Fd();
        mapped_.UnmapView();
        // Only a written file is cut: closing a read stream must never change the file. The file's
        // own size is asked, not the mapping's, since a failed growth leaves no mapping behind.
        struct stat st {};
        if (isWriting_ && ::fstat(fd, &st) == 0 && uint64_t(st.st_size) > size_)
            (void)::ftruncate(fd, off_t(size_));
        mapped_.Close();
    }
    isOpen_ = false;
    isWriting_ = false;
    size_ = 0;
    position_ = 0;
}

uint8_t* MappedFileStream::ViewFor(uint64_t position, uint64_t end)
{
    auto* base = static_cast<uint8_t*>(mapped_.ViewBase());
    const uint64_t viewOffset = mapped_.ViewOffset();
    if (base && position >= viewOffset && end <= viewOffset + mapped_.ViewSize())
        return base + (position - viewOffset);

    const uint64_t mappingSize = mapped_.MappingSize();
    const uint64_t first = position / kStreamWindowBytes;
    const uint64_t last = (end - 1) / kStreamWindowBytes;
    const uint64_t windowCount = (mappingSize + kStreamWindowBytes - 1) / kStreamWindowBytes;
    const uint64_t offset = first * kStreamWindowBytes;
    const uint64_t bytes = last + 1 >= windowCount ? mappingSize - offset : (last - first + 1) * kStreamWindowBytes;
    base = static_cast<uint8_t*>(mapped_.RemapView(offset, size_t(bytes)));
    return base ? base + (position - offset) : nullptr;
}

uint32_t MappedFileStream::Read(void* buffer, uint32_t itemSize, uint32_t count)
{
    if (RequestBytes(buffer, itemSize, count) == 0 || !isOpen_ || IsAtEnd())
        return 0;
    const uint32_t n = uint32_t(std::min<uint64_t>(uint64_t(itemSize) * count, size_ - position_));
    if (n == 0)
        return 0;
    const uint8_t* from = ViewFor(position_, uint64_t(position_) + n);
    if (!from)
        return 0;
    std::memcpy(buffer, from, n);
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
    if (mapped_.MappingSize() < end) {
        const uint64_t grown = (end + kStreamWindowBytes - 1) / kStreamWindowBytes * kStreamWindowBytes;
        if (!mapped_.RecreateMapping(grown))
            return 0;
    }
    // Written with pwrite, not through the view: see MappedFile::WriteAt.
    if (!mapped_.WriteAt(position_, buffer, n))
        return 0;
    position_ = uint32_t(end);
    size_ = std::max(size_, position_);
    return n / itemSize;
}

int MappedFileStream::Seek(int64_t offset, SeekOrigin origin)
{
    if (!isOpen_)
        return 0;
    const int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
    const int64_t target = base + offset;
    if (target < 0 || target > int64_t(UINT32_MAX))
        return 0;
    position_ = uint32_t(target);
    return 1;
}

}  // namespace brindle
