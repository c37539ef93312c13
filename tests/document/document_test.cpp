#include "document/document.h"
#include "edit/column_peaks.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "storage/temp_files.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using test::ReadFileBytes;
using test::RunCommand;

class DocumentTest : public test::TempDirTest {
protected:
    // A short stereo tone made by sox (and, for .mp3 names, encoded by lame).
    std::filesystem::path MakeSound(const std::string& name, double seconds = 0.5)
    {
        const auto path = PathOf(name);
        const auto wav = PathOf(name + ".src.wav");
        EXPECT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 '" + wav.string() + "' synth " + std::to_string(seconds) +
                             " sine 440 vol 0.5"),
                  0);
        if (FileKind(path) == FileType::Mp3 || path.extension() == ".MP3")
            EXPECT_EQ(RunCommand("lame --quiet -V 4 '" + wav.string() + "' '" + path.string() + "'"), 0);
        else
            std::filesystem::rename(wav, path);
        std::filesystem::remove(wav);
        return path;
    }
    // Files in the test folder other than the ones named and the sound's own "~Ve" sample stores:
    // leftovers of a save.
    std::vector<std::string> Leftovers(std::initializer_list<std::string> expected)
    {
        std::vector<std::string> extra;
        for (const auto& entry : std::filesystem::directory_iterator(Dir())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("~Ve", 0) != 0 && std::find(expected.begin(), expected.end(), name) == expected.end())
                extra.push_back(name);
        }
        return extra;
    }
};

TEST(FileKindTest, ByLowerCasedExtension)
{
    EXPECT_EQ(FileKind("/music/a.MP3"), FileType::Mp3);
    EXPECT_EQ(FileKind("b.Wav"), FileType::Wav);
    EXPECT_EQ(FileKind("a.mp3.txt"), FileType::Unknown);
    EXPECT_EQ(FileKind("noextension"), FileType::Unknown);
    EXPECT_EQ(FileKind("folder.mp3/file"), FileType::Unknown);
    EXPECT_EQ(FileKind(""), FileType::Unknown);
}

TEST_F(DocumentTest, UpperCaseMp3OpensOnTheMp3Side)
{
    const auto path = MakeSound("a.MP3");
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    EXPECT_EQ(document.Kind(), FileType::Mp3);
    EXPECT_TRUE(document.ActiveBuffer().IsStereo());
    EXPECT_FALSE(document.Modified());
    EXPECT_EQ(document.SourcePath(), path);
    EXPECT_TRUE(document.TargetPath().empty());
    EXPECT_EQ(document.DisplayName(), "a.MP3");
}

TEST_F(DocumentTest, ProposeSaveNameSkipsExistingFiles)
{
    Document document;
    EXPECT_EQ(document.ProposeSaveName(), "Untitled");
    const auto path = MakeSound("song.wav");
    ASSERT_EQ(document.Load(path), 1);
    EXPECT_EQ(document.ProposeSaveName(), PathOf("song (1).wav"));
    test::WriteFileBytes(PathOf("song (1).wav"), {1});
    test::WriteFileBytes(PathOf("song (2).wav"), {1});
    EXPECT_EQ(document.ProposeSaveName(), PathOf("song (3).wav"));
}

TEST_F(DocumentTest, SidesFollowTheSavedFormat)
{
    const auto path = MakeSound("in.mp3");
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    ASSERT_EQ(document.Kind(), FileType::Mp3);
    const uint32_t frames = document.ActiveBuffer().FrameCount();

    ASSERT_EQ(document.Save(PathOf("out.wav")), 1);
    EXPECT_EQ(document.Kind(), FileType::Wav) << "saved as WAV, the sound moved to the plain side";
    EXPECT_EQ(document.TargetPath(), PathOf("out.wav"));
    EXPECT_EQ(document.DisplayName(), "out.wav");

    ASSERT_EQ(document.Save(PathOf("again.mp3")), 1);
    EXPECT_EQ(document.Kind(), FileType::Mp3) << "the MP3 side was empty, so the sound moved back";
    EXPECT_EQ(document.ActiveBuffer().FrameCount(), frames);

    Document check;
    ASSERT_EQ(check.Load(PathOf("again.mp3")), 1);
    EXPECT_EQ(check.ActiveBuffer().FrameCount(), frames) << "the encoder's delay and padding are trimmed";
}

