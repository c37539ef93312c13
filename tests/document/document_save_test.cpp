// Saving a Document: a failed save never costs the file that was there, links name the file to write,
// the replaced file's owner and mode stay, and the new file is on disk before it takes the old one's
// place. Sounds are made by sox and lame; the lyrics frame by TagLib directly.
#include "document/document.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/unsynchronizedlyricsframe.h>

#include "storage/temp_files.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;

const std::vector<unsigned char> kOld{'o', 'l', 'd'};

class DocumentSaveTest : public test::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        test::MakeToneFile(PathOf("source.wav"), 0.5);
        sound_ = ReadFileBytes(PathOf("source.wav"));
        ASSERT_EQ(document_.Load(PathOf("source.wav")), 1);
    }
    // Names in folder (the test's own by default) starting with prefix, sorted; the "~Ve" sample stores of
    // the test's own folder left out when the prefix is empty.
    std::vector<std::string> Names(const std::string& prefix = "", fs::path folder = {})
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder.empty() ? Dir() : folder)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0 && (!prefix.empty() || !folder.empty() || name.rfind("~Ve", 0) != 0))
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    Document document_;
    std::vector<unsigned char> sound_;
};

TEST_F(DocumentSaveTest, TagsThatCannotBeWrittenFailTheSaveAndKeepTheOldFile)
{
    const fs::path song = test::MakeToneFile(PathOf("song.mp3"), 0.5);
    const std::string lyrics(2 << 20, 'l');  // two megabytes, the way a tagger would leave them
    {
        TagLib::MPEG::File file(song.c_str(), false);
        auto* frame = new TagLib::ID3v2::UnsynchronizedLyricsFrame(TagLib::String::Latin1);
        frame->setLanguage("eng");
        frame->setText(TagLib::String(lyrics, TagLib::String::Latin1));
        file.ID3v2Tag(true)->addFrame(frame);
        ASSERT_TRUE(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v3));
    }
    Document document, check;
    ASSERT_EQ(document.Load(song), 1);
    ASSERT_EQ(document.Tags().lyrics, lyrics);
    const auto original = ReadFileBytes(song);
    {
        test::FileSizeLimit limit(1 << 20);  // the sound fits in a megabyte, its tag does not
        EXPECT_EQ(document.Save(song), 0);
    }
    EXPECT_EQ(std::pair(document.LastFailure().kind, document.LastFailure().text),
              std::pair(FailureKind::System, std::string(std::strerror(EFBIG))));
    EXPECT_TRUE(ReadFileBytes(song) == original) << "the old file must stay as it was";
    EXPECT_EQ(Names(), (std::vector<std::string>{"song.mp3", "source.wav"}));
    ASSERT_EQ(document.Save(song), 1) << "with room to spare";
    ASSERT_EQ(check.Load(song), 1);
    EXPECT_EQ(check.Tags().lyrics, lyrics);
}

// A chain of relative links, each resolved in its own folder, the last naming a file that does not
// exist yet; a link up and out of its folder; absolute ones onto a file that exists and one that does
// not yet; a loop.
TEST_F(DocumentSaveTest, LinksNameTheFileToWriteEvenWhenItDoesNotExistYet)
{
    fs::create_directory(PathOf("sub"));
    fs::create_symlink("sub/new.wav", PathOf("first.wav"));
    fs::create_symlink("first.wav", PathOf("chain.wav"));
    fs::create_symlink("../outside.wav", PathOf("sub/up.wav"));
    fs::create_symlink(PathOf("sub/absolute.wav"), PathOf("absolute.wav"));
    test::WriteFileBytes(PathOf("sub/absolute.wav"), kOld);
    fs::create_symlink(PathOf("sub/absent.wav"), PathOf("absent.wav"));
    for (const auto& [link, file] : {std::pair<const char*, const char*>{"chain.wav", "sub/new.wav"}, {"sub/up.wav", "outside.wav"},
                                     {"absolute.wav", "sub/absolute.wav"}, {"absent.wav", "sub/absent.wav"}}) {
        SCOPED_TRACE(link);
        ASSERT_EQ(document_.Save(PathOf(link)), 1);
        EXPECT_TRUE(fs::is_symlink(PathOf(link)));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(PathOf(file))));
        EXPECT_EQ(ReadFileBytes(PathOf(file)), sound_);
        EXPECT_EQ(document_.TargetPath(), PathOf(link)) << "the user named the link";
    }
    EXPECT_TRUE(fs::is_symlink(PathOf("first.wav")));
    fs::create_symlink("loop.wav", PathOf("loop.wav"));
    EXPECT_EQ(document_.Save(PathOf("loop.wav")), 0);
    EXPECT_EQ(document_.LastFailure().text, std::strerror(ELOOP));
    EXPECT_TRUE(fs::is_symlink(PathOf("loop.wav")));
}

