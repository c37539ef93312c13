#include "edit/peak_summary.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <utility>
#include <thread>

#include "edit/block_walk.h"
#include "edit/edit_kernels.h"
#include "edit/peak_fold.h"
#include "storage/channel_set.h"
#include "storage/sample_store.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

constexpr int64_t kBucket = PeakSummary::kBucketFrames;
// Below about 20 s of stereo a second thread costs more than it saves.
constexpr uint32_t kMinFramesForTwoThreads = 1u << 20;

// The buckets of store samples [lo, hi) read through stages (none: the store's own), from bucket
// lo / kBucket on, in one pass of whole blocks where the range allows (so a whole store's every read
// is one aligned pread; a block is a whole number of buckets). false on a failed read or a cancel.
bool SummariseRange(const SampleStore& store, const std::vector<GainStage>& stages, int64_t lo, int64_t hi,
                    const Progress* progress, PeakSummary::Buckets& made)
{
    made.first = lo / kBucket;
    std::vector<PeakColumn> buckets(size_t((hi + kBucket - 1) / kBucket - made.first));
    std::vector<float> block(size_t(std::min<int64_t>(hi - lo, kBlockSamples)));
    for (int64_t at = lo; at < hi;) {
        const int64_t count = std::min(hi, (at / kBlockSamples + 1) * kBlockSamples) - at;
        if (IsCancelled(progress) || !store.ReadSamples(uint32_t(at), block.data(), uint32_t(count)))
            return false;
        for (const GainStage& stage : stages)
            stage.Apply(block.data(), block.data(), count, at);
        for (int64_t k = 0; k < count;) {
            const int64_t bucket = (at + k) / kBucket;
            const int64_t n = std::min(count - k, (bucket + 1) * kBucket - (at + k));
            PeakColumn& fold = buckets[size_t(bucket - made.first)];
            detail::FoldPeaks(block.data() + k, n, fold.max, fold.min);
            k += n;
        }
        at += count;
    }
    made.folds = std::make_shared<const std::vector<PeakColumn>>(std::move(buckets));
    return true;
}

// Buckets made for other pieces too: the range [lo, hi) of a store of `length` samples grows to take
// theirs in, so that new buckets keep covering them.
void WidenToCover(const PeakSummary::Buckets& held, int64_t length, int64_t& lo, int64_t& hi)
{
    lo = std::min(lo, held.first * kBucket);
    hi = std::min(std::max(hi, (held.first + int64_t(held.folds->size())) * kBucket), length);
}

// The fold of a run of samples after the constant factors: each factor keeps the order of samples (or,
// negative, reverses it), and the stored value is monotonic, so the run's largest and smallest become
// the factor applied to them. A NaN (skipped in the fold) is stored as 0 and cannot pass the fold's 0;
// a -0 result is the fold's own 0 (a fold never holds -0, which never compares above 0).
PeakColumn ScaledPair(PeakColumn pair, const std::vector<int32_t>& scales)
{
    for (const int32_t percent : scales) {
        float ends[2] = {pair.max, pair.min};
        ScaleSamples(ends, ends, 2, percent);
        if (percent < 0)
            std::swap(ends[0], ends[1]);
        pair = {ends[0] + 0.0f, ends[1] + 0.0f};
    }
    return pair;
}

// A piece of a channel that the columns cover, copied out of the channel's tree so that the columns
// walk them in one array: where it starts in the channel, and its store's range and buckets.
struct PieceSpan {
    int64_t start;
    const SampleStore* store;
    const GainChain* gain;
    int64_t storeStart;
    int64_t length;
    const PeakSummary::Buckets* buckets;
};

// A few buckets' worth of one channel's raw samples around the place the columns have reached. The
// columns move forward only, so each edge costs at most one read, and neighbouring edges share it.
// The reads go straight to the pieces' stores through pieces (consecutive ones, sorted), falling back
// to the channel for samples outside them.
class RawWindow {
public:
    RawWindow(const ChannelStore& store, const std::vector<PieceSpan>& pieces)
        : store_(store), frameCount_(store.StoredLength()), pieces_(pieces)
    {
    }

