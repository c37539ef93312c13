// Loads and saves under faults: a full temporary folder, a target folder that cannot be written or
// fills up, a source that goes away before the save, a cancel at every step. Each ends in a clear
// failure or a correct result, with the source unchanged, no partial output and no temporary file
// left. Sounds are made by sox and lame.
#include "document/document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::RunCommand;

using test::CancelAtStep;

// A folder nobody may create files in, root included (the immutable flag), for its lifetime.
class ImmutableFolder {
public:
    explicit ImmutableFolder(fs::path folder) : folder_(std::move(folder)), flag_(folder_)
    {
        ok_ = flag_.IsSet();
        if (!ok_ && ::geteuid() != 0) {
            fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
            ok_ = modeChanged_ = true;
        }
    }
    ~ImmutableFolder()
    {
        if (modeChanged_)
            fs::permissions(folder_, fs::perms::owner_all);
    }
    bool Ok() const { return ok_; }

private:
    fs::path folder_;
    test::ImmutableFile flag_;
    bool ok_ = false;
    bool modeChanged_ = false;
};

class DocumentFaultTest : public test::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        const std::string tone = test::Quoted(PathOf("tone.wav"));
        // Six seconds: more than one block of the sample stores, and several steps of progress.
        ASSERT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 " + tone + " synth 6 sine 440 sine 660 vol 0.5"), 0);
        ASSERT_EQ(RunCommand("sox " + tone + " -e ima-adpcm " + test::Quoted(PathOf("adpcm.wav"))), 0);
        ASSERT_EQ(RunCommand("lame --quiet -V 4 --tt Tone " + tone + " " + test::Quoted(PathOf("tone.mp3"))), 0);
    }

    std::vector<fs::path> Sources() const { return {PathOf("tone.wav"), PathOf("adpcm.wav"), PathOf("tone.mp3")}; }

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

TEST_F(DocumentFaultTest, AFullTemporaryFolderFailsTheLoadAndLeavesNothing)
{
    const auto names = Names();
    for (const fs::path& source : Sources()) {
        const auto before = ReadFileBytes(source);
        Document document;
        {
            test::FileSizeLimit full(64 * 1024);
            EXPECT_EQ(document.Load(source), 0) << source;
        }
        EXPECT_EQ(document.LastFailure().text, "File too large") << source;
        EXPECT_TRUE(document.IsEmpty());
        EXPECT_TRUE(TempFiles().empty()) << source;
        EXPECT_TRUE(ReadFileBytes(source) == before) << source;
        EXPECT_EQ(Names(), names) << source;
    }
}

TEST_F(DocumentFaultTest, ASaveIntoAFolderThatCannotBeWrittenOrFillsUpKeepsTheOldFile)
{
    const fs::path folder = PathOf("out");
    fs::create_directory(folder);
    for (const std::string name : {"old.wav", "old.mp3"}) {
        const fs::path target = folder / name;
        test::WriteFileBytes(target, {'o', 'l', 'd'});
        Document document;
        ASSERT_EQ(document.Load(PathOf("tone.wav")), 1);
        const auto names = Names();
        {
            ImmutableFolder readOnly(folder);
            if (!readOnly.Ok())
                GTEST_SKIP() << "no way to make a folder read-only here";
            EXPECT_EQ(document.Save(target), 0) << name;
        }
        EXPECT_FALSE(document.LastFailure().text.empty()) << name;
        {
            test::FileSizeLimit full(100000);
            EXPECT_EQ(document.Save(target), 0) << name;
        }
        EXPECT_EQ(document.LastFailure().text, "File too large") << name;
        EXPECT_EQ(ReadFileBytes(target), (std::vector<unsigned char>{'o', 'l', 'd'})) << name;
        EXPECT_EQ(Names(), names) << name << ": no partial or hidden file";
        EXPECT_EQ(TempFiles().size(), 1u) << "only the copy of the source's samples";
        EXPECT_EQ(document.Save(target), 1) << "the same save succeeds once there is room";
    }
}

