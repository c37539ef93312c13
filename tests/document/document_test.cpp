// The Document's own bookkeeping through opens, edits and saves of files sox and lame make: kinds,
// names and sides, the modified mark, the waveform's summary and the tags.
#include "document/document.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;

class DocumentTest : public test::TempDirTest {
protected:
    fs::path MakeSound(const std::string& name, double seconds = 0.5) { return test::MakeToneFile(PathOf(name), seconds); }
};

TEST(FileKindTest, ByLowerCasedExtension)
{
    for (const auto& [path, kind] : {std::pair<const char*, FileType>{"/music/a.MP3", FileType::Mp3}, {"b.Wav", FileType::Wav},
                                     {"a.mp3.txt", FileType::Unknown}, {"noextension", FileType::Unknown},
                                     {"folder.mp3/file", FileType::Unknown}, {"", FileType::Unknown}})
        EXPECT_EQ(FileKind(path), kind) << path;
}

// Kind, paths, name, proposed name and conversions, as an open and saves of either side change them.
TEST_F(DocumentTest, NamesSidesAndConversionsFollowOpensAndSaves)
{
    Document document, check;
    auto state = [&] {
        return std::tuple(document.Kind(), document.SourcePath(), document.TargetPath(), document.DisplayName(),
                          document.CanConvertToMono(), document.CanConvertToStereo(), document.Modified());
    };
    EXPECT_TRUE(document.IsEmpty());
    EXPECT_EQ(document.ProposeSaveName(), "Untitled");
    EXPECT_EQ(state(), std::tuple(FileType::Unknown, fs::path(), fs::path(), "", false, false, false));
    const auto path = MakeSound("a.MP3");
    ASSERT_EQ(document.Load(path), 1);
    EXPECT_EQ(state(), std::tuple(FileType::Mp3, path, fs::path(), "a.MP3", true, false, false));
    EXPECT_EQ(document.ProposeSaveName(), PathOf("a (1).MP3"));
    test::WriteFileBytes(PathOf("a (1).MP3"), {1});
    test::WriteFileBytes(PathOf("a (2).MP3"), {1});
    EXPECT_EQ(document.ProposeSaveName(), PathOf("a (3).MP3"));
    const uint32_t frames = document.ActiveBuffer().FrameCount();
    ASSERT_EQ(document.Save(PathOf("out.wav")), 1);
    EXPECT_EQ(state(), std::tuple(FileType::Wav, path, PathOf("out.wav"), "out.wav", true, false, false)) << "the plain side";
    ASSERT_EQ(document.Save(PathOf("again.mp3")), 1);
    ASSERT_EQ(document.ToMono(), 1);
    EXPECT_EQ(state(), std::tuple(FileType::Mp3, path, PathOf("again.mp3"), "again.mp3", false, true, true)) << "back";
    EXPECT_EQ(document.ActiveBuffer().FrameCount(), frames);
    ASSERT_EQ(check.Load(PathOf("again.mp3")), 1);
    EXPECT_EQ(check.ActiveBuffer().FrameCount(), frames) << "the encoder's delay and padding are trimmed";
}

// Failed edits, saves and loads, saves to the last target, a reset: what each does to the modified
// mark, the paths and the history (a save keeps it and its state counts as the saved one).
TEST_F(DocumentTest, TheModifiedMarkAndPathsThroughEditsSavesUndosAndFailures)
{
    Document document;
    EditMarks marks;
    ASSERT_EQ(document.Load(MakeSound("a.wav")), 1);
    EXPECT_EQ(document.DeleteRange(-1, -1, true), 0);
    EXPECT_FALSE(document.Modified()) << "a failed edit changes nothing";
    ASSERT_EQ(document.FadeIn(-1, -1), 1);
    ASSERT_EQ(document.FadeOut(100, 2000), 1);
    EXPECT_TRUE(document.Modified());
    EXPECT_EQ(document.Save(PathOf("missing-folder/b.wav")), 0);
    EXPECT_EQ(document.Save(PathOf("b.txt")), 0) << "unknown kind";
    EXPECT_TRUE(document.Modified() && document.TargetPath().empty());
    ASSERT_EQ(document.Save(PathOf("b.wav")), 1);
    EXPECT_FALSE(document.Modified());
    EXPECT_EQ(document.TargetPath(), PathOf("b.wav"));
    ASSERT_EQ(document.Undo(marks), 1);
    EXPECT_TRUE(document.Modified());
    ASSERT_EQ(document.Redo(marks), 1);
    EXPECT_FALSE(document.Modified()) << "the saved state";
    ASSERT_EQ(document.Undo(marks), 1);
    ASSERT_EQ(document.ChangeVolume(-1, -1, 50), 1);
    EXPECT_FALSE(document.History().CanRedo()) << "a new edit drops the redo steps";
    ASSERT_EQ(document.Undo(marks), 1);
    EXPECT_TRUE(document.Modified()) << "the saved state went with the redo steps";
    ASSERT_EQ(document.ToMono(), 1);
    ASSERT_EQ(document.Save(), 1) << "no path: the last target";
    EXPECT_FALSE(document.Modified());
    ASSERT_EQ(document.Load(PathOf("b.wav")), 1);
    EXPECT_FALSE(document.History().CanUndo()) << "an open empties the history";
    EXPECT_EQ(document.Load(PathOf("c.flac")), 0);
    EXPECT_TRUE(document.IsEmpty());
    EXPECT_TRUE(document.Modified()) << "a failed load is modified until the task resets";
    document.Reset();
    EXPECT_FALSE(document.Modified());
    EXPECT_TRUE(document.SourcePath().empty());
    EXPECT_TRUE(TempFiles().empty());
}

