#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>

#include "storage/channel_set.h"
#include "storage/channel_store.h"
#include "storage/temp_files.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::FillStore;
using test::ReadStore;
using Floats = std::vector<float>;

Floats Ramp(size_t n, float start = 1.0f)
{
    Floats v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = start + float(i % 100000) * 1e-5f;
    return v;
}
// A store of the given samples.
void Make(ChannelStore& store, const Floats& values)
{
    ASSERT_EQ(store.Allocate(uint32_t(values.size())), 1);
    FillStore(store, values);
}
struct stat StatOf(const std::filesystem::path& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

class BlockStorage : public test::TempDirTest {};

TEST_F(BlockStorage, AllocationBlocksAndTheirPrivateFile)
{
    for (const uint32_t length : {kBlockSamples, kBlockSamples + 1}) {
        ChannelStore store;
        ASSERT_EQ(store.Allocate(length), 1);
        EXPECT_EQ(std::tuple(store.BlockCount(), store.SamplesInBlock(0), store.SamplesInBlock(1)),
                  std::tuple(length == kBlockSamples ? 1u : 2u, kBlockSamples, length - kBlockSamples));
        float sample = 1.0f;
        EXPECT_EQ(store.ReadSamples(length, &sample, 1), 0) << "a read past the end";
        EXPECT_EQ(store.ReadSamples(length - 1, &sample, 1), 1);
        EXPECT_EQ(sample, 0.0f) << "new stores are silent";
        sample = 0.25f;
        ASSERT_EQ(store.WriteSamples(length - 1, &sample, 1), 1);
        EXPECT_EQ(ReadStore(store).back(), 0.25f);
        const auto files = TempFiles();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(std::tuple(files[0], StatOf(files[0]).st_mode & 0777, StatOf(files[0]).st_size),
                  std::tuple(store.FileName(), 0600u, off_t(4) * length));
        EXPECT_EQ(store.Allocate(5), 0) << "a store that holds samples cannot allocate again";
        store.Destroy();
        EXPECT_TRUE(store.IsEmpty() && TempFiles().empty());
        ASSERT_EQ(store.Allocate(10), 1);
    }
    EXPECT_TRUE(TempFiles().empty()) << "destroying a store deletes its file";
    ChannelStore store;
    float sample = 0.0f;
    EXPECT_EQ(store.ReadSamples(0, &sample, 1), 0);
    for (uint32_t bad : {0u, 1u << 30, 0xFFFFFFFFu})  // 2^30 samples do not fit a 32-bit byte size
        EXPECT_EQ(store.Allocate(bad), 0) << bad;
    test::FileSizeLimit limit(1 << 20);
    EXPECT_EQ(store.Allocate(kBlockSamples * 2), 0) << "a full disk";
    EXPECT_TRUE(store.IsEmpty() && TempFiles().empty());
}

TEST_F(BlockStorage, CopyRangeClampsAndStopsAtTheDestinationsEnd)
{
    ChannelStore source, target, big, other;
    const Floats ramp = Ramp(100);
    Make(source, ramp);
    Make(target, Floats(50, 0.0f));
    EXPECT_EQ(target.CopyRange(49, source, 10, 90), 1) << "only one sample fits at length - 1";
    EXPECT_EQ(target.CopyRange(0, source, -20, 5), 1) << "start clamped to 0";
    EXPECT_EQ(target.CopyRange(10, source, 95, 500), 1) << "end clamped to the source";
    EXPECT_EQ(target.CopyRange(50, source, 0, 10), 0) << "destination at the length";
    EXPECT_EQ(target.CopyRange(-1, source, 0, 10), 0);
    EXPECT_EQ(target.CopyRange(0, source, 30, 30), 0) << "empty source range";
    EXPECT_EQ(target.CopyRange(0, source, 200, 300), 0) << "range clamps to nothing";
    Floats expected(50, 0.0f);
    std::copy(ramp.begin(), ramp.begin() + 5, expected.begin());
    std::copy(ramp.begin() + 95, ramp.end(), expected.begin() + 10);
    expected[49] = ramp[10];
    EXPECT_EQ(ReadStore(target), expected);
    // Unaligned on both sides: each source block lands across a destination block boundary.
    const uint32_t n = kBlockSamples * 2 + 17;
    const auto values = Ramp(n, -0.5f);
    Make(big, values);
    Make(other, Floats(n, 0.0f));
    ASSERT_EQ(other.CopyRange(1000, big, 3, n), 1);
    Floats shifted(1000, 0.0f);
    shifted.insert(shifted.end(), values.begin() + 3, values.begin() + 3 + (n - 1000));
    EXPECT_TRUE(ReadStore(other) == shifted);
}

TEST_F(BlockStorage, CopiesShareOneFileThatLivesUntilItsLastUserAndTakesNoMoreWrites)
{
    ChannelStore a, b, c, empty;
    Make(a, Ramp(kBlockSamples + 3));
    ASSERT_EQ(b.CopyFrom(a), 1);
    EXPECT_EQ(ReadStore(b), ReadStore(a));
    EXPECT_EQ(TempFiles().size(), 1u) << "a copy shares the store";
    // Once shared, a store never changes: a write would reach every state that holds it.
    const float one = 1.0f;
    EXPECT_EQ(a.WriteSamples(0, &one, 1) + b.WriteSamples(0, &one, 1), 0);
    a.Destroy();
    EXPECT_EQ(TempFiles().size(), 1u) << "b still reads it";
    c.MoveFrom(b);
    EXPECT_EQ(std::tuple(b.IsEmpty(), ReadStore(c)), std::tuple(true, Ramp(kBlockSamples + 3)));
    EXPECT_EQ(c.CopyFrom(empty), 1);
    EXPECT_TRUE(c.IsEmpty() && TempFiles().empty()) << "the last user freed it";
}

TEST_F(BlockStorage, SlicesAndSplicesAcrossBlocksReadAsTheSameCutsOfAPlainArray)
{
    const uint32_t n = kBlockSamples * 2 + 777;
    ChannelStore first, second, channel;
    Floats model = Ramp(n), other = Ramp(n / 3, -1.0f);
    Make(first, model);
    Make(second, other);
    channel.CopyFrom(first);
    std::mt19937 random(7);
    auto uniform = [&random](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(random); };
    for (int round = 0; round < 60; ++round) {
        const int64_t length = channel.StoredLength(), start = uniform(0, length);
        int64_t end = uniform(start, std::min<int64_t>(length, start + n / 2));
        ChannelStore insert;
        Floats inserted;
        if (round % 3 == 0) {
            const int64_t from = uniform(0, int64_t(other.size()) - 1), to = uniform(from, int64_t(other.size()));
            insert.Slice(second, from, to);
            inserted.assign(other.begin() + from, other.begin() + to);
        }
        if (length - (end - start) + int64_t(inserted.size()) < 1000)
            end = start;  // keep the channel long enough to cut again
        ASSERT_EQ(channel.Splice(start, end, insert), 1);
        model.erase(model.begin() + start, model.begin() + end);
        model.insert(model.begin() + start, inserted.begin(), inserted.end());
        ASSERT_EQ(ReadStore(channel), model) << "round " << round;
    }
    EXPECT_EQ(channel.Splice(0, channel.StoredLength(), ChannelStore()), 0) << "nothing would be left";
    EXPECT_EQ(channel.Splice(5, 4, ChannelStore()), 0);
    EXPECT_EQ(ReadStore(channel), model) << "a refused splice changes nothing";
}

TEST_F(BlockStorage, ThousandsOfSplicesKeepEverySampleAndTheJoinedPieces)
{
    // Each sample is its own index, the second store's from 2^22 on: the model's longest runs of
    // consecutive values are the pieces the channel must hold, and a tree of the same operations
    // must hold the same, balanced.
    const uint32_t n = 60000, m = 20000;
    const float offset = float(1 << 22);
    ChannelStore stores[2];
    Floats values[2] = {Floats(n), Floats(m)};
    for (int k = 0; k < 2; ++k) {
        for (size_t i = 0; i < values[k].size(); ++i)
            values[k][i] = float(i) + (k ? offset : 0.0f);
        Make(stores[k], values[k]);
        stores[k].Seal();
    }
    uint32_t at = 0;
    const std::shared_ptr<const SampleStore> store[2] = {stores[0].PieceAt(0, at).store, stores[1].PieceAt(0, at).store};
    auto expectedPieces = [&](const Floats& model) {
        std::vector<std::tuple<const SampleStore*, uint32_t, uint32_t>> pieces;
        for (size_t i = 0; i < model.size(); ++i) {
            if (i > 0 && model[i] == model[i - 1] + 1.0f)
                ++std::get<2>(pieces.back());
            else
                pieces.emplace_back(store[model[i] >= offset].get(), uint32_t(model[i] - (model[i] >= offset ? offset : 0)), 1);
        }
        return pieces;
    };
    const struct {
        int rounds;
        int64_t longestCut;
        int insertEvery;  // rounds, 0 for none: from either store, anywhere in the channel or the very range replaced
        int sliceEvery;
    } cases[] = {{6000, 8, 0, 0}, {3000, 2000, 2, 0}, {2000, 0, 1, 0}, {1500, 600, 3, 40}};
    std::mt19937 random(11);
    auto uniform = [&random](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(random); };
    for (const auto& test : cases) {
        ChannelStore channel;
        channel.CopyFrom(stores[0]);
        PieceTree tree({store[0], 0, n, {}});
        Floats model = values[0];
        for (int round = 1; round <= test.rounds; ++round) {
            const int64_t length = channel.StoredLength(), start = uniform(0, length);
            int64_t end = std::min(length, start + uniform(0, test.longestCut));
            ChannelStore insert;
            PieceTree inserted;
            Floats samples;
            if (test.insertEvery && round % test.insertEvery == 0) {
                const int source = int(uniform(0, 3));
                const Floats& from = source < 2 ? values[source] : model;
                int64_t first = uniform(0, int64_t(from.size()) - 1);
                int64_t last = std::min<int64_t>(int64_t(from.size()), first + uniform(1, 400));
                if (source == 3)
                    first = start, last = end;
                insert.Slice(source < 2 ? stores[source] : channel, first, last);
                inserted = source < 2 ? PieceTree({store[source], uint32_t(first), uint32_t(last - first), {}})
                                      : tree.Drop(uint32_t(first)).Take(uint32_t(last - first));
                samples.assign(from.begin() + first, from.begin() + last);
            }
            if (length - (end - start) < 1000)
                end = start;
            ASSERT_EQ(channel.Splice(start, end, insert), 1);
            tree = tree.Splice(uint32_t(start), uint32_t(end), inserted);
            model.erase(model.begin() + start, model.begin() + end);
            model.insert(model.begin() + start, samples.begin(), samples.end());
            if (test.sliceEvery && round % test.sliceEvery == 0) {
                const int64_t first = uniform(0, int64_t(model.size()) / 4);
                const int64_t last = uniform(int64_t(model.size()) * 3 / 4, int64_t(model.size()));
                ChannelStore sliced;
                sliced.Slice(channel, first, last);
                channel.MoveFrom(sliced);
                tree = tree.Drop(uint32_t(first)).Take(uint32_t(last - first));
                model = Floats(model.begin() + first, model.begin() + last);
            }
            if (round % 100 != 0 && round != test.rounds)
                continue;
            ASSERT_EQ(ReadStore(channel), model) << "round " << round;
            const auto expected = expectedPieces(model);
            ASSERT_EQ(std::tuple(channel.PieceCount(), tree.Count(), tree.IsSound()), std::tuple(expected.size(), expected.size(), true));
            EXPECT_LE(tree.Height(), 1.45 * std::log2(double(expected.size()) + 2)) << "round " << round;
            size_t k = 0;
            uint32_t position = 0;
            channel.ForEachPiece([&](const Piece& piece, uint32_t pieceStart) {
                ASSERT_EQ(std::make_tuple(piece.store.get(), piece.start, piece.length), expected[k++]);
                ASSERT_EQ(pieceStart, position);
                position += piece.length;
            });
            EXPECT_EQ(position, model.size());
            // The pieces overlapping a range are the list's, whole, from the one that holds its start.
            const uint32_t from = uint32_t(uniform(0, int64_t(model.size()) - 1));
            const Piece& holder = channel.PieceAt(from, at);
            size_t visited = 0;
            channel.ForEachPieceIn(from, from + 1, [&](const Piece& piece, uint32_t pieceStart) {
                EXPECT_TRUE(&piece == &holder && pieceStart == at && at <= from && from < at + piece.length);
                ++visited;
            });
            EXPECT_EQ(visited, 1u);
        }
        if (test.longestCut == 8) {
            EXPECT_GT(channel.PieceCount(), 3000u) << "a deep tree";
        }
    }
}

TEST_F(BlockStorage, ChannelSetDropAndDuplicate)
{
    ChannelSet set;
    EXPECT_EQ(set.Allocate(3, 10, 8000), 0);
    ASSERT_EQ(set.Allocate(1, 10, 8000), 1);
    EXPECT_EQ(set.DropChannel1(), 0) << "mono has no channel 1";
    FillStore(set.Channel(0), Ramp(10));
    ASSERT_EQ(set.DuplicateToStereo(), 1);
    EXPECT_EQ(std::tuple(set.IsStereo(), ReadStore(set.Channel(1))), std::tuple(true, Ramp(10)));
    ASSERT_EQ(set.DropChannel1(), 1);
    EXPECT_EQ(std::tuple(set.IsMono(), TempFiles().size()), std::tuple(true, 1u));
}

TEST_F(BlockStorage, TemporaryFilesHaveNoNameAndOnlyTheirOwnerCanReachThem)
{
    // A link planted where a predictable name would go is never followed: there is no name to plant.
    std::filesystem::create_symlink(Dir() / "victim", Dir() / "~Ve000001");
    {
        const UniqueFd fd = CreateUnnamedTempFile();
        ASSERT_TRUE(fd.IsValid());
        struct stat st {};
        ASSERT_EQ(::fstat(fd.Get(), &st), 0);
        EXPECT_EQ(std::tuple(st.st_mode & 07777, st.st_nlink), std::tuple(0600u, nlink_t(0))) << "no name in any folder";
        EXPECT_EQ(TempFiles().size(), 2u) << "the open file, and the planted link";
        // Never linkable, not even through /proc by someone who got hold of the descriptor.
        EXPECT_NE(::linkat(AT_FDCWD, DescriptorPath(fd.Get()).c_str(), AT_FDCWD, (Dir() / "named").c_str(), AT_SYMLINK_FOLLOW), 0);
    }
    EXPECT_EQ(TempFiles().size(), 1u) << "only the planted link";
    EXPECT_FALSE(std::filesystem::exists(Dir() / "victim") || std::filesystem::exists(Dir() / "named"));
    EXPECT_EQ(TempDirectory(), Dir());
    ::setenv("TMPDIR", (Dir() / "missing").c_str(), 1);
    EXPECT_EQ(TempDirectory(), "/var/tmp") << "the fallback from an unusable TMPDIR";
}

TEST_F(BlockStorage, ResizingKeepsTheSamplesAndFailsWithoutChangingAnything)
{
    ChannelStore store;
    Make(store, Ramp(10));
    ASSERT_EQ(store.Resize(kBlockSamples + 5), 1);
    Floats grown = Ramp(10);
    grown.resize(kBlockSamples + 5, 0.0f);
    EXPECT_EQ(ReadStore(store), grown) << "new samples are zeros";
    {
        test::FileSizeLimit full(1 << 20);
        EXPECT_EQ(store.Resize(kBlockSamples * 4), 0);
    }
    EXPECT_EQ(ReadStore(store), grown);
    ASSERT_EQ(store.Resize(4), 1);
    EXPECT_EQ(store.Resize(0), 0);
    EXPECT_EQ(std::tuple(ReadStore(store), StatOf(store.FileName()).st_size), std::tuple(Ramp(4), off_t(16)));
}

// A journal's gain words come back as the chain they were written from; a damaged one is refused.
TEST(GainWords, RoundTripAndDamagedOnesAreRefused)
{
    GainChain chain, back;
    chain.stages = {{GainStage::Kind::FadeIn, 100, 44099, -300}, {GainStage::Kind::Scale, -70, 1, 0},
                    {GainStage::Kind::FadeOut, 100, 1, 8589934592}};
    ASSERT_TRUE(ParseGain(GainWord(chain), back)) << GainWord(chain);
    EXPECT_EQ(back, chain);
    for (const char* word : {"", "s", "s1~", "~s1", "s1~~s2", "x5", "i5", "i0,3", "i5,", "i,5", "s1x", "i5,3,4",
                             "o5,8589934593", "s1~s1~s1~s1~s1~s1~s1~s1~s1", "s99999999999"})
        EXPECT_FALSE(ParseGain(word, back)) << word;
}

// Pieces cut from one gained piece join again when put back side by side, as plain pieces do.
TEST_F(BlockStorage, GainedPiecesCutAndPutBackJoinAgain)
{
    ChannelStore channel, middle, other;
    for (ChannelStore* store : {&channel, &other}) {
        ASSERT_EQ(store->Allocate(1000), 1);
        ASSERT_EQ(store->AddGain(100, 900, {GainStage::Kind::FadeIn, 100, 799, 0}), 1);
    }
    EXPECT_EQ(channel.PieceCount(), 3u);
    const Floats before = ReadStore(channel);
    middle.Slice(channel, 300, 400);
    ASSERT_EQ(channel.Splice(300, 400, ChannelStore()), 1);
    ASSERT_EQ(channel.Splice(300, 300, middle), 1);
    EXPECT_EQ(std::tuple(channel.PieceCount(), ReadStore(channel)), std::tuple(size_t(3), before));
    middle.Slice(other, 300, 400);
    ASSERT_EQ(channel.Splice(300, 400, middle), 1);
    EXPECT_EQ(channel.PieceCount(), 5u) << "another store's piece";
}

}  // namespace
}  // namespace brindle
