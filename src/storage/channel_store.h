// One channel of float samples in a block file of its own; the channel is as long as the file holds.
//
// Threads: the const members may run on several threads at once while no thread changes the store;
// so may WriteSamples on runs that do not overlap (see BlockFile); the others belong to one thread,
// with readers stopped.
#pragma once

#include <cstdint>
#include <memory>

#include "storage/block_file.h"

namespace brindle {

class ChannelStore {
public:
    ChannelStore() = default;
    ~ChannelStore() { Destroy(); }
    ChannelStore(const ChannelStore&) = delete;
    ChannelStore& operator=(const ChannelStore&) = delete;

    // n zero samples in a new temporary file. Fails unless the store is empty and
    // 1 <= n <= kMaxStoredSamples (a store of 2^30 samples would not fit the 32-bit byte size).
    int Allocate(uint32_t n);
    // Deletes the temporary file; the store becomes empty.
    void Destroy();
    // See BlockFile::Resize; 0 for an empty store.
    int Resize(uint32_t n) { return file_ ? file_->Resize(n) : 0; }
    // An independent copy of source in a new temporary file.
    int CopyFrom(const ChannelStore& source);
    // Copies stored samples [sourceStart, sourceEnd) of source to destinationPosition of this store;
    // the source range is clamped to the source and cut where it would run past this store.
    int CopyRange(int64_t destinationPosition, const ChannelStore& source, int64_t sourceStart, int64_t sourceEnd);
    // Takes over other's samples; other is left empty.
    void MoveFrom(ChannelStore& other);

    // Converts count frames of interleaved 8- or 16-bit PCM (blockAlign bytes per frame) into the
    // first count samples of block i, taking channel `channelIndex` of each frame. Returns count or 0.
    int PutPcmBlock(int64_t i, const void* data, uint32_t blockAlign, uint32_t count, uint32_t channels,
                    uint32_t channelIndex);
    // Converts block i into slot channelIndex of consecutive interleaved frames of buffer, which has
    // room for capacityFrames frames: 8-bit unsigned or 16-, 24- or 32-bit signed little-endian PCM by
    // the width blockAlign / channels, or with asFloat 32-bit floats. Returns the frames written or 0.
    int GetPcmBlock(int64_t i, void* buffer, uint32_t blockAlign, uint32_t capacityFrames, uint32_t channels,
                    uint32_t channelIndex, bool asFloat = false) const;

    // Copies stored samples [position, position + count) into destination (BlockFile::ReadSamples).
    int ReadSamples(uint32_t position, float* destination, uint32_t count) const
    {
        return file_ ? file_->ReadSamples(position, destination, count) : 0;
    }

    // BlockFile::WriteSamples on the stored samples: the in-place edit kernels read a block with
    // ReadSamples and write their results back here.
    int WriteSamples(uint32_t position, const float* source, uint32_t count)
    {
        return file_ ? file_->WriteSamples(position, source, count) : 0;
    }
    uint32_t SamplesInBlock(int64_t i) const { return file_ ? file_->SamplesInBlock(i) : 0; }
    uint32_t BlockCount() const { return file_ ? file_->BlockCount() : 0; }

    bool IsEmpty() const { return !file_; }
    bool IsReady() const { return file_ && file_->IsReady(); }
    // The channel's length in samples: what its file holds.
    int32_t Length() const { return int32_t(StoredLength()); }
    uint32_t StoredLength() const { return file_ ? file_->StoredLength() : 0; }
    // The temporary file's path, empty when there is none.
    std::filesystem::path FileName() const { return file_ ? file_->FileName() : std::filesystem::path(); }

private:
    std::unique_ptr<BlockFile> file_;
};

}  // namespace brindle