    // Folds frames [first, end) into the pair; false when a read fails.
    bool Fold(int64_t first, int64_t end, float& max, float& min)
    {
        if (first >= end)
            return true;
        if (first < start_ || end > start_ + int64_t(samples_.size())) {
            // Two buckets from the bucket that holds `first` cover any edge and any column narrower
            // than a bucket; a longer run (never asked for by ComputeColumns) gets a read of its own.
            start_ = first / kBucket * kBucket;
            const int64_t want = std::max<int64_t>(end - start_, 2 * kBucket);
            samples_.resize(size_t(std::min<int64_t>(want, int64_t(frameCount_) - start_)));
            if (!Read(start_, samples_.data(), int64_t(samples_.size()))) {
                samples_.clear();
                return false;
            }
        }
        detail::FoldPeaks(samples_.data() + (first - start_), end - first, max, min);
        return true;
    }

private:
    bool Read(int64_t at, float* destination, int64_t count) const
    {
        if (pieces_.empty() || at < pieces_.front().start ||
            at + count > pieces_.back().start + pieces_.back().length)
            return store_.ReadSamples(uint32_t(at), destination, uint32_t(count));
        auto span = std::upper_bound(pieces_.begin(), pieces_.end(), at,
                                     [](int64_t position, const PieceSpan& p) { return position < p.start; }) - 1;
        for (; count > 0; ++span) {
            const int64_t n = std::min(count, span->start + span->length - at);
            const int64_t storeAt = span->storeStart + (at - span->start);
            if (!span->store->ReadSamples(uint32_t(storeAt), destination, uint32_t(n)))
                return false;
            if (span->gain)
                span->gain->Apply(destination, n, storeAt);
            destination += n;
            at += n;
            count -= n;
        }
        return true;
    }

    const ChannelStore& store_;
    uint32_t frameCount_;
    const std::vector<PieceSpan>& pieces_;
    int64_t start_ = 0;
    std::vector<float> samples_;
};

}  // namespace

const PeakSummary::StoreBuckets* PeakSummary::EntryOf(const std::shared_ptr<const SampleStore>& store) const
{
    const auto found = stores_.find(store.get());
    if (found == stores_.end())
        return nullptr;
    const std::weak_ptr<const SampleStore>& held = found->second.store;
    // The same store, not a new one that took a freed store's address.
    if (held.owner_before(store) || store.owner_before(held))
        return nullptr;
    return &found->second;
}

PeakSummary::StoreBuckets* PeakSummary::EntryOf(const std::shared_ptr<const SampleStore>& store)
{
    if (const StoreBuckets* entry = std::as_const(*this).EntryOf(store))
        return const_cast<StoreBuckets*>(entry);
    StoreBuckets& entry = stores_[store.get()];
    entry = StoreBuckets{store, {}, {}};
    return &entry;
}

const PeakSummary::Buckets* PeakSummary::BucketsOf(const Piece& piece, int64_t lo, int64_t hi) const
{
    const StoreBuckets* entry = EntryOf(piece.store);
    if (!entry)
        return nullptr;
    if (!piece.gain)
        return entry->buckets.folds ? &entry->buckets : nullptr;
    const auto found = entry->gained.find(piece.gain->stages);
    return found != entry->gained.end() && found->second.Covers(lo, hi) ? &found->second : nullptr;
}

void PeakSummary::Clear() { stores_.clear(); }

size_t PeakSummary::BucketCount() const
{
    size_t count = 0;
    for (const auto& entry : stores_) {
        count += entry.second.buckets.folds ? entry.second.buckets.folds->size() : 0;
        for (const auto& gained : entry.second.gained)
            count += gained.second.scales.empty() ? gained.second.folds->size() : 0;  // else shared
    }
    return count;
}

