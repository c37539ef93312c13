// The session keeps the sound and its history where a kill cannot take them: a Document whose session
// is dropped without a word (as SIGKILL leaves it) comes back from the folder alone, state for state.
#include "document/document.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/store_folder.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::RunCommand;

// Every sample of every channel.
std::vector<std::vector<float>> Samples(const SoundBuffer& sound)
{
    std::vector<std::vector<float>> channels;
    for (int c = 0; c < sound.channels.ChannelCount(); ++c) {
        std::vector<float> samples(sound.FrameCount());
        EXPECT_TRUE(sound.channels.Channel(c).ReadSamples(0, samples.data(), sound.FrameCount()));
        channels.push_back(std::move(samples));
    }
    return channels;
}

// The journal with each record passed through change (an empty result drops it), its check made anew
// as the editor makes it: what a power cut or another boot leaves, not damage.
void RewriteJournal(const std::filesystem::path& folder, const std::function<std::string(const std::string&)>& change)
{
    std::ifstream in(folder / "journal");
    std::string line, out;
    while (std::getline(in, line)) {
        const std::string text = change(line.substr(0, line.rfind(" #")));
        if (text.empty())
            continue;
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : text)
            hash = (hash ^ c) * 1099511628211ull;
        char check[20];
        std::snprintf(check, sizeof check, "%016llx", static_cast<unsigned long long>(hash));
        out += text + " #" + check + '\n';
    }
    std::ofstream(folder / "journal", std::ios::trunc) << out;
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
    return count - 3;  // ".", ".." and the listing's own
}

class SessionTest : public test::TempDirTest {
protected:
    std::filesystem::path State() const { return PathOf("state"); }

