#include "storage/sample_store.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "storage/file_io.h"
#include "storage/sample_conversion.h"
#include "storage/temp_files.h"
#include "tasks/failure.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

// Copies [offset, offset + size) of source to the same offsets of target, in the kernel where it can,
// telling moved(bytes) after each step. Notes why it failed, unless it was cancelled.
template <class Moved>
bool CopyBytes(int source, int target, int64_t offset, int64_t size, const Progress* progress, Moved&& moved)
{
    // At most 64 MiB a step, so a cancel is heard within a few tens of milliseconds; a small file
    // still moves the bar in steps.
    const int64_t stepBytes = std::clamp<int64_t>(size / 16, 64 << 10, int64_t(64) << 20);
    bool inKernel = true;
    std::vector<uint8_t> buffer;
    for (int64_t done = 0; done < size;) {
        if (IsCancelled(progress))
            return false;
        const int64_t step = std::min(stepBytes, size - done);
        int64_t copied = 0;
        while (inKernel && copied < step) {
            loff_t in = offset + done + copied;
            loff_t out = in;
            const ssize_t n = ::copy_file_range(source, &in, target, &out, size_t(step - copied), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0) {
                copied += n;
                continue;
            }
            if (n == 0 || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS) {
                inKernel = false;  // a short source is caught by the plain read below
                break;
            }
            NoteSystemFailure();
            return false;
        }
        if (copied < step) {
            buffer.resize(size_t(std::min<int64_t>(step - copied, 1 << 20)));
            for (int64_t at = copied; at < step; at += int64_t(buffer.size())) {
                const size_t n = size_t(std::min<int64_t>(int64_t(buffer.size()), step - at));
                const int64_t got = ReadFullyAt(source, buffer.data(), n, offset + done + at);
                if (got != int64_t(n)) {
                    if (got < 0)
                        NoteSystemFailure();
                    else
                        NoteFailure({FailureKind::System, "the file shrank while it was read"});
                    return false;
                }
                if (!WriteFullyAt(target, buffer.data(), n, offset + done + at)) {
                    NoteSystemFailure();
                    return false;
                }
            }
        }
        done += step;
        moved(done);
    }
    return true;
}

// progress at start plus done / size of range.
void MoveTo(Progress* progress, uint32_t start, uint32_t range, int64_t done, int64_t size)
{
    if (!progress || size <= 0)
        return;
    const int64_t target = int64_t(start) + int64_t(uint64_t(range) * uint64_t(std::min(done, size)) / uint64_t(size));
    progress->Advance(int32_t(target - int64_t(progress->Position())));
}

// A descriptor of a store folder's file that deletes the file with the last of its holders.
struct FolderFile {
    std::shared_ptr<StoreFolder> folder;
    uint64_t id = 0;
    UniqueFd fd;
    ~FolderFile()
    {
        if (folder)
            folder->Remove(id, StoreFileKind::Pcm);
    }
};

std::shared_ptr<const UniqueFd> Shared(std::shared_ptr<FolderFile> file)
{
    const UniqueFd* fd = &file->fd;
    return {std::move(file), fd};
}

