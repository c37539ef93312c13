#include "storage/source_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "tasks/failure.h"

namespace brindle {

FileIdentity FileIdentity::Of(const struct stat& info)
{
    FileIdentity identity;
    identity.device = uint64_t(info.st_dev);
    identity.inode = uint64_t(info.st_ino);
    identity.size = uint64_t(info.st_size);
    identity.modifiedSeconds = int64_t(info.st_mtim.tv_sec);
    identity.modifiedNanoseconds = int64_t(info.st_mtim.tv_nsec);
    identity.changedSeconds = int64_t(info.st_ctim.tv_sec);
    identity.changedNanoseconds = int64_t(info.st_ctim.tv_nsec);
    return identity;
}

int SourceFile::Open(const std::filesystem::path& path)
{
    path_ = path;
    identity_ = {};
    if (!file_.Open(path, OpenMode::ReadOnly))
        return 0;
    struct stat info {};
    if (::fstat(file_.Fd(), &info) != 0) {
        NoteSystemFailure();
        file_.Close();
        return 0;
    }
    identity_ = FileIdentity::Of(info);
    return 1;
}

UniqueFd SourceFile::Duplicate() const
{
    UniqueFd copy(::fcntl(file_.Fd(), F_DUPFD_CLOEXEC, 0));
    if (!copy.IsValid())
        NoteSystemFailure();
    return copy;
}

UniqueFd SourceFile::DuplicateAtStart() const
{
    UniqueFd copy = Duplicate();
    if (copy.IsValid() && ::lseek(copy.Get(), 0, SEEK_SET) != 0) {
        NoteSystemFailure();
        copy.Reset();
    }
    return copy;
}

bool SourceFile::IsUnchangedButForItsName() const
{
    struct stat info {};
    if (!IsOpen() || ::fstat(file_.Fd(), &info) != 0)
        return false;
    FileIdentity now = FileIdentity::Of(info);
    if (info.st_nlink == 0) {
        now.changedSeconds = identity_.changedSeconds;
        now.changedNanoseconds = identity_.changedNanoseconds;
    }
    return now == identity_;
}

}  // namespace brindle
