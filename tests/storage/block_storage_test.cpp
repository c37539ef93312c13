#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/channel_set.h"
#include "storage/channel_store.h"
#include "storage/temp_files.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::FillStore;
using test::ReadStore;

std::vector<float> Ramp(size_t n, float start = 1.0f)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = start + float(i % 100000) * 1e-5f;
    return v;
}

class BlockStorage : public test::TempDirTest {};

TEST_F(BlockStorage, BlockBoundaries)
{
    ChannelStore exact;
    ASSERT_EQ(exact.Allocate(kBlockSamples), 1);
    EXPECT_EQ(exact.BlockCount(), 1u);
    EXPECT_EQ(exact.SamplesInBlock(0), kBlockSamples);
    EXPECT_EQ(exact.SamplesInBlock(1), 0u);
    float sample = 1.0f;
    EXPECT_EQ(exact.ReadSamples(kBlockSamples, &sample, 1), 0) << "a read past the end";
    EXPECT_EQ(exact.ReadSamples(kBlockSamples - 1, &sample, 1), 1);
    EXPECT_EQ(sample, 0.0f) << "new stores are silent";

    ChannelStore onePast;
    ASSERT_EQ(onePast.Allocate(kBlockSamples + 1), 1);
    EXPECT_EQ(onePast.BlockCount(), 2u);
    EXPECT_EQ(onePast.SamplesInBlock(1), 1u);
    sample = 0.25f;
    ASSERT_EQ(onePast.WriteSamples(kBlockSamples, &sample, 1), 1);
    EXPECT_EQ(ReadStore(onePast).back(), 0.25f);

    ChannelStore empty;
    EXPECT_EQ(empty.ReadSamples(0, &sample, 1), 0);
    EXPECT_TRUE(empty.IsEmpty());
}

TEST_F(BlockStorage, TemporaryFilesArePrivateAndLiveAsLongAsTheirStore)
{
    {
        ChannelStore store;
        ASSERT_EQ(store.Allocate(1000), 1);
        const auto files = TempFiles();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0], store.FileName());
        struct stat st {};
        ASSERT_EQ(::stat(files[0].c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, 4000);
        store.Destroy();
        EXPECT_TRUE(TempFiles().empty());
        ASSERT_EQ(store.Allocate(10), 1);
    }
    EXPECT_TRUE(TempFiles().empty()) << "destroying a store deletes its file";
}

TEST_F(BlockStorage, AllocationRefusesBadLengthsAndLeavesNothing)
{
    ChannelStore store;
    EXPECT_EQ(store.Allocate(0), 0);
    EXPECT_EQ(store.Allocate(1u << 30), 0) << "2^30 samples do not fit a 32-bit byte size";
    EXPECT_EQ(store.Allocate(0xFFFFFFFFu), 0);
    EXPECT_TRUE(store.IsEmpty());
    ASSERT_EQ(store.Allocate(5), 1);
    EXPECT_EQ(store.Allocate(5), 0) << "a store that holds samples cannot allocate again";
    store.Destroy();
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BlockStorage, FailedCreateOnFullDiskLeavesNoFile)
{
    test::FileSizeLimit limit(1 << 20);
    ChannelStore store;
    EXPECT_EQ(store.Allocate(kBlockSamples * 2), 0);
    EXPECT_TRUE(store.IsEmpty());
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BlockStorage, CopyRangeClampsAndStopsAtTheDestinationsEnd)
{
    ChannelStore source, target;
    ASSERT_EQ(source.Allocate(100), 1);
    ASSERT_EQ(target.Allocate(50), 1);
    FillStore(source, Ramp(100));

    EXPECT_EQ(target.CopyRange(49, source, 10, 90), 1);
    auto got = ReadStore(target);
    EXPECT_EQ(got[49], Ramp(100)[10]) << "only one sample fits at length - 1";
    EXPECT_EQ(got[48], 0.0f);

    EXPECT_EQ(target.CopyRange(0, source, -20, 5), 1) << "start clamped to 0";
    got = ReadStore(target);
    EXPECT_EQ(got[0], Ramp(100)[0]);
    EXPECT_EQ(got[4], Ramp(100)[4]);
    EXPECT_EQ(got[5], 0.0f);

    EXPECT_EQ(target.CopyRange(10, source, 95, 500), 1) << "end clamped to the source";
    got = ReadStore(target);
    EXPECT_EQ(got[14], Ramp(100)[99]);
    EXPECT_EQ(got[15], 0.0f);

    EXPECT_EQ(target.CopyRange(50, source, 0, 10), 0) << "destination at the length";
    EXPECT_EQ(target.CopyRange(-1, source, 0, 10), 0);
    EXPECT_EQ(target.CopyRange(0, source, 30, 30), 0) << "empty source range";
    EXPECT_EQ(target.CopyRange(0, source, 200, 300), 0) << "range clamps to nothing";
}

