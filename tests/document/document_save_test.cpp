// Saving a Document: a failed save never costs the file that was there, links name the file to write,
// the replaced file's owner and mode stay, and the new file is on disk before it takes the old one's
// place. Sounds are made by sox and lame; the lyrics frame by TagLib directly.
#include "document/document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <grp.h>
#include <sys/file.h>
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
using test::RunCommand;

class DocumentSaveTest : public test::TempDirTest {
protected:
    // A short stereo tone by sox, encoded by lame for .mp3 names.
    fs::path MakeSound(const std::string& name)
    {
        const fs::path path = PathOf(name);
        const fs::path wav = PathOf(name + ".src.wav");
        EXPECT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 " + test::Quoted(wav) + " synth 0.5 sine 440 vol 0.5"), 0);
        if (FileKind(path) == FileType::Mp3)
            EXPECT_EQ(RunCommand("lame --quiet -V 4 " + test::Quoted(wav) + " " + test::Quoted(path)), 0);
        else
            fs::rename(wav, path);
        fs::remove(wav);
        return path;
    }
    // Names in the test folder other than the sound's own "~Ve" sample stores and those expected.
    std::vector<std::string> Leftovers(std::initializer_list<std::string> expected)
    {
        std::vector<std::string> extra;
        for (const auto& entry : fs::recursive_directory_iterator(Dir())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("~Ve", 0) != 0 && std::find(expected.begin(), expected.end(), name) == expected.end())
                extra.push_back(name);
        }
        return extra;
    }
    // Names in the test folder that start with prefix, sorted.
    std::vector<std::string> NamesStartingWith(const std::string& prefix)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Dir())) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0)
                names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(DocumentSaveTest, TagsThatCannotBeWrittenFailTheSaveAndKeepTheOldFile)
{
    // Two megabytes of lyrics, the way a tagger would leave them.
    const fs::path song = MakeSound("song.mp3");
    const std::string lyrics(2 << 20, 'l');
    {
        TagLib::MPEG::File file(song.c_str(), false);
        auto* frame = new TagLib::ID3v2::UnsynchronizedLyricsFrame(TagLib::String::Latin1);
        frame->setLanguage("eng");
        frame->setText(TagLib::String(lyrics, TagLib::String::Latin1));
        file.ID3v2Tag(true)->addFrame(frame);
        ASSERT_TRUE(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v3));
    }
    Document document;
    ASSERT_EQ(document.Load(song), 1);
    ASSERT_EQ(document.Tags().lyrics, lyrics);
    const auto original = ReadFileBytes(song);

    {
        // The sound fits in a megabyte, its tag does not: the disk fills up while the tag is written.
        test::FileSizeLimit limit(1 << 20);
        EXPECT_EQ(document.Save(song), 0);
    }
    EXPECT_EQ(document.LastFailure().kind, FailureKind::System);
    EXPECT_EQ(document.LastFailure().text, std::strerror(EFBIG));
    EXPECT_TRUE(ReadFileBytes(song) == original) << "the old file must stay as it was";
    EXPECT_EQ(Leftovers({"song.mp3"}), std::vector<std::string>{});

    ASSERT_EQ(document.Save(song), 1) << "with room to spare";
    Document check;
    ASSERT_EQ(check.Load(song), 1);
    EXPECT_EQ(check.Tags().lyrics, lyrics);
}