TEST_F(DocumentTest, ModifiedAndPathsThroughLoadEditSaveAndFailures)
{
    const auto path = MakeSound("a.wav");
    Document document;
    EXPECT_TRUE(document.IsEmpty());
    ASSERT_EQ(document.Load(path), 1);
    EXPECT_FALSE(document.Modified());

    EXPECT_EQ(document.DeleteRange(-1, -1, true), 0);
    EXPECT_FALSE(document.Modified()) << "a failed edit changes nothing";
    ASSERT_EQ(document.FadeIn(-1, -1), 1);
    EXPECT_TRUE(document.Modified());

    EXPECT_EQ(document.Save(PathOf("missing-folder/b.wav")), 0);
    EXPECT_TRUE(document.Modified());
    EXPECT_TRUE(document.TargetPath().empty());
    EXPECT_EQ(document.Save(PathOf("b.txt")), 0) << "unknown kind";

    ASSERT_EQ(document.Save(PathOf("b.wav")), 1);
    EXPECT_FALSE(document.Modified());
    EXPECT_EQ(document.TargetPath(), PathOf("b.wav"));
    ASSERT_EQ(document.ToMono(), 1);
    ASSERT_EQ(document.Save(), 1) << "no path: the last target";
    EXPECT_FALSE(document.Modified());

    EXPECT_EQ(document.Load(PathOf("c.flac")), 0);
    EXPECT_TRUE(document.IsEmpty());
    EXPECT_TRUE(document.Modified()) << "a failed load is modified until the task resets";
    document.Reset();
    EXPECT_FALSE(document.Modified());
    EXPECT_TRUE(document.SourcePath().empty());
    EXPECT_TRUE(TempFiles().empty());
}

// The summary the waveform is drawn from always describes the samples as they are: a load that
// prepares it makes it from the loaded sound, and anything that changes the samples empties it.
TEST_F(DocumentTest, PeakSummaryIsPreparedByALoadAndFollowsEditsUndoAndRedo)
{
    const auto wav = MakeSound("s.wav", 3.0);
    const auto mp3 = MakeSound("s.mp3", 1.0);
    Document batch;
    ASSERT_EQ(batch.Load(wav), 1);
    EXPECT_FALSE(batch.Peaks().IsBuilt()) << "a document that never draws pays for no summary";

    Document document;
    document.SetPreparesPeaks(true);
    auto expectExact = [&document] {
        const ChannelSet& channels = document.ActiveBuffer().channels;
        ASSERT_TRUE(document.Peaks().IsBuiltFor(channels));
        std::array<std::vector<PeakColumn>, 2> fromSummary, direct;
        ASSERT_EQ(document.Peaks().ComputeColumns(channels, 333, fromSummary), 1);
        ASSERT_EQ(ComputeColumnPeaks(channels, 0, channels.FrameCount(), 333, direct, nullptr), 1);
        for (int c = 0; c < 2; ++c) {
            ASSERT_EQ(fromSummary[c].size(), direct[c].size());
            for (size_t k = 0; k < direct[c].size(); ++k) {
                ASSERT_EQ(fromSummary[c][k].max, direct[c][k].max) << c << " " << k;
                ASSERT_EQ(fromSummary[c][k].min, direct[c][k].min) << c << " " << k;
            }
        }
    };
    for (const auto& path : {mp3, wav}) {
        SCOPED_TRACE(path.filename().string());
        ASSERT_EQ(document.Load(path), 1);
        expectExact();
    }
    // An edit adds the buckets of what it wrote and of a constant gain; a fade's range is read by
    // BuildPeaks after it; a cut, an undo and a redo need none.
    ASSERT_EQ(document.FadeIn(0, 1000), 1);
    EXPECT_TRUE(document.NeedsPeaks());
    ASSERT_EQ(document.BuildPeaks(), 1);
    expectExact();
    ASSERT_EQ(document.ChangeVolume(500, 90000, -70), 1);
    EXPECT_FALSE(document.NeedsPeaks());
    expectExact();
    ASSERT_EQ(document.DeleteRange(777, 50001, true), 1);
    expectExact();
    EditMarks marks;
    ASSERT_EQ(document.Undo(marks), 1);
    expectExact();
    ASSERT_EQ(document.Undo(marks), 1);
    expectExact();
    ASSERT_EQ(document.Redo(marks), 1);
    expectExact();
    ASSERT_EQ(document.Load(wav), 1);
    EXPECT_EQ(document.Load(PathOf("missing.wav")), 0);
    EXPECT_FALSE(document.Peaks().IsBuilt()) << "a failed load";
    ASSERT_EQ(document.Load(wav), 1);
    document.Reset();
    EXPECT_FALSE(document.Peaks().IsBuilt()) << "a reset";
}

