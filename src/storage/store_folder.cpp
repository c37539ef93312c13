#include "storage/store_folder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tasks/failure.h"

namespace brindle {

namespace {

std::mutex currentMutex;
std::shared_ptr<StoreFolder> current;

}  // namespace

std::shared_ptr<StoreFolder> StoreFolder::Open(const std::filesystem::path& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.IsValid() || ::fstat(fd.Get(), &st) != 0) {
        NoteSystemFailure();
        return nullptr;
    }
    if (st.st_uid != ::geteuid()) {
        NoteFailure({FailureKind::System, "the folder belongs to another user"});
        return nullptr;
    }
    std::shared_ptr<StoreFolder> folder(new StoreFolder);
    folder->path_ = path;
    folder->folder_ = std::move(fd);
    return folder;
}

uint64_t StoreFolder::NewId()
{
    std::lock_guard lock(mutex_);
    return nextId_++;
}

void StoreFolder::UseIdsAbove(uint64_t used)
{
    std::lock_guard lock(mutex_);
    nextId_ = std::max(nextId_, used + 1);
}

std::string StoreFolder::FileName(uint64_t id, StoreFileKind kind)
{
    return std::to_string(id) + (kind == StoreFileKind::Floats ? ".f32" : ".pcm");
}

int StoreFolder::Create(uint64_t id, StoreFileKind kind, uint64_t bytes)
{
    const std::string name = FileName(id, kind);
    UniqueFd fd(::openat(folder_.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.IsValid()) {
        NoteSystemFailure();
        return 0;
    }
    // Allocated now, so that a full disk fails here and not half-way through the samples.
    if (bytes > 0) {
        if (const int err = ::posix_fallocate(fd.Get(), 0, off_t(bytes)); err != 0) {
            ::unlinkat(folder_.Get(), name.c_str(), 0);
            NoteSystemFailure(err);
            return 0;
        }
    }
    std::lock_guard lock(mutex_);
    recent_.emplace_front(name, std::make_shared<const UniqueFd>(std::move(fd)));
    cached_[name] = recent_.begin();
    while (recent_.size() > kCachedDescriptors) {
        cached_.erase(recent_.back().first);
        recent_.pop_back();
    }
    return 1;
}

std::shared_ptr<const UniqueFd> StoreFolder::Descriptor(uint64_t id, StoreFileKind kind) const
{
    const std::string name = FileName(id, kind);
    std::lock_guard lock(mutex_);
    if (auto found = cached_.find(name); found != cached_.end()) {
        recent_.splice(recent_.begin(), recent_, found->second);
        return recent_.front().second;
    }
    // Opened under the lock: two threads asking for the same file open it once.
    UniqueFd fd(::openat(folder_.Get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.IsValid()) {
        NoteSystemFailure();
        return nullptr;
    }
    recent_.emplace_front(name, std::make_shared<const UniqueFd>(std::move(fd)));
    cached_[name] = recent_.begin();
    while (recent_.size() > kCachedDescriptors) {
        cached_.erase(recent_.back().first);
        recent_.pop_back();
    }
    return recent_.front().second;
}

void StoreFolder::Remove(uint64_t id, StoreFileKind kind)
{
    const std::string name = FileName(id, kind);
    {
        std::lock_guard lock(mutex_);
        if (auto found = cached_.find(name); found != cached_.end()) {
            recent_.erase(found->second);
            cached_.erase(found);
        }
    }
    if (!keep_)
        ::unlinkat(folder_.Get(), name.c_str(), 0);
}

bool StoreFolder::Check(uint64_t id, StoreFileKind kind, uint64_t bytes, std::string& reason) const
{
    const std::string name = FileName(id, kind);
    struct stat st {};
    if (::fstatat(folder_.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        reason = name + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
        reason = name + ": not a sample file of this user's";
        return false;
    }
    if (uint64_t(st.st_size) < bytes) {
        reason = name + ": shorter than the samples it should hold";
        return false;
    }
    return true;
}

int StoreFolder::Flush(uint64_t id, StoreFileKind kind) const
{
    const std::shared_ptr<const UniqueFd> fd = Descriptor(id, kind);
    return fd && ::fdatasync(fd->Get()) == 0;
}

void SetStoreFolder(std::shared_ptr<StoreFolder> folder)
{
    std::lock_guard lock(currentMutex);
    current = std::move(folder);
}

std::shared_ptr<StoreFolder> CurrentStoreFolder()
{
    std::lock_guard lock(currentMutex);
    return current;
}

}  // namespace brindle