bool PeakSummary::IsBuiltFor(const ChannelSet& channels) const
{
    if (!channels.IsValid())
        return false;
    for (int c = 0; c < channels.ChannelCount(); ++c) {
        // Neighbouring pieces mostly share their store: each run of them is looked up once.
        const SampleStore* checked = nullptr;
        const bool built = channels.Channel(c).ForEachPiece([&](const Piece& piece, uint32_t) {
            if (!piece.gain && piece.store.get() == checked)
                return true;
            checked = piece.gain ? nullptr : piece.store.get();
            return BucketsOf(piece, piece.start, int64_t(piece.start) + piece.length) != nullptr;
        });
        if (!built)
            return false;
    }
    return true;
}

bool PeakSummary::MakeGained(const std::shared_ptr<const SampleStore>& store, const std::vector<GainStage>& stages,
                             int64_t lo, int64_t hi, const Progress* progress, bool readGains)
{
    StoreBuckets* entry = EntryOf(store);
    if (stages.empty()) {
        if (entry->buckets.folds)
            return true;
        return SummariseRange(*store, {}, 0, store->Length(), progress, entry->buckets);
    }
    if (auto found = entry->gained.find(stages); found != entry->gained.end()) {
        if (found->second.Covers(lo, hi))
            return true;
        WidenToCover(found->second, store->Length(), lo, hi);
    }
    // The stages after the last fade are constant factors: they need no pass of their own.
    size_t fades = stages.size();
    while (fades > 0 && stages[fades - 1].IsScale())
        --fades;
    Buckets made;
    if (fades == stages.size()) {
        if (!readGains || !SummariseRange(*store, stages, lo, hi, progress, made))
            return false;
    } else {
        const std::vector<GainStage> below(stages.begin(), stages.begin() + ptrdiff_t(fades));
        if (!MakeGained(store, below, lo, hi, progress, readGains))
            return false;
        made = below.empty() ? entry->buckets : entry->gained.at(below);
        for (size_t k = fades; k < stages.size(); ++k)
            made.scales.push_back(stages[k].percent);
    }
    entry->gained[stages] = std::move(made);
    return true;
}