TEST_F(DocumentSaveTest, NamesUpToTheLongestAllowedCanBeSaved)
{
    for (size_t length : {246u, 250u, 255u}) {
        SCOPED_TRACE(length);
        const std::string name = std::string(length - 4, 'n') + ".wav";
        ASSERT_EQ(document_.Save(PathOf(name)), 1) << document_.LastFailure().text;
        EXPECT_EQ(ReadFileBytes(PathOf(name)), sound_);
        ASSERT_EQ(document_.Save(PathOf(name)), 1) << "and again over the file it made";
        fs::remove(PathOf(name));
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"source.wav"});
}

// Saves document to name inside folder as the user uid: root drops its privileges in a child for
// that. Returns the result and the reason of a failure.
std::pair<int, std::string> SaveAs(Document& document, const fs::path& folder, const std::string& name, uid_t uid)
{
    if (uid == ::geteuid())
        return {document.Save(folder / name), document.LastFailure().text};
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {-1, std::strerror(errno)};
    const pid_t child = ::fork();
    if (child == 0) {
        // From inside the folder: the user need not reach it through the test's private folders.
        int result = -1;
        if (::chdir(folder.c_str()) == 0 && ::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0)
            result = document.Save(name);
        const std::string reply = std::to_string(result) + " " + document.LastFailure().text;
        [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], reply.data(), reply.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string reply;
    char buffer[256];
    for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        reply.append(buffer, size_t(got));
    ::close(pipeFds[0]);
    ::waitpid(child, nullptr, 0);
    const size_t space = reply.find(' ');
    if (space == std::string::npos)
        return {-1, "the child said nothing"};
    return {std::stoi(reply.substr(0, space)), reply.substr(space + 1)};
}

// A file the saver may not write fails as writing it would and is left alone; one it may write is
// replaced with its owner, group and mode, also when root saves another user's file.
TEST_F(DocumentSaveTest, ASaveKeepsTheReplacedFilesOwnerAndModeAndReplacesNoFileTheUserMayNotWrite)
{
    const bool root = ::geteuid() == 0;
    const uid_t user = root ? 4321 : ::geteuid();
    const fs::path folder = PathOf("shared");
    fs::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);  // anyone may make and rename files here
    struct Case {
        const char* name;
        uid_t owner, group, saver;
        mode_t mode;
        bool saves;
    };
    std::vector<Case> cases = {{"mine-read-only.wav", user, user, user, 0444, false}, {"mine.wav", user, user, user, 0644, true}};
    if (root)
        cases.insert(cases.end(), {{"someone-elses.wav", 0, 0, user, 0644, false}, {"theirs.wav", user, user + 1, 0, 0640, true}});
    else
        std::cout << "[ NOTE ] not root: the files of other users are not tried\n";
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path target = folder / c.name;
        test::WriteFileBytes(target, kOld);
        ASSERT_EQ(::chown(target.c_str(), c.owner, c.group), 0) << std::strerror(errno);
        ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        const auto [result, reason] = SaveAs(document_, folder, c.name, c.saver);
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777), std::tuple(c.owner, c.group, c.mode));
        EXPECT_EQ(std::pair(result, reason), std::pair(c.saves ? 1 : 0, std::string(c.saves ? "" : "Permission denied")));
        EXPECT_EQ(ReadFileBytes(target), c.saves ? sound_ : kOld);
        expected.push_back(c.name);
    }
    EXPECT_EQ(test::UnnamedFilesOf(::getpid(), folder), std::vector<fs::path>{});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names("", folder), expected) << "nothing but the files themselves";
}

// A save of document to target in a child process, as in another copy of the program, stopped as soon
// as it has begun writing (the child tells over a pipe) for as long as the child lives.
class StoppedSave {
public:
    StoppedSave(Document& document, const fs::path& target)
    {
        class Stopping final : public Progress {
        public:
            explicit Stopping(int ready) : Progress(100), ready_(ready) {}

        protected:
            void OnPositionChanged() override
            {
                [[maybe_unused]] const ssize_t written = ::write(ready_, "s", 1);
                for (;;)
                    ::pause();
            }
            int ready_;
        };
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        if ((pid = ::fork()) == 0) {
            Stopping progress(ready[1]);
            document.Save(target, &progress);
            ::_exit(1);
        }
        ::close(ready[1]);
        char byte = 0;
        if (pid < 0 || ::read(ready[0], &byte, 1) != 1)
            Kill();
        ::close(ready[0]);
    }
    ~StoppedSave() { Kill(); }
    void Kill()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    pid_t pid = -1;
};

