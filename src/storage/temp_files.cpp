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

// Creates the file only if it does not exist yet, so two callers never share a name.
bool CreateEmptyFile(const std::filesystem::path& name)
{
    UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return fd.IsValid();
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

std::filesystem::path MakeTempFileName(const std::string& extension, const std::string& prefix,
                                       const std::filesystem::path& directory)
{
    const std::string stem = prefix.empty() ? kDefaultPrefix : prefix;
    if (extension.empty() && directory.empty()) {
        std::string pattern = (TempDirectory() / (stem + "XXXXXX")).string();
        UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));  // O_EXCL, mode 0600
        return fd.IsValid() ? std::filesystem::path(pattern) : std::filesystem::path();
    }

    const std::filesystem::path folder = directory.empty() ? TempDirectory() : directory;
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (ec)
            return {};
    }
    if (!std::filesystem::is_directory(folder, ec))
        return {};

    const std::string suffix = "." + (extension.empty() ? std::string("tmp") : extension);
    // Past 0xFFFFF the "%03X" names grow without bound; give up long before that.
    for (unsigned n = 1; n < 0x100000; ++n) {
        char number[16];
        std::snprintf(number, sizeof number, "%03X", n);
        const std::filesystem::path name = folder / (stem + number + suffix);
        if (ExistsFile(name))
            continue;
        if (CreateEmptyFile(name))
            return name;
        if (errno != EEXIST)
            return {};
    }
    return {};
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
