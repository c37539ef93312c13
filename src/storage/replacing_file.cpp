#include "storage/replacing_file.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

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

std::string RandomSuffix()
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 engine{std::random_device{}()};
    std::string suffix(6, ' ');
    for (char& c : suffix)
        c = kLetters[engine() % (sizeof kLetters - 1)];
    return suffix;
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
        replaces_ = true;
        mode_ = st.st_mode & 07777;
        owner_ = st.st_uid;
        group_ = st.st_gid;
    } else if (errno != ENOENT) {
        ThrowSystem();
    }
    CreateTemporary(name);
    path_ = unnamed_ ? DescriptorPath(file_.Get()) : folder / temporaryName_;
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
    return (shortName ? "." : "." + stem) + "~Ve" + RandomSuffix() + extension;
}

void ReplacingFile::CreateTemporary(const std::string& targetName)
{
    // Unnamed until Commit links it in, so a kill part-way leaves nothing beside the target. Mode
    // 0666 lets the kernel apply the umask (or the folder's default ACL) itself: reading the umask
    // would mean changing it, for every thread of the process.
    file_.Reset(::openat(folder_.Get(), ".", O_RDWR | O_TMPFILE | O_CLOEXEC, 0666));
    if (file_.IsValid()) {
        unnamed_ = true;
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        ThrowSystem();
    }

    bool shortName = false;
    for (int attempt = 0; attempt < 100 && !unnamed_; ++attempt) {
        const std::string name = HiddenName(targetName, shortName);
        file_.Reset(::openat(folder_.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file_.IsValid()) {
            temporaryName_ = name;
            break;
        }
        if (errno == ENAMETOOLONG && !shortName) {
            shortName = true;
            continue;
        }
        if (errno != EEXIST)
            ThrowSystem();
    }
    if (!file_.IsValid())
        ThrowSystem(EEXIST);

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

void ReplacingFile::LinkHidden(const std::string& targetName)
{
    // linkat cannot replace a file: the complete file gets a hidden name first and the rename puts it
    // in the target's place at once, as for the named fallback.
    bool shortName = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = HiddenName(targetName, shortName);
        if (::linkat(AT_FDCWD, path_.c_str(), folder_.Get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temporaryName_ = name;
            return;
        }
        if (errno == ENAMETOOLONG && !shortName) {
            shortName = true;
            continue;
        }
        if (errno != EEXIST)
            ThrowSystem();
    }
    ThrowSystem(EEXIST);
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