TEST_F(BlockStorage, CopyRangeAcrossBlockBoundaries)
{
    const uint32_t n = kBlockSamples * 2 + 17;
    ChannelStore source, target;
    ASSERT_EQ(source.Allocate(n), 1);
    ASSERT_EQ(target.Allocate(n), 1);
    const auto values = Ramp(n, -0.5f);
    FillStore(source, values);
    // Unaligned on both sides: each source block lands across a destination block boundary.
    ASSERT_EQ(target.CopyRange(1000, source, 3, n), 1);
    const auto got = ReadStore(target);
    for (uint32_t i = 1000; i < n; ++i)
        ASSERT_EQ(got[i], values[i - 1000 + 3]) << "at " << i;
    EXPECT_EQ(got[999], 0.0f);
}

TEST_F(BlockStorage, CopiesShareOneFileThatLivesUntilItsLastUserAndTakesNoMoreWrites)
{
    ChannelStore a, b, c;
    ASSERT_EQ(a.Allocate(kBlockSamples + 3), 1);
    FillStore(a, Ramp(kBlockSamples + 3));
    ASSERT_EQ(b.CopyFrom(a), 1);
    EXPECT_EQ(ReadStore(b), ReadStore(a));
    EXPECT_EQ(TempFiles().size(), 1u) << "a copy shares the store";
    // Once shared, a store never changes: a write would reach every state that holds it.
    const float one = 1.0f;
    EXPECT_EQ(a.WriteSamples(0, &one, 1), 0);
    EXPECT_EQ(b.WriteSamples(0, &one, 1), 0);
    a.Destroy();
    EXPECT_EQ(TempFiles().size(), 1u) << "b still reads it";
    c.MoveFrom(b);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(ReadStore(c), Ramp(kBlockSamples + 3));
    ChannelStore empty;
    EXPECT_EQ(c.CopyFrom(empty), 1);
    EXPECT_TRUE(c.IsEmpty());
    EXPECT_TRUE(TempFiles().empty()) << "the last user freed it";
}

