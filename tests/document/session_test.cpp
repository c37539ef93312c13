// The session keeps the sound, its history and the clip where a kill cannot take them: a Document whose
// session is dropped without a word (as SIGKILL leaves it) comes back from the folder alone.
#include "document/document.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>

#include "support/test_support.h"

namespace brindle {
namespace {

using test::SamplesOf;

// The journal with each record passed through change (an empty result drops it), its check made anew
// as the editor makes it: what a power cut or another boot leaves, not damage.
void RewriteJournal(const std::filesystem::path& folder, const std::function<std::string(const std::string&)>& change)
{
    std::ifstream in(folder / "journal");
    std::string line, out;
    while (std::getline(in, line)) {
        const std::string text = change(line.substr(0, line.rfind(" #")));
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : text)
            hash = (hash ^ c) * 1099511628211ull;
        char check[20];
        std::snprintf(check, sizeof check, "%016llx", static_cast<unsigned long long>(hash));
        out += text.empty() ? "" : text + " #" + check + '\n';
    }
    std::ofstream(folder / "journal", std::ios::trunc) << out;
}

// How many descriptors this process holds, and the highest.
std::pair<int, int> Descriptors()
{
    int count = -1, highest = 0;  // less the listing's own
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count, highest = std::max(highest, std::stoi(entry.path().filename()));
    return {count, highest};
}

class SessionTest : public test::TempDirTest {
protected:
    std::filesystem::path State() const { return PathOf("state"); }
    std::filesystem::path MakeSound(const std::string& name, double seconds)
    {
        return test::MakeToneFile(PathOf(name), seconds, "-V 4 --tt 'Воскресенье' --ta Artist --ty 1999");
    }

    // A Document with a session of its own in State().
    struct Editor {
        std::unique_ptr<Session> session;
        Document document;
    };
    std::unique_ptr<Editor> Start()
    {
        auto editor = std::make_unique<Editor>();
        std::string reason;
        editor->session = Session::Create(State(), reason);
        EXPECT_TRUE(editor->session) << reason;
        editor->document.SetSession(editor->session.get());
        return editor;
    }
    // As a kill leaves it: the lock released, the folder and every file in it kept. The Document is
    // kept too (its stores would delete their files), but no longer writes the session.
    static void Kill(Editor& editor)
    {
        editor.document.SetSession(nullptr);
        editor.session.reset();
    }
    // The one session a later start finds, read back into a new Document (none when it holds no state).
    std::unique_ptr<Editor> Recover(RecoveredHistory* read = nullptr)
    {
        std::vector<OrphanSession> orphans = ClaimOrphanSessions(State());
        EXPECT_EQ(orphans.size(), 1u);
        RecoveredHistory history;
        std::string reason;
        if (orphans.size() == 1) {
            EXPECT_TRUE(orphans[0].Read(history, reason)) << reason;
        }
        if (read)
            *read = history;
        if (history.states.empty())
            return nullptr;
        auto editor = std::make_unique<Editor>();
        editor->session = orphans[0].Adopt(reason);
        EXPECT_TRUE(editor->session) << reason;
        editor->document.SetSession(editor->session.get());
        EXPECT_TRUE(editor->document.Recover(std::move(history)));
        return editor;
    }
    // The same states from the oldest undo to the newest redo, at the same position, the same saved.
    static void ExpectSameHistory(Document& original, Document& recovered)
    {
        ASSERT_EQ(recovered.History().StepCount(), original.History().StepCount());
        ASSERT_EQ(recovered.History().Position(), original.History().Position());
        EXPECT_EQ(recovered.Modified(), original.Modified());
        EXPECT_EQ(SamplesOf(recovered.ActiveBuffer()), SamplesOf(original.ActiveBuffer()));
        for (size_t i = 0; i < original.History().StepCount(); ++i) {
            const auto &a = original.History().StepAt(i), &b = recovered.History().StepAt(i);
            EXPECT_EQ(b.request, a.request) << "step " << i;
            EXPECT_EQ(SamplesOf(*b.before), SamplesOf(*a.before)) << "step " << i;
            EXPECT_EQ(SamplesOf(*b.after), SamplesOf(*a.after)) << "step " << i;
            EXPECT_EQ(b.after->format.bitsPerSample, a.after->format.bitsPerSample);
        }
    }
    std::filesystem::path SessionFolder() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(State()))
            if (entry.path().filename().string().rfind("session-", 0) == 0)
                return entry.path();
        return {};
    }
};