TEST_F(DocumentTest, CapabilityQueries)
{
    Document document;
    EXPECT_FALSE(document.CanConvertToMono());
    EXPECT_FALSE(document.CanConvertToStereo());
    ASSERT_EQ(document.Load(MakeSound("s.wav")), 1);
    EXPECT_TRUE(document.CanConvertToMono());
    EXPECT_FALSE(document.CanConvertToStereo());
    ASSERT_EQ(document.ToMono(), 1);
    EXPECT_TRUE(document.CanConvertToStereo());
}

TEST_F(DocumentTest, FailedSaveKeepsTheOldFileAndLeavesNoPartialFile)
{
    const auto path = MakeSound("source.wav", 3.0);
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    const auto original = ReadFileBytes(path);
    test::WriteFileBytes(PathOf("existing.wav"), {'o', 'l', 'd'});
    ASSERT_EQ(::chmod(PathOf("existing.wav").c_str(), 0640), 0);
    {
        test::FileSizeLimit limit(100000);  // the new file needs about 530 kB
        EXPECT_EQ(document.Save(PathOf("existing.wav")), 0);
        EXPECT_EQ(document.Save(path), 0) << "saving over the source";
        EXPECT_EQ(document.Save(PathOf("new.wav")), 0);
    }
    EXPECT_EQ(ReadFileBytes(PathOf("existing.wav")), (std::vector<unsigned char>{'o', 'l', 'd'}));
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_FALSE(std::filesystem::exists(PathOf("new.wav")));
    EXPECT_EQ(Leftovers({"source.wav", "existing.wav"}), std::vector<std::string>{});

    Progress cancelled(100);
    cancelled.Cancel();
    EXPECT_EQ(document.Save(PathOf("existing.wav"), &cancelled), 0);
    EXPECT_EQ(ReadFileBytes(PathOf("existing.wav")), (std::vector<unsigned char>{'o', 'l', 'd'}));

    // A save that succeeds replaces the file and keeps its permissions.
    ASSERT_EQ(document.Save(PathOf("existing.wav")), 1);
    struct stat st {};
    ASSERT_EQ(::stat(PathOf("existing.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(ReadFileBytes(PathOf("existing.wav")), original);
    ASSERT_EQ(document.Save(path), 1) << "over the source itself";
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_EQ(Leftovers({"source.wav", "existing.wav"}), std::vector<std::string>{});
}

TEST_F(DocumentTest, SavingOverALinkWritesTheFileItPointsTo)
{
    const auto path = MakeSound("source.wav");
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    test::WriteFileBytes(PathOf("real.wav"), {'o', 'l', 'd'});
    std::filesystem::create_symlink(PathOf("real.wav"), PathOf("link.wav"));
    ASSERT_EQ(document.Save(PathOf("link.wav")), 1);
    EXPECT_TRUE(std::filesystem::is_symlink(PathOf("link.wav")));
    EXPECT_EQ(ReadFileBytes(PathOf("real.wav")), ReadFileBytes(path));
    EXPECT_EQ(document.TargetPath(), PathOf("link.wav"));
}

TEST_F(DocumentTest, TagsBelongToTheSoundOpened)
{
    const auto wav = MakeSound("t.wav");
    const auto mp3 = PathOf("t.mp3");
    ASSERT_EQ(RunCommand("lame --quiet --tt 'Песня' --ta Artist '" + wav.string() + "' '" + mp3.string() + "'"), 0);
    Document document;
    ASSERT_EQ(document.Load(mp3), 1);
    EXPECT_EQ(document.Tags().title, "Песня");
    // The sound's own tags go with it through a WAV save onto a later MP3 save.
    ASSERT_EQ(document.Save(PathOf("copy.wav")), 1);
    ASSERT_EQ(document.Save(PathOf("copy.mp3")), 1);
    Document check;
    ASSERT_EQ(check.Load(PathOf("copy.mp3")), 1);
    EXPECT_EQ(check.Tags().title, "Песня");

    // Another file opened, or the sound closed: the earlier file's tags are gone.
    ASSERT_EQ(document.Load(wav), 1);
    EXPECT_TRUE(document.Tags().IsEmpty());
    ASSERT_EQ(document.Save(PathOf("from-wav.mp3")), 1);
    ASSERT_EQ(check.Load(PathOf("from-wav.mp3")), 1);
    EXPECT_TRUE(check.Tags().IsEmpty()) << check.Tags().title;
    EXPECT_TRUE(check.Tags().carriedFrames.empty());
    ASSERT_EQ(document.Load(mp3), 1);
    document.Reset();
    EXPECT_TRUE(document.Tags().IsEmpty());
}

}  // namespace
}  // namespace brindle
