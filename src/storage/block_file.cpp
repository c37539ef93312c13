#include "storage/block_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "storage/file_io.h"
#include "storage/temp_files.h"
#include "tasks/failure.h"

namespace brindle {

int BlockFile::Create(uint32_t n, bool unnamed)
{
    if (n == 0 || n > kMaxStoredSamples || storedLength_ != 0 || file_.IsReserved())
        return 0;
    if (std::shared_ptr<StoreFolder> folder = unnamed ? nullptr : CurrentStoreFolder()) {
        const uint64_t id = folder->NewId();
        if (!folder->Create(id, StoreFileKind::Floats, uint64_t(n) * sizeof(float)))
            return 0;
        folder_ = std::move(folder);
        id_ = id;
        storedLength_ = n;
        return 1;
    }
    storedLength_ = n;
    UniqueFd fd = CreateUnnamedTempFile();
    if (!fd.IsValid())
        return storedLength_ = 0, 0;
    const int raw = fd.Get();
    file_.Adopt(std::move(fd), OpenMode::ReadWrite, DescriptorPath(raw));
    if (!file_.Reserve(uint64_t(n) * sizeof(float))) {
        file_.Close();
        storedLength_ = 0;
        return 0;
    }
    return 1;
}

void BlockFile::Reopen(std::shared_ptr<StoreFolder> folder, uint64_t id, uint32_t n)
{
    Release();
    folder_ = std::move(folder);
    id_ = id;
    storedLength_ = n;
}

void BlockFile::Release()
{
    if (folder_) {
        folder_->Remove(id_, StoreFileKind::Floats);
        folder_.reset();
    }
    // An unnamed file: closing it is all it takes to give its space back.
    file_.Close();
    storedLength_ = 0;
}

int BlockFile::Descriptor(std::shared_ptr<const UniqueFd>& holder) const
{
    if (!folder_)
        return file_.Fd();
    holder = folder_->Descriptor(id_, StoreFileKind::Floats);
    return holder ? holder->Get() : -1;
}

std::filesystem::path BlockFile::FileName() const
{
    return folder_ ? folder_->Path() / StoreFolder::FileName(id_, StoreFileKind::Floats) : file_.Name();
}

int BlockFile::Resize(uint32_t n)
{
    if (n == 0 || n > kMaxStoredSamples || !IsReady())
        return 0;
    if (folder_) {
        std::shared_ptr<const UniqueFd> holder;
        const int fd = Descriptor(holder);
        if (fd < 0)
            return 0;
        const uint64_t old = uint64_t(storedLength_) * sizeof(float), size = uint64_t(n) * sizeof(float);
        if (size > old) {
            if (const int err = ::posix_fallocate(fd, off_t(old), off_t(size - old)); err != 0) {
                (void)::ftruncate(fd, off_t(old));
                NoteSystemFailure(err);
                return 0;
            }
        } else if (size < old && ::ftruncate(fd, off_t(size)) != 0) {
            NoteSystemFailure();
            return 0;
        }
        storedLength_ = n;
        return 1;
    }
    if (!file_.Resize(uint64_t(n) * sizeof(float)))
        return 0;
    storedLength_ = n;
    return 1;
}

int BlockFile::CopyFrom(const BlockFile& source)
{
    if (&source == this)
        return 1;
    Release();
    if (source.storedLength_ == 0 && !source.file_.IsReserved())
        return 1;
    if (!source.IsReady() || !Create(source.storedLength_))
        return 0;
    std::vector<float> block(std::min(storedLength_, kBlockSamples));
    for (uint32_t i = 0; i < BlockCount(); ++i) {
        const uint32_t count = SamplesInBlock(i);
        if (!source.ReadSamples(i * kBlockSamples, block.data(), count) ||
            !WriteSamples(i * kBlockSamples, block.data(), count)) {
            Release();
            return 0;
        }
    }
    return 1;
}

int BlockFile::ReadSamples(uint32_t position, float* destination, uint32_t count) const
{
    if (!destination || !IsReady() || uint64_t(position) + count > storedLength_)
        return 0;
    const size_t total = size_t(count) * sizeof(float);
    std::shared_ptr<const UniqueFd> holder;
    const int fd = Descriptor(holder);
    if (fd < 0)
        return 0;
    return ReadFullyAt(fd, destination, total, int64_t(position) * int64_t(sizeof(float))) == int64_t(total);
}

int BlockFile::WriteSamples(uint32_t position, const float* source, uint32_t count)
{
    if (!source || count > kBlockSamples || !IsReady())
        return 0;
    const uint32_t k = position / kBlockSamples;
    const uint32_t viewSamples = std::min<uint32_t>(SamplesInBlock(k) * 2, storedLength_ - k * kBlockSamples);
    const uint32_t first = position - k * kBlockSamples;
    if (uint64_t(first) + count > viewSamples)
        return 0;
    if (folder_) {
        std::shared_ptr<const UniqueFd> holder;
        const int fd = Descriptor(holder);
        if (fd < 0 || !WriteFullyAt(fd, source, size_t(count) * sizeof(float), int64_t(position) * int64_t(sizeof(float)))) {
            if (fd >= 0)
                NoteSystemFailure();
            return 0;
        }
        return 1;
    }
    return file_.WriteAt(uint64_t(position) * sizeof(float), source, size_t(count) * sizeof(float));
}

bool BlockFile::IsReady() const
{
    if (folder_)
        return storedLength_ != 0;
    return storedLength_ != 0 && file_.ReservedSize() != 0 && !file_.Name().empty() && file_.IsReserved();
}

uint32_t BlockFile::SamplesInBlock(int64_t i) const
{
    if (i < 0 || i >= int64_t(BlockCount()))
        return 0;
    if (i + 1 < int64_t(BlockCount()))
        return kBlockSamples;
    const uint32_t rest = storedLength_ % kBlockSamples;
    return rest == 0 ? kBlockSamples : rest;
}

}  // namespace brindle
