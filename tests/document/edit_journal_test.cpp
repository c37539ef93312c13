// The journal of unsaved edits: its format refuses every truncation and every damaged byte, the
// edits it holds are checked against the sound before a replay, and a Document keeps it in step with
// its history (undo, redo, saves, a save over the source) so that replaying it rebuilds the sound.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>

#include "document/document.h"
#include "document/edit_journal.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::Quoted;
using test::RunCommand;

JournalRecord SampleRecord()
{
    JournalRecord record;
    // Any bytes but NUL may name a file: a newline and Latin-1 too.
    record.source = std::string("/music/a\nb \xe9.wav");
    record.identity = {123456789, 1700000000, 999999999, 2049, 77, 0xfedcba9876543210ull};
    record.edits = {{EditKind::DeleteSelected, 10, 20},   {EditKind::DeleteUnselected, 0, 5},
                    {EditKind::ChangeVolume, -1, -1, 0},  {EditKind::ChangeVolume, 1, 2, 500},
                    {EditKind::IncreaseVolume, 0, 0},     {EditKind::FadeIn, 3, 4},
                    {EditKind::FadeOut},                  {EditKind::ToMono},
                    {EditKind::ToStereo, 0, 1}};
    return record;
}

TEST(EditJournalFormat, RoundTripsAndRefusesEveryTruncationAndEveryDamagedByte)
{
    const JournalRecord record = SampleRecord();
    const std::string bytes = EncodeJournal(record);
    JournalRecord back;
    std::string reason;
    ASSERT_EQ(DecodeJournal(bytes, back, reason), 1) << reason;
    EXPECT_EQ(back.source, record.source);
    EXPECT_EQ(back.identity, record.identity);
    EXPECT_EQ(back.edits, record.edits);

    for (size_t size = 0; size < bytes.size(); ++size)
        EXPECT_EQ(DecodeJournal(bytes.substr(0, size), back, reason), 0) << "a journal cut at " << size;
    for (size_t at = 0; at < bytes.size(); ++at) {
        for (const char flip : {char(1), char(0x40)}) {
            std::string damaged = bytes;
            damaged[at] = char(damaged[at] ^ flip);
            EXPECT_EQ(DecodeJournal(damaged, back, reason), 0) << "byte " << at << " damaged";
            EXPECT_FALSE(reason.empty());
        }
    }
    EXPECT_EQ(DecodeJournal(bytes + "x", back, reason), 0);
    EXPECT_EQ(DecodeJournal(bytes + std::string(kMaxJournalBytes, '\n'), back, reason), 0);
    EXPECT_EQ(reason, "the journal is too large");
}

TEST(EditJournalFormat, EditsAreCheckedAgainstTheSoundTheyMeet)
{
    std::string reason;
    // Cuts shorten the sound the next edit meets; mono and stereo alternate.
    EXPECT_EQ(CheckEdits({{EditKind::DeleteSelected, 0, 600}, {EditKind::FadeIn, 0, 400}, {EditKind::ToMono},
                          {EditKind::ToStereo}, {EditKind::DeleteUnselected, 100, 200}, {EditKind::FadeOut, 0, 100}},
                         1000, 2, reason),
              1)
        << reason;
    struct Case {
        std::vector<EditRequest> edits;
        int channels;
        const char* reason;
    };
    const Case refused[] = {
        {{{EditKind::DeleteSelected, 0, 600}, {EditKind::FadeIn, 0, 401}}, 2, "edit 2: its range lies outside the sound"},
        {{{EditKind::DeleteUnselected, 100, 200}, {EditKind::FadeOut, 50, 101}}, 2,
         "edit 2: its range lies outside the sound"},
        {{{EditKind::FadeIn, 5, 4}}, 2, "edit 1: its range lies outside the sound"},
        {{{EditKind::FadeIn, -1, 4}}, 2, "edit 1: its range lies outside the sound"},
        {{{EditKind::FadeIn, -5, -5}}, 2, "edit 1: its range lies outside the sound"},
        {{{EditKind::IncreaseVolume, 0, int64_t(1) << 62}}, 2, "edit 1: its range lies outside the sound"},
        {{{EditKind::DeleteSelected}}, 2, "edit 1: a cut must leave part of the sound"},
        {{{EditKind::DeleteUnselected, 0, 1000}}, 2, "edit 1: a cut must leave part of the sound"},
        {{{EditKind::DeleteSelected, 7, 7}}, 2, "edit 1: a cut must leave part of the sound"},
        {{{EditKind::ChangeVolume, 0, 10, 501}}, 2, "edit 1: the volume is not 0 to 500 %"},
        {{{EditKind::ChangeVolume, 0, 10, -1}}, 2, "edit 1: the volume is not 0 to 500 %"},
        {{{EditKind::ToMono}, {EditKind::ToMono}}, 2, "edit 2: only a stereo sound becomes mono"},
        {{{EditKind::ToStereo}}, 2, "edit 1: only a mono sound becomes stereo"},
    };
    for (const Case& c : refused) {
        reason.clear();
        EXPECT_EQ(CheckEdits(c.edits, 1000, c.channels, reason), 0) << c.reason;
        EXPECT_EQ(reason, c.reason);
    }
}

