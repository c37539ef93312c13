// A new file written beside its target and put in the target's place only when it is complete, so that
// a failed or cancelled save never costs the user the file already there.
//
// Open() follows symbolic links to the file they name (which need not exist yet) and creates the
// temporary file in that file's folder, unnamed (O_TMPFILE) where the file system allows, so that a
// kill part-way leaves nothing behind; elsewhere under a hidden "~Ve" name, locked for as long as the
// object lives. Open then removes the hidden files in the folder that no live save holds: those of
// saves killed part-way, which nothing else would ever remove. The writer fills it by
// Path() ("/proc/self/fd/N" for the unnamed file). Commit() links the unnamed file in under a hidden
// name just before the rename. Commit() gives it the owner,
// group and permissions of the file it replaces (a new file keeps those the kernel gave it under the
// process's umask and the folder's default ACL), flushes it to disk, renames it over the target and
// flushes the folder. Without a Commit the temporary file is removed when the object is destroyed.
// Open refuses a target the user may not write, as writing it in place would. Open and Commit throw a
// Failure with the reason (the system's, or "is a folder").
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

#include "storage/unique_fd.h"

namespace brindle {

class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    void Open(const std::filesystem::path& target);
    void Commit();

    // The temporary file to write; empty before Open.
    const std::filesystem::path& Path() const { return path_; }
    // The file that Commit replaces or creates: the target with its links followed.
    const std::filesystem::path& Target() const { return target_; }

private:
    void CreateTemporary(const std::string& targetName);
    std::string HiddenName(const std::string& targetName, bool& shortName) const;
    void LinkHidden(const std::string& targetName);
    // The first hidden name for targetName that make(name) takes (true), trying another while make
    // fails with EEXIST and a short one after ENAMETOOLONG; throws with any other reason.
    template <class Make>
    std::string NameFreshHidden(const std::string& targetName, Make&& make) const;
    // Removes the hidden files in the folder that no live save holds.
    void RemoveStranded() const noexcept;

    std::filesystem::path target_;
    std::filesystem::path path_;
    std::string temporaryName_;
    UniqueFd folder_;
    UniqueFd file_;
    bool replaces_ = false;  // a file exists at the target; its owner and mode follow
    mode_t mode_ = 0;
    uid_t owner_ = 0;
    gid_t group_ = 0;
    bool committed_ = false;
    bool unnamed_ = false;  // O_TMPFILE: no name until Commit
};

}  // namespace brindle