int PeakSummary::Build(const ChannelSet& channels, const Progress* progress, bool readGains)
{
    if (!channels.IsValid() || channels.FrameCount() == 0)
        return 0;
    std::erase_if(stores_, [](const auto& entry) { return entry.second.store.expired(); });
    std::vector<std::shared_ptr<const SampleStore>> missing;
    // What pieces with a gain read, per store and gain: the store's range they cover together.
    struct Need {
        std::shared_ptr<const SampleStore> store;
        int64_t lo, hi;
    };
    std::map<std::pair<const SampleStore*, std::vector<GainStage>>, Need> gained;
    for (int c = 0; c < channels.ChannelCount(); ++c) {
        const SampleStore* checked = nullptr;
        channels.Channel(c).ForEachPiece([&](const Piece& piece, uint32_t) {
            const int64_t lo = piece.start, hi = int64_t(piece.start) + piece.length;
            if (piece.gain) {
                if (BucketsOf(piece, lo, hi))
                    return;
                auto [at, added] = gained.try_emplace({piece.store.get(), piece.gain->stages}, Need{piece.store, lo, hi});
                at->second.lo = std::min(at->second.lo, lo);
                at->second.hi = std::max(at->second.hi, hi);
                return;
            }
            if (piece.store.get() == checked)
                return;
            checked = piece.store.get();
            if (!BucketsOf(piece, lo, hi) && std::find(missing.begin(), missing.end(), piece.store) == missing.end())
                missing.push_back(piece.store);
        });
    }

    // The passes that read: the stores' own buckets, and (with readGains) each gain's up to its last
    // fade over the range its pieces cover; what comes after a fade is derived below without reading.
    struct Pass {
        std::shared_ptr<const SampleStore> store;
        std::vector<GainStage> stages;
        int64_t lo, hi;
        Buckets made;
        bool ok = false;
    };
    std::vector<Pass> passes;
    for (const auto& store : missing)
        passes.push_back({store, {}, 0, int64_t(store->Length()), {}, false});
    if (readGains) {
        std::map<std::pair<const SampleStore*, std::vector<GainStage>>, size_t> reading;
        for (const auto& [key, need] : gained) {
            size_t fades = key.second.size();
            while (fades > 0 && key.second[fades - 1].IsScale())
                --fades;
            if (fades == 0)
                continue;
            std::vector<GainStage> base(key.second.begin(), key.second.begin() + ptrdiff_t(fades));
            int64_t lo = need.lo, hi = need.hi;
            if (const StoreBuckets* entry = EntryOf(need.store)) {
                if (auto held = entry->gained.find(base); held != entry->gained.end()) {
                    if (held->second.Covers(lo, hi))
                        continue;
                    WidenToCover(held->second, need.store->Length(), lo, hi);
                }
            }
            auto [at, added] = reading.try_emplace({need.store.get(), base}, passes.size());
            if (added) {
                passes.push_back({need.store, std::move(base), lo, hi, {}, false});
            } else {
                passes[at->second].lo = std::min(passes[at->second].lo, lo);
                passes[at->second].hi = std::max(passes[at->second].hi, hi);
            }
        }
    }
    int64_t secondHalf = 0;
    for (size_t k = 1; k < passes.size(); k += 2)
        secondHalf += passes[k].hi - passes[k].lo;
    auto summarise = [&](size_t first, size_t step) {
        for (size_t k = first; k < passes.size(); k += step) {
            Pass& pass = passes[k];
            pass.ok = SummariseRange(*pass.store, pass.stages, pass.lo, pass.hi, progress, pass.made);
        }
    };
    // The pass waits for the disk or the page cache as much as it computes: a long stereo sound reads
    // its second channel on a thread of its own, which nearly halves the wait after an open or a fade.
    // The threads share nothing but the (const, pread-only) stores.
    std::thread second;
    if (secondHalf >= kMinFramesForTwoThreads) {
        try {
            second = std::thread(summarise, 1, 2);
        } catch (const std::system_error&) {
            // no thread to be had: the same work on this one
        }
    }
    summarise(0, second.joinable() ? 2 : 1);
    if (second.joinable())
        second.join();
    bool all = true;
    for (Pass& pass : passes) {
        if (pass.ok) {
            StoreBuckets* entry = EntryOf(pass.store);
            (pass.stages.empty() ? entry->buckets : entry->gained[pass.stages]) = std::move(pass.made);
        }
        all = all && pass.ok;
    }
    for (const auto& [key, need] : gained)
        all = MakeGained(need.store, key.second, need.lo, need.hi, progress, readGains) && all;
    return all ? 1 : 0;
}

