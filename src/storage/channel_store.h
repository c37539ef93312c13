// One channel of a sound: an ordered list of pieces, each a range of a SampleStore. Copying a channel,
// cutting it and joining channels only rewrite the list; the stores are shared and never copied, so an
// undo step that keeps an earlier list costs no disk. The list is a PieceTree: a copy shares it whole
// (O(1)), a cut or a splice builds O(log n) new nodes and shares the rest, and finding the piece at a
// position takes O(log n); so an undo step costs memory for what it changed, not for the list.
//
// A store made by Allocate takes writes (the imports fill it block by block, the edits write their new
// samples into one) until the channel is first shared with another (CopyFrom, Slice, Splice): from
// then on every store the channel reads is unchanging.
//
// Threads: the const members may run on several threads at once while no thread changes the channel
// (the stores are pread-only); so may WriteSamples on runs that do not overlap (see BlockFile); the
// others belong to one thread, with readers stopped.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "storage/block_file.h"
#include "storage/piece_tree.h"
#include "storage/sample_store.h"

namespace brindle {

class ChannelStore {
public:
    ChannelStore() = default;
    ChannelStore(const ChannelStore&) = delete;
    ChannelStore& operator=(const ChannelStore&) = delete;

    // n zero samples in a new float store that this channel alone writes. Fails unless the channel is
    // empty and 1 <= n <= kMaxStoredSamples (a store of 2^30 samples would not fit the 32-bit byte size).
    // unnamed: in an unnamed temporary file even while a store folder is set, for samples that must
    // outlive the folder (the editor's clipboard).
    int Allocate(uint32_t n, bool unnamed = false);
    // Empty again; a store no other list shares is freed with its temporary file.
    void Destroy();
    // A channel still being written (see above): n samples, see BlockFile::Resize. 0 otherwise.
    int Resize(uint32_t n);
    // The same samples as source, sharing its stores.
    int CopyFrom(const ChannelStore& source);
    // Copies samples [sourceStart, sourceEnd) of source to destinationPosition of this channel, which
    // must still be writable; the source range is clamped to the source and cut where it would run past
    // this channel.
    int CopyRange(int64_t destinationPosition, const ChannelStore& source, int64_t sourceStart, int64_t sourceEnd);
    // Takes over other's pieces; other is left empty.
    void MoveFrom(ChannelStore& other);

    // The pieces of samples [start, end) of source (clamped), as a channel of their own. An empty
    // range gives an empty channel.
    void Slice(const ChannelStore& source, int64_t start, int64_t end);
    // This channel with [start, end) replaced by all of replacement's samples (which may be empty).
    // Fails, changing nothing, when the range leaves the channel or the result would be empty or
    // longer than kMaxStoredSamples.
    int Splice(int64_t start, int64_t end, const ChannelStore& replacement);
    // A channel made of one whole store; of one piece (which must lie within its store).
    void Assign(std::shared_ptr<const SampleStore> store);
    void Assign(const Piece& piece);

    // Gives every piece of [start, end) (start < end <= length) the stage after its own gain, writing
    // nothing. A fade's ramp starts (k = 0) at the range's first sample: this sets each piece's anchor
    // from that, whatever anchor the stage holds. Fails, changing nothing, when a piece there already
    // carries kMaxGainStages stages (GainFits).
    int AddGain(int64_t start, int64_t end, const GainStage& stage);
    bool GainFits(int64_t start, int64_t end) const;

    // The pieces, never copied out: how many there are; visit(piece, start) for each in order, start
    // being the channel's position where it begins (visit returns void, or bool with false to stop,
    // and then so does this); the same for the pieces that overlap [start, end) only (clamped).
    size_t PieceCount() const { return pieces_.Count(); }
    template <class Visit>
    bool ForEachPiece(Visit&& visit) const
    {
        return pieces_.ForEach(visit);
    }
    template <class Visit>
    bool ForEachPieceIn(int64_t start, int64_t end, Visit&& visit) const
    {
        const int64_t length = StoredLength();
        return pieces_.ForEachIn(uint32_t(std::clamp<int64_t>(start, 0, length)),
                                 uint32_t(std::clamp<int64_t>(end, 0, length)), visit);
    }
    // The piece holding sample position (< StoredLength()) and the channel's position where it
    // starts; valid until the channel next changes.
    const Piece& PieceAt(uint32_t position, uint32_t& pieceStart) const { return pieces_.At(position, pieceStart); }

    // Converts count frames of interleaved 8- or 16-bit PCM (blockAlign bytes per frame) into the
    // first count samples of block i, taking channel `channelIndex` of each frame. Returns count or 0.
    int PutPcmBlock(int64_t i, const void* data, uint32_t blockAlign, uint32_t count, uint32_t channels,
                    uint32_t channelIndex);
    // Converts block i into slot channelIndex of consecutive interleaved frames of buffer, which has
    // room for capacityFrames frames: 8-bit unsigned or 16-, 24- or 32-bit signed little-endian PCM by
    // the width blockAlign / channels, or with asFloat 32-bit floats. Returns the frames written or 0.
    int GetPcmBlock(int64_t i, void* buffer, uint32_t blockAlign, uint32_t capacityFrames, uint32_t channels,
                    uint32_t channelIndex, bool asFloat = false) const;

    // Samples [position, position + count) into destination, across pieces. 1, or 0 when the run
    // leaves the channel or a read fails.
    int ReadSamples(uint32_t position, float* destination, uint32_t count) const;

    // BlockFile::WriteSamples on a channel still being written; 0 for any other.
    int WriteSamples(uint32_t position, const float* source, uint32_t count)
    {
        FloatStore* store = Writable();
        return store ? store->WriteSamples(position, source, count) : 0;
    }
    // Blocks of kBlockSamples samples of the channel as read: the unit the passes over it walk.
    uint32_t SamplesInBlock(int64_t i) const;
    uint32_t BlockCount() const { return (StoredLength() + kBlockSamples - 1) / kBlockSamples; }

    bool IsEmpty() const { return pieces_.IsEmpty(); }
    bool IsReady() const { return !pieces_.IsEmpty() && (!writable_ || writable_->IsReady()); }
    bool IsWritable() const { return Writable() != nullptr; }
    // Ends the writing: from here on every store the channel reads is unchanging. Sharing the channel
    // does this too; a load does it once its samples are in, so that later sharing (on another thread
    // than the one reading the channel) changes nothing. Writes only when there is something to end.
    void Seal() const { sealed_.store(true, std::memory_order_relaxed); }
    // The channel's length in samples.
    int32_t Length() const { return int32_t(StoredLength()); }
    uint32_t StoredLength() const { return pieces_.Length(); }
    // The temporary file of a channel still being written, empty for any other.
    std::filesystem::path FileName() const
    {
        const FloatStore* store = Writable();
        return store ? store->FileName() : std::filesystem::path();
    }

private:
    PieceTree pieces_;
    // The store Allocate made, while the channel is being written.
    FloatStore* Writable() const
    {
        return writable_ && !sealed_.load(std::memory_order_relaxed) ? writable_.get() : nullptr;
    }

    // The store Allocate made; shared with no other channel until the channel is sealed. Sharing the
    // channel seals it, even through a const reference that several threads may hold at once: hence
    // an atomic flag rather than a reset of the pointer.
    std::shared_ptr<FloatStore> writable_;
    mutable std::atomic<bool> sealed_{false};
};

}  // namespace brindle