TEST_F(BlockStorage, SlicesAndSplicesReadAsTheSameCutsOfAPlainArray)
{
    // Random cuts, joins and re-insertions over two stores, against the same operations on vectors;
    // reads cross block and piece boundaries.
    const uint32_t n = kBlockSamples * 2 + 777;
    ChannelStore first, second;
    ASSERT_EQ(first.Allocate(n), 1);
    ASSERT_EQ(second.Allocate(n / 3), 1);
    std::vector<float> model = Ramp(n), other = Ramp(n / 3, -1.0f);
    FillStore(first, model);
    FillStore(second, other);
    ChannelStore channel;
    channel.CopyFrom(first);
    std::mt19937 random(7);
    for (int round = 0; round < 60; ++round) {
        const int64_t length = channel.StoredLength();
        int64_t start = std::uniform_int_distribution<int64_t>(0, length)(random);
        int64_t end = std::uniform_int_distribution<int64_t>(start, std::min<int64_t>(length, start + n / 2))(random);
        ChannelStore insert;
        std::vector<float> inserted;
        if (round % 3 == 0) {
            const int64_t from = std::uniform_int_distribution<int64_t>(0, other.size() - 1)(random);
            const int64_t to = std::uniform_int_distribution<int64_t>(from, other.size())(random);
            insert.Slice(second, from, to);
            inserted.assign(other.begin() + from, other.begin() + to);
        }
        if (length - (end - start) + int64_t(inserted.size()) < 1000) {
            end = start;  // keep the channel long enough to cut again
        }
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
    // Each store's sample is its own index (exact in a float), the second store's from 2^22 on. A
    // piece is then a run of consecutive values of the model, and the model's longest such runs are
    // the pieces the channel must hold: neighbours that continue each other in a store joined, as
    // the plain list always joined them. A tree of the same operations must stay balanced.
    const uint32_t n = 60000, m = 20000;
    const float offset = float(1 << 22);
    ChannelStore stores[2];
    std::vector<float> values[2] = {std::vector<float>(n), std::vector<float>(m)};
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(stores[k].Allocate(uint32_t(values[k].size())), 1);
        for (size_t i = 0; i < values[k].size(); ++i)
            values[k][i] = float(i) + (k ? offset : 0.0f);
        FillStore(stores[k], values[k]);
        stores[k].Seal();
    }
    uint32_t at = 0;
    const std::shared_ptr<const SampleStore> store[2] = {stores[0].PieceAt(0, at).store, stores[1].PieceAt(0, at).store};
    auto expectedPieces = [&](const std::vector<float>& model) {
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
        int insertEvery;  // rounds; 0 for none. Inserts come from either store, anywhere in the channel or
                          // the very range they replace (which must join up again).
        int sliceEvery;
    } cases[] = {{6000, 8, 0, 0}, {3000, 2000, 2, 0}, {2000, 0, 1, 0}, {1500, 600, 3, 40}};
    std::mt19937 random(11);
    auto uniform = [&random](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(random); };
    for (const auto& test : cases) {
        ChannelStore channel;
        channel.CopyFrom(stores[0]);
        PieceTree tree({store[0], 0, n, {}});
        std::vector<float> model = values[0];
        for (int round = 1; round <= test.rounds; ++round) {
            const int64_t length = channel.StoredLength();
            const int64_t start = uniform(0, length);
            int64_t end = std::min(length, start + uniform(0, test.longestCut));
            ChannelStore insert;
            PieceTree inserted;
            std::vector<float> samples;
            if (test.insertEvery && round % test.insertEvery == 0) {
                const int source = int(uniform(0, 3));
                const std::vector<float>& from = source < 2 ? values[source] : model;
                int64_t first = uniform(0, int64_t(from.size()) - 1);
                int64_t last = std::min<int64_t>(int64_t(from.size()), first + uniform(1, 400));
                if (source == 3) {
                    first = start;
                    last = end;
                }
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
                model = std::vector<float>(model.begin() + first, model.begin() + last);
            }
            if (round % 100 != 0 && round != test.rounds)
                continue;
            ASSERT_EQ(ReadStore(channel), model) << "round " << round;
            const auto expected = expectedPieces(model);
            ASSERT_EQ(channel.PieceCount(), expected.size());
            ASSERT_EQ(tree.Count(), expected.size());
            ASSERT_TRUE(tree.IsSound());
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
    EXPECT_TRUE(set.IsStereo());
    EXPECT_EQ(ReadStore(set.Channel(1)), Ramp(10));
    ASSERT_EQ(set.DropChannel1(), 1);
    EXPECT_TRUE(set.IsMono());
    EXPECT_EQ(TempFiles().size(), 1u);
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
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_nlink, 0u) << "no name in any folder";
        EXPECT_EQ(TempFiles().size(), 2u) << "the open file, and the planted link";
        // Never linkable, not even through /proc by someone who got hold of the descriptor.
        EXPECT_NE(::linkat(AT_FDCWD, DescriptorPath(fd.Get()).c_str(), AT_FDCWD, (Dir() / "named").c_str(),
                           AT_SYMLINK_FOLLOW),
                  0);
    }
    EXPECT_EQ(TempFiles().size(), 1u) << "only the planted link";
    EXPECT_FALSE(std::filesystem::exists(Dir() / "victim"));
    EXPECT_FALSE(std::filesystem::exists(Dir() / "named"));
}