double PeakSummary::PeakInRange(const ChannelSet& channels, int c, int64_t start, int64_t end) const
{
    if (!channels.IsValid() || c < 0 || c >= channels.ChannelCount())
        return -1.0;
    const ChannelStore& channel = channels.Channel(c);
    if (!ResolveRange(channel.Length(), start, end))
        return -1.0;
    int32_t peakBits = 0;
    std::vector<float> raw;
    auto readRaw = [&](int64_t lo, int64_t hi) {
        for (; lo < hi; lo += int64_t(raw.size())) {
            raw.resize(size_t(std::min<int64_t>(hi - lo, kBlockSamples)));
            if (!channel.ReadSamples(uint32_t(lo), raw.data(), uint32_t(raw.size())))
                return false;
            for (const float sample : raw)
                peakBits = std::max(peakBits, detail::FiniteMagnitudeBits(sample));
        }
        return true;
    };
    const bool ok = channel.ForEachPieceIn(start, end, [&](const Piece& piece, uint32_t pieceStart) {
        const int64_t lo = std::max<int64_t>(start, pieceStart);
        const int64_t hi = std::min<int64_t>(end, int64_t(pieceStart) + piece.length);
        const int64_t storeLo = piece.start + (lo - pieceStart);
        const int64_t storeHi = storeLo + (hi - lo);
        const Buckets* buckets = BucketsOf(piece, storeLo, storeHi);
        if (!buckets)
            return false;
        const int64_t firstBucket = (storeLo + kBucket - 1) / kBucket;
        const int64_t endBucket = storeHi / kBucket;
        if (firstBucket >= endBucket)
            return readRaw(lo, hi);
        if (!readRaw(lo, lo + (firstBucket * kBucket - storeLo)))
            return false;
        PeakColumn run;
        for (int64_t b = firstBucket; b < endBucket; ++b) {
            const PeakColumn& pair = (*buckets->folds)[size_t(b - buckets->first)];
            // An infinity hides the bucket's finite peak: those samples are read.
            if (!std::isfinite(pair.max) || !std::isfinite(pair.min)) {
                const int64_t at = lo + (b * kBucket - storeLo);
                if (!readRaw(at, at + kBucket))
                    return false;
            } else {
                run.max = std::max(run.max, pair.max);
                run.min = std::min(run.min, pair.min);
            }
        }
        run = ScaledPair(run, buckets->scales);
        peakBits = std::max({peakBits, detail::FiniteMagnitudeBits(run.max), detail::FiniteMagnitudeBits(run.min)});
        return readRaw(hi - (storeHi - endBucket * kBucket), hi);
    });
    return ok ? double(detail::FromMagnitudeBits(peakBits)) : -1.0;
}

namespace {

// Folds frames [first, end) of one channel into the pair: whole buckets of each piece's store where
// they lie inside the range, raw samples elsewhere. pieces: those that overlap every range asked for.
class ChannelFold {
public:
    ChannelFold(const ChannelStore& channel, const std::vector<PieceSpan>& pieces)
        : raw_(channel, pieces), pieces_(pieces)
    {
    }

    bool Fold(int64_t first, int64_t end, float& max, float& min)
    {
        while (first < end) {
            // The pieces only move forward with the columns.
            while (piece_ < pieces_.size() && pieces_[piece_].start + pieces_[piece_].length <= first)
                ++piece_;
            if (piece_ >= pieces_.size() || pieces_[piece_].start > first)
                return false;
            const PieceSpan& piece = pieces_[piece_];
            const int64_t hi = std::min<int64_t>(end, piece.start + piece.length);
            // The same run in the store's frames, and the store's buckets wholly inside it.
            const int64_t storeLo = piece.storeStart + (first - piece.start);
            const int64_t storeHi = storeLo + (hi - first);
            const int64_t firstBucket = (storeLo + kBucket - 1) / kBucket;
            const int64_t endBucket = storeHi / kBucket;
            if (firstBucket < endBucket) {
                const std::vector<PeakColumn>& buckets = *piece.buckets->folds;
                if (!raw_.Fold(first, first + (firstBucket * kBucket - storeLo), max, min))
                    return false;
                PeakColumn run;
                for (int64_t b = firstBucket; b < endBucket; ++b) {
                    const PeakColumn& bucket = buckets[size_t(b - piece.buckets->first)];
                    run.max = run.max < bucket.max ? bucket.max : run.max;
                    run.min = bucket.min < run.min ? bucket.min : run.min;
                }
                if (!piece.buckets->scales.empty())
                    run = ScaledPair(run, piece.buckets->scales);
                max = max < run.max ? run.max : max;
                min = run.min < min ? run.min : min;
                if (!raw_.Fold(hi - (storeHi - endBucket * kBucket), hi, max, min))
                    return false;
            } else if (!raw_.Fold(first, hi, max, min)) {
                return false;
            }
            first = hi;
        }
        return true;
    }

private:
    RawWindow raw_;
    const std::vector<PieceSpan>& pieces_;
    size_t piece_ = 0;
};

}  // namespace

