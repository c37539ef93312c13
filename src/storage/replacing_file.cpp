#include "storage/replacing_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "storage/temp_files.h"
#include "tasks/failure.h"

namespace brindle {
namespace {

// The kernel's own limit on links followed in one path lookup.
constexpr int kMaxLinks = 40;

// The file a path names once every symbolic link at its end is followed; the last one may point at
// nothing yet, and then that is the file to create. A relative link is read against its own folder.
std::filesystem::path FollowLinks(std::filesystem::path path)
{
    for (int followed = 0; followed <= kMaxLinks; ++followed) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return path;
            ThrowSystem();
        }
        if (!S_ISLNK(st.st_mode))
            return path;
        std::error_code error;
        const std::filesystem::path next = std::filesystem::read_symlink(path, error);
        if (error)
            ThrowSystem(error.value());
        // Not normalised: ".." after a linked folder means the folder's real parent, as in the kernel.
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    ThrowSystem(ELOOP);
}

bool IsSameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether the file behind fd still has the name in the folder.
bool IsNamed(int folder, const std::string& name, int fd)
{
    struct stat named {};
    struct stat opened {};
    return ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &opened) == 0 &&
           IsSameFile(named, opened);
}

// The writer of a hidden file holds this lock on it for the file's whole life, so that a save in the
// same folder can tell a live file from one a killed save left. A flock, not a POSIX record lock: the
// writers open the file again by name, and closing any descriptor of a file drops every record lock
// the process holds on it. False only when another holds the lock; a file system without locks
// leaves every file unlocked, and then nothing is ever removed either.
bool Lock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK; }

// Whether name is one that HiddenName gives for some target: ".STEM~VeXXXXXX.EXT" where STEM and
// .EXT (possibly empty) split a file name as std::filesystem does, or ".~VeXXXXXX.EXT".
bool IsHiddenName(const std::string& name)
{
    auto isLetterOrDigit = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    if (name.empty() || name[0] != '.')
        return false;
    for (size_t at = name.find("~Ve", 1); at != std::string::npos; at = name.find("~Ve", at + 1)) {
        const std::string_view suffix = std::string_view(name).substr(at + 3, 6);
        if (suffix.size() != 6 || !std::all_of(suffix.begin(), suffix.end(), isLetterOrDigit))
            continue;
        const std::string stem = name.substr(1, at - 1);
        const std::string extension = name.substr(at + 9);
        const std::filesystem::path target(stem.empty() ? "x" + extension : stem + extension);
        if ((stem.empty() || target.stem() == stem) && target.extension() == extension)
            return true;
    }
    return false;
}

}  // namespace

ReplacingFile::~ReplacingFile()
{
    // An unnamed file vanishes with its descriptor; only the named fallback needs removing.
    if (!committed_ && !temporaryName_.empty() && folder_.IsValid())
        ::unlinkat(folder_.Get(), temporaryName_.c_str(), 0);
}

void ReplacingFile::Open(const std::filesystem::path& target)
{
    target_ = FollowLinks(target);
    const std::filesystem::path folder = target_.parent_path().empty() ? "." : target_.parent_path();
    const std::string name = target_.filename().string();
    if (name.empty())
        ThrowFormat("is a folder");
    folder_.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder_.IsValid())
        ThrowSystem();

    struct stat st {};
    if (::fstatat(folder_.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // A rename would put a regular file in the place of a device or a FIFO: refuse instead.
        if (S_ISDIR(st.st_mode))
            ThrowFormat("is a folder");
        if (!S_ISREG(st.st_mode))
            ThrowFormat("not a regular file");
        // The rename needs only the folder: without this the save would replace a file the user may
        // not write (read-only, or another user's), which writing it in place would have refused.
        if (::faccessat(folder_.Get(), name.c_str(), W_OK, AT_EACCESS) != 0)
            ThrowSystem();
        replaces_ = true;
        mode_ = st.st_mode & 07777;
        owner_ = st.st_uid;
        group_ = st.st_gid;
    } else if (errno != ENOENT) {
        ThrowSystem();
    }
    CreateTemporary(name);
    path_ = unnamed_ ? DescriptorPath(file_.Get()) : folder / temporaryName_;
    RemoveStranded();
}