// While a save writes, only the saver can read the new file, unnamed or hidden. Where the file system
// cannot make unnamed files (vfat, some FUSE mounts, older NFS), the next save removes what a killed
// save left but not the file of a save still writing.
TEST_F(DocumentSaveTest, WhileASaveWritesOnlyTheSaverCanReadItsFileAndWhatAKilledOneLeftIsRemoved)
{
    auto expectPrivate = [](const std::vector<fs::path>& files) {
        for (const fs::path& file : files) {
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
            EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
        }
    };
    // Under a umask that would let others read a file made with the usual modes.
    const struct Umask { mode_t old = ::umask(022); ~Umask() { ::umask(old); } } mask;
    StoppedSave unnamed(document_, PathOf("secret.wav"));
    ASSERT_GT(unnamed.pid, 0);
    const auto files = test::UnnamedFilesOf(unnamed.pid, Dir());
    EXPECT_GE(files.size(), 2u) << "the copy of the source's samples and the new file at least";
    expectPrivate(files);
    unnamed.Kill();
    test::WriteFileBytes(PathOf("song.wav"), kOld);
    RefuseUnnamedFilesForTesting(true);
    const std::unique_ptr<void, void (*)(void*)> restore(this, [](void*) { RefuseUnnamedFilesForTesting(false); });
    Document document;
    ASSERT_EQ(document.Load(PathOf("source.wav")), 1);
    // The copy of the source's samples is named for a moment too, and loses its name before the load goes on.
    EXPECT_EQ(test::UnnamedFilesOf(::getpid(), Dir()).size(), 2u) << "this one's and the fixture's";
    EXPECT_EQ(Names("~Ve"), std::vector<std::string>{});
    StoppedSave running(document, PathOf("other.wav"));
    ASSERT_GT(running.pid, 0);
    const std::vector<std::string> live = Names(".other~Ve");
    ASSERT_EQ(live.size(), 1u);
    expectPrivate({PathOf(live[0])});
    StoppedSave killed(document, PathOf("song.wav"));
    ASSERT_GT(killed.pid, 0);
    killed.Kill();
    ASSERT_EQ(Names(".song~Ve").size(), 1u) << "the killed save's file is still there";
    EXPECT_EQ(ReadFileBytes(PathOf("song.wav")), kOld);
    EXPECT_EQ(Names(".other~Ve"), live);
    ASSERT_EQ(document.Save(PathOf("song.wav")), 1) << document.LastFailure().text;
    EXPECT_EQ(ReadFileBytes(PathOf("song.wav")), sound_);
    EXPECT_EQ(Names(".song~Ve"), std::vector<std::string>{});
    EXPECT_EQ(Names(".other~Ve"), live) << "that save is still writing it";
    running.Kill();
    ASSERT_EQ(document.Save(PathOf("song.wav")), 1) << document.LastFailure().text;
    EXPECT_EQ(Names(".other~Ve"), std::vector<std::string>{});
    EXPECT_EQ(Names(), (std::vector<std::string>{"song.wav", "source.wav"}));
}

