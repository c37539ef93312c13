#include "storage/file_handle.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "tasks/failure.h"

namespace brindle {

int FileHandle::Open(const std::filesystem::path& name, OpenMode mode)
{
    Close();
    if (name.empty()) {
        NoteSystemFailure(ENOENT);
        return 0;
    }
    // O_NONBLOCK: a FIFO without a writer would block open() for ever. A regular file ignores it.
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (mode) {
    case OpenMode::ReadOnly: flags |= O_RDONLY; break;
    case OpenMode::ReadWrite: flags |= O_RDWR; break;
    case OpenMode::CreateOrTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    fd_.Reset(::open(name.c_str(), flags, 0666));
    mode_ = mode;
    if (!fd_.IsValid()) {
        NoteSystemFailure();
        return 0;
    }
    // Only a regular file is a sound file. A folder opens read-only on Linux; a FIFO or a device
    // would read for ever or not at all; none of them is read from.
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0) {
        NoteSystemFailure();
        fd_.Reset();
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            NoteSystemFailure(EISDIR);
        else
            NoteFailure({FailureKind::Format, "not a regular file"});
        fd_.Reset();
        return 0;
    }
    return 1;
}

int FileHandle::CloseChecked()
{
    if (fd_.CloseChecked())
        return 1;
    NoteSystemFailure();
    return 0;
}

int64_t FileHandle::FileSize() const
{
    struct stat st {};
    if (!IsOpen() || ::fstat(fd_.Get(), &st) != 0)
        return -1;
    return st.st_size;
}

}  // namespace brindle