TEST_F(DocumentSaveTest, LinksNameTheFileToWriteEvenWhenItDoesNotExistYet)
{
    Document document;
    ASSERT_EQ(document.Load(MakeSound("source.wav")), 1);
    const auto sound = ReadFileBytes(PathOf("source.wav"));
    fs::create_directory(PathOf("sub"));
    // A chain of relative links, the last one pointing at nothing yet; each resolves in its own folder.
    fs::create_symlink("sub/new.wav", PathOf("first.wav"));
    fs::create_symlink("first.wav", PathOf("chain.wav"));
    fs::create_symlink("../outside.wav", PathOf("sub/up.wav"));
    fs::create_symlink(PathOf("sub/absolute.wav"), PathOf("absolute.wav"));

    ASSERT_EQ(document.Save(PathOf("chain.wav")), 1);
    EXPECT_TRUE(fs::is_symlink(PathOf("chain.wav")));
    EXPECT_TRUE(fs::is_symlink(PathOf("first.wav")));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(PathOf("sub/new.wav"))));
    EXPECT_EQ(ReadFileBytes(PathOf("sub/new.wav")), sound);
    EXPECT_EQ(document.TargetPath(), PathOf("chain.wav")) << "the user named the link";

    ASSERT_EQ(document.Save(PathOf("sub/up.wav")), 1);
    EXPECT_TRUE(fs::is_symlink(PathOf("sub/up.wav")));
    EXPECT_EQ(ReadFileBytes(PathOf("outside.wav")), sound);
    ASSERT_EQ(document.Save(PathOf("absolute.wav")), 1);
    EXPECT_EQ(ReadFileBytes(PathOf("sub/absolute.wav")), sound);

    fs::create_symlink("loop.wav", PathOf("loop.wav"));
    EXPECT_EQ(document.Save(PathOf("loop.wav")), 0);
    EXPECT_EQ(document.LastFailure().text, std::strerror(ELOOP));
    EXPECT_TRUE(fs::is_symlink(PathOf("loop.wav")));
}

TEST_F(DocumentSaveTest, NamesUpToTheLongestAllowedCanBeSaved)
{
    Document document;
    ASSERT_EQ(document.Load(MakeSound("source.wav")), 1);
    for (size_t length : {246u, 250u, 255u}) {
        SCOPED_TRACE(length);
        const std::string name = std::string(length - 4, 'n') + ".wav";
        ASSERT_EQ(document.Save(PathOf(name)), 1) << document.LastFailure().text;
        EXPECT_EQ(ReadFileBytes(PathOf(name)), ReadFileBytes(PathOf("source.wav")));
        ASSERT_EQ(document.Save(PathOf(name)), 1) << "and again over the file it made";
        fs::remove(PathOf(name));
    }
    EXPECT_EQ(Leftovers({"source.wav"}), std::vector<std::string>{});
}

TEST_F(DocumentSaveTest, ASaveByRootKeepsTheReplacedFilesOwnerGroupAndMode)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    Document document;
    ASSERT_EQ(document.Load(MakeSound("source.wav")), 1);
    const fs::path theirs = PathOf("theirs.wav");
    test::WriteFileBytes(theirs, {'o', 'l', 'd'});
    ASSERT_EQ(::chown(theirs.c_str(), 4321, 4322), 0) << std::strerror(errno);
    ASSERT_EQ(::chmod(theirs.c_str(), 0640), 0);

    ASSERT_EQ(document.Save(theirs), 1);
    struct stat st {};
    ASSERT_EQ(::stat(theirs.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFileBytes(theirs), ReadFileBytes(PathOf("source.wav")));
}

// Saves document to name inside folder as the user uid (root drops its privileges in a child for
// that; anyone else saves as themselves). Returns the result and the reason of a failure.
std::pair<int, std::string> SaveAs(Document& document, const fs::path& folder, const std::string& name, uid_t uid)
{
    if (::geteuid() != 0) {
        const int result = document.Save(folder / name);
        return {result, document.LastFailure().text};
    }
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {-1, std::strerror(errno)};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
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
    int status = 0;
    ::waitpid(child, &status, 0);
    const size_t space = reply.find(' ');
    if (space == std::string::npos)
        return {-1, "the child said nothing"};
    return {std::stoi(reply.substr(0, space)), reply.substr(space + 1)};
}