// The summary the waveform is drawn from always describes the samples as they are: a load that
// prepares it makes it, an edit adds what it wrote (a fade's range by BuildPeaks after it), a cut, an
// undo and a redo need none, and a failed load or a reset empty it.
TEST_F(DocumentTest, PeakSummaryIsPreparedByALoadAndFollowsEditsUndoAndRedo)
{
    const auto wav = MakeSound("s.wav", 3.0), mp3 = MakeSound("s.mp3", 1.0);
    Document document;
    EditMarks marks;
    ASSERT_EQ(document.Load(wav), 1);
    EXPECT_FALSE(document.Peaks().IsBuilt()) << "a document that never draws pays for no summary";
    document.SetPreparesPeaks(true);
    const std::function<int()> steps[] = {
        [&] { return document.Load(mp3); }, [&] { return document.Load(wav); },
        [&] { return document.FadeIn(0, 1000) && document.NeedsPeaks() ? document.BuildPeaks() : 0; },
        [&] { return document.ChangeVolume(500, 90000, -70) && !document.NeedsPeaks(); },
        [&] { return document.DeleteRange(777, 50001, true); }, [&] { return document.Undo(marks); },
        [&] { return document.Undo(marks); }, [&] { return document.Redo(marks); }};
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(steps[i](), 1);
        test::ExpectSummaryColumns(document.Peaks(), document.ActiveBuffer().channels, document.ActiveBuffer().channels, 333);
    }
    EXPECT_EQ(document.Load(PathOf("missing.wav")), 0);
    EXPECT_FALSE(document.Peaks().IsBuilt()) << "a failed load";
    ASSERT_EQ(document.Load(wav), 1);
    document.Reset();
    EXPECT_FALSE(document.Peaks().IsBuilt()) << "a reset";
}

// A sound's tags go with it through a WAV save onto a later MP3 save; another file opened, or the
// sound closed, and they are gone.
TEST_F(DocumentTest, TagsBelongToTheSoundOpened)
{
    const auto wav = MakeSound("t.wav"), mp3 = PathOf("t.mp3");
    ASSERT_EQ(test::RunCommand("lame --quiet --tt 'Песня' --ta Artist " + test::Quoted(wav) + " " + test::Quoted(mp3)), 0);
    Document document, check;
    ASSERT_EQ(document.Load(mp3), 1);
    EXPECT_EQ(document.Tags().title, "Песня");
    ASSERT_EQ(document.Save(PathOf("copy.wav")), 1);
    ASSERT_EQ(document.Save(PathOf("copy.mp3")), 1);
    ASSERT_EQ(check.Load(PathOf("copy.mp3")), 1);
    EXPECT_EQ(check.Tags().title, "Песня");
    ASSERT_EQ(document.Load(wav), 1);
    EXPECT_TRUE(document.Tags().IsEmpty());
    ASSERT_EQ(document.Save(PathOf("from-wav.mp3")), 1);
    ASSERT_EQ(check.Load(PathOf("from-wav.mp3")), 1);
    EXPECT_TRUE(check.Tags().IsEmpty() && check.Tags().carriedFrames.empty()) << check.Tags().title;
    ASSERT_EQ(document.Load(mp3), 1);
    document.Reset();
    EXPECT_TRUE(document.Tags().IsEmpty());
}

}  // namespace
}  // namespace brindle
