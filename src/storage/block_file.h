// The samples of one channel in one file, reached one block at a time.
//
// Block i holds samples [i * B, i * B + SamplesInBlock(i)) at byte offset i * B * 4; B = 262,144
// samples (1 MiB of floats). Samples are read with pread and written with pwrite. Made while a store
// folder is set (see CurrentStoreFolder), the file is one of that folder's, named, reached through its
// descriptor cache and deleted on Release: it outlives a crash for the session to recover. Otherwise it
// has no name on disk (see CreateUnnamedTempFile): it lives exactly as long as the BlockFile's
// descriptor, so a killed process strands no sample file.
//
// Threads: ReadSamples is const and may run on several threads at once while no thread writes.
// WriteSamples may too, on runs that do not overlap (each is one pwrite; a decode in ranges fills one
// file from several threads). Everything else belongs to one thread, with readers and writers stopped.
#pragma once

#include <cstdint>
#include <memory>

#include "storage/reserved_file.h"
#include "storage/store_folder.h"

namespace brindle {

inline constexpr uint32_t kBlockSamples = 4 * kAllocationGranularity;
// The file's byte size is a 32-bit number.
inline constexpr uint32_t kMaxStoredSamples = (1u << 30) - 1;

class BlockFile {
public:
    BlockFile() = default;
    ~BlockFile() { Release(); }
    BlockFile(const BlockFile&) = delete;
    BlockFile& operator=(const BlockFile&) = delete;

    // A new zero-filled temporary file of n samples (1 <= n <= kMaxStoredSamples), in the store folder
    // when one is set unless unnamed. Fails when this file already has samples; on failure nothing is
    // left on disk.
    int Create(uint32_t n, bool unnamed = false);
    // A file of the folder's that already holds n samples (a session's, read back after a crash); the
    // caller has checked it. Released like one this made.
    void Reopen(std::shared_ptr<StoreFolder> folder, uint64_t id, uint32_t n);
    // Closes the temporary file (deletes the folder's), which frees it; the stored length becomes 0.
    void Release();
    // n stored samples (1 <= n <= kMaxStoredSamples): new ones are zeros, those past n are dropped.
    // On failure the file stays as it was.
    int Resize(uint32_t n);
    // Replaces this file by a copy of source's samples (a source without samples gives an empty file).
    int CopyFrom(const BlockFile& source);

    // Copies stored samples [position, position + count) into destination with pread, across block
    // boundaries. 1, or 0 when the run leaves the stored samples or the read fails.
    int ReadSamples(uint32_t position, float* destination, uint32_t count) const;

    // Copies count samples (count <= B) to stored index position; the run may reach at most into the
    // next block. Written with pwrite (see ReservedFile::WriteAt).
    int WriteSamples(uint32_t position, const float* source, uint32_t count);

    bool IsReady() const;
    uint32_t StoredLength() const { return storedLength_; }
    uint32_t BlockCount() const { return (storedLength_ + kBlockSamples - 1) / kBlockSamples; }
    // B, except for the last block (the remainder); 0 for a block that does not exist.
    uint32_t SamplesInBlock(int64_t i) const;
    // "/proc/self/fd/N" for an unnamed file; the path of a folder's.
    std::filesystem::path FileName() const;
    // The folder's number of the file; 0 for an unnamed one.
    uint64_t FolderId() const { return folder_ ? id_ : 0; }

private:
    int Descriptor(std::shared_ptr<const UniqueFd>& holder) const;

    uint32_t storedLength_ = 0;
    ReservedFile file_;
    std::shared_ptr<StoreFolder> folder_;
    uint64_t id_ = 0;
};

}  // namespace brindle