TEST_F(DocumentSaveTest, ASaveOverAFileTheUserMayNotWriteFailsAsWritingItWouldAndReplacesNothing)
{
    Document document;
    ASSERT_EQ(document.Load(MakeSound("source.wav")), 1);
    const bool root = ::geteuid() == 0;
    const uid_t user = root ? 4321 : ::geteuid();
    const fs::path folder = PathOf("shared");
    fs::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);  // anyone may make and rename files here
    struct Case {
        const char* name;
        uid_t owner;
        mode_t mode;
        bool saves;
    };
    std::vector<Case> cases = {{"mine-read-only.wav", user, 0444, false}, {"mine.wav", user, 0644, true}};
    if (root)
        cases.push_back({"someone-elses.wav", 0, 0644, false});
    else
        std::cout << "[ NOTE ] not root: the file of another user is not tried\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path target = folder / c.name;
        test::WriteFileBytes(target, {'o', 'l', 'd'});
        ASSERT_EQ(::chown(target.c_str(), c.owner, c.owner), 0) << std::strerror(errno);
        ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        const auto [result, reason] = SaveAs(document, folder, c.name, user);
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.owner);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        if (c.saves) {
            EXPECT_EQ(result, 1) << reason;
            EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(PathOf("source.wav")));
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(reason, "Permission denied");
            EXPECT_EQ(ReadFileBytes(target), (std::vector<unsigned char>{'o', 'l', 'd'}));
        }
    }
    EXPECT_EQ(test::UnnamedFilesOf(::getpid(), folder), std::vector<fs::path>{});
    std::vector<std::string> expected, left;
    for (const Case& c : cases)
        expected.push_back(c.name);
    for (const auto& entry : fs::directory_iterator(folder))
        left.push_back(entry.path().filename().string());
    std::sort(expected.begin(), expected.end());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, expected) << "nothing but the files themselves";
}

// Looks, whenever the save reports progress, at the modes of the files it is writing: unnamed ones in
// the folder, held open by this process, and hidden ones where the file system cannot make those.
class WatchingProgress final : public Progress {
public:
    explicit WatchingProgress(fs::path folder) : Progress(100), folder_(std::move(folder)) {}
    std::vector<unsigned> modes;

protected:
    void OnPositionChanged() override
    {
        std::vector<fs::path> files = test::UnnamedFilesOf(::getpid(), folder_);
        for (const auto& entry : fs::directory_iterator(folder_)) {
            if (entry.path().filename().string().rfind(".secret~Ve", 0) == 0)
                files.push_back(entry.path());
        }
        for (const auto& file : files) {
            struct stat st {};
            if (::stat(file.c_str(), &st) == 0)
                modes.push_back(st.st_mode & 07777);
        }
    }

private:
    fs::path folder_;
};