void ReplacingFile::RemoveStranded() const noexcept
{
    // A save killed part-way leaves its hidden file behind where the file system cannot make unnamed
    // files (and, anywhere, one killed between the link and the rename of Commit). Whatever fails
    // here only leaves such files where they are.
    const int dirFd = ::openat(folder_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(dirFd), &::closedir);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name != temporaryName_ && IsHiddenName(entry->d_name))
            names.emplace_back(entry->d_name);
    }
    for (const std::string& name : names) {
        // Only our own regular files, opened without following a link or waiting on a FIFO swapped in
        // meanwhile; read-only when Commit had already given the file a read-only mode. A save in
        // another process holds its file's lock for as long as it lives.
        struct stat named {};
        if (::fstatat(folder_.Get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
            named.st_uid != ::geteuid())
            continue;
        constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        UniqueFd file(::openat(folder_.Get(), name.c_str(), O_RDWR | kFlags));
        if (!file.IsValid() && errno == EACCES)
            file.Reset(::openat(folder_.Get(), name.c_str(), O_RDONLY | kFlags));
        struct stat opened {};
        if (!file.IsValid() || ::fstat(file.Get(), &opened) != 0 || !IsSameFile(named, opened) ||
            ::flock(file.Get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        // Still the file whose lock this holds, not one made under the same name since.
        if (IsNamed(folder_.Get(), name, file.Get()))
            ::unlinkat(folder_.Get(), name.c_str(), 0);
    }
}

std::string ReplacingFile::HiddenName(const std::string& targetName, bool& shortName) const
{
    // ".name~VeXXXXXX.ext", hidden and recognisably ours; ".~VeXXXXXX.ext" when a long target name
    // leaves no room for that. The extension stays so that the file reads as what it will become.
    const std::filesystem::path asPath(targetName);
    const std::string extension = asPath.extension().string();
    const std::string stem = asPath.stem().string();
    long nameMax = ::fpathconf(folder_.Get(), _PC_NAME_MAX);
    if (nameMax <= 0)
        nameMax = NAME_MAX;
    if (1 + stem.size() + 9 + extension.size() > size_t(nameMax))
        shortName = true;
    return (shortName ? "." : "." + stem) + "~Ve" + RandomNameSuffix() + extension;
}

void ReplacingFile::CreateTemporary(const std::string& targetName)
{
    // Unnamed until Commit links it in, so a kill part-way leaves nothing beside the target. Mode
    // 0666 lets the kernel apply the umask (or the folder's default ACL) itself: reading the umask
    // would mean changing it, for every thread of the process.
    file_.Reset(OpenUnnamedAt(folder_.Get(), ".", O_RDWR | O_CLOEXEC, 0666));
    if (file_.IsValid()) {
        unnamed_ = true;
        // It gets a hidden name in Commit, for a moment, and must not look stranded then.
        Lock(file_.Get());
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        ThrowSystem();
    }

    if (!unnamed_) {
        temporaryName_ = NameFreshHidden(targetName, [this](const std::string& name) {
            file_.Reset(::openat(folder_.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!file_.IsValid())
                return false;
            // Another save may have found the file before it was locked and be removing it: then
            // this name is lost, and another one is tried.
            if (Lock(file_.Get()) && IsNamed(folder_.Get(), name, file_.Get()))
                return true;
            file_.Reset();
            errno = EEXIST;
            return false;
        });
    }

    struct stat st {};
    if (::fstat(file_.Get(), &st) != 0)
        ThrowSystem();
    if (!replaces_)
        mode_ = st.st_mode & 07777;
    // Until Commit the file is the saver's alone: what replaces a private file must not be readable
    // by others while it is written, and the writers open it again by name for reading and writing,
    // whatever the umask allows.
    if ((st.st_mode & 07777) != 0600 && ::fchmod(file_.Get(), 0600) != 0)
        ThrowSystem();
}

template <class Make>
std::string ReplacingFile::NameFreshHidden(const std::string& targetName, Make&& make) const
{
    bool shortName = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = HiddenName(targetName, shortName);
        if (make(name))
            return name;
        if (errno == ENAMETOOLONG && !shortName) {
            shortName = true;
            continue;
        }
        if (errno != EEXIST)
            ThrowSystem();
    }
    ThrowSystem(EEXIST);
}

void ReplacingFile::LinkHidden(const std::string& targetName)
{
    // linkat cannot replace a file: the complete file gets a hidden name first and the rename puts it
    // in the target's place at once, as for the named fallback.
    temporaryName_ = NameFreshHidden(targetName, [this](const std::string& name) {
        return ::linkat(AT_FDCWD, path_.c_str(), folder_.Get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
}

void ReplacingFile::Commit()
{
    if (!file_.IsValid() || committed_)
        ThrowFormat("no file to save");
    const int fd = file_.Get();
    if (replaces_) {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            ThrowSystem();
        // Only root may give a file away, and only a member may pick a group: whatever cannot be kept
        // stays the saver's, as when the file is made anew.
        if ((st.st_uid != owner_ || st.st_gid != group_) && ::fchown(fd, owner_, group_) != 0) {
            if (errno != EPERM)
                ThrowSystem();
            if (st.st_gid != group_ && ::fchown(fd, uid_t(-1), group_) != 0 && errno != EPERM)
                ThrowSystem();
        }
    }
    // After the owner: changing it clears the set-user-ID and set-group-ID bits.
    if (::fchmod(fd, mode_) != 0)
        ThrowSystem();
    // Data first, then the name: after a crash the target is the old file or the whole new one.
    if (::fsync(fd) != 0)
        ThrowSystem();
    const std::string name = target_.filename().string();
    if (unnamed_)
        LinkHidden(name);
    if (::renameat(folder_.Get(), temporaryName_.c_str(), folder_.Get(), name.c_str()) != 0)
        ThrowSystem();
    committed_ = true;
    // The file is in place by now, so a failure here must not report the save as failed (the old file
    // is gone); some file systems cannot sync a folder at all.
    ::fsync(folder_.Get());
}

}  // namespace brindle
