#include "storage/mapped_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

#include "tasks/failure.h"

namespace brindle {

MappedView::MappedView(MappedView&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), size_(std::exchange(other.size_, 0))
{
}

MappedView& MappedView::operator=(MappedView&& other) noexcept
{
    if (this != &other) {
        Reset();
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void MappedView::Reset()
{
    if (base_)
        ::munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
}

int MappedFile::Open(const std::filesystem::path& name, OpenMode mode)
{
    Close();
    if (!file_.Open(name, mode))
        return 0;
    name_ = name;
    return 1;
}

int MappedFile::CreateMapping(uint64_t size)
{
    if (hasMapping_ || !file_.IsOpen())
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
        // Allocate the blocks now: a sparse hole written through a mapping on a full disk is a SIGBUS.
        if (int err = ::posix_fallocate(file_.Fd(), fileSize, off_t(size - uint64_t(fileSize))); err != 0) {
            (void)::ftruncate(file_.Fd(), fileSize);
            NoteSystemFailure(err);
            errno = err;
            return 0;
        }
    }
    mappingSize_ = size;
    hasMapping_ = true;
    return 1;
}

int MappedFile::RecreateMapping(uint64_t size)
{
    CloseMapping();
    return CreateMapping(size);
}

void* MappedFile::MapView(uint64_t offset, size_t size)
{
    if (!hasMapping_ || view_.IsMapped() || offset % kAllocationGranularity != 0 || offset >= mappingSize_)
        return nullptr;
    if (size == 0)
        size = size_t(mappingSize_ - offset);
    if (size > mappingSize_ - offset)
        return nullptr;
    const int protection = file_.IsWritable() ? PROT_READ | PROT_WRITE : PROT_READ;
    void* base = ::mmap(nullptr, size, protection, MAP_SHARED, file_.Fd(), off_t(offset));
    if (base == MAP_FAILED) {
        NoteSystemFailure();
        return nullptr;
    }
    view_ = MappedView(base, size);
    viewOffset_ = offset;
    return base;
}

void* MappedFile::RemapView(uint64_t offset, size_t size)
{
    view_.Reset();
    return MapView(offset, size);
}

void MappedFile::CloseMapping()
{
    view_.Reset();
    viewOffset_ = 0;
    mappingSize_ = 0;
    hasMapping_ = false;
}

void MappedFile::Close()
{
    CloseMapping();
    file_.Close();
    name_.clear();
}

int MappedFile::CloseChecked()
{
    CloseMapping();
    const int result = file_.CloseChecked();
    name_.clear();
    return result;
}

int MappedFile::WriteAt(uint64_t offset, const void* data, size_t bytes)
{
    if (!hasMapping_ || !file_.IsWritable() || offset > mappingSize_ || bytes > mappingSize_ - offset)
        return 0;
    const char* from = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t put = ::pwrite(file_.Fd(), from, bytes, off_t(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            NoteSystemFailure(put < 0 ? errno : ENOSPC);
            return 0;
        }
        from += put;
        offset += uint64_t(put);
        bytes -= size_t(put);
    }
    return 1;
}

int MappedFile::Flush()
{
    if (!view_.IsMapped())
        return 0;
    return ::msync(view_.Base(), view_.Size(), MS_ASYNC) == 0 ? 1 : 0;
}

}  // namespace brindle
