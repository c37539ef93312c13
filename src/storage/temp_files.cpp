#include "storage/temp_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tasks/failure.h"

namespace brindle {

namespace {

constexpr const char* kDefaultPrefix = "~Ve";

bool IsWritableDirectory(const char* path)
{
    struct stat st {};
    return path && *path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode) && ::access(path, W_OK | X_OK) == 0;
}

}  // namespace

std::filesystem::path TempDirectory()
{
    if (const char* env = std::getenv("TMPDIR"); IsWritableDirectory(env))
        return env;
    if (IsWritableDirectory("/var/tmp"))
        return "/var/tmp";
    return "/tmp";
}

UniqueFd CreateUnnamedTempFile()
{
    const std::filesystem::path folder = TempDirectory();
    // O_EXCL with O_TMPFILE: the file can never be given a name, not even through /proc.
    UniqueFd fd(::open(folder.c_str(), O_RDWR | O_TMPFILE | O_EXCL | O_CLOEXEC, 0600));
    if (fd.IsValid())
        return fd;
    // Older or network file systems refuse O_TMPFILE; anything else is a real failure.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        NoteSystemFailure();
        return fd;
    }
    std::string pattern = (folder / (std::string(kDefaultPrefix) + "XXXXXX")).string();
    fd.Reset(::mkostemp(pattern.data(), O_CLOEXEC));  // O_EXCL, mode 0600: never an existing file or link
    if (!fd.IsValid()) {
        NoteSystemFailure();
        return fd;
    }
    if (::unlink(pattern.c_str()) != 0) {
        NoteSystemFailure();
        fd.Reset();
    }
    return fd;
}

std::filesystem::path DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int UnnamedTempFile::Create()
{
    fd_ = CreateUnnamedTempFile();
    path_ = fd_.IsValid() ? DescriptorPath(fd_.Get()) : std::filesystem::path();
    return fd_.IsValid() ? 1 : 0;
}

bool ExistsFile(const std::filesystem::path& name)
{
    struct stat st {};
    return !name.empty() && ::lstat(name.c_str(), &st) == 0;
}

}  // namespace brindle