TEST_F(DocumentFaultTest, ASourceDeletedOrTruncatedAfterTheLoadStillSavesWhatWasLoaded)
{
    for (const fs::path& source : Sources()) {
        const std::string extension = source.extension().string();
        const fs::path reference = PathOf("reference" + extension);
        const fs::path saved = PathOf("saved" + extension);
        const auto original = ReadFileBytes(source);
        for (bool deleted : {true, false}) {
            Document document;
            ASSERT_EQ(document.Load(source), 1) << source;
            ASSERT_EQ(document.Save(reference), 1);
            if (deleted)
                fs::remove(source);
            else
                fs::resize_file(source, 100);
            ASSERT_EQ(document.Save(saved), 1) << source << (deleted ? " deleted" : " truncated");
            if (extension == ".mp3" && !deleted) {
                // The frames the first save copied are gone: the sound is encoded anew, whole.
                EXPECT_FALSE(document.SavedWithoutReencoding());
                Document again;
                ASSERT_EQ(again.Load(saved), 1);
                EXPECT_EQ(again.ActiveBuffer().frameCount, document.ActiveBuffer().frameCount);
            } else {
                // A deleted MP3 is still open, and the copy reads it.
                EXPECT_TRUE(ReadFileBytes(saved) == ReadFileBytes(reference)) << source;
            }
            test::WriteFileBytes(source, original);
        }
    }
}

TEST_F(DocumentFaultTest, ACancelAtAnyStepOfALoadOrASaveLeavesNothingBehind)
{
    // Four minutes: long enough for the open to copy the samples while it makes the peaks.
    const fs::path longer = PathOf("long.wav");
    ASSERT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 " + test::Quoted(longer) + " synth 240 sine 440 vol 0.5"), 0);
    std::vector<fs::path> sources = Sources();
    sources.push_back(longer);
    for (const fs::path& source : sources) {
        const auto before = ReadFileBytes(source);
        const auto names = Names();
        CancelAtStep counting(0);
        {
            Document document;
            document.SetPreparesPeaks(source == longer);
            ASSERT_EQ(document.Load(source, &counting), 1) << source;
        }
        ASSERT_GE(counting.steps, source == longer ? 2 : 3) << source;
        for (int step = 1; step <= counting.steps; ++step) {
            CancelAtStep progress(step);
            Document document;
            document.SetPreparesPeaks(source == longer);
            const int loaded = document.Load(source, &progress);
            if (!loaded) {
                EXPECT_TRUE(document.IsEmpty()) << source << " step " << step;
                EXPECT_TRUE(TempFiles().empty()) << source << " step " << step;
            } else {
                EXPECT_EQ(step, counting.steps) << source << ": only the last step may come too late to cancel";
            }
        }
        EXPECT_TRUE(TempFiles().empty()) << source;
        EXPECT_TRUE(ReadFileBytes(source) == before) << source;
        EXPECT_EQ(Names(), names) << source;
    }

    Document document;
    ASSERT_EQ(document.Load(PathOf("tone.wav")), 1);
    for (const std::string name : {"out.wav", "out.mp3"}) {
        const fs::path target = PathOf(name);
        const fs::path reference = PathOf("reference-" + name);
        CancelAtStep counting(0);
        ASSERT_EQ(document.Save(reference, &counting), 1);
        ASSERT_GE(counting.steps, 2) << name;
        const std::vector<unsigned char> old{'o', 'l', 'd'};
        test::WriteFileBytes(target, old);
        const auto names = Names();
        for (int step = 1; step <= counting.steps; ++step) {
            CancelAtStep progress(step);
            if (document.Save(target, &progress)) {
                EXPECT_EQ(step, counting.steps) << name << ": only the last step may come too late to cancel";
                EXPECT_TRUE(ReadFileBytes(target) == ReadFileBytes(reference)) << name;
                test::WriteFileBytes(target, old);
            } else {
                EXPECT_EQ(ReadFileBytes(target), old) << name << " step " << step;
            }
            EXPECT_EQ(Names(), names) << name << " step " << step;
            EXPECT_EQ(TempFiles().size(), 1u) << name << " step " << step << ": the copy of the source's samples";
        }
    }
}

}  // namespace
}  // namespace brindle