TEST_F(BlockStorage, ResizingKeepsTheSamplesAndFailsWithoutChangingAnything)
{
    ChannelStore store;
    ASSERT_EQ(store.Allocate(10), 1);
    FillStore(store, Ramp(10));
    ASSERT_EQ(store.Resize(kBlockSamples + 5), 1);
    std::vector<float> grown = Ramp(10);
    grown.resize(kBlockSamples + 5, 0.0f);
    EXPECT_EQ(ReadStore(store), grown) << "new samples are zeros";
    {
        test::FileSizeLimit full(1 << 20);
        EXPECT_EQ(store.Resize(kBlockSamples * 4), 0);
    }
    EXPECT_EQ(store.StoredLength(), kBlockSamples + 5);
    EXPECT_EQ(ReadStore(store), grown);
    ASSERT_EQ(store.Resize(4), 1);
    EXPECT_EQ(ReadStore(store), Ramp(4));
    EXPECT_EQ(store.Resize(0), 0);
    struct stat st {};
    ASSERT_EQ(::stat(store.FileName().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16);
}

TEST_F(BlockStorage, TempDirectoryFallsBackWhenTmpdirIsUnusable)
{
    EXPECT_EQ(TempDirectory(), Dir());
    ::setenv("TMPDIR", (Dir() / "missing").c_str(), 1);
    EXPECT_EQ(TempDirectory(), "/var/tmp");
}

// A journal's gain words come back as the chain they were written from; a damaged one is refused.
TEST(GainWords, RoundTripAndDamagedOnesAreRefused)
{
    GainChain chain;
    chain.stages = {{GainStage::Kind::FadeIn, 100, 44099, -300}, {GainStage::Kind::Scale, -70, 1, 0},
                    {GainStage::Kind::FadeOut, 100, 1, 8589934592}};
    GainChain back;
    ASSERT_TRUE(ParseGain(GainWord(chain), back)) << GainWord(chain);
    EXPECT_EQ(back, chain);
    const char* damaged[] = {"", "s", "s1~", "~s1", "s1~~s2", "x5", "i5", "i0,3", "i5,", "i,5", "s1x", "i5,3,4",
                             "o5,8589934593", "s1~s1~s1~s1~s1~s1~s1~s1~s1", "s99999999999"};
    for (const char* word : damaged)
        EXPECT_FALSE(ParseGain(word, back)) << word;
}

// Pieces cut from one gained piece join again when put back side by side, as plain pieces do.
TEST_F(BlockStorage, GainedPiecesCutAndPutBackJoinAgain)
{
    ChannelStore channel;
    ASSERT_EQ(channel.Allocate(1000), 1);
    ASSERT_EQ(channel.AddGain(100, 900, {GainStage::Kind::FadeIn, 100, 799, 0}), 1);
    EXPECT_EQ(channel.PieceCount(), 3u);
    const std::vector<float> before = test::ReadStore(channel);
    ChannelStore middle;
    middle.Slice(channel, 300, 400);
    ASSERT_EQ(channel.Splice(300, 400, ChannelStore()), 1);
    ASSERT_EQ(channel.Splice(300, 300, middle), 1);
    EXPECT_EQ(channel.PieceCount(), 3u);
    EXPECT_EQ(test::ReadStore(channel), before);
    ChannelStore other;
    ASSERT_EQ(other.Allocate(1000), 1);
    ASSERT_EQ(other.AddGain(100, 900, {GainStage::Kind::FadeIn, 100, 799, 0}), 1);
    middle.Slice(other, 300, 400);
    ASSERT_EQ(channel.Splice(300, 400, middle), 1);
    EXPECT_EQ(channel.PieceCount(), 5u) << "another store's piece";
}

}  // namespace
}  // namespace brindle
