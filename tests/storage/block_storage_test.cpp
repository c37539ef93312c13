#include <gtest/gtest.h>

#include <random>

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

}  // namespace
}  // namespace brindle
