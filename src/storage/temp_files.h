// Names of temporary files and existence tests.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

#include "storage/unique_fd.h"

namespace brindle {

// The folder for temporary files: $TMPDIR when set and writable, else /var/tmp (disk-backed, meant
// for large files: an hour of stereo floats is over a gigabyte), else /tmp. Read on every call so a
// test can point it elsewhere.
std::filesystem::path TempDirectory();

// A new empty file in TempDirectory(), mode 0600, that has no name from the start (O_TMPFILE, never
// linkable) or, where the file system cannot do that, loses its "~Ve" name before this returns: a
// crash or a kill can leave nothing behind, and closing the descriptor frees the disk. Invalid on
// failure, with the reason noted (tasks/failure.h).
UniqueFd CreateUnnamedTempFile();

// openat(folder, path, O_TMPFILE | flags, mode): an unnamed file in the folder path names, or -1 with
// errno set. Every unnamed file of the program is made here, so that tests can refuse them all.
int OpenUnnamedAt(int folder, const char* path, int flags, mode_t mode);

// For tests only: while refused, OpenUnnamedAt fails with EOPNOTSUPP as on a file system without
// O_TMPFILE (vfat, some FUSE mounts, older NFS), so the fallbacks for those run on any machine.
void RefuseUnnamedFilesForTesting(bool refuse);

// Six random letters or digits, for names a file keeps only for a while ("~VeXXXXXX").
std::string RandomNameSuffix();

// A path by which this process can open the file behind fd again ("/proc/self/fd/N"), for code that
// takes a path; valid while fd stays open.
std::filesystem::path DescriptorPath(int fd);

// An unnamed temporary file kept open for a whole operation and handed to code that opens files by
// path: nothing on disk carries its name, so nothing outlives the process.
class UnnamedTempFile {
public:
    // 1, or 0 with the reason noted.
    int Create();
    const std::filesystem::path& Path() const { return path_; }

private:
    UniqueFd fd_;
    std::filesystem::path path_;
};

// True when something exists at the path (file, folder or other). Never throws.
bool ExistsFile(const std::filesystem::path& name);

}  // namespace brindle