// What happened to the source after the open matters not at all: the folder holds everything.
TEST_F(SessionTest, KilledEditorsHistoryComesBackStateForState)
{
    const std::pair<const char*, const char*> cases[] = {
        {"a.wav", "save-over"}, {"b.mp3", "save-as-delete"}, {"c.wav", "move"}, {"d.mp3", "save-over"}};
    for (const auto& [name, afterOpen] : cases) {
        SCOPED_TRACE(name);
        const auto source = MakeSound(name, 2);
        auto editor = Start();
        Document& doc = editor->document;
        ASSERT_TRUE(doc.Load(source) && doc.FadeIn(0, 20000) && doc.DeleteRange(30000, 50000, true));
        if (afterOpen == std::string("save-over")) {
            ASSERT_TRUE(doc.Save(source));
        } else if (afterOpen == std::string("save-as-delete")) {
            ASSERT_TRUE(doc.Save(PathOf(std::string("saved-") + name)));
            std::filesystem::remove(source);
        } else {
            std::filesystem::rename(source, PathOf("moved"));
        }
        EditMarks marks;
        ASSERT_TRUE(doc.RecordStep(-1) && doc.Undo(marks));
        ASSERT_TRUE(doc.RecordStep(1) && doc.Redo(marks));
        ASSERT_TRUE(doc.ChangeVolume(1000, 9000, 150) && doc.InsertSilence(500, 500, 441) && doc.ToMono());
        ASSERT_TRUE(doc.RecordStep(-1) && doc.Undo(marks));  // a redo step to come back too
        Kill(*editor);
        auto recovered = Recover();
        ASSERT_TRUE(recovered);
        ExpectSameHistory(doc, recovered->document);
        auto names = [](const Document& d) { return std::tuple(d.TargetPath(), d.Kind(), d.Tags().title, d.Tags().year); };
        EXPECT_EQ(names(recovered->document), names(doc));
        EXPECT_EQ(recovered->document.Tags().carriedFrames, doc.Tags().carriedFrames);
        EXPECT_EQ(doc.Tags().title.empty(), FileKind(name) != FileType::Mp3);
        // It goes on in the same folder, and a second kill brings it back again.
        ASSERT_TRUE(recovered->document.FadeOut(0, 5000));
        Kill(*recovered);
        auto again = Recover();
        ASSERT_TRUE(again);
        ExpectSameHistory(recovered->document, again->document);
        again->session->Remove();
        again->document.SetSession(nullptr);
        for (const auto& left : std::filesystem::recursive_directory_iterator(State()))
            ADD_FAILURE() << "left: " << left.path();
    }
}

// A power cut keeps only what reached the disk: a store cut short refuses its state, and the one
// before it is offered.
TEST_F(SessionTest, StoreThatDidNotReachTheDiskGivesTheStateBefore)
{
    auto editor = Start();
    Document& doc = editor->document;
    ASSERT_TRUE(doc.Load(MakeSound("cut.wav", 1)));
    test::WrittenGains written;  // stores to lose
    ASSERT_TRUE(doc.FadeIn(0, 10000) && doc.FadeOut(20000, 40000));
    Kill(*editor);
    std::filesystem::path newest;
    for (const auto& entry : std::filesystem::directory_iterator(SessionFolder()))
        if (entry.path().extension() == ".f32" && (newest.empty() || std::stoull(entry.path().stem()) > std::stoull(newest.stem())))
            newest = entry.path();
    std::filesystem::resize_file(newest, 100);
    RecoveredHistory read;
    auto recovered = Recover(&read);
    ASSERT_TRUE(recovered);
    EXPECT_FALSE(read.refused.empty());
    EXPECT_EQ(recovered->document.History().Position(), 1u);
    EXPECT_FALSE(recovered->document.History().CanRedo());
    EXPECT_EQ(SamplesOf(recovered->document.ActiveBuffer()), SamplesOf(*doc.History().StepAt(0).after));
}