// Clones source into a new file, else copies the range into one.
PrivateCopy MakeCopy(int source, int64_t offset, int64_t size, const Progress* progress,
                     const std::function<void(int64_t)>& moved)
{
    auto copy = std::make_shared<FolderFile>();
    if (std::shared_ptr<StoreFolder> folder = CurrentStoreFolder()) {
        const uint64_t id = folder->NewId();
        if (!folder->Create(id, StoreFileKind::Pcm, 0))
            return {};
        copy->fd.Reset(::openat(folder->Fd(), StoreFolder::FileName(id, StoreFileKind::Pcm).c_str(),
                                O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        copy->folder = std::move(folder);
        copy->id = id;
        if (!copy->fd.IsValid()) {
            NoteSystemFailure();
            return {};
        }
    } else {
        copy->fd = CreateUnnamedTempFile();
        if (!copy->fd.IsValid())
            return {};
    }
    const uint64_t id = copy->id;
    // A clone shares the source's extents: no bytes move, and a later write to the source gives the
    // source new extents of its own, leaving the clone as it was.
    if (::ioctl(copy->fd.Get(), FICLONE, source) == 0) {
        moved(size);
        return {Shared(std::move(copy)), true, id};
    }
    if (!CopyBytes(source, copy->fd.Get(), offset, size, progress, moved))
        return {};
    return {Shared(std::move(copy)), false, id};
}

}  // namespace

int PcmStore::ReadSamples(uint32_t position, float* destination, uint32_t count) const
{
    if (!destination || !file_ || uint64_t(position) + count > frames_)
        return 0;
    thread_local std::vector<uint8_t> bytes;
    // A block of frames a read bounds the scratch at 1 MiB for 16-bit stereo.
    constexpr uint32_t kStep = kBlockSamples;
    while (count > 0) {
        const uint32_t n = std::min(count, kStep);
        bytes.resize(size_t(n) * blockAlign_);
        if (ReadFullyAt(file_->Get(), bytes.data(), bytes.size(), dataOffset_ + int64_t(position) * blockAlign_) !=
            int64_t(bytes.size()))
            return 0;
        const uint8_t* first = bytes.data() + size_t(channel_) * width_;
        if (width_ == 1)
            ConvertU8ToFloat(first, blockAlign_, destination, n);
        else
            ConvertS16LeToFloat(first, blockAlign_ / 2, destination, n);
        destination += n;
        position += n;
        count -= n;
    }
    return 1;
}

std::shared_ptr<const UniqueFd> ReopenPcmCopy(std::shared_ptr<StoreFolder> folder, uint64_t id)
{
    auto file = std::make_shared<FolderFile>();
    file->fd.Reset(::openat(folder->Fd(), StoreFolder::FileName(id, StoreFileKind::Pcm).c_str(),
                            O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file->fd.IsValid()) {
        NoteSystemFailure();
        return nullptr;
    }
    file->folder = std::move(folder);
    file->id = id;
    return Shared(std::move(file));
}

PrivateCopy PrivatePcmCopy(int source, int64_t offset, int64_t size, Progress* progress)
{
    const uint32_t range = progress ? progress->Range() - progress->Position() : 0;
    const uint32_t start = progress ? progress->Position() : 0;
    return MakeCopy(source, offset, size, progress, [&](int64_t done) { MoveTo(progress, start, range, done, size); });
}

struct BackgroundCopy::State {
    int64_t size = 0;
    std::atomic<int64_t> done{0};
    std::atomic<bool> finished{false};
    PrivateCopy copy;
    FailureReason failure;
    std::thread thread;
};

BackgroundCopy::BackgroundCopy(int source, int64_t offset, int64_t size, const Progress* progress)
    : state_(std::make_shared<State>())
{
    state_->size = size;
    auto work = [state = state_.get(), source, offset, size, progress] {
        ClearLastFailure();
        state->copy = MakeCopy(source, offset, size, progress, [state](int64_t done) { state->done = done; });
        state->failure = LastFailure();
        state->finished = true;
    };
    try {
        state_->thread = std::thread(work);
    } catch (const std::system_error&) {
        work();  // no thread to be had: the copy first, then the pass
    }
}

BackgroundCopy::~BackgroundCopy()
{
    if (state_->thread.joinable())
        state_->thread.join();
}

PrivateCopy BackgroundCopy::Finish(Progress* progress)
{
    if (state_->thread.joinable()) {
        const uint32_t start = progress ? progress->Position() : 0;
        const uint32_t range = progress ? progress->Range() - start : 0;
        while (!state_->finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            MoveTo(progress, start, range, state_->done, state_->size);
        }
        state_->thread.join();
    }
    if (!state_->copy.file && state_->failure.IsSet())
        NoteFailure(state_->failure);
    return std::move(state_->copy);
}

}  // namespace brindle
