// Loads and saves under faults: a full temporary folder, a target folder that cannot be written or
// fills up, a source that goes away or is rewritten under the sound, a cancel at every step. Each ends
// in a clear failure or a correct result, the source unchanged, no partial output, no temporary file.
#include "document/document.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using test::CancelAtStep;
using test::ReadFileBytes;

class DocumentFaultTest : public test::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        // Six seconds: more than one block of the sample stores, and several steps of progress; left and
        // right differ, so a swap of the channels shows.
        const std::string tone = test::Quoted(PathOf("tone.wav"));
        ASSERT_EQ(test::RunCommand("sox -n -r 44100 -c 2 -b 16 " + tone + " synth 6 sine 440 sine 660 vol 0.5"), 0);
        ASSERT_EQ(test::RunCommand("sox " + tone + " -e ima-adpcm " + test::Quoted(PathOf("adpcm.wav"))), 0);
        ASSERT_EQ(test::RunCommand("lame --quiet -V 4 --tt Tone " + tone + " " + test::Quoted(PathOf("tone.mp3"))), 0);
    }
    // A short WAV is copied before the peaks are made, a long one (32 MiB of samples and more) while
    // they are, reading the file itself; an ADPCM one is converted; an MP3 is decoded.
    std::vector<fs::path> Sources(bool withLong) const
    {
        std::vector<fs::path> sources{PathOf("tone.wav"), PathOf("adpcm.wav"), PathOf("tone.mp3")};
        if (withLong) {
            EXPECT_EQ(test::RunCommand("sox -R -n -r 44100 -c 2 -b 16 " + test::Quoted(PathOf("long.wav")) +
                                       " synth 191 whitenoise vol 0.5"),
                      0);
            sources.push_back(PathOf("long.wav"));
        }
        return sources;
    }
    // Every name under the test folder, sorted.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(Dir()))
            names.push_back(fs::relative(entry.path(), Dir()).string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Into a folder nobody may write (root included), onto a full disk, or cancelled before it starts or
// at any step, over a file, a new name or the source itself: the file stays as it was with nothing
// beside it (only the last step may come too late, and then the file is the whole save); the same save
// then succeeds and keeps the replaced file's mode.
TEST_F(DocumentFaultTest, ASaveThatCannotFinishKeepsTheOldFileAndLeavesNothing)
{
    const auto sound = ReadFileBytes(PathOf("tone.wav"));
    fs::create_directory(PathOf("out"));
    for (const fs::path& target : {PathOf("out/old.wav"), PathOf("out/old.mp3"), PathOf("out/new.wav"), PathOf("tone.wav")}) {
        SCOPED_TRACE(target);
        if (target.stem() == "old") {
            test::WriteFileBytes(target, {'o', 'l', 'd'});
            ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
        }
        struct stat before {};
        const bool existed = ::stat(target.c_str(), &before) == 0;
        const auto bytes = ReadFileBytes(target);
        const fs::path reference = PathOf("reference" + target.extension().string());
        Document document;
        ASSERT_EQ(document.Load(PathOf("tone.wav")), 1);
        CancelAtStep counting(0, 100);
        ASSERT_EQ(document.Save(reference, &counting), 1);
        ASSERT_GE(counting.steps, 2);
        const auto names = Names();
        // -2 a folder nobody may write, -1 a full disk, 0 a cancel before the start, else at that step.
        for (int fault = -2; fault <= counting.steps; ++fault) {
            SCOPED_TRACE(fault);
            CancelAtStep progress(fault, 100);
            if (fault == -2) {
                test::ImmutableFile readOnly(target.parent_path());
                const bool byMode = !readOnly.IsSet();  // as a user; root ignores modes
                if (byMode && ::geteuid() == 0)
                    continue;
                if (byMode)
                    fs::permissions(target.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
                EXPECT_EQ(document.Save(target), 0);
                if (byMode)
                    fs::permissions(target.parent_path(), fs::perms::owner_all);
                EXPECT_FALSE(document.LastFailure().text.empty());
            } else if (fault == -1) {
                test::FileSizeLimit full(100000);  // the sound needs about a megabyte
                EXPECT_EQ(document.Save(target), 0);
                EXPECT_EQ(document.LastFailure().text, "File too large");
            } else {
                if (fault == 0)
                    progress.Cancel();
                if (document.Save(target, &progress)) {
                    EXPECT_EQ(fault, counting.steps) << "only the last step may come too late to cancel";
                    EXPECT_TRUE(ReadFileBytes(target) == ReadFileBytes(reference));
                    existed ? test::WriteFileBytes(target, bytes) : void(fs::remove(target));
                }
            }
            EXPECT_EQ(fs::exists(target), existed);
            EXPECT_TRUE(ReadFileBytes(target) == bytes);
            EXPECT_EQ(Names(), names) << "no partial or hidden file";
            EXPECT_EQ(TempFiles().size(), 1u) << "only the copy of the source's samples";
        }
        ASSERT_EQ(document.Save(target), 1) << "the same save succeeds once it can";
        struct stat after {};
        ASSERT_EQ(::stat(target.c_str(), &after), 0);
        EXPECT_TRUE(!existed || (after.st_mode & 07777) == (before.st_mode & 07777)) << std::oct << after.st_mode;
        EXPECT_TRUE(target.extension() == ".mp3" || ReadFileBytes(target) == sound);
        fs::remove(reference);
    }
}

// Another program deletes the source after the open, or rewrites it in place and cuts it short: the
// sound, its undo and its saves (over the source itself too) are what was loaded. The frames of an
// MP3 that a save copies are then gone, and the sound is encoded anew, whole.
TEST_F(DocumentFaultTest, ASourceDeletedOrRewrittenAfterTheLoadChangesNeitherTheSoundNorItsSaves)
{
    auto bySox = [this](const fs::path& file) {  // a reading independent of the Document's
        EXPECT_EQ(test::RunCommand("sox " + test::Quoted(file) + " -t f32 " + test::Quoted(PathOf("sox.f32"))), 0);
        return ReadFileBytes(PathOf("sox.f32"));
    };
    for (const fs::path& source : Sources(true)) {
        const std::string extension = source.extension().string();
        const fs::path reference = PathOf("reference" + extension), cut = PathOf("cut.wav");
        const bool pcm = extension == ".wav" && source.stem() != "adpcm";  // sox decodes an ADPCM file's padding too
        const auto original = ReadFileBytes(source), decoded = pcm ? bySox(source) : original;
        for (bool deleted : {true, false}) {
            if (deleted && source.stem() == "long")
                continue;  // it differs from the short one only while the load copies it
            SCOPED_TRACE(source.string() + (deleted ? " deleted" : " rewritten"));
            const fs::path saved = deleted ? PathOf("saved" + extension) : source;
            Document document, check;
            document.SetPreparesPeaks(true);
            ASSERT_EQ(document.Load(source), 1);
            auto samples = test::SamplesOf(document.ActiveBuffer());
            ASSERT_EQ(document.Save(reference), 1);
            ASSERT_EQ(document.DeleteRange(100, 200, true), 1);
            if (deleted) {
                fs::remove(source);
            } else {
                auto other = original;  // other samples under the same header
                for (size_t k = 44; k < other.size(); ++k)
                    other[k] ^= 0x5a;
                const int fd = ::open(source.c_str(), O_WRONLY);
                ASSERT_GE(fd, 0);
                EXPECT_EQ(::pwrite(fd, other.data(), other.size(), 0), ssize_t(other.size()));
                EXPECT_EQ(::ftruncate(fd, 1000), 0);
                ::close(fd);
            }
            EditMarks marks;
            ASSERT_EQ(document.Undo(marks), 1);
            ASSERT_EQ(test::SamplesOf(document.ActiveBuffer()), samples);
            ASSERT_EQ(document.Save(saved), 1);
            EXPECT_TRUE(!pcm || bySox(saved) == decoded) << "sox reads the save as it read the source";
            if (extension == ".mp3" && !deleted) {
                EXPECT_FALSE(document.SavedWithoutReencoding());
                ASSERT_EQ(check.Load(saved), 1);
                EXPECT_EQ(check.ActiveBuffer().frameCount, document.ActiveBuffer().frameCount);
            } else {
                EXPECT_TRUE(ReadFileBytes(saved) == ReadFileBytes(reference)) << "a deleted MP3 is still open";
            }
            ASSERT_EQ(document.Redo(marks), 1);
            ASSERT_EQ(document.Save(cut), 1);
            ASSERT_EQ(check.Load(cut), 1);
            for (auto& channel : samples)
                channel.erase(channel.begin() + 100, channel.begin() + 200);
            EXPECT_TRUE(extension == ".mp3" || test::SamplesOf(check.ActiveBuffer()) == samples);
            test::WriteFileBytes(source, original);
        }
    }
}

// A full temporary folder, or a cancel at any step of a load, leaves nothing behind.
TEST_F(DocumentFaultTest, AFailedOrCancelledLoadLeavesNothingBehind)
{
    const fs::path longer = PathOf("long.wav");
    for (const fs::path& source : Sources(true)) {
        SCOPED_TRACE(source);
        const auto before = ReadFileBytes(source);
        const auto names = Names();
        {
            Document document;
            const test::FileSizeLimit full(64 * 1024);  // the temporary folder full
            EXPECT_EQ(document.Load(source), 0);
            EXPECT_EQ(document.LastFailure().text, "File too large");
            EXPECT_TRUE(document.IsEmpty());
        }
        EXPECT_TRUE(TempFiles().empty());
        CancelAtStep counting(0, 100);
        {
            Document document;
            document.SetPreparesPeaks(source == longer);
            ASSERT_EQ(document.Load(source, &counting), 1);
        }
        ASSERT_GE(counting.steps, source == longer ? 2 : 3);
        for (int step = 1; step <= counting.steps; ++step) {
            CancelAtStep progress(step, 100);
            Document document;
            document.SetPreparesPeaks(source == longer);
            if (document.Load(source, &progress)) {
                // The long load's steps follow its background copy's pace: a run may end before its step.
                EXPECT_LE(progress.steps, step) << "only the last step may come too late to cancel";
            } else {
                EXPECT_TRUE(document.IsEmpty()) << "step " << step;
                EXPECT_TRUE(TempFiles().empty()) << "step " << step;
            }
        }
        EXPECT_TRUE(TempFiles().empty());
        EXPECT_TRUE(ReadFileBytes(source) == before);
        EXPECT_EQ(Names(), names);
    }
}

}  // namespace
}  // namespace brindle