// A record that cannot be written (no file may grow past its first byte) is said once, and the
// session never offers a state the history left: here an undone cut. A later record heals it.
TEST_F(SessionTest, FailedRecordIsSaidAndNeverBringsBackALeftState)
{
    ASSERT_TRUE(MakeSound("full.wav", 1).has_filename());
    for (const bool healed : {false, true}) {
        SCOPED_TRACE(healed);
        auto editor = Start();
        Document& doc = editor->document;
        ASSERT_TRUE(doc.Load(PathOf("full.wav")) && doc.DeleteRange(1000, 20000, true));
        EditMarks marks;
        {
            test::FileSizeLimit full(1);
            EXPECT_FALSE(doc.RecordStep(-1));
            ASSERT_TRUE(doc.Undo(marks));
        }
        std::string reason;
        if (healed) {
            ASSERT_TRUE(doc.FadeIn(0, 500));
            EXPECT_TRUE(editor->session->TakeFailure(reason));
            Kill(*editor);
            auto recovered = Recover();
            ASSERT_TRUE(recovered);
            ExpectSameHistory(doc, recovered->document);
            continue;
        }
        EXPECT_TRUE(editor->session->TakeFailure(reason));
        EXPECT_NE(reason.find("too large"), std::string::npos) << reason;
        EXPECT_FALSE(editor->session->TakeFailure(reason)) << "said once";
        Kill(*editor);
        RecoveredHistory read;
        EXPECT_FALSE(Recover(&read)) << "nothing rather than the cut the user undid";
        EXPECT_TRUE(read.states.empty());
        for (auto& orphan : ClaimOrphanSessions(State()))
            orphan.Delete();
    }
}

// A hostile or damaged folder is refused with a reason; nothing in it is followed or trusted.
TEST_F(SessionTest, HostileSessionFolderIsRefused)
{
    using Folder = const std::filesystem::path&;
    auto stores = [](Folder folder, const std::function<void(const std::filesystem::path&)>& spoil) {
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().extension() == ".f32" || entry.path().extension() == ".pcm")
                spoil(entry.path());
    };
    const struct {
        const char* name;
        std::function<void(Folder)> spoil;
        bool readable;  // read as a history (an older state), else refused whole
    } cases[] = {
        {"damaged line", [](Folder folder) {
             std::fstream file(folder / "journal", std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(40);
             file.put('~');
         }, false},
        {"torn last line", [](Folder f) { std::filesystem::resize_file(f / "journal", std::filesystem::file_size(f / "journal") - 3); }, true},
        {"journal a FIFO", [](Folder f) { std::filesystem::remove(f / "journal"); ::mkfifo((f / "journal").c_str(), 0600); }, false},
        {"journal too large", [](Folder f) { std::filesystem::resize_file(f / "journal", uint64_t(65) << 20); }, false},
        {"stores as links", [&](Folder f) {
             stores(f, [](Folder store) { std::filesystem::remove(store); std::filesystem::create_symlink("/dev/zero", store); });
         }, false},
        // After a power cut only samples marked as flushed are trusted; after a kill, all of them.
        {"another boot, nothing flushed yet", [](Folder folder) {
             RewriteJournal(folder, [](const std::string& line) {
                 return line.rfind("flushed", 0) == 0 ? "" : line.rfind("boot", 0) == 0 ? "boot 0123" + line.substr(line.rfind(' ')) : line;
             });
         }, false},
        {"this boot, nothing flushed yet", [](Folder folder) {
             RewriteJournal(folder, [](const std::string& line) { return line.rfind("flushed", 0) == 0 ? "" : line; });
         }, true},
        {"a store linked twice", [&](Folder f) {
             stores(f, [&](Folder store) { if (store.extension() == ".pcm") std::filesystem::create_hard_link(store, f / "elsewhere"); });
         }, false},
    };
    const auto source = MakeSound("hostile.wav", 0.5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto editor = Start();
        ASSERT_TRUE(editor->document.Load(source) && editor->document.FadeIn(0, 1000) && editor->document.FadeOut(2000, 3000));
        Kill(*editor);
        c.spoil(SessionFolder());
        std::vector<OrphanSession> orphans = ClaimOrphanSessions(State());
        ASSERT_EQ(orphans.size(), 1u);
        RecoveredHistory history;
        std::string reason;
        const int read = orphans[0].Read(history, reason);
        EXPECT_EQ(read == 1 && !history.states.empty(), c.readable) << reason;
        EXPECT_TRUE(c.readable || !reason.empty());
        orphans[0].Delete();
        EXPECT_TRUE(std::filesystem::is_empty(State()));
    }
}

