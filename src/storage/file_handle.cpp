#include "storage/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace brindle {

int FileHandle::Open(const std::filesystem::path& name, OpenMode mode)
{
    Close();
    if (name.empty())
        return 0;
    int flags = O_CLOEXEC;
    switch (mode) {
    case OpenMode::ReadExisting: flags |= O_RDONLY; break;
    case OpenMode::ReadWriteExisting: flags |= O_RDWR; break;
    case OpenMode::CreateAlways: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    fd_.Reset(::open(name.c_str(), flags, 0666));
    mode_ = mode;
    if (!fd_.IsValid())
        return 0;
    // A folder opens read-only on Linux; it is never a sound file.
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fd_.Reset();
        return 0;
    }
    return 1;
}

int64_t FileHandle::FileSize() const
{
    struct stat st {};
    if (!IsOpen() || ::fstat(fd_.Get(), &st) != 0)
        return -1;
    return st.st_size;
}

}  // namespace brindle
