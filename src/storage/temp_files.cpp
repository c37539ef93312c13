#include "storage/temp_files.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "tasks/failure.h"

namespace brindle {

namespace {

constexpr const char* kDefaultPrefix = "~Ve";

std::atomic<bool> refuseUnnamedFiles{false};

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

int OpenUnnamedAt(int folder, const char* path, int flags, mode_t mode)
{
    if (refuseUnnamedFiles.load(std::memory_order_relaxed)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ::openat(folder, path, flags | O_TMPFILE, mode);
}

void RefuseUnnamedFilesForTesting(bool refuse) { refuseUnnamedFiles.store(refuse, std::memory_order_relaxed); }

UniqueFd CreateUnnamedTempFile()
{
    const std::filesystem::path folder = TempDirectory();
    // O_EXCL with O_TMPFILE: the file can never be given a name, not even through /proc.
    UniqueFd fd(OpenUnnamedAt(AT_FDCWD, folder.c_str(), O_RDWR | O_EXCL | O_CLOEXEC, 0600));
    if (fd.IsValid())
        return fd;
    // Older or network file systems refuse O_TMPFILE; anything else is a real failure.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        NoteSystemFailure();
        return fd;
    }
    // The name lives only until the unlink below, in a folder others may share. Both calls go through
    // one descriptor of the folder, so that a component of its path swapped meanwhile cannot turn the
    // unlink to another folder and leave this file named; O_EXCL never opens an existing file and,
    // with O_NOFOLLOW, never a planted link; mode 0600 keeps the contents the owner's even if another
    // user moves the name aside in a folder without the sticky bit.
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.IsValid()) {
        NoteSystemFailure();
        return fd;
    }
    std::string name;
    for (int attempt = 0; attempt < 100 && !fd.IsValid(); ++attempt) {
        name = kDefaultPrefix + RandomNameSuffix();
        fd.Reset(::openat(dir.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.IsValid() && errno != EEXIST) {
            NoteSystemFailure();
            return fd;
        }
    }
    if (!fd.IsValid()) {
        NoteSystemFailure(EEXIST);
        return fd;
    }
    if (::unlinkat(dir.Get(), name.c_str(), 0) != 0) {
        NoteSystemFailure();
        fd.Reset();
    }
    return fd;
}

std::string RandomNameSuffix()
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 engine{std::random_device{}()};
    std::string suffix(6, ' ');
    for (char& c : suffix)
        c = kLetters[engine() % (sizeof kLetters - 1)];
    return suffix;
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