class EditJournalDocumentTest : public test::TempDirTest {
protected:
    std::filesystem::path MakeSource(const char* name)
    {
        const auto path = PathOf(name);
        EXPECT_EQ(RunCommand("sox -R -n -r 44100 -c 2 -b 16 " + Quoted(path) + " synth 1 whitenoise vol 0.6"), 0);
        return path;
    }
    // The journal as a recovery would read it: 0 when there is none.
    int ReadBack(JournalRecord& record) const
    {
        std::ifstream file(journal_.Path(), std::ios::binary);
        if (!file)
            return 0;
        std::ostringstream bytes;
        bytes << file.rdbuf();
        std::string reason;
        const int result = DecodeJournal(bytes.str(), record, reason);
        EXPECT_EQ(result, 1) << reason;
        return result;
    }
    std::vector<EditRequest> JournalEdits() const
    {
        JournalRecord record;
        EXPECT_EQ(ReadBack(record), 1);
        return record.edits;
    }
    bool HasJournalFile() const { return std::filesystem::exists(journal_.Path()); }
    // The Document as the editor has it: journalled, with source loaded.
    void OpenJournalled(Document& document, const std::filesystem::path& source)
    {
        ASSERT_EQ(journal_.Open(PathOf("state")), 1);
        document.SetJournal(&journal_);
        ASSERT_EQ(document.Load(source), 1);
    }
    void Step(Document& document, bool back)
    {
        EXPECT_EQ(document.RecordStep(back ? -1 : 1), 1);
        EditMarks marks;
        EXPECT_EQ(back ? document.Undo(marks) : document.Redo(marks), 1);
    }

    EditJournal journal_;
};

TEST_F(EditJournalDocumentTest, FollowsTheHistoryAndReplaysToTheSameSamples)
{
    const auto source = MakeSource("source.wav");
    Document document;
    ASSERT_NO_FATAL_FAILURE(OpenJournalled(document, source));
    EXPECT_FALSE(HasJournalFile());

    const EditRequest cut{EditKind::DeleteSelected, 1000, 5000};
    const EditRequest fade{EditKind::FadeIn, 0, 20000};
    const EditRequest louder{EditKind::ChangeVolume, 100, 30000, 150};
    ASSERT_EQ(document.Edit(cut), 1);
    ASSERT_EQ(document.Edit(fade), 1);
    EXPECT_EQ(JournalEdits(), (std::vector<EditRequest>{cut, fade}));
    JournalRecord record;
    ASSERT_EQ(ReadBack(record), 1);
    EXPECT_EQ(record.source, std::filesystem::absolute(source));
    SourceIdentity identity;
    std::string reason;
    ASSERT_EQ(ReadSourceIdentity(source, identity, reason), SourceCheck::Same);
    EXPECT_EQ(record.identity, identity);

    // Undone steps are not replayed; back at the file, nothing is left to recover.
    Step(document, true);
    EXPECT_EQ(JournalEdits(), (std::vector<EditRequest>{cut}));
    Step(document, true);
    EXPECT_FALSE(document.Modified());
    EXPECT_FALSE(HasJournalFile());
    Step(document, false);
    ASSERT_EQ(document.Edit(louder), 1);
    EXPECT_EQ(JournalEdits(), (std::vector<EditRequest>{cut, louder}));
    // Journalled before the window can show it, then cancelled: the journal goes back to the sound.
    ASSERT_EQ(document.PrepareEdit(fade), 1);
    EXPECT_EQ(JournalEdits(), (std::vector<EditRequest>{cut, louder, fade}));
    document.DropPreparedEdit();
    EXPECT_EQ(document.RecordStep(0), 1);
    EXPECT_EQ(JournalEdits(), (std::vector<EditRequest>{cut, louder}));

    // Another live Document's journal, in this process or any other, is never anybody's to take.
    EXPECT_TRUE(ClaimOrphanJournals(PathOf("state")).empty());

    // A replay of the journal over the same file makes the same samples.
    Document replayed;
    ASSERT_EQ(replayed.Load(record.source), 1);
    ASSERT_EQ(CheckEdits(JournalEdits(), replayed.ActiveBuffer().FrameCount(), 2, reason), 1) << reason;
    for (const EditRequest& edit : JournalEdits())
        ASSERT_EQ(replayed.Edit(edit), 1);
    for (int c = 0; c < 2; ++c)
        EXPECT_EQ(test::ReadStore(replayed.ActiveBuffer().channels.Channel(c)),
                  test::ReadStore(document.ActiveBuffer().channels.Channel(c)));

    // A save elsewhere deletes it; later edits still replay from the source they were made to.
    ASSERT_EQ(document.Save(PathOf("elsewhere.wav")), 1);
    EXPECT_FALSE(HasJournalFile());
    ASSERT_EQ(document.Edit(fade), 1);
    EXPECT_EQ(JournalEdits(), (std::vector<EditRequest>{cut, louder, fade}));
    document.Reset();
    EXPECT_FALSE(HasJournalFile());
}