int PeakSummary::ComputeColumns(const ChannelSet& channels, uint32_t columnCount,
                                std::array<std::vector<PeakColumn>, 2>& peaks) const
{
    return ComputeColumns(channels, 0, channels.FrameCount(), columnCount, peaks);
}

int PeakSummary::ComputeColumns(const ChannelSet& channels, int64_t firstFrame, int64_t endFrame,
                                uint32_t columnCount, std::array<std::vector<PeakColumn>, 2>& peaks) const
{
    peaks[0].clear();
    peaks[1].clear();
    if (!channels.IsValid() || columnCount == 0)
        return 0;
    firstFrame = std::clamp<int64_t>(firstFrame, 0, channels.FrameCount());
    endFrame = std::clamp<int64_t>(endFrame, 0, channels.FrameCount());
    if (endFrame <= firstFrame)
        return 0;
    const int channelCount = channels.ChannelCount();
    const int64_t n = endFrame - firstFrame;
    const int64_t w = columnCount;
    // Column c holds the frames g of the range with w * (g - firstFrame) / n == c: from
    // firstFrame + ceil(c * n / w) up to the next column's first frame. That first frame only opens
    // the column; the rest are folded in.
    auto columnStart = [n, w, firstFrame](int64_t column) { return firstFrame + (column * n + w - 1) / w; };

    // One walk over each channel's pieces: every store must have its buckets (IsBuiltFor), and the
    // pieces that the range covers, with the raw edges read past it, are copied out for the columns.
    const int64_t spanFirst = firstFrame - kBucket;
    const int64_t spanEnd = endFrame + 2 * kBucket;
    std::vector<PieceSpan> pieces[2];
    for (int c = 0; c < channelCount; ++c) {
        const SampleStore* store = nullptr;
        const Buckets* buckets = nullptr;
        const bool built = channels.Channel(c).ForEachPiece([&](const Piece& piece, uint32_t pieceStart) {
            if (piece.gain || piece.store.get() != store) {
                store = piece.gain ? nullptr : piece.store.get();
                buckets = BucketsOf(piece, piece.start, int64_t(piece.start) + piece.length);
            }
            if (!buckets)
                return false;
            if (pieceStart < spanEnd && pieceStart + int64_t(piece.length) > spanFirst)
                pieces[c].push_back({pieceStart, piece.store.get(), piece.gain.get(), piece.start, piece.length, buckets});
            return true;
        });
        if (!built)
            return 0;
    }
    ChannelFold fold[2] = {ChannelFold(channels.Channel(0), pieces[0]),
                           ChannelFold(channels.Channel(channelCount > 1 ? 1 : 0), pieces[channelCount > 1 ? 1 : 0])};
    for (int c = 0; c < channelCount; ++c)
        peaks[c].reserve(size_t(std::min(n, w)));
    int64_t start = firstFrame;
    for (int64_t column = 0; column < w; ++column) {
        const int64_t end = columnStart(column + 1);
        if (end <= start)
            continue;  // no frame falls into this column: ComputeColumnPeaks appends nothing for it
        for (int c = 0; c < channelCount; ++c) {
            float max = 0.0f;
            float min = 0.0f;
            if (!fold[c].Fold(start + 1, end, max, min)) {
                // Like ComputeColumnPeaks, keep the columns finished so far.
                peaks[1].resize(std::min(peaks[1].size(), peaks[0].size()));
                peaks[0].resize(c > 0 ? peaks[1].size() : peaks[0].size());
                return 0;
            }
            peaks[c].push_back({std::min(max, 1.0f), std::max(min, -1.0f)});
        }
        start = end;
    }
    return 1;
}

}  // namespace brindle