// However long the history, the stores hold a bounded number of descriptors (the store folder's cache
// of 40): hundreds of edits, which write a store every third edit or so once chains of gains are full,
// under a limit that a descriptor a store would pass, leave every edit, undo, save and the session working.
TEST_F(SessionTest, HundredsOfEditsKeepDescriptorsBounded)
{
    auto editor = Start();
    Document& doc = editor->document;
    ASSERT_TRUE(doc.Load(MakeSound("many.wav", 0.2)));
    const auto [atOpen, highest] = Descriptors();
    rlimit old {};
    ::getrlimit(RLIMIT_NOFILE, &old);
    std::unique_ptr<rlimit, void (*)(rlimit*)> restore(&old, [](rlimit* limit) { ::setrlimit(RLIMIT_NOFILE, limit); });
    rlimit limit = old;
    limit.rlim_cur = std::min<rlim_t>(highest + 1 + 48, old.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    const EditKind kinds[] = {EditKind::ChangeVolume, EditKind::FadeIn, EditKind::FadeOut, EditKind::DeleteSelected};
    for (int i = 0; i < 400; ++i) {
        const EditKind kind = kinds[i % 4];
        const int64_t start = (i * 37) % 4000;
        ASSERT_TRUE(doc.Edit({kind, start, start + (kind == EditKind::DeleteSelected ? 1 : 200), 90})) << i;
    }
    EXPECT_LE(Descriptors().first - atOpen, 44);
    // The limit counts descriptor numbers, so it is only as tight as the caller's numbering is dense:
    // what follows reads every step's stores and a recovered copy of them, which may take more.
    restore.reset();
    EditMarks marks;
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(doc.RecordStep(-1) && doc.Undo(marks));
    ASSERT_TRUE(doc.Save(PathOf("many-out.wav")));
    Kill(*editor);
    auto recovered = Recover();
    ASSERT_TRUE(recovered);
    ExpectSameHistory(doc, recovered->document);
}

// The clip outlives the sound it came from: taken from one file, kept across the open of another
// (whose session forgets the first sound's stores), pasted, killed and recovered from the folder.
TEST_F(SessionTest, AClipFromAReplacedSoundSurvivesAKill)
{
    auto editor = Start();
    Document& doc = editor->document;
    // Left and right differ, so a swap of the channels shows.
    auto tone = [&](const char* name, const char* sines) {
        EXPECT_EQ(test::RunCommand("sox -n -r 44100 -c 2 -b 16 " + test::Quoted(PathOf(name)) + " synth 1 " + sines), 0);
        return PathOf(name);
    };
    ASSERT_EQ(doc.Load(tone("first.wav", "sine 440 sine 660")), 1);
    const auto clip = SamplesOf(doc.ActiveBuffer());
    ASSERT_EQ(doc.CopyToClip(4000, 40000), 1);
    ASSERT_EQ(doc.Load(tone("second.wav", "sine 900 sine 1350")), 1);
    const auto second = SamplesOf(doc.ActiveBuffer());
    ASSERT_TRUE(clip[0] != clip[1] && second[0] != second[1]);
    auto pasted = second;
    for (int c = 0; c < 2; ++c) {
        pasted[c].erase(pasted[c].begin() + 100, pasted[c].begin() + 200);
        pasted[c].insert(pasted[c].begin() + 100, clip[c].begin() + 4000, clip[c].begin() + 40000);
    }
    ASSERT_EQ(doc.Paste(100, 200), 1);
    ASSERT_EQ(SamplesOf(doc.ActiveBuffer()), pasted);
    Kill(*editor);
    auto recovered = Recover();
    ASSERT_TRUE(recovered);
    EXPECT_EQ(SamplesOf(recovered->document.ActiveBuffer()), pasted);
    EditMarks marks;
    ASSERT_EQ(recovered->document.Undo(marks), 1);
    EXPECT_EQ(SamplesOf(recovered->document.ActiveBuffer()), second);
    ASSERT_EQ(doc.Paste(0, 0), 1) << "the clip is still the editor's";
    for (int c = 0; c < 2; ++c)
        pasted[c].insert(pasted[c].begin(), clip[c].begin() + 4000, clip[c].begin() + 40000);
    EXPECT_EQ(SamplesOf(doc.ActiveBuffer()), pasted);
}

}  // namespace
}  // namespace brindle