TEST_F(EditJournalDocumentTest, ASaveOverTheSourceReplaysFromTheSavedFile)
{
    const auto source = MakeSource("source.wav");
    Document document;
    ASSERT_NO_FATAL_FAILURE(OpenJournalled(document, source));
    const EditRequest cut{EditKind::DeleteSelected, 1000, 5000};
    const EditRequest fade{EditKind::FadeOut, 0, 20000};
    ASSERT_EQ(document.Edit(cut), 1);
    ASSERT_EQ(document.Save(source), 1);
    EXPECT_FALSE(HasJournalFile());
    ASSERT_EQ(document.Edit(fade), 1);
    JournalRecord record;
    ASSERT_EQ(ReadBack(record), 1);
    EXPECT_EQ(record.edits, (std::vector<EditRequest>{fade}));
    std::string reason;
    EXPECT_EQ(CheckSource(source, record.identity, reason), SourceCheck::Same) << reason;

    // Stepping back past the save leaves a sound no edit of the saved file makes: no journal, and
    // none for what follows on that branch either, until the next save, which it replays from.
    Step(document, true);
    EXPECT_FALSE(HasJournalFile());
    Step(document, true);
    EXPECT_TRUE(document.Modified());
    EXPECT_FALSE(HasJournalFile());
    ASSERT_EQ(document.Edit(fade), 1);
    ASSERT_EQ(document.Edit(fade), 1);
    EXPECT_FALSE(HasJournalFile());
    ASSERT_EQ(document.Save(PathOf("other.wav")), 1);
    ASSERT_EQ(document.Edit(cut), 1);
    ASSERT_EQ(ReadBack(record), 1);
    EXPECT_EQ(record.edits, (std::vector<EditRequest>{cut}));
    EXPECT_EQ(record.source, PathOf("other.wav"));
}

TEST_F(EditJournalDocumentTest, AJournalWhoseEditorIsGoneIsClaimedOnceAndItsLeftoversCleared)
{
    const auto folder = PathOf("state");
    {
        EditJournal gone;
        ASSERT_EQ(gone.Open(folder), 1);
        ASSERT_EQ(gone.Write(SampleRecord()), 1);
    }
    {
        EditJournal goneEmpty;  // an editor that never had anything to keep
        ASSERT_EQ(goneEmpty.Open(folder), 1);
    }
    test::WriteFileBytes(folder / "7-0.journal.new", {'x'});
    test::WriteFileBytes(folder / "7-0.lock", {});

    std::vector<OrphanJournal> claimed = ClaimOrphanJournals(folder);
    ASSERT_EQ(claimed.size(), 1u);
    JournalRecord record;
    std::string reason;
    ASSERT_EQ(claimed[0].Read(record, reason), 1) << reason;
    EXPECT_EQ(record.edits, SampleRecord().edits);
    // Held while this one deals with it: an editor starting meanwhile does not ask about it too.
    EXPECT_TRUE(ClaimOrphanJournals(folder).empty());
    claimed[0].Delete();
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

}  // namespace
}  // namespace brindle