TEST_F(DocumentSaveTest, ASaveRemovesOnlyRegularFilesNamedExactlyAsItsOwnHiddenFiles)
{
    // Left by killed saves of "song.wav", of a name too long to keep, of "notes" and of "a.b.wav".
    const std::vector<std::string> stranded = {".song~VeAbCd12.wav", ".~VeXy98Zw.mp3", ".notes~VeQwErTy", ".a.b~Ve000000.wav"};
    // Names like those that a save never gives, and a link, a folder and a FIFO under such names.
    const std::vector<std::string> unlike = {"song~VeAbCd12.wav",       ".song~VeAbCd1.wav", ".song~VeAbCd-2.wav",
                                             ".song~VeAbCd12.wav.part", ".song~veAbCd12.wav", ".song.wav"};
    for (const auto& names : {stranded, unlike})
        for (const auto& name : names)
            test::WriteFileBytes(PathOf(name), {'x'});
    test::WriteFileBytes(PathOf("victim.wav"), {'v'});
    fs::create_symlink("victim.wav", PathOf(".victim~VeAbCd12.wav"));
    fs::create_symlink("nowhere.wav", PathOf(".dangling~VeAbCd12.wav"));
    fs::create_directory(PathOf(".folder~VeAbCd12.wav"));
    ASSERT_EQ(::mkfifo(PathOf(".pipe~VeAbCd12.wav").c_str(), 0600), 0);

    ASSERT_EQ(document_.Save(PathOf("song.wav")), 1) << document_.LastFailure().text;
    for (const auto& name : stranded)
        EXPECT_FALSE(fs::exists(fs::symlink_status(PathOf(name)))) << name;
    for (const auto& name : unlike)
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(PathOf(name)))) << name;
    EXPECT_TRUE(fs::is_symlink(PathOf(".victim~VeAbCd12.wav")));
    EXPECT_TRUE(fs::is_symlink(PathOf(".dangling~VeAbCd12.wav")));
    EXPECT_EQ(ReadFileBytes(PathOf("victim.wav")), std::vector<unsigned char>{'v'});
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(PathOf(".folder~VeAbCd12.wav"))));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(PathOf(".pipe~VeAbCd12.wav"))));
}

#ifdef BRINDLE_BATCH
// brindle-batch under strace: the new file is flushed before it is renamed over the old one and the
// folder after; the umask, shared by every thread, is never touched, yet a new file gets the modes it
// allows and a replaced one keeps its own.
TEST_F(DocumentSaveTest, TheNewFileReachesTheDiskBeforeItReplacesTheOldOneAndTheUmaskIsLeftAlone)
{
    if (test::RunCommand("command -v strace >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs strace";
    test::WriteFileBytes(PathOf("old.wav"), kOld);
    ASSERT_EQ(::chmod(PathOf("old.wav").c_str(), 0604), 0);
    const fs::path trace = PathOf("trace.txt");
    const std::string batch = test::Quoted(BRINDLE_BATCH) + " " + test::Quoted(PathOf("source.wav")) + " -o ";
    // LeakSanitizer cannot work under ptrace: a sanitizer build's leak check is off for this run.
    const int status = test::RunCommand(
        "umask 027 && ASAN_OPTIONS=detect_leaks=0 strace -f -y -qq -o " + test::Quoted(trace) +
        " -e trace=umask,fsync,fdatasync,link,linkat,rename,renameat,renameat2 " + batch + test::Quoted(PathOf("old.wav")) +
        " && " + batch + test::Quoted(PathOf("new.wav")));
    if (status != 0 && !fs::exists(trace))
        GTEST_SKIP() << "strace cannot trace here";
    ASSERT_EQ(status, 0);
    std::ifstream in(trace);
    std::vector<std::string> lines;
    std::string all;
    for (std::string line; std::getline(in, line); all += line + "\n")
        lines.push_back(line);
    const std::string folder = fs::canonical(Dir()).string();
    // The first line with every part.
    auto find = [&](std::vector<std::string> parts) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (std::all_of(parts.begin(), parts.end(), [&](const std::string& p) { return lines[i].find(p) != std::string::npos; }))
                return int(i);
        return -1;
    };
    // With -y, strace names each descriptor's file: "fsync(6</dir/#1234 (deleted)>)" for the unnamed
    // file, "fsync(6</dir/.old~VeAb12Cd.wav>)" where the file system cannot make one.
    const int unnamed = find({"fsync(", "<" + folder + "/#"}), hidden = find({"fsync(", "/.old~Ve"});
    const int fileSynced = unnamed < 0 || (hidden >= 0 && hidden < unnamed) ? hidden : unnamed;
    const int renamed = find({"rename", ".old~Ve", "\"old.wav\""});
    EXPECT_GE(fileSynced, 0) << all;
    EXPECT_GT(renamed, fileSynced) << all;
    EXPECT_GT(find({"fsync(", "<" + folder + ">)"}), renamed) << all;
    EXPECT_EQ(find({"umask("}), -1) << all;
    struct stat old {}, made {};
    ASSERT_EQ(::stat(PathOf("old.wav").c_str(), &old) | ::stat(PathOf("new.wav").c_str(), &made), 0);
    EXPECT_EQ(std::pair(old.st_mode & 07777, made.st_mode & 07777), std::pair(0604u, 0640u));
    EXPECT_EQ(ReadFileBytes(PathOf("new.wav")), sound_);
}
#endif

}  // namespace
}  // namespace brindle
