// A folder of named sample-store files that outlive the process, so that a crash, a kill or a power
// cut leaves every sample of the open sound's history on disk for the next start to pick up.
//
// A file is named by a number the folder hands out ("<n>.f32" for floats, "<n>.pcm" for the private
// copy of a WAV's PCM) and holds no descriptor of its own: whoever reads or writes it asks the folder,
// which opens it by name and keeps at most kCachedDescriptors of them open, the least recently used
// closed first. A long history of thousands of stores thus costs a bounded number of descriptors.
//
// Threads: every member may run on any thread at once. A descriptor handed out stays valid for as
// long as its holder keeps the shared pointer, even once the cache has let it go.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "storage/unique_fd.h"

namespace brindle {

enum class StoreFileKind : uint8_t { Floats, Pcm };

class StoreFolder {
public:
    static constexpr size_t kCachedDescriptors = 40;

    // The folder at path, which must be a folder of this user's, not a link. nullptr with the reason
    // noted.
    static std::shared_ptr<StoreFolder> Open(const std::filesystem::path& path);
    StoreFolder(const StoreFolder&) = delete;
    StoreFolder& operator=(const StoreFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    int Fd() const { return folder_.Get(); }

    // A number no file in the folder has had in this process's time; ids above `used` only.
    uint64_t NewId();
    void UseIdsAbove(uint64_t used);
    static std::string FileName(uint64_t id, StoreFileKind kind);

    // A new file of bytes allocated zeros (0600, never over an existing one). 1, or 0 with the reason
    // noted and nothing left behind.
    int Create(uint64_t id, StoreFileKind kind, uint64_t bytes);
    // The file, open for reading and writing, from the cache. nullptr with the reason noted.
    std::shared_ptr<const UniqueFd> Descriptor(uint64_t id, StoreFileKind kind) const;
    // Deletes the file (a file already gone is fine), unless the folder keeps its files.
    void Remove(uint64_t id, StoreFileKind kind);
    // From now on no file is deleted: the process is ending without a normal close, and the stores
    // its sound lets go of as it ends are what the next start recovers.
    void KeepFiles() { keep_ = true; }
    // Whether the file is one of this user's regular files, not a link, at least bytes long; reason
    // says why not.
    bool Check(uint64_t id, StoreFileKind kind, uint64_t bytes, std::string& reason) const;
    // Puts the file's data on disk (fdatasync). 1 or 0.
    int Flush(uint64_t id, StoreFileKind kind) const;

private:
    StoreFolder() = default;
    std::filesystem::path path_;
    UniqueFd folder_;
    mutable std::mutex mutex_;
    uint64_t nextId_ = 1;
    std::atomic<bool> keep_{false};
    // Most recently used first.
    mutable std::list<std::pair<std::string, std::shared_ptr<const UniqueFd>>> recent_;
    mutable std::unordered_map<std::string, decltype(recent_)::iterator> cached_;
};

// Where the stores made from now on go: the editor's session folder, or none (then every store is an
// unnamed temporary file that dies with its descriptor, as brindle-batch wants). Process-wide because
// the stores are made deep inside the loads and edits, and a process has one open sound.
void SetStoreFolder(std::shared_ptr<StoreFolder> folder);
std::shared_ptr<StoreFolder> CurrentStoreFolder();

}  // namespace brindle