TEST_F(DocumentSaveTest, WhileTheNewFileIsWrittenOnlyTheSaverCanReadIt)
{
    Document document;
    ASSERT_EQ(document.Load(MakeSound("source.wav")), 1);
    test::WriteFileBytes(PathOf("secret.wav"), {'o', 'l', 'd'});
    ASSERT_EQ(::chmod(PathOf("secret.wav").c_str(), 0600), 0);
    const mode_t oldMask = ::umask(022);
    WatchingProgress progress(Dir());
    const int saved = document.Save(PathOf("secret.wav"), &progress);
    ::umask(oldMask);
    ASSERT_EQ(saved, 1);
    ASSERT_FALSE(progress.modes.empty()) << "the hidden file was never seen";
    for (unsigned mode : progress.modes)
        EXPECT_EQ(mode, 0600u);
    struct stat st {};
    ASSERT_EQ(::stat(PathOf("secret.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// While it lives, this file system cannot make unnamed files, as vfat, some FUSE mounts and older NFS.
class UnnamedFilesRefused {
public:
    UnnamedFilesRefused() { RefuseUnnamedFilesForTesting(true); }
    ~UnnamedFilesRefused() { RefuseUnnamedFilesForTesting(false); }
    UnnamedFilesRefused(const UnnamedFilesRefused&) = delete;
    UnnamedFilesRefused& operator=(const UnnamedFilesRefused&) = delete;
};

// Tells the parent over a pipe that the save has begun writing, then keeps it there until killed.
class StoppingProgress final : public Progress {
public:
    explicit StoppingProgress(int ready) : Progress(100), ready_(ready) {}

protected:
    void OnPositionChanged() override
    {
        [[maybe_unused]] const ssize_t written = ::write(ready_, "s", 1);
        for (;;)
            ::pause();
    }

private:
    int ready_;
};

// A save in a child process, as in another copy of the program, stopped part-way for as long as the
// child lives.
class ChildSave {
public:
    ChildSave(Document& document, const fs::path& target)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            StoppingProgress progress(ready[1]);
            document.Save(target, &progress);
            ::_exit(1);
        }
        ::close(ready[1]);
        char byte = 0;
        saving_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~ChildSave() { Kill(); }
    ChildSave(const ChildSave&) = delete;
    ChildSave& operator=(const ChildSave&) = delete;

    bool IsSaving() const { return saving_; }
    void Kill()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool saving_ = false;
};

TEST_F(DocumentSaveTest, WithoutUnnamedFilesTheNextSaveRemovesWhatAKilledSaveLeftButNotALiveSavesFile)
{
    const fs::path source = MakeSound("source.wav");
    const auto sound = ReadFileBytes(source);
    const std::vector<unsigned char> old{'o', 'l', 'd'};
    test::WriteFileBytes(PathOf("song.wav"), old);
    const UnnamedFilesRefused refused;
    Document document;
    ASSERT_EQ(document.Load(source), 1);
    // The copy of the source's samples is named for a moment too, and loses its name before the load
    // goes on.
    EXPECT_EQ(test::UnnamedFilesOf(::getpid(), Dir()).size(), 1u);
    EXPECT_EQ(NamesStartingWith("~Ve"), std::vector<std::string>{});

    ChildSave running(document, PathOf("other.wav"));
    ASSERT_TRUE(running.IsSaving());
    const std::vector<std::string> live = NamesStartingWith(".other~Ve");
    ASSERT_EQ(live.size(), 1u);
    ChildSave killed(document, PathOf("song.wav"));
    ASSERT_TRUE(killed.IsSaving());
    killed.Kill();
    ASSERT_EQ(NamesStartingWith(".song~Ve").size(), 1u) << "the killed save's file is still there";
    EXPECT_EQ(ReadFileBytes(PathOf("song.wav")), old);
    EXPECT_EQ(NamesStartingWith(".other~Ve"), live);

    ASSERT_EQ(document.Save(PathOf("song.wav")), 1) << document.LastFailure().text;
    EXPECT_EQ(ReadFileBytes(PathOf("song.wav")), sound);
    EXPECT_EQ(NamesStartingWith(".song~Ve"), std::vector<std::string>{});
    EXPECT_EQ(NamesStartingWith(".other~Ve"), live) << "that save is still writing it";

    running.Kill();
    ASSERT_EQ(document.Save(PathOf("song.wav")), 1) << document.LastFailure().text;
    EXPECT_EQ(NamesStartingWith(".other~Ve"), std::vector<std::string>{});
    EXPECT_EQ(Leftovers({"source.wav", "song.wav"}), std::vector<std::string>{});
}

TEST_F(DocumentSaveTest, ASaveRemovesOnlyRegularFilesNamedExactlyAsItsOwnHiddenFiles)
{
    Document document;
    ASSERT_EQ(document.Load(MakeSound("source.wav")), 1);
    // Left by killed saves of "song.wav", of a name too long to keep, of "notes" and of "a.b.wav".
    const std::vector<std::string> stranded = {".song~VeAbCd12.wav", ".~VeXy98Zw.mp3", ".notes~VeQwErTy",
                                               ".a.b~Ve000000.wav"};
    // Names like those that a save never gives, and a link, a folder and a FIFO under such names.
    const std::vector<std::string> unlike = {"song~VeAbCd12.wav",       ".song~VeAbCd1.wav", ".song~VeAbCd-2.wav",
                                             ".song~VeAbCd12.wav.part", ".song~veAbCd12.wav", ".song.wav"};
    for (const auto& name : stranded)
        test::WriteFileBytes(PathOf(name), {'x'});
    for (const auto& name : unlike)
        test::WriteFileBytes(PathOf(name), {'x'});
    test::WriteFileBytes(PathOf("victim.wav"), {'v'});
    fs::create_symlink("victim.wav", PathOf(".victim~VeAbCd12.wav"));
    fs::create_symlink("nowhere.wav", PathOf(".dangling~VeAbCd12.wav"));
    fs::create_directory(PathOf(".folder~VeAbCd12.wav"));
    ASSERT_EQ(::mkfifo(PathOf(".pipe~VeAbCd12.wav").c_str(), 0600), 0);

    ASSERT_EQ(document.Save(PathOf("song.wav")), 1) << document.LastFailure().text;
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
    if (RunCommand("command -v strace >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs strace";
    const fs::path source = MakeSound("source.wav");
    test::WriteFileBytes(PathOf("old.wav"), {'o', 'l', 'd'});
    ASSERT_EQ(::chmod(PathOf("old.wav").c_str(), 0604), 0);
    const fs::path trace = PathOf("trace.txt");
    const std::string batch = BRINDLE_BATCH;
    const int status =
        // LeakSanitizer cannot work under ptrace: a sanitizer build's leak check is off for this run.
        RunCommand("umask 027 && ASAN_OPTIONS=detect_leaks=0 strace -f -y -qq -o " + test::Quoted(trace) +
                   " -e trace=umask,fsync,fdatasync,link,linkat,rename,renameat,renameat2 " + test::Quoted(batch) + " " +
                   test::Quoted(source) + " -o " + test::Quoted(PathOf("old.wav")) + " && umask 027 && " +
                   test::Quoted(batch) + " " + test::Quoted(source) + " -o " + test::Quoted(PathOf("new.wav")));
    if (status != 0 && !fs::exists(trace))
        GTEST_SKIP() << "strace cannot trace here";
    ASSERT_EQ(status, 0);

    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    const std::string folder = fs::canonical(Dir()).string();
    auto find = [&](auto matches) {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (matches(lines[i]))
                return int(i);
        }
        return -1;
    };
    auto has = [](const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; };
    // With -y, strace names each descriptor's file: "fsync(6</dir/#1234 (deleted)>)" for the unnamed
    // file, "fsync(6</dir/.old~VeAb12Cd.wav>)" where the file system cannot make one.
    const int fileSynced = find([&](const std::string& l) {
        return has(l, "fsync(") && (has(l, "<" + folder + "/#") || has(l, "/.old~Ve"));
    });
    const int renamed = find([&](const std::string& l) {
        return has(l, "rename") && has(l, ".old~Ve") && has(l, "\"old.wav\"");
    });
    const int folderSynced = find([&](const std::string& l) {
        return has(l, "fsync(") && has(l, "<" + folder + ">)");
    });
    std::ostringstream all;
    for (const auto& line : lines)
        all << line << "\n";
    EXPECT_GE(fileSynced, 0) << all.str();
    EXPECT_GT(renamed, fileSynced) << all.str();
    EXPECT_GT(folderSynced, renamed) << all.str();
    EXPECT_EQ(find([&](const std::string& l) { return has(l, "umask("); }), -1) << all.str();

    struct stat st {};
    ASSERT_EQ(::stat(PathOf("old.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    ASSERT_EQ(::stat(PathOf("new.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFileBytes(PathOf("new.wav")), ReadFileBytes(source));
}
#endif

}  // namespace
}  // namespace brindle
