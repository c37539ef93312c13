#include "storage/channel_store.h"

#include <algorithm>
#include <vector>

#include "storage/sample_conversion.h"

namespace brindle {

int ChannelStore::Allocate(uint32_t n, bool unnamed)
{
    if (!IsEmpty() || n == 0 || n > kMaxStoredSamples)
        return 0;
    auto store = std::make_shared<FloatStore>();
    if (!store->Create(n, unnamed))
        return 0;
    writable_ = store;
    pieces_ = PieceTree({std::move(store), 0, n, {}});
    return 1;
}

int ChannelStore::Resize(uint32_t n)
{
    FloatStore* store = Writable();
    if (!store || !store->Resize(n))
        return 0;
    pieces_ = PieceTree({writable_, 0, n, {}});
    return 1;
}

void ChannelStore::Destroy()
{
    pieces_ = PieceTree();
    writable_.reset();
    sealed_ = false;
}

int ChannelStore::CopyFrom(const ChannelStore& source)
{
    if (&source == this)
        return 1;
    source.Seal();
    Destroy();
    pieces_ = source.pieces_;
    return 1;
}

void ChannelStore::Slice(const ChannelStore& source, int64_t start, int64_t end)
{
    source.Seal();
    const int64_t length = source.StoredLength();
    start = std::clamp<int64_t>(start, 0, length);
    end = std::clamp<int64_t>(end, 0, length);
    // Made before the list goes, which may be source's own.
    PieceTree slice = start < end ? source.pieces_.Drop(uint32_t(start)).Take(uint32_t(end - start)) : PieceTree();
    Destroy();
    pieces_ = std::move(slice);
}

int ChannelStore::Splice(int64_t start, int64_t end, const ChannelStore& replacement)
{
    const int64_t length = StoredLength();
    if (start < 0 || end < start || end > length)
        return 0;
    const int64_t result = length - (end - start) + replacement.StoredLength();
    if (result <= 0 || result > kMaxStoredSamples)
        return 0;
    replacement.Seal();
    PieceTree spliced = pieces_.Splice(uint32_t(start), uint32_t(end), replacement.pieces_);
    // The channel is made anew: no longer one being written.
    Destroy();
    pieces_ = std::move(spliced);
    return 1;
}

void ChannelStore::Assign(std::shared_ptr<const SampleStore> store)
{
    Destroy();
    const uint32_t length = store ? store->Length() : 0;
    if (length > 0)
        pieces_ = PieceTree({std::move(store), 0, length, {}});
}

bool ChannelStore::GainFits(int64_t start, int64_t end) const
{
    return ForEachPieceIn(start, end, [](const Piece& piece, uint32_t) { return StageCount(piece.gain) < kMaxGainStages; });
}

int ChannelStore::AddGain(int64_t start, int64_t end, const GainStage& stage)
{
    if (start < 0 || end <= start || end > StoredLength() || !GainFits(start, end))
        return 0;
    // Pieces that share a gain get one new chain between them, so that a later cut can join them again.
    PieceTree gained;
    GainRef previous, made;
    bool first = true;
    ForEachPieceIn(start, end, [&](const Piece& piece, uint32_t pieceStart) {
        const uint32_t lo = uint32_t(std::max<int64_t>(start, pieceStart));
        const uint32_t hi = uint32_t(std::min<int64_t>(end, int64_t(pieceStart) + piece.length));
        Piece part = piece.Part(lo - pieceStart, hi - lo);
        GainStage own = stage;
        // The store index where the ramp's k is 0: this part's first sample is k = lo - start.
        if (!stage.IsScale())
            own.anchor = int64_t(part.start) - (int64_t(lo) - start);
        if (first || !SameGain(piece.gain, previous) || !(made->stages.back() == own)) {
            made = WithStage(piece.gain, own);
            previous = piece.gain;
            first = false;
        }
        part.gain = made;
        gained = PieceTree::Concat(gained, PieceTree(part));
    });
    Seal();
    PieceTree spliced = pieces_.Splice(uint32_t(start), uint32_t(end), gained);
    Destroy();
    pieces_ = std::move(spliced);
    return 1;
}

void ChannelStore::Assign(const Piece& piece)
{
    Destroy();
    if (piece.store && piece.length > 0)
        pieces_ = PieceTree(piece);
}

int ChannelStore::CopyRange(int64_t destinationPosition, const ChannelStore& source, int64_t sourceStart,
                            int64_t sourceEnd)
{
    FloatStore* target = Writable();
    if (!IsReady() || !target || !source.IsReady() || &source == this)
        return 0;
    if (destinationPosition < 0 || destinationPosition >= Length())
        return 0;
    const int64_t sourceLength = source.StoredLength();
    sourceStart = std::clamp<int64_t>(sourceStart, 0, sourceLength);
    sourceEnd = std::clamp<int64_t>(sourceEnd, 0, sourceLength);
    if (sourceStart >= sourceEnd)
        return 0;
    sourceEnd = std::min<int64_t>(sourceEnd, sourceStart + int64_t(StoredLength()) - destinationPosition);

    std::vector<float> block(size_t(std::min<int64_t>(sourceEnd - sourceStart, kBlockSamples)));
    for (int64_t i = sourceStart / kBlockSamples; i * kBlockSamples < sourceEnd; ++i) {
        const int64_t lo = std::max<int64_t>(sourceStart, i * kBlockSamples);
        const int64_t hi = std::min<int64_t>((i + 1) * kBlockSamples, sourceEnd);
        if (!source.ReadSamples(uint32_t(lo), block.data(), uint32_t(hi - lo)) ||
            !target->WriteSamples(uint32_t(destinationPosition), block.data(), uint32_t(hi - lo)))
            return 0;
        destinationPosition += hi - lo;
    }
    return 1;
}

void ChannelStore::MoveFrom(ChannelStore& other)
{
    if (&other == this)
        return;
    pieces_ = std::move(other.pieces_);
    writable_ = std::move(other.writable_);
    sealed_ = other.sealed_.load();
    other.Destroy();
}

int ChannelStore::ReadSamples(uint32_t position, float* destination, uint32_t count) const
{
    if (!destination || uint64_t(position) + count > StoredLength())
        return 0;
    const uint32_t end = position + count;
    return pieces_.ForEachIn(position, end, [&](const Piece& piece, uint32_t pieceStart) {
        const uint32_t lo = std::max(position, pieceStart);
        const uint32_t n = std::min(end, pieceStart + piece.length) - lo;
        const uint32_t at = piece.start + (lo - pieceStart);
        if (!piece.store->ReadSamples(at, destination, n))
            return false;
        if (piece.gain)
            piece.gain->Apply(destination, n, at);
        destination += n;
        return true;
    });
}

uint32_t ChannelStore::SamplesInBlock(int64_t i) const
{
    if (i < 0 || i >= int64_t(BlockCount()))
        return 0;
    return uint32_t(std::min<int64_t>(kBlockSamples, int64_t(StoredLength()) - i * kBlockSamples));
}

namespace {

// Samples of up to maxWidth bytes: 2 for reading (8 and 16 bits only), 4 for writing.
bool PcmBlockArgumentsValid(const ChannelStore& store, int64_t i, const void* data, uint32_t blockAlign,
                            uint32_t channels, uint32_t channelIndex, uint32_t maxWidth)
{
    return store.IsReady() && i >= 0 && i < int64_t(store.BlockCount()) && data && blockAlign >= 1 &&
           (channels == 1 || channels == 2) && channelIndex < channels && blockAlign % channels == 0 &&
           blockAlign / channels <= maxWidth;
}

}  // namespace

int ChannelStore::PutPcmBlock(int64_t i, const void* data, uint32_t blockAlign, uint32_t count, uint32_t channels,
                              uint32_t channelIndex)
{
    FloatStore* store = Writable();
    if (!store || !PcmBlockArgumentsValid(*this, i, data, blockAlign, channels, channelIndex, 2))
        return 0;
    if (count < 1 || count > kBlockSamples || count > SamplesInBlock(i))
        return 0;
    // Converted into a scratch block and written in one go.
    thread_local std::vector<float> scratch;
    scratch.resize(count);
    if (blockAlign / channels == 1)
        ConvertU8ToFloat(static_cast<const uint8_t*>(data) + channelIndex, channels, scratch.data(), count);
    else
        ConvertS16LeToFloat(static_cast<const uint8_t*>(data) + 2 * channelIndex, channels, scratch.data(), count);
    return store->WriteSamples(uint32_t(i) * kBlockSamples, scratch.data(), count) ? int(count) : 0;
}

int ChannelStore::GetPcmBlock(int64_t i, void* buffer, uint32_t blockAlign, uint32_t capacityFrames,
                              uint32_t channels, uint32_t channelIndex, bool asFloat) const
{
    if (!PcmBlockArgumentsValid(*this, i, buffer, blockAlign, channels, channelIndex, 4))
        return 0;
    const uint32_t width = blockAlign / channels;
    if (asFloat && width != 4)
        return 0;
    const uint32_t n = SamplesInBlock(i);
    if (capacityFrames < n)
        return 0;
    thread_local std::vector<float> scratch;
    scratch.resize(n);
    if (!ReadSamples(uint32_t(i) * kBlockSamples, scratch.data(), n))
        return 0;
    const float* samples = scratch.data();
    uint8_t* slot = static_cast<uint8_t*>(buffer) + width * channelIndex;
    switch (width) {
    case 1: ConvertFloatToU8(samples, n, slot, channels); break;
    case 2: ConvertFloatToS16Le(samples, n, slot, channels); break;
    case 3: ConvertFloatToS24Le(samples, n, slot, channels); break;
    default:
        if (asFloat)
            ConvertFloatToF32Le(samples, n, slot, channels);
        else
            ConvertFloatToS32Le(samples, n, slot, channels);
        break;
    }
    return int(n);
}

}  // namespace brindle