    std::filesystem::path MakeSound(const std::string& name, double seconds)
    {
        const auto path = PathOf(name);
        const auto wav = PathOf(name + ".src.wav");
        EXPECT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 '" + wav.string() + "' synth " + std::to_string(seconds) +
                             " sine 440 vol 0.5"),
                  0);
        if (FileKind(path) == FileType::Mp3)
            EXPECT_EQ(RunCommand("lame --quiet -V 4 --tt 'Воскресенье' --ta Artist --ty 1999 '" + wav.string() + "' '" +
                                 path.string() + "'"),
                      0);
        else
            std::filesystem::rename(wav, path);
        std::filesystem::remove(wav);
        return path;
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
    // The one session a later start finds, read back into a new Document.
    std::unique_ptr<Editor> Recover(RecoveredHistory* read = nullptr)
    {
        std::vector<OrphanSession> orphans = ClaimOrphanSessions(State());
        EXPECT_EQ(orphans.size(), 1u);
        if (orphans.size() != 1)
            return nullptr;
        RecoveredHistory history;
        std::string reason;
        EXPECT_TRUE(orphans[0].Read(history, reason)) << reason;
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
    // The recovered document holds the same states as the original, from the oldest undo to the
    // newest redo, at the same position, with the same saved state.
    static void ExpectSameHistory(Document& original, Document& recovered)
    {
        ASSERT_EQ(recovered.History().StepCount(), original.History().StepCount());
        ASSERT_EQ(recovered.History().Position(), original.History().Position());
        EXPECT_EQ(recovered.Modified(), original.Modified());
        EXPECT_EQ(Samples(recovered.ActiveBuffer()), Samples(original.ActiveBuffer()));
        for (size_t i = 0; i < original.History().StepCount(); ++i) {
            const auto& a = original.History().StepAt(i);
            const auto& b = recovered.History().StepAt(i);
            EXPECT_EQ(b.request, a.request) << "step " << i;
            EXPECT_EQ(Samples(*b.before), Samples(*a.before)) << "step " << i;
            EXPECT_EQ(Samples(*b.after), Samples(*a.after)) << "step " << i;
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
    struct Case {
        const char* name;
        const char* afterOpen;  // what befalls the source: "save-over", "save-as-delete", "move"
    } cases[] = {{"a.wav", "save-over"}, {"b.mp3", "save-as-delete"}, {"c.wav", "move"}, {"d.mp3", "save-over"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto source = MakeSound(c.name, 2);
        auto editor = Start();
        Document& doc = editor->document;
        ASSERT_TRUE(doc.Load(source));
        ASSERT_TRUE(doc.FadeIn(0, 20000));
        ASSERT_TRUE(doc.DeleteRange(30000, 50000, true));
        const std::string what = c.afterOpen;
        if (what == "save-over") {
            ASSERT_TRUE(doc.Save(source));
        } else if (what == "save-as-delete") {
            ASSERT_TRUE(doc.Save(PathOf(std::string("saved-") + c.name)));
            std::filesystem::remove(source);
        } else {
            std::filesystem::rename(source, PathOf("moved"));
        }
        EditMarks marks;
        ASSERT_TRUE(doc.RecordStep(-1) && doc.Undo(marks));
        ASSERT_TRUE(doc.RecordStep(1) && doc.Redo(marks));
        ASSERT_TRUE(doc.ChangeVolume(1000, 9000, 150));
        ASSERT_TRUE(doc.InsertSilence(500, 500, 441));
        ASSERT_TRUE(doc.ToMono());
        ASSERT_TRUE(doc.RecordStep(-1) && doc.Undo(marks));  // a redo step to come back too
        Kill(*editor);

        auto recovered = Recover();
        ASSERT_TRUE(recovered);
        ExpectSameHistory(doc, recovered->document);
        EXPECT_EQ(recovered->document.TargetPath(), doc.TargetPath());
        EXPECT_EQ(recovered->document.Tags().title, doc.Tags().title);
        EXPECT_EQ(doc.Tags().title.empty(), FileKind(c.name) != FileType::Mp3);
        EXPECT_EQ(recovered->document.Tags().year, doc.Tags().year);
        EXPECT_EQ(recovered->document.Tags().carriedFrames, doc.Tags().carriedFrames);
        EXPECT_EQ(recovered->document.Kind(), doc.Kind());
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
    ASSERT_TRUE(doc.FadeIn(0, 10000));
    ASSERT_TRUE(doc.FadeOut(20000, 40000));
    Kill(*editor);
    std::filesystem::path newest;
    for (const auto& entry : std::filesystem::directory_iterator(SessionFolder()))
        if (entry.path().extension() == ".f32" &&
            (newest.empty() || std::stoull(entry.path().stem()) > std::stoull(newest.stem())))
            newest = entry.path();
    std::filesystem::resize_file(newest, 100);

    RecoveredHistory read;
    auto recovered = Recover(&read);
    ASSERT_TRUE(recovered);
    EXPECT_FALSE(read.refused.empty());
    EXPECT_EQ(recovered->document.History().Position(), 1u);
    EXPECT_FALSE(recovered->document.History().CanRedo());
    EXPECT_EQ(Samples(recovered->document.ActiveBuffer()), Samples(*doc.History().StepAt(0).after));
}

// A record that cannot be written is said, and the session never offers a state the history left:
// here an undone cut. A later record that can be written heals it.
TEST_F(SessionTest, FailedRecordIsSaidAndNeverBringsBackALeftState)
{
    auto editor = Start();
    Document& doc = editor->document;
    ASSERT_TRUE(doc.Load(MakeSound("full.wav", 1)));
    ASSERT_TRUE(doc.DeleteRange(1000, 20000, true));
    // The state folder "full": no file of this process may grow.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    // Nothing may grow past its first byte: whatever the session's thread has added meanwhile, the
    // record fails.
    rlimit tight = old;
    tight.rlim_cur = 1;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    EditMarks marks;
    EXPECT_FALSE(doc.RecordStep(-1));
    ASSERT_TRUE(doc.Undo(marks));
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    std::string reason;
    EXPECT_TRUE(editor->session->TakeFailure(reason));
    EXPECT_NE(reason.find("too large"), std::string::npos) << reason;
    EXPECT_FALSE(editor->session->TakeFailure(reason));  // said once
    // Killed now: nothing is offered rather than the cut the user undid.
    {
        std::unique_ptr<Session> held = std::move(editor->session);
        doc.SetSession(nullptr);
        held.reset();
        RecoveredHistory read;
        EXPECT_FALSE(Recover(&read));
        EXPECT_TRUE(read.states.empty());
        for (auto& orphan : ClaimOrphanSessions(State()))
            orphan.Delete();
    }
    // With room again, the next edit writes the whole history anew.
    editor = Start();
    Document& next = editor->document;
    ASSERT_TRUE(next.Load(PathOf("full.wav")));
    ASSERT_TRUE(next.DeleteRange(1000, 20000, true));
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    EXPECT_FALSE(next.RecordStep(-1));
    ASSERT_TRUE(next.Undo(marks));
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    ASSERT_TRUE(next.FadeIn(0, 500));
    EXPECT_TRUE(editor->session->TakeFailure(reason));
    Kill(*editor);
    auto recovered = Recover();
    ASSERT_TRUE(recovered);
    ExpectSameHistory(next, recovered->document);
}

// A hostile or damaged folder is refused with a reason; nothing in it is followed or trusted.
TEST_F(SessionTest, HostileSessionFolderIsRefused)
{
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> spoil;
        bool readable;  // read as a history (an older state), else refused whole
    } cases[] = {
        {"damaged line", [](const std::filesystem::path& folder) {
             std::fstream file(folder / "journal", std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(40);
             file.put('~');
         }, false},
        {"torn last line", [](const std::filesystem::path& folder) {
             std::filesystem::resize_file(folder / "journal", std::filesystem::file_size(folder / "journal") - 3);
         }, true},
        {"journal a FIFO", [](const std::filesystem::path& folder) {
             std::filesystem::remove(folder / "journal");
             ::mkfifo((folder / "journal").c_str(), 0600);
         }, false},
        {"journal too large", [](const std::filesystem::path& folder) {
             std::filesystem::resize_file(folder / "journal", uint64_t(65) << 20);
         }, false},
        {"stores as links", [](const std::filesystem::path& folder) {
             for (const auto& entry : std::filesystem::directory_iterator(folder))
                 if (entry.path().extension() == ".f32" || entry.path().extension() == ".pcm") {
                     std::filesystem::remove(entry.path());
                     std::filesystem::create_symlink("/dev/zero", entry.path());
                 }
         }, false},
        // After a power cut only samples marked as flushed are trusted; after a kill, all of them.
        {"another boot, nothing flushed yet", [](const std::filesystem::path& folder) {
             RewriteJournal(folder, [](const std::string& line) {
                 return line.rfind("flushed", 0) == 0 ? std::string() : line.rfind("boot", 0) == 0 ? "boot 0123" + line.substr(line.rfind(' ')) : line;
             });
         }, false},
        {"this boot, nothing flushed yet", [](const std::filesystem::path& folder) {
             RewriteJournal(folder, [](const std::string& line) { return line.rfind("flushed", 0) == 0 ? "" : line; });
         }, true},
        {"a store linked twice", [](const std::filesystem::path& folder) {
             for (const auto& entry : std::filesystem::directory_iterator(folder))
                 if (entry.path().extension() == ".pcm")
                     std::filesystem::create_hard_link(entry.path(), folder / "elsewhere");
         }, false},
    };
    const auto source = MakeSound("hostile.wav", 0.5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto editor = Start();
        ASSERT_TRUE(editor->document.Load(source));
        ASSERT_TRUE(editor->document.FadeIn(0, 1000));
        ASSERT_TRUE(editor->document.FadeOut(2000, 3000));
        Kill(*editor);
        c.spoil(SessionFolder());
        std::vector<OrphanSession> orphans = ClaimOrphanSessions(State());
        ASSERT_EQ(orphans.size(), 1u);
        RecoveredHistory history;
        std::string reason;
        const int read = orphans[0].Read(history, reason);
        EXPECT_EQ(read == 1 && !history.states.empty(), c.readable) << reason;
        if (!c.readable) {
            EXPECT_FALSE(reason.empty());
        }
        orphans[0].Delete();
        EXPECT_TRUE(std::filesystem::is_empty(State()));
    }
}

// However long the history, the stores hold a bounded number of descriptors: thousands of edits under
// a limit that a store each would pass after about a hundred leave every edit, undo, save and the
// session working. (Ten thousand under 1024 behave the same; each edit's synced record makes that
// run too long for the suite.)
TEST_F(SessionTest, ThousandsOfEditsKeepDescriptorsBounded)
{
    rlimit old {};
    ::getrlimit(RLIMIT_NOFILE, &old);
    rlimit limit = old;
    limit.rlim_cur = std::min<rlim_t>(256, old.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    auto editor = Start();
    Document& doc = editor->document;
    ASSERT_TRUE(doc.Load(MakeSound("many.wav", 0.2)));
    const int atOpen = OpenDescriptors();
    const EditKind kinds[] = {EditKind::ChangeVolume, EditKind::FadeIn, EditKind::FadeOut, EditKind::DeleteSelected};
    for (int i = 0; i < 3000; ++i) {
        const EditKind kind = kinds[i % 4];
        const int64_t start = (i * 37) % 4000;
        ASSERT_TRUE(doc.Edit({kind, start, start + (kind == EditKind::DeleteSelected ? 1 : 200), 90})) << i;
    }
    EXPECT_LE(OpenDescriptors() - atOpen, 64);
    EditMarks marks;
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(doc.RecordStep(-1) && doc.Undo(marks));
    ASSERT_TRUE(doc.Save(PathOf("many-out.wav")));
    Kill(*editor);
    auto recovered = Recover();
    ASSERT_TRUE(recovered);
    ExpectSameHistory(doc, recovered->document);
    ::setrlimit(RLIMIT_NOFILE, &old);
}

}  // namespace
}  // namespace brindle
